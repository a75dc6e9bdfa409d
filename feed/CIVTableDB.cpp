#include "feed/CIVTableDB.h"
#include "feed/TableErrorLog.h"

#include <iomanip>
#include <map>
#include <set>
#include <sstream>

#include "Idl/OrvPayload.h"
#include "feed/CDatabaseLock.h"
#include "feed/CSettings.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/DecompressMessage.h"
#include "feed/IVRecordTraits.h"
#include "feed/MessageFormat.h"
#include "feed/RequestSnapshot.h"
#include "feed/SnapshotReply.h"
#include "feed/SqlTemplates.h"

namespace {

constexpr UINT kSymbolExists = 134;

// Fills the records of an unkeyed IV block. One record serves the whole
// block: a field that the block does not carry keeps the previous record's
// value.
template <class Record>
class IVBlockSink : public IBlockSink {
 public:
  explicit IVBlockSink(typename CIVTableDB<Record>::Records& records, std::vector<std::string>& symbols)
      : m_records(records), m_symbols(symbols) {}

  void Reserve(size_t records) override {
    m_records.reserve(m_records.size() + records);
    m_symbols.reserve(m_symbols.size() + records);
  }
  void BeginRecord(const FieldValue*) override {}
  void Field(const FieldValue& v) override {
    if (v.id == F_SYMBOL) {
      const std::string_view text = v.AsText();
      // Consecutive points of one symbol share its string.
      if (text != m_symbol) {
        m_symbol.assign(text.data(), text.size());
        m_record.Symbol = m_symbol.empty() ? _bstr_t() : _bstr_t(m_symbol.c_str());
      }
      return;
    }
    IVRecordTraits<Record>::ApplyField(m_record, v);
  }
  void EndRecord() override {
    m_records.push_back(m_record);
    m_symbols.push_back(m_symbol);
  }

 private:
  typename CIVTableDB<Record>::Records& m_records;
  std::vector<std::string>& m_symbols;
  Record m_record;
  std::string m_symbol;
};

}  // namespace

template <class Record>
CIVTableDB<Record>::CIVTableDB(const std::string& databasePath, const IVTableNames& names)
    : CLiteDB(databasePath), m_names(names), m_table(names.table) {}

template <class Record>
std::string CIVTableDB<Record>::_Sql(UINT id) const {
  return LoadSqlTemplate(id, m_table);
}

template <class Record>
bool CIVTableDB<Record>::Initialize() {
  return InitializeTable(m_names.className, m_table, m_names.createId);
}

template <class Record>
void CIVTableDB<Record>::DeleteSymbol(const std::u16string& symbol, BYTE) {
  _DeleteSymbolFromDB(m_table, symbol, 0);
}

template <class Record>
void CIVTableDB<Record>::DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE) {
  _DeleteSymbolFromDB(m_table, symbols, 0);
}

template <class Record>
const uint8_t* CIVTableDB<Record>::_Parse(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                          uint8_t fieldsAmount, Parsed& out) {
  const BlockReaderDef* def = ReaderFor(m_names.messageType, 0);
  if (def == nullptr || data == nullptr) return nullptr;
  if (m_names.parseName != nullptr) ORV_LOG(orvlog::kTrace, m_names.parseName << " started");
  IVBlockSink<Record> sink(out.records, out.symbols);
  const uint8_t* next = ReadBlock(*def, data, end, blocksAmount, fieldsAmount, &sink);
  if (m_names.parseName != nullptr) ORV_LOG(orvlog::kTrace, m_names.parseName << " completed");
  return next;
}

template <class Record>
const uint8_t* CIVTableDB<Record>::UpdateData(const uint8_t* data, const uint8_t* end, uint8_t, uint32_t blocksAmount,
                                              uint8_t fieldsAmount, bool) {
  if (data == nullptr) return nullptr;
  ORV_LOG(orvlog::kTrace, m_names.updateName << "::UpdateData() started");
  Parsed parsed;
  const uint8_t* next = _Parse(data, end, blocksAmount, fieldsAmount, parsed);
  // A block that could not be read is neither stored nor announced.
  if (next != nullptr) {
    _UpdateDB(parsed);

    // The records as the block gave them, not as stored: one without a
    // symbol was not written, yet it still goes to the clients of the empty
    // key, as every record goes to the clients of its own symbol.
    std::map<CEventClientPtr, Records, LessEventClient> events;
    const std::string* runSymbol = nullptr;
    ClientSet clients;
    for (size_t i = 0; i < parsed.records.size(); ++i) {
      if (runSymbol == nullptr || *runSymbol != parsed.symbols[i]) {
        runSymbol = &parsed.symbols[i];
        clients = SubscribersOf(CSymbolKey(parsed.records[i].Symbol.GetBSTR(), 0));
      }
      for (const CEventClientPtr& client : clients) events[client].push_back(parsed.records[i]);
    }
    for (const auto& entry : events) _SendEvent(entry.first, entry.second);
  }
  ORV_LOG(orvlog::kTrace, m_names.updateName << "::UpdateData() completed");
  return next;
}

template <class Record>
void CIVTableDB<Record>::_UpdateDB(const Parsed& parsed) {
  typedef IVRecordTraits<Record> Traits;
  // Nothing to store: no empty transaction either.
  bool any = false;
  for (const std::string& s : parsed.symbols) any = any || !s.empty();
  if (!any) return;

  ORV_LOG(orvlog::kTrace, m_names.className << "::_UpdateDB started");
  this->WriteTransaction(m_names.className, "_UpdateDB", [&](CSqliteDB& db) {
    const std::string insertSql = _Sql(m_names.insertId);
    const std::string updateSql = _Sql(m_names.updateId);
    const std::string existsSql = _Sql(kSymbolExists);
    CSqliteStatement insert = db.Prepare(insertSql.c_str());
    CSqliteStatement update = db.Prepare(updateSql.c_str());
    // On the writing connection, so that it sees what this block has
    // already written.
    CSqliteStatement exists = db.Prepare(existsSql.c_str());
    // Prepared when a block first brings a point whose key has a NULL part.
    CSqliteStatement updateNullKey;
    bool nullKeyPrepared = false;

    const std::string* current = nullptr;
    bool known = false;
    // Keys written by the current run of a symbol that had no rows: a repeat
    // of one of them updates the row instead of failing the block.
    std::set<typename Traits::Key> written;
    for (size_t i = 0; i < parsed.records.size(); ++i) {
      const std::string& symbol = parsed.symbols[i];
      if (symbol.empty()) continue;
      const Record& r = parsed.records[i];
      if (current == nullptr || *current != symbol) {
        current = &symbol;
        known = RowExists(exists, symbol.c_str());
        written.clear();
      }
      const typename Traits::Key key = Traits::KeyOf(r);
      // Upsert by the table's key: a symbol with rows may still bring a key
      // it has not had (a new term).
      if (known || written.count(key) != 0) {
        CSqliteStatement* u = &update;
        if (Traits::HasNullKey(r)) {
          if (!nullKeyPrepared) {
            updateNullKey = db.Prepare(Traits::NullKeyUpdateSql(m_table).c_str());
            nullKeyPrepared = true;
          }
          u = &updateNullKey;
        }
        Traits::BindUpdate(*u, symbol.c_str(), r);
        const int changed = u->RunCommand();
        u->Reset();
        if (changed > 0) continue;
      }
      Traits::BindInsert(insert, symbol.c_str(), r);
      insert.RunCommand();
      insert.Reset();
      if (!known) written.insert(key);
    }
    insert.Release();
    update.Release();
    if (nullKeyPrepared) updateNullKey.Release();
    exists.Release();
  });
  ORV_LOG(orvlog::kTrace, m_names.className << "::_UpdateDB completed");
}

template <class Record>
void CIVTableDB<Record>::_RequestDB(const std::string& symbol, Records& out) {
  this->ReadAccess(m_names.requestName, "_RequestDB", [&](CSqliteDB& db) {
    const bool all = symbol.empty();
    const std::string sql = _Sql(all ? m_names.selectAllId : m_names.selectSymbolId);
    CSqliteStatement select = db.Prepare(sql.c_str());
    if (!all) select.BindText(1, symbol.c_str());
    for (CSqliteQuery query = select.RunQuery(); !query.AtEnd(); query.Next()) {
      Record r;
      IVRecordTraits<Record>::ReadRow(query, r);
      out.push_back(r);
    }
  });
}

template <class Record>
void CIVTableDB<Record>::SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) {
  Records records;
  _RequestDB(key.Narrow(), records);
  // An empty cursor too: the client learns that nothing is cached.
  _SendEvent(client, records);
}

template <class Record>
void CIVTableDB<Record>::_ReadSnapshot(const CORBA::Any* reply, Records& out) {
  // Each block is read whole or not at all.
  Parsed parsed;
  ReadSnapshotReply(reply, [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
    return _Parse(body, end, header.blocks_amount, header.fields_amount, parsed);
  });
  out.insert(out.end(), parsed.records.begin(), parsed.records.end());
}

template <class Record>
void CIVTableDB<Record>::GetMarketData(const std::u16string& symbol, Orv::ZmDataManager_ptr service, Records& out) {
  const size_t before = out.size();
  const CSymbolKey key(symbol, 0);
  if (!key.Empty()) _RequestDB(key.Narrow(), out);
  if (out.size() != before) return;
  const std::unique_ptr<CORBA::Any> reply(RequestSnapshot(m_names.messageType, 1, key, service));
  _ReadSnapshot(reply.get(), out);
}

template class CIVTableDB<IVIndexRecord>;
template class CIVTableDB<IVSurfaceRecord>;
