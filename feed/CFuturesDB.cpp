#include "feed/CFuturesDB.h"
#include "feed/TableErrorLog.h"

#include <algorithm>
#include <iomanip>
#include <memory>
#include <sstream>

#include "feed/CDatabaseLock.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/CursorEvent.h"
#include "feed/MessageFormat.h"
#include "feed/QuoteBlock.h"
#include "feed/RequestSnapshot.h"
#include "feed/SnapshotReply.h"
#include "feed/SqlTemplates.h"
#include "feed/StopEvent.h"
#include "platform/log/Log.h"

namespace {

const char* const kTable = "futures";
// Every read of events and of a root's rows goes by root symbol.
const char* const kCreateIndex = "CREATE INDEX IF NOT EXISTS futures_root_indx ON futures (root_symbol)";

constexpr UINT kCreateTable = 136;
constexpr UINT kUpdateQuote = 138;
constexpr UINT kSelectAll = 139;
constexpr UINT kSelectSymbol = 140;
constexpr UINT kInsertBase = 141;
constexpr UINT kSelectRoot = 160;

void ApplyField(CFuturesDB::BlockRecord& b, const FieldValue& v) {
  switch (v.id) {
    case F_FUTURE_SYMBOL: b.symbol = v.AsText(); break;
    case F_ROOT_SYMBOL: b.root = v.AsText(); break;
    case F_EXPIRATION_DATE: b.record.ExpirationDate = v.AsDouble(); break;
    default: quoteblock::ApplyQuoteField(b, v); break;
  }
}

typedef quoteblock::BlockMapSink<CFuturesDB::BlockRecord, decltype(&ApplyField)> BlockMapSink;

// Columns by position, as templates 139, 140 and 160 select them. Every
// FLOAT column and the expiration come back with single precision.
void ReadFutureRow(const CSqliteQuery& q, FutureRecord& r) {
  r.Symbol = q.TextAt(0);
  r.RootSymbol = q.TextAt(1);
  r.ExpirationDate = q.FloatAt(2);
  r.Type[0] = q.TextAt(3)[0];
  r.Type[1] = '\0';
  r.LastPrice = q.FloatAt(4);
  r.LastDate = q.FloatAt(5);
  r.LastExchange = q.TextAt(6);
  r.BidPrice = q.FloatAt(7);
  r.BidDate = q.FloatAt(8);
  r.BidExchange = q.TextAt(9);
  r.AskPrice = q.FloatAt(10);
  r.AskDate = q.FloatAt(11);
  r.AskExchange = q.TextAt(12);
  r.LastSize = q.IntAt(13);
  r.BidSize = q.IntAt(14);
  r.AskSize = q.IntAt(15);
  r.Volume = q.IntAt(16);
}

using orvcom::Widen;

}  // namespace

FutureRecord CFuturesDB::BlockRecord::ToFutureRecord() const {
  FutureRecord r = record;
  r.Symbol = symbol.c_str();
  r.RootSymbol = root.c_str();
  r.BidExchange = bidExchange.c_str();
  r.AskExchange = askExchange.c_str();
  r.LastExchange = lastExchange.c_str();
  return r;
}

CFuturesDB::CFuturesDB(const std::string& databasePath, bool direct) : CLiteDB(databasePath), m_direct(direct) {}

CFuturesDB::~CFuturesDB() = default;

bool CFuturesDB::Initialize() { return InitializeTable("CFuturesDB", kTable, kCreateTable, kCreateIndex); }

void CFuturesDB::DeleteSymbol(const std::u16string& symbol, BYTE keyFlag) {
  _DeleteSymbolFromDB(kTable, symbol, keyFlag);
}

void CFuturesDB::DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE keyFlag) {
  _DeleteSymbolFromDB(kTable, symbols, keyFlag);
}

const uint8_t* CFuturesDB::UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                                      uint8_t fieldsAmount, bool flag) {
  std::vector<std::string> roots;
  return UpdateData(data, end, type, blocksAmount, fieldsAmount, flag, roots);
}

const uint8_t* CFuturesDB::UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                                      uint8_t fieldsAmount, bool, std::vector<std::string>& roots) {
  ORV_LOG(orvlog::kTrace, "CFuturesDB::UpdateData() started");
  BlockMap map;
  const uint8_t* next = nullptr;
  switch (type) {
    case T_FUTURE_BASE:
      next = _ParseFutureBase(data, end, blocksAmount, fieldsAmount, map);
      if (next != nullptr) _UpdateFutureBase(map);
      break;
    case T_FUTURE_QUOTE:
      next = _ParseFutureQuote(data, end, blocksAmount, fieldsAmount, map);
      // A block that could not be read is not applied, and what it would
      // have changed is unknown: no events for it either.
      if (next != nullptr) {
        _UpdateFutureQuote(map);
        CollectRoots(roots, map);
        if (!roots.empty()) _InitializeEvents(roots);
      }
      break;
    default:
      ORV_LOG(orvlog::kError, "CFuturesDB::UpdateData() unknown type in statement " << static_cast<int>(type));
      break;
  }
  ORV_LOG(orvlog::kTrace, "CFuturesDB::UpdateData() completed");
  return next;
}

const uint8_t* CFuturesDB::_ParseFutureBase(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                            uint8_t fieldsAmount, BlockMap& map) {
  BlockMapSink sink(map, &ApplyField);
  return ReadBlock(*ReaderFor(T_FUTURE_BASE, 0), data, end, blocksAmount, fieldsAmount, &sink);
}

const uint8_t* CFuturesDB::_ParseFutureQuote(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                             uint8_t fieldsAmount, BlockMap& map) {
  BlockMapSink sink(map, &ApplyField);
  return ReadBlock(*ReaderFor(T_FUTURE_QUOTE, 0), data, end, blocksAmount, fieldsAmount, &sink);
}

void CFuturesDB::_UpdateFutureBase(const BlockMap& map) {
  ORV_LOG(orvlog::kDebug, "Update Future Base");
  if (map.empty()) return;  // an empty transaction would change nothing
  WriteTransaction("CFuturesDB", "_UpdateFutureBase", [&](CSqliteDB& db) {
    const std::string insertSql = LoadSqlTemplate(kInsertBase, kTable);
    const std::string selectSql = LoadSqlTemplate(kSelectSymbol, kTable);
    CSqliteStatement select = db.Prepare(selectSql.c_str());
    CSqliteStatement insert = db.Prepare(insertSql.c_str());
    for (const auto& entry : map) {
      const BlockRecord& b = entry.second;
      // The base data of a known future never changes.
      if (RowExists(select, b.symbol.c_str())) continue;
      insert.BindText(1, b.symbol.c_str());
      insert.BindText(2, b.root.c_str());
      insert.BindDouble(3, b.record.ExpirationDate);
      insert.BindText(4, b.record.Type);
      ORV_LOG(orvlog::kDebug, "Insert  future quote: " << b.symbol << " " << b.root);
      insert.RunCommand();
      insert.Reset();
    }
    select.Release();
    insert.Release();
  });
}

void CFuturesDB::_UpdateFutureQuote(const BlockMap& map) {
  if (map.empty()) return;
  WriteTransaction("CFuturesDB", "_UpdateFutureQuote", [&](CSqliteDB& db) {
    const std::string sql = LoadSqlTemplate(kUpdateQuote, kTable);
    CSqliteStatement update = db.Prepare(sql.c_str());
    for (const auto& entry : map) {
      const BlockRecord& b = entry.second;
      ORV_LOG(orvlog::kDebug, "Update future quote: " << b.symbol << " " << b.root);
      quoteblock::BindQuote(update, b);
      update.RunCommand();
      update.Reset();
    }
    update.Release();
  });
}

void CFuturesDB::CollectRoots(std::vector<std::string>& list, const BlockMap& map) {
  for (const auto& entry : map) {
    const std::string& root = entry.second.root;
    // A future without a root belongs to no root key.
    if (root.empty()) continue;
    if (std::find(list.begin(), list.end(), root) == list.end()) list.push_back(root);
  }
}

void CFuturesDB::_InitializeEvents(const std::vector<std::string>& roots) {
  ORV_LOG(orvlog::kDebug, "CFuturesDB::_InitializeEvents() " << roots.size());
  // One read transaction around all the selects rather than the file's
  // shared lock taken and dropped per root.
  WriteTransaction("CFuturesDB", "_InitializeEvents", [&](CSqliteDB& db) {
    const std::string sql = LoadSqlTemplate(kSelectRoot, kTable);
    ClientEvents events;
    CSqliteStatement select = db.Prepare(sql.c_str());
    for (const std::string& root : roots) {
      ORV_LOG(orvlog::kDebug, "Next future root " << root);
      const ClientSet byRoot = SubscribersOf(CSymbolKey(Widen(root), 1));
      select.BindText(1, root.c_str());
      {
        for (CSqliteQuery query = select.RunQuery(); !query.AtEnd(); query.Next()) {
          // A client that holds the root and one of its futures gets that
          // future once.
          ClientSet clients = byRoot;
          const std::string symbol = query.TextAt(0);
          const ClientSet bySymbol = SubscribersOf(CSymbolKey(Widen(symbol), 0));
          clients.insert(bySymbol.begin(), bySymbol.end());
          if (clients.empty()) continue;
          FutureRecord r;
          ReadFutureRow(query, r);
          for (const CEventClientPtr& client : clients) events[client].push_back(r);
        }
      }
      select.Reset();
    }
    ORV_LOG(orvlog::kDebug, "Events to send: " << events.size());
    // Still under the database lock, so that the events of one block are
    // queued before the next block can change the rows.
    for (const auto& entry : events) _SendEvent(entry.first, entry.second);
    select.Release();
  });
}

void CFuturesDB::_SendEvent(const CEventClientPtr& client, const std::vector<FutureRecord>& records) {
  SendCursorEvent(
      "CFuturesDB", [&] { return TableEventMaker().Futures(client, records, m_direct); },
      [&](CTableEventMaker::Task task) { PostTask(std::move(task)); });
}

void CFuturesDB::SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) {
  std::vector<FutureRecord> records;
  // The key as the client holds it: a root's futures, or the one future.
  _RequestDB(key, records);
  // An empty collection too: the client learns that nothing is cached.
  _SendEvent(client, records);
}

void CFuturesDB::_RequestDB(const CSymbolKey& key, std::vector<FutureRecord>& out) {
  ReadAccess("CFuturesDB", "_RequestDB", [&](CSqliteDB& db) {
    const bool all = key.Empty();
    const std::string sql = LoadSqlTemplate(all ? kSelectAll : key.Flag() ? kSelectRoot : kSelectSymbol, kTable);
    const std::string symbol = key.Narrow();
    CSqliteStatement select = db.Prepare(sql.c_str());
    if (!all) select.BindText(1, symbol.c_str());
    for (CSqliteQuery query = select.RunQuery(); !query.AtEnd() && !IsStopRequested(); query.Next()) {
      FutureRecord r;
      ReadFutureRow(query, r);
      out.push_back(r);
    }
  });
}

void CFuturesDB::_ReadSnapshot(const CORBA::Any* reply, bool quote, BlockMap& map) {
  ReadSnapshotReply(reply, [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
    return quote ? _ParseFutureQuote(body, end, header.blocks_amount, header.fields_amount, map)
                 : _ParseFutureBase(body, end, header.blocks_amount, header.fields_amount, map);
  });
}

void CFuturesDB::GetMarketData(const CSymbolKey& key, Orv::ZmDataManager_ptr service,
                               std::vector<FutureRecord>& out) {
  if (!key.Empty()) _RequestDB(key, out);
  if (!out.empty()) return;

  BlockMap map;
  {
    const std::unique_ptr<CORBA::Any> reply(RequestSnapshot(SnapshotKind::kFutureBase, key, service));
    _ReadSnapshot(reply.get(), false, map);
  }
  {
    const std::unique_ptr<CORBA::Any> reply(RequestSnapshot(SnapshotKind::kFutureQuote, key, service));
    _ReadSnapshot(reply.get(), true, map);
  }
  out.reserve(out.size() + map.size());
  for (const auto& entry : map) out.push_back(entry.second.ToFutureRecord());
}

void CFuturesDB::ApplyBaseReply(const CORBA::Any* reply) {
  BlockMap map;
  if (reply != nullptr) _ReadSnapshot(reply, false, map);
  _UpdateFutureBase(map);
}
