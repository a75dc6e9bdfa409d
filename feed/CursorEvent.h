// How a table hands records to a client: the installed maker builds the
// server's cursor over them and the task that fires it, and the table posts
// that task on its event pool.
#pragma once

#include <utility>

#include "feed/CTableEventMaker.h"
#include "feed/TableErrorLog.h"
#include "platform/com/com.h"
#include "platform/log/Log.h"

// make() returns the event's task (a call of TableEventMaker() of the
// table's kind) and post takes it. What fails is logged as
// className::_SendEvent(), with the trace lines around it; the debug line
// names the caller's place.
template <class Make, class Post>
void SendCursorEvent(const char* className, Make&& make, Post&& post, const char* file = __builtin_FILE(),
                     int line = __builtin_LINE()) {
  ORV_LOG(orvlog::kTrace, className << "::_SendEvent() started");
  try {
    post(make());
  } catch (const _com_error& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << file << ":" << line);
    tablelog::SendEventError(className, e);
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << file << ":" << line);
    ORV_LOG(orvlog::kError, "Unexpected error in " << className << "::_SendEvent().");
  }
  ORV_LOG(orvlog::kTrace, className << "::_SendEvent() completed");
}
