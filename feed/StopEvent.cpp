#include "feed/StopEvent.h"

HANDLE StopEvent() {
  // Never closed: threads may still test it while the program's statics go.
  static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

bool IsStopRequested() { return WaitForSingleObject(StopEvent(), 0) == WAIT_OBJECT_0; }
