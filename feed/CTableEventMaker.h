// What the cache tables make their events with: a new cursor of the
// server's over the records, in the task that fires it on the client. The
// cursors and tasks are the server's; the tables know only this interface,
// and the server installs its maker in every program its objects are
// linked into.
#pragma once

#include <memory>

#include "feed/CEventClient.h"
#include "feed/CWorkerInterface.h"
#include "server/contract/Records.h"

class CTableEventMaker {
 public:
  typedef std::unique_ptr<CWorkerInterface> Task;

  // Each returns the task of one event, to be posted to the table's pool;
  // direct picks the direct event of a kind that has one. Raises _com_error
  // when the cursor cannot be made.
  virtual Task Stocks(const CEventClientPtr& client, StockRecords records, bool direct) const = 0;
  virtual Task Options(const CEventClientPtr& client, OptionRecords records, bool direct) const = 0;
  virtual Task NstdOptions(const CEventClientPtr& client, NstdOptionRecords records, bool direct) const = 0;
  // The records of future options hold the future in StockSymbol.
  virtual Task FutOptions(const CEventClientPtr& client, OptionRecords records, bool direct) const = 0;
  virtual Task Futures(const CEventClientPtr& client, FuturesRecords records, bool direct) const = 0;
  virtual Task IVIndexes(const CEventClientPtr& client, IVIndexRecords records) const = 0;
  virtual Task IVSurfaces(const CEventClientPtr& client, IVSurfaceRecords records) const = 0;
  virtual Task FutIVIndexes(const CEventClientPtr& client, IVIndexRecords records) const = 0;
  virtual Task FutIVSurfaces(const CEventClientPtr& client, IVSurfaceRecords records) const = 0;

 protected:
  ~CTableEventMaker() = default;
};

// Installed once, before any table sends; the maker lives as long as the
// program.
void InstallTableEventMaker(const CTableEventMaker* maker);
// The installed maker. Raises _com_error(E_NOTIMPL) in a program without
// one, so that the table logs the lost event as any other failed one.
const CTableEventMaker& TableEventMaker();
