// The members of CQuoteTable. Included only by the .cpp file of each quote
// table, which defines its traits and instantiates the template for them.
//
// A traits class gives, as static members:
//   kNames                       its blocks, statements and log lines
//   IsQuoteType(type)            whether a block of type is a quote block
//   TableName(direct), Index()   the table and the index made with it
//   ApplyBaseField, ApplyQuoteField, BindBase, ToRecord
//                                a block record's fields in and out
//   RowReader                    reads a selected row into a record
//   SelectFor(key), TableKey(key), DeleteFlag(keyFlag)
//                                the key rules
//   kBaseSnapshot, kQuoteSnapshot, kDirectQuoteSnapshot
//                                the snapshots of GetMarketData
//   Event(client, records, direct)
//                                the event of the records
//   OnBase(), OnInsert(b), OnQuote(b)
//                                the writers' own debug lines
#pragma once

#include <memory>
#include <utility>

#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/CursorEvent.h"
#include "feed/MessageFormat.h"
#include "feed/QuoteBlock.h"
#include "feed/QuoteTable.h"
#include "feed/RequestSnapshot.h"
#include "feed/SnapshotReply.h"
#include "feed/SqlTemplates.h"
#include "feed/StopEvent.h"
#include "platform/log/Log.h"

template <class R, class B, class T>
CQuoteTable<R, B, T>::CQuoteTable(const std::string& databasePath, bool direct)
    : CLiteDB(databasePath), m_direct(direct), m_table(T::TableName(direct)) {
  for (UINT id : {T::kNames.createId, T::kNames.selectSymbolId, T::kNames.selectAllId, T::kNames.updateQuoteId, T::kNames.insertBaseId}) {
    try {
      m_sql[id] = LoadSqlTemplate(id, m_table);
    } catch (...) {
      // Loaded again at each use, where a failure is reported.
    }
  }
}

template <class R, class B, class T>
CQuoteTable<R, B, T>::~CQuoteTable() = default;

template <class R, class B, class T>
std::string CQuoteTable<R, B, T>::_Sql(UINT id) const {
  const auto it = m_sql.find(id);
  return it != m_sql.end() ? it->second : LoadSqlTemplate(id, m_table);
}

template <class R, class B, class T>
bool CQuoteTable<R, B, T>::Initialize() {
  return InitializeTable(T::kNames.className, m_table, T::kNames.createId, T::Index());
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::DeleteSymbol(const std::u16string& symbol, BYTE keyFlag) {
  _DeleteSymbolFromDB(m_table, symbol, T::DeleteFlag(keyFlag));
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE keyFlag) {
  _DeleteSymbolFromDB(m_table, symbols, T::DeleteFlag(keyFlag));
}

template <class R, class B, class T>
const uint8_t* CQuoteTable<R, B, T>::UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type,
                                                uint32_t blocksAmount, uint8_t fieldsAmount, bool flag) {
  std::vector<std::string> changed;
  return UpdateData(data, end, type, blocksAmount, fieldsAmount, flag, changed);
}

template <class R, class B, class T>
const uint8_t* CQuoteTable<R, B, T>::UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type,
                                                uint32_t blocksAmount, uint8_t fieldsAmount, bool,
                                                std::vector<std::string>& changed) {
  ORV_LOG(orvlog::kTrace, T::kNames.className << "::UpdateData() started");
  BlockMap map;
  const uint8_t* next = nullptr;
  if (type == T::kNames.baseType) {
    next = _ParseBase(data, end, blocksAmount, fieldsAmount, map);
    if (next != nullptr) _UpdateBase(map);
  } else if (T::IsQuoteType(type)) {
    next = _ParseQuote(data, end, blocksAmount, fieldsAmount, map);
    // A block that could not be read is not applied, and what it would
    // have changed is unknown: no events for it either.
    if (next != nullptr) _QuotesRead(map, changed);
  } else {
    ORV_LOG(orvlog::kError, T::kNames.className << "::UpdateData() unknown type in statement " << static_cast<int>(type));
  }
  ORV_LOG(orvlog::kTrace, T::kNames.className << "::UpdateData() completed");
  return next;
}

template <class R, class B, class T>
const uint8_t* CQuoteTable<R, B, T>::_ParseBase(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                                uint8_t fieldsAmount, BlockMap& map) {
  quoteblock::BlockMapSink<B, decltype(&T::ApplyBaseField)> sink(map, &T::ApplyBaseField);
  return ReadBlock(*ReaderFor(T::kNames.baseType, 0), data, end, blocksAmount, fieldsAmount, &sink);
}

template <class R, class B, class T>
const uint8_t* CQuoteTable<R, B, T>::_ParseQuote(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                                 uint8_t fieldsAmount, BlockMap& map) {
  quoteblock::BlockMapSink<B, decltype(&T::ApplyQuoteField)> sink(map, &T::ApplyQuoteField);
  return ReadBlock(*ReaderFor(T::kNames.quoteReaderType, 0), data, end, blocksAmount, fieldsAmount, &sink);
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::_UpdateBase(const BlockMap& map) {
  T::OnBase();
  if (map.empty()) return;  // an empty transaction would change nothing
  WriteTransaction(T::kNames.className, T::kNames.baseWriter, [&](CSqliteDB& db) {
    const std::string insertSql = _Sql(T::kNames.insertBaseId);
    const std::string selectSql = _Sql(T::kNames.selectSymbolId);
    CSqliteStatement select = db.Prepare(selectSql.c_str());
    CSqliteStatement insert = db.Prepare(insertSql.c_str());
    for (const auto& entry : map) {
      const B& b = entry.second;
      // Base data never overwrites a row.
      if (RowExists(select, b.symbol.c_str())) continue;
      T::BindBase(insert, b);
      T::OnInsert(b);
      insert.RunCommand();
      insert.Reset();
    }
    select.Release();
    insert.Release();
  });
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::_WriteQuotes(CSqliteDB& db, const BlockMap& map) {
  const std::string sql = _Sql(T::kNames.updateQuoteId);
  CSqliteStatement update = db.Prepare(sql.c_str());
  for (const auto& entry : map) {
    T::OnQuote(entry.second);
    quoteblock::BindQuote(update, entry.second);
    update.RunCommand();
    update.Reset();
  }
  update.Release();
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::_RequestDB(const CSymbolKey& key, std::vector<R>& out) {
  ReadAccess(T::kNames.className, "_RequestDB", [&](CSqliteDB& db) {
    const bool all = key.Empty();
    const std::string sql = _Sql(all ? T::kNames.selectAllId : T::SelectFor(key));
    const std::string symbol = key.Narrow();
    CSqliteStatement select = db.Prepare(sql.c_str());
    if (!all) select.BindText(1, symbol.c_str());
    typename T::RowReader read;
    for (CSqliteQuery query = select.RunQuery(); !query.AtEnd() && !IsStopRequested(); query.Next()) {
      R r;
      read(query, r);
      out.push_back(r);
    }
  });
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::_SendEvent(const CEventClientPtr& client, std::vector<R> records) {
  SendCursorEvent(
      T::kNames.className, [&] { return T::Event(client, std::move(records), m_direct); },
      [&](CTableEventMaker::Task task) { PostTask(std::move(task)); });
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) {
  std::vector<R> records;
  _RequestDB(T::TableKey(key), records);
  _SendEvent(client, std::move(records));
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::_ReadSnapshot(const CORBA::Any* reply, bool quote, BlockMap& map) {
  // Each block is read whole or not at all.
  ReadSnapshotReply(reply, [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
    return quote ? _ParseQuote(body, end, header.blocks_amount, header.fields_amount, map)
                 : _ParseBase(body, end, header.blocks_amount, header.fields_amount, map);
  });
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::GetMarketData(const CSymbolKey& key, Orv::ZmDataManager_ptr service, std::vector<R>& out) {
  if (!key.Empty()) _RequestDB(T::TableKey(key), out);
  if (!out.empty()) return;

  BlockMap map;
  {
    const std::unique_ptr<CORBA::Any> reply(RequestSnapshot(T::kBaseSnapshot, key, service));
    _ReadSnapshot(reply.get(), false, map);
  }
  {
    const std::unique_ptr<CORBA::Any> reply(
        RequestSnapshot(T::kQuoteSnapshot, key, service, T::kDirectQuoteSnapshot && m_direct));
    _ReadSnapshot(reply.get(), true, map);
  }
  out.reserve(out.size() + map.size());
  for (const auto& entry : map) out.push_back(T::ToRecord(entry.second));
}

template <class R, class B, class T>
void CQuoteTable<R, B, T>::ApplyBaseReply(const CORBA::Any* reply) {
  BlockMap map;
  if (reply != nullptr) _ReadSnapshot(reply, false, map);
  _UpdateBase(map);
}
