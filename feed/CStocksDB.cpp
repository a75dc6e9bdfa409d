#include "feed/CStocksDB.h"
#include "feed/TableErrorLog.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "feed/CDatabaseLock.h"
#include "feed/CIVATMDB.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/MessageFormat.h"
#include "feed/QuoteTableImpl.h"
#include "feed/SharedTexts.h"
#include "feed/StopEvent.h"
#include "platform/log/Log.h"

namespace {

// Symbols read back per statement after a block.
constexpr size_t kReadBack = 100;
// Symbol texts kept for the events, at most.
constexpr size_t kMaxSymbolTexts = 20000;
// Rows read between two tests of the stop event.
constexpr size_t kRowsPerStopTest = 64;
// Reads of the changed rows between two counts of the table's rows.
constexpr unsigned kReadsPerCount = 64;

// The quote columns of a block; exchanges that no record set stay absent
// and are written as NULL.
void ApplyStockQuoteField(StockBlockRecord& b, const FieldValue& v) {
  if (v.id == F_SYMBOL) {
    b.symbol = v.AsText();
  } else {
    quoteblock::ApplyQuoteField(b, v);
  }
}

void ApplyStockBaseField(StockBlockRecord& b, const FieldValue& v) {
  StockRecord& r = b.record;
  switch (v.id) {
    case F_SYMBOL: b.symbol = v.AsText(); break;
    case F_STOCK_TYPE: r.StockType[0] = v.AsChar(); r.StockType[1] = '\0'; break;
    case F_DIV_DATE: r.DivLastDate = v.AsFloat(); break;
    case F_DIV_FREQUENCY: r.DivFreq = static_cast<SHORT>(v.AsInt()); break;
    case F_DIV_AMOUNT: r.DivAmount = v.AsFloat(); break;
    case F_CURRENCY: b.currency = v.AsText(); break;
    case F_SOD_PRICE_CLOSE: r.PriceClose = v.AsFloat(); break;
    case F_SOD_PRICE_HIGH_52WK: r.PriceHigh52wk = v.AsFloat(); break;
    case F_SOD_PRICE_LOW_52WK: r.PriceLow52wk = v.AsFloat(); break;
    case F_SOD_IVX30: r.IVX1m = v.AsFloat(); break;
    case F_SOD_IVX30_YEST: r.IVX1mYest = v.AsFloat(); break;
    case F_SOD_IVX30_HIGH_52WK: r.IVX1mHigh52wk = v.AsFloat(); break;
    case F_SOD_IVX30_LOW_52WK: r.IVX1mLow52wk = v.AsFloat(); break;
    case F_SOD_HV20: r.HV1m = v.AsFloat(); break;
    case F_SOD_HV20_YEST: r.HV1mYest = v.AsFloat(); break;
    case F_SOD_HV20_HIGH_52WK: r.HV1mHigh52wk = v.AsFloat(); break;
    case F_SOD_HV20_LOW_52WK: r.HV1mLow52wk = v.AsFloat(); break;
    case F_SOD_VOLUME_CALL: r.OptionVolumeCall = v.AsInt(); break;
    case F_SOD_VOLUME_PUT: r.OptionVolumePut = v.AsInt(); break;
    case F_SOD_OPT_VOLUME_AVG: r.OptionVolumeAvg = v.AsFloat(); break;
    case F_SOD_OUTSTANDING_SHARES: r.OutstandingShares = v.AsFloat(); break;
    default: break;
  }
}


// Columns by position, as templates 104 and 106 select them. Every FLOAT
// column, the dates included, comes back with single precision.
// symbol, when given, is the row's symbol text as the caller already has it.
void ReadStockRow(const CSqliteQuery& q, SharedTexts& texts, StockRecord& r, const _bstr_t* symbol = nullptr) {
  q.RequireColumns(34);
  r.Symbol = symbol != nullptr ? *symbol : _bstr_t(q.RowText(0));
  r.DivLastDate = q.RowFloat(1);
  r.DivAmount = q.RowFloat(2);
  r.DivFreq = static_cast<SHORT>(q.RowInt(3));
  r.StockType[0] = q.RowText(4)[0];
  r.StockType[1] = '\0';
  r.Currency = texts.Get(q.RowText(5));
  r.PriceClose = q.RowFloat(6);
  r.PriceLow52wk = q.RowFloat(7);
  r.PriceHigh52wk = q.RowFloat(8);
  r.IVX1m = q.RowFloat(9);
  r.IVX1mYest = q.RowFloat(10);
  r.IVX1mLow52wk = q.RowFloat(11);
  r.IVX1mHigh52wk = q.RowFloat(12);
  r.HV1m = q.RowFloat(13);
  r.HV1mYest = q.RowFloat(14);
  r.HV1mLow52wk = q.RowFloat(15);
  r.HV1mHigh52wk = q.RowFloat(16);
  r.OptionVolumeCall = q.RowInt(17);
  r.OptionVolumePut = q.RowInt(18);
  r.OptionVolumeAvg = q.RowFloat(19);
  r.OutstandingShares = q.RowFloat(20);
  quoteblock::ReadQuoteColumns(q, 21, r, [&](const char* text) -> const _bstr_t& { return texts.Get(text); });
}

using orvcom::Widen;

}  // namespace

// What the quote table template needs of the stock table.
struct CStocksDBTraits {
  // Direct quotes have the fields of the others. Templates: create, a
  // symbol's row, every row, quote update, base insert.
  static constexpr QuoteTableNames kNames = {"CStocksDB", "_UpdateStockBase", T_EQUITY_BASE, T_EQUITY_QUOTE,
                                             102, 104, 106, 128, 133};
  static bool IsQuoteType(uint8_t type) { return type == T_EQUITY_QUOTE || type == T_DIRECT_EQUITY_QUOTE; }
  static std::string TableName(bool direct) { return direct ? "stocks_direct" : "stocks"; }
  static std::string Index() { return std::string(); }

  static void ApplyBaseField(StockBlockRecord& b, const FieldValue& v) { ApplyStockBaseField(b, v); }
  static void ApplyQuoteField(StockBlockRecord& b, const FieldValue& v) { ApplyStockQuoteField(b, v); }
  static void BindBase(CSqliteStatement& insert, const StockBlockRecord& b) {
    const StockRecord& r = b.record;
    const char* symbol = b.symbol.c_str();
    insert.BindText(1, symbol);
    insert.BindDouble(2, r.DivLastDate);
    insert.BindDouble(3, r.DivAmount);
    insert.BindInt(4, r.DivFreq);
    insert.BindText(5, r.StockType);
    insert.BindText(6, quoteblock::Bindable(b.currency));
    insert.BindDouble(7, r.PriceClose);
    insert.BindDouble(8, r.PriceLow52wk);
    insert.BindDouble(9, r.PriceHigh52wk);
    insert.BindDouble(10, r.IVX1m);
    insert.BindDouble(11, r.IVX1mYest);
    insert.BindDouble(12, r.IVX1mLow52wk);
    insert.BindDouble(13, r.IVX1mHigh52wk);
    insert.BindDouble(14, r.HV1m);
    insert.BindDouble(15, r.HV1mYest);
    insert.BindDouble(16, r.HV1mLow52wk);
    insert.BindDouble(17, r.HV1mHigh52wk);
    insert.BindInt(18, r.OptionVolumeCall);
    insert.BindInt(19, r.OptionVolumePut);
    insert.BindDouble(20, r.OptionVolumeAvg);
    insert.BindDouble(21, r.OutstandingShares);
  }
  static StockRecord ToRecord(const StockBlockRecord& b) { return b.ToStockRecord(); }
  // Every record of one read shares the few texts that repeat.
  struct RowReader {
    void operator()(const CSqliteQuery& q, StockRecord& r) { ReadStockRow(q, texts, r); }
    SharedTexts texts;
  };

  // Rows are by symbol alone: the flag of a key does not matter.
  static UINT SelectFor(const CSymbolKey&) { return kNames.selectSymbolId; }
  static CSymbolKey TableKey(const CSymbolKey& key) { return CSymbolKey(key.Symbol(), 0); }
  static BYTE DeleteFlag(BYTE) { return 0; }
  static constexpr SnapshotKind kBaseSnapshot = SnapshotKind::kEquityBase;
  static constexpr SnapshotKind kQuoteSnapshot = SnapshotKind::kEquityQuote;
  static constexpr bool kDirectQuoteSnapshot = true;
  static CTableEventMaker::Task Event(const CEventClientPtr& client, std::vector<StockRecord> records, bool direct) {
    return TableEventMaker().Stocks(client, std::move(records), direct);
  }
  static void OnBase() {}
  static void OnInsert(const StockBlockRecord&) {}
  static void OnQuote(const StockBlockRecord&) {}
};

template class CQuoteTable<StockRecord, StockBlockRecord, CStocksDBTraits>;

// The rows that one block's events carry: the changed symbols that somebody
// holds, each once with its clients (in the order of the changed symbols and
// of the clients), and the row read for it. Rows nobody holds are not read.
class CStocksDB::EventRows {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  // Under the database lock (the subscription lock comes after it).
  EventRows(CStocksDB& table, const std::vector<std::string>& changedSymbols) {
    m_slots.reserve(changedSymbols.size());
    table.ForEachSubscriberSet(changedSymbols, 0, [&](size_t i, const CLiteDB::ClientSet& clients) {
      const std::string& symbol = changedSymbols[i];
      m_slots.emplace_back(symbol, m_wanted.size());
      m_wanted.push_back({&symbol, table._SymbolText(symbol), m_clients.size(), clients.size(), false});
      m_clients.insert(m_clients.end(), clients.begin(), clients.end());
    });
    // Sorted for the look-ups of the rows as they come. A symbol of an
    // earlier block of the message and of this one is sent once, where it
    // first stood: the stable sort keeps its first slot first, and the
    // later ones are never looked up.
    const auto bySymbol = [](const Slotted& a, const Slotted& b) { return a.first < b.first; };
    // One block's symbols come sorted already.
    if (!std::is_sorted(m_slots.begin(), m_slots.end(), bySymbol))
      std::stable_sort(m_slots.begin(), m_slots.end(), bySymbol);
    // A row per slot, in the order the events list them.
    m_rows.resize(m_wanted.size());
  }

  size_t Count() const { return m_wanted.size(); }
  const std::string& Symbol(size_t slot) const { return *m_wanted[slot].symbol; }
  // The slot of a held symbol, kNone for one nobody holds.
  size_t Slot(std::string_view symbol) const {
    const auto it = std::lower_bound(m_slots.begin(), m_slots.end(), symbol,
                                     [](const Slotted& a, std::string_view b) { return a.first < b; });
    return it == m_slots.end() || it->first != symbol ? kNone : it->second;
  }
  // Reads the query's current row into the slot, unless it has one.
  void Take(size_t slot, const CSqliteQuery& q, SharedTexts& texts) {
    Wanted& w = m_wanted[slot];
    if (w.read) return;
    ReadStockRow(q, texts, m_rows[slot], &w.text);
    w.read = true;
  }

  // Each client's records in the order of the changed symbols. A symbol
  // without a row has nothing to tell: an all-zero record would reach its
  // clients as a stock with no symbol and no prices.
  ClientEvents TakeEvents() {
    ClientEvents events;
    if (m_wanted.empty()) return events;
    // Mostly one client holds every symbol (a bridge, say): its list is the
    // rows as they stand, without a copy.
    const bool oneClient = m_clients.size() == m_wanted.size() &&
                           std::all_of(m_clients.begin(), m_clients.end(),
                                       [&](const CEventClientPtr& c) { return c == m_clients.front(); });
    if (oneClient) {
      size_t kept = 0;
      for (size_t slot = 0; slot < m_wanted.size(); ++slot) {
        if (!m_wanted[slot].read) continue;
        if (kept != slot) m_rows[kept] = std::move(m_rows[slot]);
        ++kept;
      }
      m_rows.resize(kept);
      if (kept != 0) events[m_clients.front()] = std::move(m_rows);
      return events;
    }
    size_t readCount = 0;
    for (const Wanted& w : m_wanted) readCount += w.read ? 1 : 0;
    for (size_t slot = 0; slot < m_wanted.size(); ++slot) {
      const Wanted& w = m_wanted[slot];
      if (!w.read) continue;
      for (size_t i = 0; i < w.clientCount; ++i) {
        std::vector<StockRecord>& list = events[m_clients[w.firstClient + i]];
        if (list.empty()) list.reserve(readCount);
        if (i + 1 < w.clientCount) {
          list.push_back(m_rows[slot]);
        } else {
          list.push_back(std::move(m_rows[slot]));
        }
      }
    }
    return events;
  }

 private:
  struct Wanted {
    const std::string* symbol;
    _bstr_t text;  // the shared symbol text
    size_t firstClient, clientCount;
    bool read;
  };
  std::vector<Wanted> m_wanted;
  std::vector<CEventClientPtr> m_clients;
  std::vector<StockRecord> m_rows;
  typedef std::pair<std::string_view, size_t> Slotted;
  std::vector<Slotted> m_slots;
};

CStocksDB::CStocksDB(const std::string& databasePath, bool direct)
    : CQuoteTable(databasePath, direct), m_atm(new CIVATMDB(databasePath)) {}

StockRecord StockBlockRecord::ToStockRecord() const {
  StockRecord r = record;
  r.Symbol = symbol;
  if (currency) r.Currency = *currency;
  if (bidExchange) r.BidExchange = *bidExchange;
  if (askExchange) r.AskExchange = *askExchange;
  if (lastExchange) r.LastExchange = *lastExchange;
  return r;
}

CStocksDB::~CStocksDB() = default;

void CStocksDB::GetATM(const _bstr_t& symbol, Orv::ZmDataManager_ptr, std::vector<IVATMRecord>& out) {
  m_atm->GetMarketData(symbol, out);
}

void CStocksDB::_QuotesRead(const BlockMap& map, std::vector<std::string>& changedSymbols) {
  // Each block sends what it changed, and only that: the symbols of the
  // message's earlier blocks went out with their own blocks, and sending
  // them again with every later one made a reply of many small blocks cost
  // the square of its records.
  std::vector<std::string> block;
  block.reserve(map.size());
  for (const auto& entry : map) block.push_back(entry.second.symbol);
  changedSymbols.insert(changedSymbols.end(), block.begin(), block.end());
  if (!map.empty()) _UpdateStockQuote(map, block);
}

void CStocksDB::_UpdateStockQuote(const BlockMap& map, const std::vector<std::string>& changedSymbols) {
  // The write, the re-read for the events and the events in one go under
  // the database lock: one transaction instead of a write and then a read
  // that takes the file's lock again, and the events of one block are
  // queued before the next block can change the rows.
  bool committed = false;
  Guarded("CStocksDB", "_UpdateStockQuote", [&] {
    OnConnection(DatabasePath(), [&](CSqliteDB& db) {
      db.RunCommand("begin transaction;");
      CSqliteTransaction transaction(db);
      _WriteQuotes(db, map);
      EventRows rows(*this, changedSymbols);
      // A read that fails costs the block its events, as it always has, but
      // not its rows.
      const bool read = Guarded("CStocksDB", "_InitializeEvents", [&] { _ReadRows(db, rows); });
      transaction.Commit();
      committed = true;
      if (read)
        for (auto& entry : rows.TakeEvents()) _SendEvent(entry.first, std::move(entry.second));
    });
  });
  // Events still go out for the rows as the table holds them.
  if (!committed) _InitializeEvents(changedSymbols);
}

const _bstr_t& CStocksDB::_SymbolText(const std::string& symbol) {
  // Bounded by the symbols that were ever held: past the bound they are
  // made again.
  if (m_symbolTexts.size() >= kMaxSymbolTexts && m_symbolTexts.count(symbol) == 0) m_symbolTexts.clear();
  const auto it = m_symbolTexts.try_emplace(symbol).first;
  if (!it->second) it->second = _bstr_t(symbol.c_str());
  return it->second;
}

void CStocksDB::_ReadRows(CSqliteDB& db, EventRows& rows) {
  if (rows.Count() == 0) return;
  SharedTexts texts;
  size_t read = 0;
  // A stopping program waits for no long read; testing the stop event is a
  // wait of its own, once per group of rows then.
  const auto stopping = [&read] { return ++read % kRowsPerStopTest == 0 && IsStopRequested(); };

  // The table's size only chooses the faster of two reads of the same rows,
  // and counting walks the whole table, at a cost near that of looking a
  // small block's rows up. So a count that chooses the look-ups is kept for
  // a while: their cost follows the block, not the table, and a table that
  // has grown meanwhile cannot make them slow. A count that chooses the
  // pass over the table is taken again first, as that pass is what a table
  // grown since would make slow, and costs far more than the count.
  const bool pass = rows.Count() * 2 >= m_tableRows;
  if (m_readsSinceCount++ % kReadsPerCount == 0 || pass) {
    const std::string countSql = "SELECT count(*) FROM " + TableName();
    CSqliteStatement count = db.Prepare(countSql.c_str());
    m_tableRows = static_cast<size_t>(count.RunQuery().IntAt(0));
    count.Release();
  }
  if (rows.Count() * 2 >= m_tableRows) {
    // Most of the table is held: one pass over it costs less than looking
    // every row up.
    const std::string sql = _Sql(CStocksDBTraits::kNames.selectAllId);
    CSqliteStatement select = db.Prepare(sql.c_str());
    for (CSqliteQuery query = select.RunQuery(); !query.AtEnd() && !stopping(); query.Next()) {
      const size_t slot = rows.Slot(query.TextAt(0));
      if (slot != EventRows::kNone) rows.Take(slot, query, texts);
    }
    select.Release();
    return;
  }

  // Groups of up to kReadBack symbols per statement, so that a block costs
  // a few statements instead of one per row. The statement has as many
  // places as the largest group, not always kReadBack: every place is a
  // lookup, and one bound as NULL (those a last group leaves) matches
  // nothing but costs its lookup all the same.
  const size_t places = std::min(kReadBack, rows.Count());
  std::string sql = _Sql(CStocksDBTraits::kNames.selectAllId) + " WHERE symbol IN (";
  for (size_t i = 0; i < places; ++i) sql += i == 0 ? "?" : ", ?";
  sql += ")";
  CSqliteStatement select = db.Prepare(sql.c_str());
  for (size_t first = 0; first < rows.Count(); first += kReadBack) {
    for (size_t i = 0; i < places; ++i) {
      const size_t slot = first + i;
      select.BindTextNoCopy(static_cast<int>(i) + 1, slot < rows.Count() ? rows.Symbol(slot).c_str() : nullptr);
    }
    for (CSqliteQuery query = select.RunQuery(); !query.AtEnd(); query.Next()) {
      if (stopping()) return;
      const size_t slot = rows.Slot(query.TextAt(0));
      if (slot != EventRows::kNone) rows.Take(slot, query, texts);
    }
    select.Reset();
  }
  select.Release();
}

void CStocksDB::_InitializeEvents(const std::vector<std::string>& changedSymbols) {
  Guarded("CStocksDB", "_InitializeEvents", [&] {
    CDatabaseLockGuard lock;
    EventRows rows(*this, changedSymbols);
    if (rows.Count() == 0) return;
    // One read transaction around all the selects: each select on its own
    // would take and drop the file's shared lock, which costs more than the
    // read itself.
    InTransaction(DatabasePath(), [&](CSqliteDB& db) {
      _ReadRows(db, rows);
      // Still under the database lock, so that the events of one block are
      // queued before the next block can change the rows.
      for (auto& entry : rows.TakeEvents()) _SendEvent(entry.first, std::move(entry.second));
    });
  });
}

