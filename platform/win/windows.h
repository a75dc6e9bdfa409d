// Everything of the Win32 stand-in layer in one include, as the system's
// code expects from <windows.h>.
#pragma once

#include "win/types.h"
#include "win/winerror.h"
#include "win/sync.h"
#include "win/thread.h"
