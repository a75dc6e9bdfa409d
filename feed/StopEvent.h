// The process-wide stop event: one manual-reset event, not signalled until
// the program stops, and never reset. Long reads and the pull threads test it
// so that a stopping program does not wait for them.
#pragma once

#include "platform/win/windows.h"

// The event, made on first use; every later call returns the same one.
HANDLE StopEvent();

// True once the stop event is set; tested with a zero wait.
bool IsStopRequested();
