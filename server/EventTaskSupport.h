// What the nine event tasks share: the run of one task (its log lines, the
// guarded fire on a client that may have gone) and the release of its
// cursor.
#pragma once

#include <chrono>
#include <functional>

#include "platform/com/com.h"
#include "feed/CEventClient.h"
#include "server/contract/CZmOrvEventSource.h"

namespace orvsrv {

struct EventTaskTexts {
  const char* started;         // TRACE, before the fire
  const char* completed;       // TRACE, after it, whatever happened
  const char* comErrorPrefix;  // ERROR, followed by the code of a COM error
  const char* unknownError;    // ERROR, for anything else that escapes
};

// Hands the event to the client's queue: fire runs (now on this thread, or
// later on the pool thread that runs the client's earlier events) through
// the client's event side while the client is attached, with each call
// into a sink bounded by the event time-out; a client that has gone
// receives nothing. The event keeps its own reference on the cursor, so
// the task may go before it runs. Nothing escapes.
void RunEventTask(CEventTicket& event, const EventTaskTexts& texts, IUnknown* cursor,
                  std::function<void(CZmOrvEventSource&)> fire);

// The bound on each call into a client's sink (the setting EventTimeout);
// tests may set it.
std::chrono::milliseconds EventCallTimeout();
void SetEventCallTimeout(std::chrono::milliseconds timeout);

// Drops the task's reference on its cursor. Nothing escapes.
void ReleaseTaskCursor(IUnknown* cursor, const char* unknownError);

}  // namespace orvsrv
