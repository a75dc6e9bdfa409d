// The server's maker of the cache tables' events: each event is a new
// cursor object over the records, handed to the event task of its kind.
#include <memory>
#include <utility>

#include "feed/CTableEventMaker.h"
#include "server/CFutIVIndexes.h"
#include "server/CFutIVSurfaces.h"
#include "server/CFutOptions.h"
#include "server/CFutures.h"
#include "server/CIVIndexes.h"
#include "server/CIVSurfaces.h"
#include "server/CNstdOptions.h"
#include "server/COptions.h"
#include "server/CSendFutIvsMsgWorker.h"
#include "server/CSendFutIvxMsgWorker.h"
#include "server/CSendFutureMsgWorker.h"
#include "server/CSendFutureOptionMsgWorker.h"
#include "server/CSendIvsMsgWorker.h"
#include "server/CSendIvxMsgWorker.h"
#include "server/CSendNstdOptionMsgWorker.h"
#include "server/CSendOptionMsgWorker.h"
#include "server/CSendStockMsgWorker.h"
#include "server/CStocks.h"
#include "server/CursorSupport.h"

namespace {

// The cursor over records, in the task of its event; args are the task's
// after the client and the cursor.
template <class Object, class Interface, class EventTask, class Records, class... Args>
CTableEventMaker::Task MakeEvent(REFIID iid, const CEventClientPtr& client, Records records, Args... args) {
  CComPtr<Interface> cursor = orvsrv::NewCursor<Object, Interface>(std::move(records), iid);
  return CTableEventMaker::Task(new EventTask(client, cursor.Detach(), args...));
}

class CCursorEventMaker final : public CTableEventMaker {
 public:
  Task Stocks(const CEventClientPtr& client, StockRecords records, bool direct) const override {
    return MakeEvent<CStocks, IStocksEnt, CSendStockMsgWorker>(IID_IStocksEnt, client, std::move(records), direct);
  }
  Task Options(const CEventClientPtr& client, OptionRecords records, bool direct) const override {
    return MakeEvent<COptions, IOptionsEnt, CSendOptionMsgWorker>(IID_IOptionsEnt, client, std::move(records),
                                                                 direct);
  }
  Task NstdOptions(const CEventClientPtr& client, NstdOptionRecords records, bool direct) const override {
    return MakeEvent<CNstdOptions, INstdOptionsEnt, CSendNstdOptionMsgWorker>(IID_INstdOptionsEnt, client,
                                                                             std::move(records), BYTE(direct));
  }
  Task FutOptions(const CEventClientPtr& client, OptionRecords records, bool direct) const override {
    return MakeEvent<CFutOptions, IFutOptionsEnt, CSendFutureOptionMsgWorker>(IID_IFutOptionsEnt, client,
                                                                             std::move(records), BYTE(direct));
  }
  Task Futures(const CEventClientPtr& client, FuturesRecords records, bool direct) const override {
    return MakeEvent<CFutures, IFuturesEnt, CSendFutureMsgWorker>(IID_IFuturesEnt, client, std::move(records),
                                                                 BYTE(direct));
  }
  Task IVIndexes(const CEventClientPtr& client, IVIndexRecords records) const override {
    return MakeEvent<CIVIndexes, IIVIndexesEnt, CSendIvxMsgWorker>(IID_IIVIndexesEnt, client, std::move(records));
  }
  Task IVSurfaces(const CEventClientPtr& client, IVSurfaceRecords records) const override {
    return MakeEvent<CIVSurfaces, IIVSurfacesEnt, CSendIvsMsgWorker>(IID_IIVSurfacesEnt, client,
                                                                    std::move(records));
  }
  Task FutIVIndexes(const CEventClientPtr& client, IVIndexRecords records) const override {
    return MakeEvent<CFutIVIndexes, IFutIVIndexesEnt, CSendFutIvxMsgWorker>(IID_IFutIVIndexesEnt, client,
                                                                           std::move(records));
  }
  Task FutIVSurfaces(const CEventClientPtr& client, IVSurfaceRecords records) const override {
    return MakeEvent<CFutIVSurfaces, IFutIVSurfacesEnt, CSendFutIvsMsgWorker>(IID_IFutIVSurfacesEnt, client,
                                                                             std::move(records));
  }
};

bool InstallMaker() {
  static const CCursorEventMaker maker;
  InstallTableEventMaker(&maker);
  return true;
}

[[maybe_unused]] const bool kMakerInstalled = InstallMaker();

}  // namespace

// Named on the link line of every program that links the server's objects,
// so that this file (and with it the maker) is always linked in.
extern "C" void orv_cursor_event_maker() {}
