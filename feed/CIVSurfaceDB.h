// The IV surface points of stocks and indexes (table "ivsurface"): one row
// per underlying, term, whole out-of-the-money level and option type, fed by
// T_IVSURFACE blocks and sent as IV surface events.
#pragma once

#include <string>

#include "feed/CIVTableDB.h"

class CIVSurfaceDB : public CIVTableDB<IVSurfaceRecord> {
 public:
  explicit CIVSurfaceDB(const std::string& databasePath);

 protected:
  void _SendEvent(const CEventClientPtr& client, const Records& records) override;
};
