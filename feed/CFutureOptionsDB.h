// The options on futures of one user session: the table "futureoptions",
// keyed by option symbol with the future in future_symbol, fed by
// T_FUTURE_OPTION_BASE blocks and by T_FUTURE_OPTION blocks, which carry
// quote and analytics together and are each followed by events.
#pragma once

#include <string>
#include <vector>

#include "feed/CTableEventMaker.h"
#include "feed/OptionTable.h"
#include "server/contract/BraskOrvEntTypes.h"
#include "server/contract/Records.h"

struct CFutureOptionsDBTraits : OptionTableLogNames<> {
  typedef OptionRecord Record;  // StockSymbol holds the future

  static constexpr const char* kClass = "CFutureOptionsDB";
  static constexpr const char* kUnderlyingColumn = "future_symbol";
  static constexpr UINT kCreateTable = 142;
  static constexpr UINT kSelectSymbol = 144;
  static constexpr UINT kSelectUnderlying = 148;
  static constexpr UINT kSelectAll = 146;
  static constexpr UINT kInsertBase = 143;
  static constexpr UINT kUpdateQuote = 145;
  static constexpr UINT kUpdateAnalytics = 0;  // no block of its own
  static constexpr bool kQuoteCarriesAnalytics = true;
  // Log lines of this table alone, which its readers of the log look for:
  // the writers' lines repeat their verb, each query of the re-read says
  // whether it found rows, and "Requesting data" follows the table read of
  // every GetMarketData, served from the table or not.
  static constexpr bool kFutureOptionLines = true;
  static constexpr const char* kAddedLine = "CFutureOptionsDB::_PrepareSymbolsForEvents added ";

  static OptionBlockStep StepFor(uint8_t type);
  // Base, then quote with analytics.
  static std::vector<OptionSnapshot> Snapshots(bool direct);
  // The event of the records, for client.
  static CTableEventMaker::Task Event(const CEventClientPtr& client, std::vector<Record> records, bool direct);
  static bool Less(const OptionRecord& a, const OptionRecord& b);
  // Futures option symbols are always 64 bytes wide.
  static int ProtocolVersion() { return 0; }
};

class CFutureOptionsDB : public COptionTable<CFutureOptionsDBTraits> {
 public:
  // The flag only travels to the event task, which has no direct variant.
  explicit CFutureOptionsDB(const std::string& databasePath, bool direct = false);
  ~CFutureOptionsDB() override;

  // Stores the options of a T_FUTURE_OPTION_BASE snapshot that have no row
  // yet; no events. The reply (which may be null) stays the caller's.
  void ApplyBaseReply(const CORBA::Any* reply) { _ApplyBaseReply(reply); }
};
