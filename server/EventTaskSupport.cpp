#include "server/EventTaskSupport.h"

#include <cstdint>

#include "log/Log.h"
#include "server/CursorSupport.h"

namespace orvsrv {

void RunEventTask(const CEventClientPtr& client, const EventTaskTexts& texts,
                  const std::function<void(CZmOrvEventSource&)>& fire) {
  ORV_LOG(orvlog::kTrace, texts.started);
  try {
    if (client) {
      client->WithClient([&](CZmOrvEnt* target) {
        CZmOrvEventSource* source = ZmOrvEventSourceOf(target);
        if (source != nullptr) fire(*source);
      });
    }
  } catch (const _com_error& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, texts.comErrorPrefix << std::hex << static_cast<uint32_t>(e.Error()) << std::dec
                                                 << "\n\tCode meaning = " << e.ErrorMessage()
                                                 << "\n\tDescription = " << Narrow(e.Description()));
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, texts.unknownError);
  }
  ORV_LOG(orvlog::kTrace, texts.completed);
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
