// What the stock and the futures tables share: one row per symbol, made by
// base blocks (a known symbol's base data never changes) and quoted by quote
// blocks, read back by key for a late subscriber or a caller, and answered
// from the service's snapshots when the table has no row. What differs (the
// record, the block record, the statements, the key rules, the event and
// what a quote block is followed by) comes from a traits class that only the
// table's own .cpp file defines, and from the derived class.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "feed/CLiteDB.h"
#include "zmdataservice410.hh"

// What tells one quote table's blocks, statements and log lines from
// another's.
struct QuoteTableNames {
  const char* className;    // "CStocksDB": the log lines of the class
  const char* baseWriter;   // the base writer, as its error lines name it
  uint8_t baseType;         // of base blocks
  uint8_t quoteReaderType;  // the type whose reader reads its quote blocks
  UINT createId, selectSymbolId, selectAllId, updateQuoteId, insertBaseId;
};

template <class RecordType, class BlockRecordType, class Traits>
class CQuoteTable : public CLiteDB {
 public:
  typedef RecordType Record;
  typedef BlockRecordType BlockRecord;
  // Records of one call, by symbol: the fields of one symbol merge, a later
  // value over an earlier one, and the writers walk them in symbol order.
  typedef std::map<std::string, BlockRecord> BlockMap;
  typedef std::map<CEventClientPtr, std::vector<Record>, LessEventClient> ClientEvents;

  ~CQuoteTable() override;

  // UpdateData: the block with a changed list of its own. SendCurrentData:
  // an empty event too, so that the client learns that nothing is cached.
  ORV_CACHE_TABLE_OVERRIDES

  // Applies one block. A quote block adds what it changed to changed, which
  // lives for the whole message, and sends the events of the table's kind.
  // flag is not used. Returns the position just past the block, or null for
  // a type this table does not read or a block that cannot be read (nothing
  // is then written or sent for it).
  virtual const uint8_t* UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                                    uint8_t fieldsAmount, bool flag, std::vector<std::string>& changed);

  // The key's rows; with none (or for the empty symbol, which always asks
  // the service) base and quote snapshots from the service, merged by
  // symbol and not stored. CORBA exceptions of the requests pass to the
  // caller.
  void GetMarketData(const CSymbolKey& key, Orv::ZmDataManager_ptr service, std::vector<Record>& out);
  // Stores the symbols of a base snapshot that have no row yet. The reply
  // (which may be null) stays the caller's.
  void ApplyBaseReply(const CORBA::Any* reply);

  bool IsDirect() const { return m_direct; }
  const std::string& TableName() const { return m_table; }

 protected:
  // direct picks the table and the event where the table has a direct side.
  CQuoteTable(const std::string& databasePath, bool direct);

  const uint8_t* _ParseBase(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount, uint8_t fieldsAmount,
                            BlockMap& map);
  const uint8_t* _ParseQuote(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount, uint8_t fieldsAmount,
                             BlockMap& map);
  // Inserts the symbols that have no row yet.
  void _UpdateBase(const BlockMap& map);
  // The quote update of every record of the map, in db's transaction.
  void _WriteQuotes(CSqliteDB& db, const BlockMap& map);
  // What a quote block that was read whole goes on to do.
  virtual void _QuotesRead(const BlockMap& map, std::vector<std::string>& changed) = 0;
  void _RequestDB(const CSymbolKey& key, std::vector<Record>& out);
  void _SendEvent(const CEventClientPtr& client, std::vector<Record> records);
  // The statement text of a template with this table's name.
  std::string _Sql(UINT id) const;

 private:
  // Reads every block of a snapshot reply up to its last one into map.
  void _ReadSnapshot(const CORBA::Any* reply, bool quote, BlockMap& map);

  const bool m_direct;
  const std::string m_table;
  // Formatted once: loading a template from the module's resources costs
  // more than the statement it holds.
  std::map<UINT, std::string> m_sql;
};
