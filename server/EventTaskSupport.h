// What the nine event tasks share: the run of one task (its log lines, the
// guarded fire on a client that may have gone) and the release of its
// cursor.
#pragma once

#include <functional>

#include "com/com.h"
#include "feed/CEventClient.h"
#include "server/CZmOrvEventSource.h"

namespace orvsrv {

struct EventTaskTexts {
  const char* started;         // TRACE, before the fire
  const char* completed;       // TRACE, after it, whatever happened
  const char* comErrorPrefix;  // ERROR, followed by the code of a COM error
  const char* unknownError;    // ERROR, for anything else that escapes
};

// Fires through the client's event side while the client is attached; a
// client that has gone receives nothing. Nothing escapes.
void RunEventTask(const CEventClientPtr& client, const EventTaskTexts& texts,
                  const std::function<void(CZmOrvEventSource&)>& fire);

// Drops the task's reference on its cursor. Nothing escapes.
void ReleaseTaskCursor(IUnknown* cursor, const char* unknownError);

}  // namespace orvsrv
