// The server's maker of the cache tables' events: each event is a new
// cursor object over the records, handed to the event task of its kind.
#include <cstdint>
#include <memory>
#include <string>
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

// What a cursor of records costs while its event waits: its copy of them
// and the object around it.
constexpr size_t kCursorBytes = 256;

// The name of the rows an event carries, for the kinds whose events carry
// each symbol's whole row as the table holds it: a later event of the same
// name tells everything the earlier one would, and newer. Each symbol goes
// in with its length, so that no two lists make one name. Empty (never
// replaced) for an event of no rows.
template <class Records>
std::string RowsName(char kind, bool direct, const Records& records) {
  if (records.empty()) return std::string();
  std::string name{kind, direct ? 'd' : '-'};
  for (const auto& r : records) {
    const uint32_t n = r.Symbol.length();
    name.append(reinterpret_cast<const char*>(&n), sizeof n);
    if (n != 0) name.append(reinterpret_cast<const char*>(r.Symbol.GetBSTR()), n * sizeof(OLECHAR));
  }
  return name;
}

// The cursor over records, in the task of its event; args are the task's
// after the client and the cursor. kind names the rows of a kind whose
// events carry whole rows (0: one whose events carry what a block gave,
// which a later event does not make needless).
template <class Object, class Interface, class EventTask, class Records, class... Args>
CTableEventMaker::Task MakeEvent(REFIID iid, char kind, bool direct, const CEventClientPtr& client, Records records,
                                 Args... args) {
  CEventClient::EventInfo info;
  info.bytes = kCursorBytes + records.size() * sizeof(typename Records::value_type);
  if (kind != 0) info.replaces = RowsName(kind, direct, records);
  CComPtr<Interface> cursor = orvsrv::NewCursor<Object, Interface>(std::move(records), iid);
  std::unique_ptr<EventTask> task(new EventTask(client, cursor.Detach(), args...));
  task->Event().Describe(std::move(info));
  return CTableEventMaker::Task(task.release());
}

class CCursorEventMaker final : public CTableEventMaker {
 public:
  Task Stocks(const CEventClientPtr& client, StockRecords records, bool direct) const override {
    return MakeEvent<CStocks, IStocksEnt, CSendStockMsgWorker>(IID_IStocksEnt, 'S', direct, client, std::move(records), direct);
  }
  Task Options(const CEventClientPtr& client, OptionRecords records, bool direct) const override {
    return MakeEvent<COptions, IOptionsEnt, CSendOptionMsgWorker>(IID_IOptionsEnt, 'O', direct, client, std::move(records),
                                                                 direct);
  }
  Task NstdOptions(const CEventClientPtr& client, NstdOptionRecords records, bool direct) const override {
    return MakeEvent<CNstdOptions, INstdOptionsEnt, CSendNstdOptionMsgWorker>(IID_INstdOptionsEnt, 'N', direct, client,
                                                                             std::move(records), BYTE(direct));
  }
  Task FutOptions(const CEventClientPtr& client, OptionRecords records, bool direct) const override {
    return MakeEvent<CFutOptions, IFutOptionsEnt, CSendFutureOptionMsgWorker>(IID_IFutOptionsEnt, 'F', direct, client,
                                                                             std::move(records), BYTE(direct));
  }
  Task Futures(const CEventClientPtr& client, FuturesRecords records, bool direct) const override {
    return MakeEvent<CFutures, IFuturesEnt, CSendFutureMsgWorker>(IID_IFuturesEnt, 'U', direct, client, std::move(records),
                                                                 BYTE(direct));
  }
  Task IVIndexes(const CEventClientPtr& client, IVIndexRecords records) const override {
    return MakeEvent<CIVIndexes, IIVIndexesEnt, CSendIvxMsgWorker>(IID_IIVIndexesEnt, 0, false, client, std::move(records));
  }
  Task IVSurfaces(const CEventClientPtr& client, IVSurfaceRecords records) const override {
    return MakeEvent<CIVSurfaces, IIVSurfacesEnt, CSendIvsMsgWorker>(IID_IIVSurfacesEnt, 0, false, client,
                                                                    std::move(records));
  }
  Task FutIVIndexes(const CEventClientPtr& client, IVIndexRecords records) const override {
    return MakeEvent<CFutIVIndexes, IFutIVIndexesEnt, CSendFutIvxMsgWorker>(IID_IFutIVIndexesEnt, 0, false, client,
                                                                           std::move(records));
  }
  Task FutIVSurfaces(const CEventClientPtr& client, IVSurfaceRecords records) const override {
    return MakeEvent<CFutIVSurfaces, IFutIVSurfacesEnt, CSendFutIvsMsgWorker>(IID_IFutIVSurfacesEnt, 0, false, client,
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
