// The non-standard options of one user session, each with a root id: the
// table "nstdoptions", fed by T_NSTDOPTION_BASE, T_NSTDOPTION_QUOTE and
// T_NSTDOPTION_AD blocks. Quote and analytics blocks refresh the root id
// too; events go out after analytics blocks only.
#pragma once

#include <string>
#include <vector>

#include "feed/CTableEventMaker.h"
#include "feed/OptionTable.h"
#include "server/contract/BraskOrvEntTypes.h"
#include "server/contract/Records.h"

struct CNstdOptionsDBTraits : OptionTableLogNames<true> {
  typedef NstdOptionRecord Record;

  static constexpr const char* kClass = "CNstdOptionsDB";
  static constexpr const char* kUnderlyingColumn = "stock_symbol";
  static constexpr UINT kCreateTable = 240;
  static constexpr UINT kSelectSymbol = 241;
  static constexpr UINT kSelectUnderlying = 242;
  // By root id, then underlying.
  static constexpr UINT kSelectAll = 246;
  static constexpr UINT kInsertBase = 250;
  static constexpr UINT kUpdateQuote = 251;
  static constexpr UINT kUpdateAnalytics = 252;
  static constexpr bool kQuoteCarriesAnalytics = false;

  static OptionBlockStep StepFor(uint8_t type);
  // Base, quote and analytics, always.
  static std::vector<OptionSnapshot> Snapshots(bool direct);
  // The event of the records, for client.
  static CTableEventMaker::Task Event(const CEventClientPtr& client, std::vector<Record> records, bool direct);
  static bool Less(const NstdOptionRecord& a, const NstdOptionRecord& b);
  static int ProtocolVersion();
};

class CNstdOptionsDB : public COptionTable<CNstdOptionsDBTraits> {
 public:
  // The flag only travels to the event task, which has no direct variant.
  explicit CNstdOptionsDB(const std::string& databasePath, bool direct = false);
  ~CNstdOptionsDB() override;
};
