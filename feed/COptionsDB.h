// The equity options of one user session: the table "options", fed by
// T_OPTION_BASE, T_OPTION_QUOTE and T_OPTION_AD blocks, or "options_direct",
// fed by T_DIRECT_OPTION_QUOTE blocks over rows made from base snapshots.
// Events go out after analytics blocks only: a quote block on its own would
// send every option of its underlyings once more for each block of a
// message.
#pragma once

#include <string>
#include <vector>

#include "feed/CTableEventMaker.h"
#include "feed/OptionTable.h"
#include "server/contract/BraskOrvEntTypes.h"
#include "server/contract/Records.h"

struct COptionsDBTraits : OptionTableLogNames<> {
  typedef OptionRecord Record;

  static constexpr const char* kClass = "COptionsDB";
  static constexpr const char* kUnderlyingColumn = "stock_symbol";
  static constexpr UINT kCreateTable = 109;
  static constexpr UINT kSelectSymbol = 110;
  static constexpr UINT kSelectUnderlying = 111;
  static constexpr UINT kSelectAll = 114;
  static constexpr UINT kInsertBase = 132;
  static constexpr UINT kUpdateQuote = 101;
  static constexpr UINT kUpdateAnalytics = 119;
  static constexpr bool kQuoteCarriesAnalytics = false;

  static OptionBlockStep StepFor(uint8_t type);
  // Base, quote (direct quotes for the direct table) and, unless direct,
  // analytics.
  static std::vector<OptionSnapshot> Snapshots(bool direct);
  // The event of the records, for client.
  static CTableEventMaker::Task Event(const CEventClientPtr& client, std::vector<Record> records, bool direct);
  static bool Less(const OptionRecord& a, const OptionRecord& b);
  // The option symbol is 64 bytes wide under protocol version 2.
  static int ProtocolVersion();
};

class COptionsDB : public COptionTable<COptionsDBTraits> {
 public:
  // direct picks "options_direct", its quote type and the direct option
  // event.
  COptionsDB(const std::string& databasePath, bool direct);
  ~COptionsDB() override;

  // As every option table, and also the index that the ATM statements'
  // nearest-strike look-ups and their call/put pairing go through.
  bool Initialize() override;

  // Stores the options of a T_OPTION_BASE snapshot that have no row yet;
  // no events. The reply (which may be null) stays the caller's.
  void ApplyBaseReply(const CORBA::Any* reply) { _ApplyBaseReply(reply); }
};
