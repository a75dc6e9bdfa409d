// Historical volatility of a symbol by period, fetched from the equities
// service on every request; neither stored nor subscribed to.
#pragma once

#include <vector>

#include "server/contract/Records.h"
#include "zmdataservice410.hh"

class CHVDB {
 public:
  // Always the one-symbol request, also for the empty symbol: the service
  // has no all-symbols form of it. CORBA exceptions pass to the caller.
  void GetMarketData(const _bstr_t& symbol, Orv::ZmDataManager_ptr service, std::vector<HVRecord>& out);
};
