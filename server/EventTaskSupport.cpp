#include "server/EventTaskSupport.h"

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/com/rpc/CallLimits.h"
#include "feed/CSettings.h"
#include "platform/log/Log.h"
#include "server/CursorSupport.h"

namespace orvsrv {

namespace {

std::atomic<int64_t> g_eventTimeoutMs{-1};  // -1: the setting's

// The event's own reference on its cursor, dropped with the last copy of
// the event.
struct CursorRef {
  IUnknown* p;
  const char* unknownError;
  ~CursorRef() { ReleaseTaskCursor(p, unknownError); }
};

}  // namespace

std::chrono::milliseconds EventCallTimeout() {
  const int64_t set = g_eventTimeoutMs.load();
  return std::chrono::milliseconds(set >= 0 ? set : static_cast<int64_t>(CSettings::EventTimeout));
}

void SetEventCallTimeout(std::chrono::milliseconds timeout) { g_eventTimeoutMs = timeout.count(); }

void RunEventTask(CEventTicket& event, const EventTaskTexts& texts, IUnknown* cursor,
                  std::function<void(CZmOrvEventSource&)> fire) {
  if (cursor != nullptr) cursor->AddRef();
  std::shared_ptr<CursorRef> held(new CursorRef{cursor, texts.unknownError});
  const CEventClientPtr client = event.Client();
  const EventTaskTexts* t = &texts;
  auto job = [client, t, held, fire = std::move(fire)] {
    ORV_LOG(orvlog::kTrace, t->started);
    try {
      if (client) {
        client->WithClient([&](CZmOrvEventSource* source) {
          orvrpc::CallTimeoutScope bound(EventCallTimeout());
          fire(*source);
        });
      }
    } catch (const _com_error& e) {
      ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
      ORV_LOG(orvlog::kError, t->comErrorPrefix << std::hex << static_cast<uint32_t>(e.Error()) << std::dec
                                                << "\n\tCode meaning = " << e.ErrorMessage()
                                                << "\n\tDescription = " << orvcom::Utf8(e.Description()));
    } catch (...) {
      ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
      ORV_LOG(orvlog::kError, t->unknownError);
    }
    ORV_LOG(orvlog::kTrace, t->completed);
  };
  if (client) {
    event.Deliver(std::move(job));
  } else {
    job();
  }
}

void ReleaseTaskCursor(IUnknown* cursor, const char* unknownError) {
  try {
    if (cursor != nullptr) cursor->Release();
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, unknownError);
  }
}

}  // namespace orvsrv
