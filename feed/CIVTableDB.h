// The shape shared by the four IV tables (index and surface, of equities and
// of futures): one row per symbol and key (term; for surfaces term, otm and
// type), written by update blocks, read back by symbol or whole, and sent as
// one event per subscribed client and block. The tables differ in their
// names, template numbers, record kind and event; those come from the
// derived class and from IVRecordTraits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "feed/CLiteDB.h"
#include "feed/CursorEvent.h"
#include "feed/CSqliteStatement.h"
#include "feed/CTableEventMaker.h"
#include "platform/log/Log.h"
#include "server/contract/Records.h"
#include "zmdataservice410.hh"

// What tells one IV table from another.
struct IVTableNames {
  const char* table;        // "ivsurface"
  const char* className;    // "CIVSurfaceDB": the log lines of the class
  const char* updateName;   // the class as UpdateData names itself in its log lines
  const char* requestName;  // the class as the local read names itself in its error lines
  const char* parseName;    // the reader in its trace lines; null: it writes none
  uint8_t messageType;      // of update blocks and snapshot requests
  UINT createId, insertId, updateId, selectSymbolId, selectAllId;
};

template <class Record>
class CIVTableDB : public CLiteDB {
 public:
  typedef std::vector<Record> Records;

  CIVTableDB(const std::string& databasePath, const IVTableNames& names);

  // Initialize: creates the table, or empties the one an earlier Initialize
  // made. UpdateData: stores the records of one block and sends each client
  // that holds one of their symbols one event with its records, in block
  // order; flag is not used; null when the block cannot be read (nothing is
  // then written or sent). SendCurrentData: the symbol's rows (every row for
  // the empty symbol), as one event, also when there are none.
  ORV_CACHE_TABLE_OVERRIDES

  // Appends the symbol's rows; when that adds nothing (always for the empty
  // symbol, which never reads the table) a snapshot of the service, which is
  // not stored. CORBA exceptions of the request pass to the caller.
  void GetMarketData(const std::u16string& symbol, Orv::ZmDataManager_ptr service, Records& out);

  const std::string& TableName() const { return m_table; }

 protected:
  // The records of a block with their symbols as narrow text, which the
  // writer binds.
  struct Parsed {
    Records records;
    std::vector<std::string> symbols;
  };

  const uint8_t* _Parse(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount, uint8_t fieldsAmount,
                        Parsed& out);
  void _UpdateDB(const Parsed& parsed);
  void _RequestDB(const std::string& symbol, Records& out);

  // Builds the event of the derived class's cursor and task (_PostEvent).
  virtual void _SendEvent(const CEventClientPtr& client, const Records& records) = 0;
  // The maker's event of this table's kind.
  typedef CTableEventMaker::Task (CTableEventMaker::*MakeEvent)(const CEventClientPtr& client, Records records) const;
  void _PostEvent(const CEventClientPtr& client, const Records& records, MakeEvent event);

  const IVTableNames& Names() const { return m_names; }

 private:
  std::string _Sql(UINT id) const;
  void _ReadSnapshot(const CORBA::Any* reply, Records& out);

  const IVTableNames m_names;
  const std::string m_table;
};

template <class Record>
void CIVTableDB<Record>::_PostEvent(const CEventClientPtr& client, const Records& records, MakeEvent event) {
  SendCursorEvent(
      m_names.className, [&] { return (TableEventMaker().*event)(client, records); },
      [&](CTableEventMaker::Task task) { this->PostTask(std::move(task)); });
}
