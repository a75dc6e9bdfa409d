// The stocks and indexes of one user session: the table "stocks", fed by
// T_EQUITY_BASE and T_EQUITY_QUOTE blocks, or "stocks_direct", fed by
// T_DIRECT_EQUITY_QUOTE blocks over rows made from base-data snapshots. After
// each quote block the changed rows are read back and sent, per subscribed
// client, as stock events on the table's event pool.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "feed/QuoteTable.h"
#include "server/contract/Records.h"
#include "zmdataservice410.hh"

class CIVATMDB;
struct CStocksDBTraits;

// One stock as the blocks of one call gave it: the numbers in record, the
// texts kept as they came (absent until a field sets them), so that writing
// them takes no conversion; ToStockRecord makes the record a caller sees.
struct StockBlockRecord {
  StockRecord record;  // its strings stay null
  std::string symbol;
  std::optional<std::string> currency, bidExchange, askExchange, lastExchange;
  StockRecord ToStockRecord() const;
};

extern template class CQuoteTable<StockRecord, StockBlockRecord, CStocksDBTraits>;

class CStocksDB : public CQuoteTable<StockRecord, StockBlockRecord, CStocksDBTraits> {
 public:
  // direct picks "stocks_direct", its quote type and the direct stock event.
  CStocksDB(const std::string& databasePath, bool direct);
  ~CStocksDB() override;

  // At-the-money volatility per expiration of the symbol, worked out from
  // the tables "stocks" and "options" whichever side this table serves. The
  // service is not used.
  void GetATM(const _bstr_t& symbol, Orv::ZmDataManager_ptr service, std::vector<IVATMRecord>& out);

 protected:
  // The block's symbols join changedSymbols; the block's own are sent.
  void _QuotesRead(const BlockMap& map, std::vector<std::string>& changedSymbols) override;
  // Writes the quotes and sends the events of changedSymbols (which holds
  // the map's symbols) as the table holds them afterwards.
  void _UpdateStockQuote(const BlockMap& map, const std::vector<std::string>& changedSymbols);
  void _InitializeEvents(const std::vector<std::string>& changedSymbols);

 private:
  class EventRows;
  // The shared text of symbol, for an event's record. Under the database
  // lock.
  const _bstr_t& _SymbolText(const std::string& symbol);
  // Reads the rows of the held symbols into rows, in the transaction of db.
  void _ReadRows(CSqliteDB& db, EventRows& rows);

  // The symbol text of each held symbol, made once and shared by the
  // records of every event that carries it, as copies of a record share it
  // anyway. Used under the database lock only.
  std::unordered_map<std::string, _bstr_t> m_symbolTexts;
  // The table's rows as last counted, and the reads since. Under the
  // database lock.
  size_t m_tableRows = 0;
  unsigned m_readsSinceCount = 0;
  const std::unique_ptr<CIVATMDB> m_atm;
};
