// The IV surface points of futures roots (table "future_ivsurface"): one row
// per root, term, out-of-the-money level (fractional levels kept) and option
// type, fed by T_FUTURE_IVSURFACE blocks and sent as futures IV surface
// events.
#pragma once

#include <string>

#include "feed/CIVTableDB.h"

class CFutIVSurfaceDB : public CIVTableDB<IVSurfaceRecord> {
 public:
  explicit CFutIVSurfaceDB(const std::string& databasePath);

 protected:
  void _SendEvent(const CEventClientPtr& client, const Records& records) override;
};
