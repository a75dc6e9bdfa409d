// The IV index points of stocks and indexes (table "ivindex"): one row per
// underlying and term, fed by T_IVINDEX blocks and sent as IV index events.
#pragma once

#include <string>

#include "feed/CIVTableDB.h"

class CIVIndexDB : public CIVTableDB<IVIndexRecord> {
 public:
  explicit CIVIndexDB(const std::string& databasePath);

 protected:
  void _SendEvent(const CEventClientPtr& client, const Records& records) override;
};
