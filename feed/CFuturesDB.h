// The futures contracts of one user session: the table "futures", fed by
// T_FUTURE_BASE blocks (new contracts) and T_FUTURE_QUOTE blocks (prices of
// known ones). After a quote block every future of each root it touched is
// read back and sent, per subscribed client, as one futures event.
//
// A key with its flag set names a root, a key with the flag clear names one
// future: the session subscribes the services that way, and the table
// reads, announces and deletes by the same rule.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "feed/QuoteTable.h"
#include "server/contract/Records.h"
#include "zmdataservice410.hh"

struct CFuturesDBTraits;

// One future as the blocks of one call gave it; the texts stay narrow
// until a caller needs the record.
struct FutureBlockRecord {
  FutureRecord record;  // its strings stay null
  std::string symbol, root;
  std::string bidExchange, askExchange, lastExchange;
  FutureRecord ToFutureRecord() const;
};

extern template class CQuoteTable<FutureRecord, FutureBlockRecord, CFuturesDBTraits>;

class CFuturesDB : public CQuoteTable<FutureRecord, FutureBlockRecord, CFuturesDBTraits> {
 public:
  // direct is only handed on to the event tasks.
  explicit CFuturesDB(const std::string& databasePath, bool direct = false);
  ~CFuturesDB() override;

  // Adds the distinct non-empty roots of the map to list, in map order.
  static void CollectRoots(std::vector<std::string>& list, const BlockMap& map);

 protected:
  // Writes the quotes, adds the roots they touched to roots (kept
  // distinct; the list is the caller's and is not emptied) and sends events
  // for the roots this block touched.
  void _QuotesRead(const BlockMap& map, std::vector<std::string>& roots) override;
  void _UpdateFutureQuote(const BlockMap& map);
  void _InitializeEvents(const std::vector<std::string>& roots);
};
