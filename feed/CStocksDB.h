// The stocks and indexes of one user session: the table "stocks", fed by
// T_EQUITY_BASE and T_EQUITY_QUOTE blocks, or "stocks_direct", fed by
// T_DIRECT_EQUITY_QUOTE blocks over rows made from base-data snapshots. After
// each quote block the changed rows are read back and sent, per subscribed
// client, as stock events on the table's event pool.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "feed/CLiteDB.h"
#include "server/contract/Records.h"
#include "zmdataservice410.hh"

class CIVATMDB;

class CStocksDB : public CLiteDB {
 public:
  // One stock as the blocks of one call gave it: the numbers in record, the
  // texts kept as they came (absent until a field sets them), so that writing
  // them takes no conversion; ToStockRecord makes the record a caller sees.
  struct BlockRecord {
    StockRecord record;  // its strings stay null
    std::string symbol;
    std::optional<std::string> currency, bidExchange, askExchange, lastExchange;
    StockRecord ToStockRecord() const;
  };
  // Records of one call, by symbol: the fields of one stock merge, a later
  // value over an earlier one, and the writers walk them in symbol order.
  typedef std::map<std::string, BlockRecord> BlockMap;
  typedef std::map<CEventClientPtr, std::vector<StockRecord>, LessEventClient> ClientEvents;

  // direct picks "stocks_direct", its quote type and the direct stock event.
  CStocksDB(const std::string& databasePath, bool direct);
  ~CStocksDB() override;

  bool Initialize() override;
  void DeleteSymbol(const std::u16string& symbol, BYTE keyFlag) override;
  void DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE keyFlag) override;
  // A block with a changed-symbol list of its own.
  const uint8_t* UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                            uint8_t fieldsAmount, bool flag) override;
  void SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) override;

  // Applies one block. A quote block appends its symbols to changedSymbols,
  // which lives for the whole message, and then sends events for every
  // symbol in it. flag is not used. Returns the position just past the
  // block, or null when the rest of the message cannot be read.
  virtual const uint8_t* UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                                    uint8_t fieldsAmount, bool flag, std::vector<std::string>& changedSymbols);

  // The rows of the key's symbol (all rows are never read from the table:
  // the empty symbol always asks the service). With no row, base and quote
  // snapshots from the service, merged by symbol; these are not stored.
  // CORBA exceptions of the requests pass to the caller.
  void GetMarketData(const CSymbolKey& key, Orv::ZmDataManager_ptr service, std::vector<StockRecord>& out);
  // Stores the stocks of a T_EQUITY_BASE snapshot that have no row yet. The
  // reply (which may be null) stays the caller's.
  void ApplyBaseReply(const CORBA::Any* reply);

  // At-the-money volatility per expiration of the symbol, worked out from
  // the tables "stocks" and "options" whichever side this table serves. The
  // service is not used.
  void GetATM(const _bstr_t& symbol, Orv::ZmDataManager_ptr service, std::vector<IVATMRecord>& out);

  bool IsDirect() const { return m_direct; }
  const std::string& TableName() const { return m_table; }

 protected:
  const uint8_t* _ParseStockBase(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                 uint8_t fieldsAmount, BlockMap& map);
  const uint8_t* _ParseStockQuote(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                  uint8_t fieldsAmount, BlockMap& map);
  void _UpdateStockBase(const BlockMap& map);
  // Writes the quotes and sends the events of changedSymbols (which holds
  // the map's symbols) as the table holds them afterwards.
  void _UpdateStockQuote(const BlockMap& map, const std::vector<std::string>& changedSymbols);
  void _RequestDB(const CSymbolKey& key, std::vector<StockRecord>& out);
  void _InitializeEvents(const std::vector<std::string>& changedSymbols);
  void _SendEvent(const CEventClientPtr& client, std::vector<StockRecord> records);

 private:
  // Reads every block of a snapshot reply up to its last one into map.
  void _ReadSnapshot(const CORBA::Any* reply, bool quote, BlockMap& map);
  // The statement text of a template with this table's name.
  std::string _Sql(UINT id) const;
  class EventRows;
  // The shared text of symbol, for an event's record. Under the database
  // lock.
  const _bstr_t& _SymbolText(const std::string& symbol);
  // Reads the rows of the held symbols into rows, in the transaction of db.
  void _ReadRows(CSqliteDB& db, EventRows& rows);

  const bool m_direct;
  const std::string m_table;
  // Formatted once: loading a template from the module's resources costs
  // more than the statement it holds.
  std::map<UINT, std::string> m_sql;
  // The symbol text of each held symbol, made once and shared by the
  // records of every event that carries it, as copies of a record share it
  // anyway. Used under the database lock only.
  std::unordered_map<std::string, _bstr_t> m_symbolTexts;
  const std::unique_ptr<CIVATMDB> m_atm;
};
