// The IV index points of futures roots (table "future_ivindex"): one row per
// root and term, fed by T_FUTURE_IVINDEX blocks and sent as futures IV index
// events.
#pragma once

#include <string>

#include "feed/CIVTableDB.h"

class CFutIVIndexDB : public CIVTableDB<IVIndexRecord> {
 public:
  explicit CFutIVIndexDB(const std::string& databasePath);

 protected:
  void _SendEvent(const CEventClientPtr& client, const Records& records) override;
};
