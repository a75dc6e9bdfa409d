// Interest rates by currency and period, fetched from the equities service
// on every request; neither stored nor subscribed to.
#pragma once

#include <vector>

#include "server/contract/Records.h"
#include "zmdataservice410.hh"

class CInterestRateDB {
 public:
  // The rates of one currency, or of every currency when it is empty.
  // CORBA exceptions of the request pass to the caller.
  void GetMarketData(const _bstr_t& currency, Orv::ZmDataManager_ptr service, std::vector<InterestRateRecord>& out);
};
