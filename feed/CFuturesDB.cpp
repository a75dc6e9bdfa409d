#include "feed/CFuturesDB.h"
#include "feed/TableErrorLog.h"

#include <algorithm>

#include "feed/CDatabaseLock.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/MessageFormat.h"
#include "feed/QuoteTableImpl.h"
#include "platform/log/Log.h"

namespace {

void ApplyFutureField(FutureBlockRecord& b, const FieldValue& v) {
  switch (v.id) {
    case F_FUTURE_SYMBOL: b.symbol = v.AsText(); break;
    case F_ROOT_SYMBOL: b.root = v.AsText(); break;
    case F_EXPIRATION_DATE: b.record.ExpirationDate = v.AsDouble(); break;
    default: quoteblock::ApplyQuoteField(b, v); break;
  }
}

// Columns by position, as templates 139, 140 and 160 select them. Every
// FLOAT column and the expiration come back with single precision.
void ReadFutureRow(const CSqliteQuery& q, FutureRecord& r) {
  q.RequireColumns(17);
  r.Symbol = q.RowText(0);
  r.RootSymbol = q.RowText(1);
  r.ExpirationDate = q.RowDouble(2);
  r.Type[0] = q.RowText(3)[0];
  r.Type[1] = '\0';
  quoteblock::ReadQuoteColumns(q, 4, r, [](const char* text) { return _bstr_t(text); });
}

using orvcom::Widen;

}  // namespace

// What the quote table template needs of the futures table.
struct CFuturesDBTraits {
  // Templates: create, a future's row, every row, quote update, base insert.
  static constexpr QuoteTableNames kNames = {"CFuturesDB", "_UpdateFutureBase", T_FUTURE_BASE, T_FUTURE_QUOTE,
                                             136, 140, 139, 138, 141};
  // A root's futures.
  static constexpr UINT kSelectRoot = 160;
  static bool IsQuoteType(uint8_t type) { return type == T_FUTURE_QUOTE; }
  static std::string TableName(bool) { return "futures"; }
  // Every read of events and of a root's rows goes by root symbol.
  static std::string Index() { return "CREATE INDEX IF NOT EXISTS futures_root_indx ON futures (root_symbol)"; }

  // Both kinds of block carry fields of either kind.
  static void ApplyBaseField(FutureBlockRecord& b, const FieldValue& v) { ApplyFutureField(b, v); }
  static void ApplyQuoteField(FutureBlockRecord& b, const FieldValue& v) { ApplyFutureField(b, v); }
  static void BindBase(CSqliteStatement& insert, const FutureBlockRecord& b) {
    insert.BindText(1, b.symbol.c_str());
    insert.BindText(2, b.root.c_str());
    insert.BindDouble(3, b.record.ExpirationDate);
    insert.BindText(4, b.record.Type);
  }
  static FutureRecord ToRecord(const FutureBlockRecord& b) { return b.ToFutureRecord(); }
  struct RowReader {
    void operator()(const CSqliteQuery& q, FutureRecord& r) const { ReadFutureRow(q, r); }
  };

  // A root's futures, or the one future.
  static UINT SelectFor(const CSymbolKey& key) { return key.Flag() ? kSelectRoot : kNames.selectSymbolId; }
  static CSymbolKey TableKey(const CSymbolKey& key) { return key; }
  static BYTE DeleteFlag(BYTE keyFlag) { return keyFlag; }
  static constexpr SnapshotKind kBaseSnapshot = SnapshotKind::kFutureBase;
  static constexpr SnapshotKind kQuoteSnapshot = SnapshotKind::kFutureQuote;
  static constexpr bool kDirectQuoteSnapshot = false;
  static CTableEventMaker::Task Event(const CEventClientPtr& client, std::vector<FutureRecord> records, bool direct) {
    return TableEventMaker().Futures(client, std::move(records), direct);
  }
  static void OnBase() { ORV_LOG(orvlog::kDebug, "Update Future Base"); }
  static void OnInsert(const FutureBlockRecord& b) {
    ORV_LOG(orvlog::kDebug, "Insert  future quote: " << b.symbol << " " << b.root);
  }
  static void OnQuote(const FutureBlockRecord& b) {
    ORV_LOG(orvlog::kDebug, "Update future quote: " << b.symbol << " " << b.root);
  }
};

template class CQuoteTable<FutureRecord, FutureBlockRecord, CFuturesDBTraits>;

FutureRecord FutureBlockRecord::ToFutureRecord() const {
  FutureRecord r = record;
  r.Symbol = symbol.c_str();
  r.RootSymbol = root.c_str();
  r.BidExchange = bidExchange.c_str();
  r.AskExchange = askExchange.c_str();
  r.LastExchange = lastExchange.c_str();
  return r;
}

CFuturesDB::CFuturesDB(const std::string& databasePath, bool direct) : CQuoteTable(databasePath, direct) {}

CFuturesDB::~CFuturesDB() = default;

void CFuturesDB::_QuotesRead(const BlockMap& map, std::vector<std::string>& roots) {
  _UpdateFutureQuote(map);
  // The roots this block touched, and only those, are sent: those of the
  // message's earlier blocks went out with their own blocks.
  std::vector<std::string> block;
  CollectRoots(block, map);
  for (const std::string& root : block)
    if (std::find(roots.begin(), roots.end(), root) == roots.end()) roots.push_back(root);
  if (!block.empty()) _InitializeEvents(block);
}

void CFuturesDB::_UpdateFutureQuote(const BlockMap& map) {
  if (map.empty()) return;
  WriteTransaction("CFuturesDB", "_UpdateFutureQuote", [&](CSqliteDB& db) { _WriteQuotes(db, map); });
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
    const std::string sql = _Sql(CFuturesDBTraits::kSelectRoot);
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
    for (auto& entry : events) _SendEvent(entry.first, std::move(entry.second));
    select.Release();
  });
}

