// The members of COptionTable. Included only by the .cpp file of each option
// table, which instantiates the template for its own traits.
#pragma once

#include <algorithm>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>

#include "platform/com/atlbase.h"
#include "platform/com/atlcom.h"
#include "platform/com/comdef.h"
#include "feed/CDatabaseLock.h"
#include "feed/CSettings.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/CSqliteTransaction.h"
#include "feed/MessageFormat.h"
#include "feed/OptionTable.h"
#include "feed/QuoteBlock.h"
#include "feed/SharedTexts.h"
#include "feed/SnapshotReply.h"
#include "feed/TableErrorLog.h"
#include "feed/SqlTemplates.h"
#include "platform/log/Log.h"
#include "server/contract/Records.h"

namespace optiontable {

inline const char* Narrow(const _bstr_t& s) { return static_cast<const char*>(s); }

using orvcom::Widen;

template <class Record>
constexpr bool HasRootId() {
  return std::is_same<Record, NstdOptionRecord>::value;
}

inline void SetLetter(char (&letter)[2], char c) {
  letter[0] = c;
  letter[1] = '\0';
}

// One field of an option block into its member. The reader of the block's
// type has already refused the ids it does not know, so every id that
// reaches here belongs to this kind of block.
template <class Record>
void ApplyField(Record& r, const FieldValue& v) {
  switch (v.id) {
    case F_OPTION_SYMBOL:
    case F_FUTURE_OPTION_SYMBOL: r.Symbol = _bstr_t(std::string(v.AsText())); break;
    case F_SYMBOL:
    case F_FUTURE_SYMBOL: r.StockSymbol = _bstr_t(std::string(v.AsText())); break;
    case F_OPTION_TYPE: SetLetter(r.OptionType, v.AsChar()); break;
    case F_OPTION_STYLE: SetLetter(r.OptionStyle, v.AsChar()); break;
    case F_EXPIRATION_DATE: r.ExpirationDate = v.AsDouble(); break;
    case F_STRIKE: r.StrikePrice = v.AsFloat(); break;
    case F_OPEN_INTEREST: r.OpenInterest = v.AsInt(); break;
    case F_BID: r.BidPrice = v.AsFloat(); break;
    case F_BID_DATE: r.BidDate = v.AsDouble(); break;
    case F_BID_EXCHANGE: r.BidExchange = _bstr_t(std::string(v.AsText())); break;
    case F_BID_SIZE: r.BidSize = v.AsInt(); break;
    case F_ASK: r.AskPrice = v.AsFloat(); break;
    case F_ASK_DATE: r.AskDate = v.AsDouble(); break;
    case F_ASK_EXCHANGE: r.AskExchange = _bstr_t(std::string(v.AsText())); break;
    case F_ASK_SIZE: r.AskSize = v.AsInt(); break;
    case F_LAST: r.LastPrice = v.AsFloat(); break;
    case F_LAST_DATE: r.LastDate = v.AsDouble(); break;
    case F_LAST_EXCHANGE: r.LastExchange = _bstr_t(std::string(v.AsText())); break;
    case F_LAST_SIZE: r.LastSize = v.AsInt(); break;
    case F_VOLUME: r.Volume = v.AsInt(); break;
    case F_IV: r.IV = v.AsFloat(); break;
    case F_PRE_IV: r.PreIV = v.AsFloat(); break;
    case F_DELTA: r.Delta = v.AsFloat(); break;
    case F_VEGA: r.Vega = v.AsFloat(); break;
    case F_GAMMA: r.Gamma = v.AsFloat(); break;
    case F_THETA: r.Theta = v.AsFloat(); break;
    case F_RHO: r.Rho = v.AsFloat(); break;
    case F_ROOT_ID:
      if constexpr (HasRootId<Record>()) r.RootID = v.AsInt();
      break;
    default: break;
  }
}

// Fills a block map: a record of an option not yet in the map starts all
// zero. Its symbol is the map's key; the writers bind the key, and only the
// records that leave the map as records (a snapshot's answer) are given the
// symbol as a string of their own.
template <class Record>
class BlockMapSink : public IBlockSink {
 public:
  explicit BlockMapSink(std::map<std::string, Record>& map) : m_map(map) {}

  void BeginRecord(const FieldValue* key) override {
    // Where the symbol is, or where it goes. Blocks list their options in
    // runs of ascending symbols mostly: the place just after the previous
    // record is tried first, and the tree searched only when it is not it.
    std::string symbol(key->AsText());
    auto it = m_map.end();
    bool placed = false;
    if (m_haveLast && m_last->first < symbol) {
      it = std::next(m_last);
      placed = it == m_map.end() || !(it->first < symbol);
    }
    if (!placed) it = m_map.lower_bound(symbol);
    if (it == m_map.end() || it->first != symbol) {
      it = m_map.emplace_hint(it, std::move(symbol), Record());
    }
    m_last = it;
    m_haveLast = true;
    m_record = &it->second;
  }
  void Field(const FieldValue& v) override {
    // The options of one underlying come together: their records share one
    // string of it, as copies of a record would.
    if (v.id == F_SYMBOL || v.id == F_FUTURE_SYMBOL) {
      const std::string_view text = v.AsText();
      if (!m_haveUnderlying || text != m_underlyingText) {
        m_underlyingText = std::string(text);
        m_underlying = _bstr_t(m_underlyingText);
        m_haveUnderlying = true;
      }
      m_record->StockSymbol = m_underlying;
      return;
    }
    ApplyField(*m_record, v);
  }
  void EndRecord() override {}

 private:
  std::map<std::string, Record>& m_map;
  Record* m_record = nullptr;
  bool m_haveLast = false;
  typename std::map<std::string, Record>::iterator m_last;
  bool m_haveUnderlying = false;
  std::string m_underlyingText;
  _bstr_t m_underlying;
};

// The texts that repeat from row to row of a read (the underlying, the
// exchanges), made into strings once and shared by the records, as copies of
// a record share them anyway.
class RowTexts {
 public:
  const _bstr_t& Underlying(const char* text) {
    if (!m_haveUnderlying || m_underlyingText != text) {
      m_underlyingText = text;
      m_underlying = _bstr_t(text);
      m_haveUnderlying = true;
    }
    return m_underlying;
  }
  const _bstr_t& Exchange(const char* text) { return m_exchanges.Get(text); }

 private:
  bool m_haveUnderlying = false;
  std::string m_underlyingText;
  _bstr_t m_underlying;
  SharedTexts m_exchanges;
};

// One of the bid, ask and last groups of a row: price, date, size and
// exchange from the given column on.
inline void ReadQuoteGroup(const CSqliteQuery& q, int first, RowTexts* texts, float& price, DATE& date, LONG& size,
                           _bstr_t& exchange) {
  price = q.RowFloat(first);
  date = q.RowDouble(first + 1);
  size = q.RowInt(first + 2);
  exchange = texts != nullptr ? texts->Exchange(q.RowText(first + 3)) : _bstr_t(q.RowText(first + 3));
}

// Columns by position, as every select of the option tables lists them:
// symbol, underlying, expiration, strike, type, style, oi, volume, the bid,
// ask and last groups (price, date, size, exchange), pre_iv, iv, delta,
// gamma, vega, theta, rho, and root_id for the non-standard table. Every
// FLOAT column, the dates included, comes back with single precision.
template <class Record>
void ReadRow(const CSqliteQuery& q, Record& r, RowTexts* texts = nullptr) {
  q.RequireColumns(HasRootId<Record>() ? 28 : 27);
  r.Symbol = q.RowText(0);
  if (texts != nullptr) {
    r.StockSymbol = texts->Underlying(q.RowText(1));
  } else {
    r.StockSymbol = q.RowText(1);
  }
  r.ExpirationDate = q.RowDouble(2);
  r.StrikePrice = q.RowFloat(3);
  SetLetter(r.OptionType, q.RowText(4)[0]);
  SetLetter(r.OptionStyle, q.RowText(5)[0]);
  r.OpenInterest = q.RowInt(6);
  r.Volume = q.RowInt(7);
  ReadQuoteGroup(q, 8, texts, r.BidPrice, r.BidDate, r.BidSize, r.BidExchange);
  ReadQuoteGroup(q, 12, texts, r.AskPrice, r.AskDate, r.AskSize, r.AskExchange);
  ReadQuoteGroup(q, 16, texts, r.LastPrice, r.LastDate, r.LastSize, r.LastExchange);
  r.PreIV = q.RowFloat(20);
  r.IV = q.RowFloat(21);
  r.Delta = q.RowFloat(22);
  r.Gamma = q.RowFloat(23);
  r.Vega = q.RowFloat(24);
  r.Theta = q.RowFloat(25);
  r.Rho = q.RowFloat(26);
  if constexpr (HasRootId<Record>()) r.RootID = q.RowInt(27);
}

// The quote values in the order of every quote update; returns the next
// parameter. An exchange that no block set binds NULL; the record's texts
// outlive the statement's use of them.
template <class Record>
int BindQuoteValues(CSqliteStatement& s, const Record& r) {
  quoteblock::BindQuoteColumns(s, r, Narrow(r.BidExchange), Narrow(r.AskExchange), Narrow(r.LastExchange));
  return 14;
}

// pre_iv, iv, delta, gamma, vega, theta, rho from the given parameter on;
// returns the next one.
template <class Record>
int BindAnalyticsValues(CSqliteStatement& s, const Record& r, int first) {
  s.BindDouble(first, r.PreIV);
  s.BindDouble(first + 1, r.IV);
  s.BindDouble(first + 2, r.Delta);
  s.BindDouble(first + 3, r.Gamma);
  s.BindDouble(first + 4, r.Vega);
  s.BindDouble(first + 5, r.Theta);
  s.BindDouble(first + 6, r.Rho);
  return first + 7;
}

// Every writer of the non-standard table refreshes the row's root id just
// before the symbol.
template <class Record>
int BindRootId(CSqliteStatement& s, const Record& r, int param) {
  if constexpr (HasRootId<Record>()) {
    s.BindInt(param, r.RootID);
    return param + 1;
  } else {
    (void)s;
    (void)r;
    return param;
  }
}

// The events' order puts the underlying first, and rows read back by
// underlying come in runs of one underlying, the runs mostly in order
// already: each run is sorted in place on its own (a run fits the cache, the
// whole list of a block does not, and comparisons that jump across it wait
// on memory), and the whole list only when the runs come out of order.
template <class Record, class Less>
void SortRecords(std::vector<Record>& records, Less less) {
  for (auto begin = records.begin(); begin != records.end();) {
    auto end = begin + 1;
    while (end != records.end() && CompareSymbols(end->StockSymbol, begin->StockSymbol) == 0) ++end;
    if (!std::is_sorted(begin, end, less)) std::sort(begin, end, less);
    begin = end;
  }
  if (!std::is_sorted(records.begin(), records.end(), less)) std::sort(records.begin(), records.end(), less);
}

}  // namespace optiontable

template <class Traits>
COptionTable<Traits>::COptionTable(const std::string& databasePath, std::string table, std::string indexName,
                                   bool direct)
    : CLiteDB(databasePath), m_direct(direct), m_table(std::move(table)), m_indexName(std::move(indexName)) {}

template <class Traits>
COptionTable<Traits>::~COptionTable() = default;

template <class Traits>
bool COptionTable<Traits>::Initialize() {
  // Made with the table, whichever way the table came to be: without it
  // every per-underlying read is a full scan under the database lock. Each
  // table's index has a name of its own, since index names are unique in
  // the one database file that holds all the tables.
  const std::string index =
      "CREATE INDEX IF NOT EXISTS " + m_indexName + " ON " + m_table + " (" + Traits::kUnderlyingColumn + ")";
  return this->InitializeTable(Traits::kClass, m_table, Traits::kCreateTable, index);
}

template <class Traits>
void COptionTable<Traits>::DeleteSymbol(const std::u16string& symbol, BYTE keyFlag) {
  _DeleteSymbolFromDB(m_table, symbol, keyFlag);
}

template <class Traits>
void COptionTable<Traits>::DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE keyFlag) {
  _DeleteSymbolFromDB(m_table, symbols, keyFlag);
}

template <class Traits>
const uint8_t* COptionTable<Traits>::UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type,
                                                uint32_t blocksAmount, uint8_t fieldsAmount, bool) {
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::UpdateData() started");
  const OptionBlockStep step = Traits::StepFor(type);
  const uint8_t* next = nullptr;
  if (step.writer == OptionBlockStep::kNone) {
    ORV_LOG(orvlog::kError, Traits::kClass << "::UpdateData() unknown type in statement " << static_cast<int>(type));
  } else {
    BlockMap map;
    next = _ParseBlock(type, data, end, blocksAmount, fieldsAmount, map);
    // A block that could not be read is not applied, and what it would have
    // changed is unknown: no events for it either.
    if (next != nullptr && !map.empty()) {
      switch (step.writer) {
        case OptionBlockStep::kBase: _UpdateBase(map); break;
        case OptionBlockStep::kQuote: _UpdateQuote(map); break;
        case OptionBlockStep::kAnalytics: _UpdateAnalytics(map); break;
        case OptionBlockStep::kNone: break;
      }
      if (step.events) {
        const std::vector<std::string> underlyings = CollectUnderlyings(map);
        if (!underlyings.empty()) _InitializeEvents(underlyings);
      }
    }
  }
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::UpdateData() completed");
  return next;
}

template <class Traits>
const uint8_t* COptionTable<Traits>::_ParseBlock(uint8_t type, const uint8_t* data, const uint8_t* end,
                                                 uint32_t blocksAmount, uint8_t fieldsAmount, BlockMap& map) {
  const BlockReaderDef* def = ReaderFor(type, Traits::ProtocolVersion());
  if (def == nullptr) return nullptr;
  const char* reader = Traits::kBaseReader;
  switch (Traits::StepFor(type).writer) {
    case OptionBlockStep::kQuote: reader = Traits::kQuoteReader; break;
    case OptionBlockStep::kAnalytics: reader = Traits::kAnalyticsReader; break;
    default: break;
  }
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::" << reader << "() started");
  optiontable::BlockMapSink<Record> sink(map);
  const uint8_t* next = ReadBlock(*def, data, end, blocksAmount, fieldsAmount, &sink);
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::" << reader << "() completed");
  return next;
}

template <class Traits>
void COptionTable<Traits>::_UpdateBase(const BlockMap& map) {
  using namespace optiontable;
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::" << Traits::kBaseWriter << "() started");
  int inserted = 0;
  this->WriteTransaction(Traits::kClass, Traits::kBaseWriter, [&](CSqliteDB& db) {
    const std::string insertSql = LoadSqlTemplate(Traits::kInsertBase, m_table);
    const std::string selectSql = LoadSqlTemplate(Traits::kSelectSymbol, m_table);
    CSqliteStatement select = db.Prepare(selectSql.c_str());
    CSqliteStatement insert = db.Prepare(insertSql.c_str());
    for (const auto& entry : map) {
      const Record& r = entry.second;
      select.BindText(1, entry.first.c_str());
      bool exists = false;
      {
        CSqliteQuery query = select.RunQuery();
        exists = !query.AtEnd();
      }
      select.Reset();
      // Base data of a known option is never changed.
      if (exists) continue;
      insert.BindText(1, entry.first.c_str());
      insert.BindText(2, Narrow(r.StockSymbol));
      insert.BindDouble(3, r.ExpirationDate);
      insert.BindDouble(4, r.StrikePrice);
      insert.BindText(5, r.OptionType);
      insert.BindText(6, r.OptionStyle);
      insert.BindInt(7, r.OpenInterest);
      BindRootId(insert, r, 8);
      insert.RunCommand();
      insert.Reset();
      ++inserted;
    }
    select.Release();
    insert.Release();
  });
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::" << Traits::kBaseWriter << "() completed (" << map.size()
                                         << (Traits::kFutureOptionLines ? " items) completed with " : " items) with ")
                                         << inserted << " inserted values" << (Traits::kFutureOptionLines ? "\n" : ""));
}

template <class Traits>
void COptionTable<Traits>::_UpdateQuote(const BlockMap& map) {
  using namespace optiontable;
  if (Traits::kFutureOptionLines) {
    ORV_LOG(orvlog::kTrace, Traits::kClass << "::" << Traits::kQuoteWriter << "() started ( " << map.size()
                                           << " items) started\n");
  } else {
    ORV_LOG(orvlog::kTrace, Traits::kClass << "::" << Traits::kQuoteWriter << "() started (" << map.size()
                                           << " items)");
  }
  this->WriteTransaction(Traits::kClass, Traits::kQuoteWriter, [&](CSqliteDB& db) {
    const std::string sql = LoadSqlTemplate(Traits::kUpdateQuote, m_table);
    CSqliteStatement update = db.Prepare(sql.c_str());
    for (const auto& entry : map) {
      const Record& r = entry.second;
      int param = BindQuoteValues(update, r);
      if (Traits::kQuoteCarriesAnalytics) param = BindAnalyticsValues(update, r, param);
      param = BindRootId(update, r, param);
      update.BindText(param, entry.first.c_str());
      update.RunCommand();
      update.Reset();
    }
    update.Release();
  });
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::" << Traits::kQuoteWriter << "() completed");
}

template <class Traits>
void COptionTable<Traits>::_UpdateAnalytics(const BlockMap& map) {
  using namespace optiontable;
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::" << Traits::kAnalyticsWriter << "() started");
  this->WriteTransaction(Traits::kClass, Traits::kAnalyticsWriter, [&](CSqliteDB& db) {
    const std::string sql = LoadSqlTemplate(Traits::kUpdateAnalytics, m_table);
    CSqliteStatement update = db.Prepare(sql.c_str());
    for (const auto& entry : map) {
      const Record& r = entry.second;
      int param = BindAnalyticsValues(update, r, 1);
      param = BindRootId(update, r, param);
      // The map's key outlives the step: no copy of it for SQLite.
      update.BindTextNoCopy(param, entry.first.c_str());
      update.RunCommand();
      update.Reset();
    }
    update.Release();
  });
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::" << Traits::kAnalyticsWriter << "() completed");
}

template <class Traits>
std::vector<std::string> COptionTable<Traits>::CollectUnderlyings(const BlockMap& map) {
  std::vector<std::string> out;
  for (const auto& entry : map) {
    const char* underlying = optiontable::Narrow(entry.second.StockSymbol);
    // Quote records of the equity option blocks carry no underlying.
    if (underlying == nullptr || *underlying == '\0') continue;
    if (!out.empty() && out.back() == underlying) continue;
    out.emplace_back(underlying);
  }
  // Each underlying once: a repeated one would send its options twice in
  // the same event.
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  if (Traits::kAddedLine != nullptr && orvlog::IsEnabled(orvlog::kInfo)) {
    for (const std::string& s : out) ORV_LOG(orvlog::kInfo, Traits::kAddedLine << s);
  }
  return out;
}

template <class Traits>
void COptionTable<Traits>::_InitializeEvents(const std::vector<std::string>& underlyings) {
  using namespace optiontable;
  ORV_LOG(orvlog::kDebug, Traits::kClass << "::_InitializeEvents() started");
  try {
    const bool many = underlyings.size() > kManyUnderlyings;
    const std::string sql = LoadSqlTemplate(many ? Traits::kSelectAll : Traits::kSelectUnderlying, m_table);
    const size_t changed = underlyings.size();
    ClientEvents byUnderlying;
    ClientEvents bySymbol;
    std::vector<CEventClientPtr> underlyingClients;
    std::vector<CEventClientPtr> symbolClients;
    auto append = [changed](ClientEvents& lists, const CEventClientPtr& client, Record&& r, bool last) {
      std::vector<Record>& list = lists[client];
      if (list.empty()) {
        const size_t size = 150 * changed;
        ORV_LOG(orvlog::kDebug, "Set user vector size = " << size);
        list.reserve(size);
      }
      // The row's last client takes it over instead of a copy.
      if (last) {
        list.push_back(std::move(r));
      } else {
        list.push_back(r);
      }
    };

    // Held from the first read until the events are queued, so that the
    // events of one block are queued before the next block changes the rows.
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    CSqliteStatement select = db.Prepare(sql.c_str());

    // Single options held on their own, looked up per row only when their
    // symbol is one of these: most rows are held through their underlying
    // alone, or not at all.
    const std::vector<std::string> heldOptions = SubscribedSymbols(1);
    const std::unordered_set<std::string_view> held(heldOptions.begin(), heldOptions.end());
    RowTexts texts;

    // Rows of one underlying come together in the table's order or, for the
    // whole-table scan, in underlying order (the non-standard table orders by
    // root first); the decision and the underlying's clients are taken again
    // whenever the underlying changes.
    auto readRows = [&](CSqliteQuery& query) {
      std::string current;
      bool first = true;
      bool wanted = true;
      for (; !query.AtEnd(); query.Next()) {
        const char* underlying = query.TextAt(1);
        if (first || current != underlying) {
          first = false;
          current = underlying;
          wanted = !many || std::binary_search(underlyings.begin(), underlyings.end(), current);
          underlyingClients.clear();
          if (wanted) {
            ForEachSubscriber(CSymbolKey(Widen(current), 0),
                              [&](const CEventClientPtr& c) { underlyingClients.push_back(c); });
          }
        }
        if (!wanted) continue;
        symbolClients.clear();
        const char* symbol = query.TextAt(0);
        if (!held.empty() && held.count(symbol) != 0) {
          ForEachSubscriber(CSymbolKey(Widen(symbol), 1), [&](const CEventClientPtr& c) { symbolClients.push_back(c); });
        }
        // A row nobody holds is not built at all.
        if (underlyingClients.empty() && symbolClients.empty()) continue;
        Record r;
        ReadRow(query, r, &texts);
        const size_t total = underlyingClients.size() + symbolClients.size();
        size_t n = 0;
        for (const CEventClientPtr& c : underlyingClients) append(byUnderlying, c, std::move(r), ++n == total);
        for (const CEventClientPtr& c : symbolClients) append(bySymbol, c, std::move(r), ++n == total);
      }
    };

    auto traceQuery = [](const CSqliteQuery& query, const std::string& underlying) {
      if (Traits::kFutureOptionLines) {
        ORV_LOG(orvlog::kInfo, "Query.eof() " << (query.AtEnd() ? 1 : 0) << " " << underlying);
      }
    };
    if (many) {
      CSqliteQuery query = select.RunQuery();
      traceQuery(query, std::string());
      readRows(query);
    } else {
      for (const std::string& underlying : underlyings) {
        select.BindText(1, underlying.c_str());
        {
          CSqliteQuery query = select.RunQuery();
          traceQuery(query, underlying);
          readRows(query);
        }
        select.Reset();
      }
    }
    ORV_LOG(orvlog::kDebug, Traits::kClass << "::_InitializeEvents() completed");
    for (auto& entry : byUnderlying) _SendEvent(entry.first, std::move(entry.second));
    for (auto& entry : bySymbol) _SendEvent(entry.first, std::move(entry.second));
    select.Release();
  } catch (const CSqliteException& e) {
    tablelog::SqliteError(Traits::kClass, "_InitializeEvents", e, __FILE__, __LINE__);
  } catch (...) {
    tablelog::UnexpectedError(Traits::kClass, "_InitializeEvents", __FILE__, __LINE__);
  }
}

template <class Traits>
void COptionTable<Traits>::_RequestDB(const CSymbolKey& key, std::vector<Record>& out) {
  using namespace optiontable;
  try {
    const bool all = key.Empty();
    const UINT id = all ? Traits::kSelectAll : (key.Flag() ? Traits::kSelectSymbol : Traits::kSelectUnderlying);
    const std::string sql = LoadSqlTemplate(id, m_table);
    const std::string symbol = key.Narrow();
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    CSqliteStatement select = db.Prepare(sql.c_str());
    if (!all) select.BindText(1, symbol.c_str());
    for (CSqliteQuery query = select.RunQuery(); !query.AtEnd(); query.Next()) {
      Record r;
      ReadRow(query, r);
      out.push_back(r);
    }
  } catch (const CSqliteException& e) {
    tablelog::SqliteError(Traits::kClass, "_RequestDB", e, __FILE__, __LINE__);
  } catch (...) {
    tablelog::UnexpectedError(Traits::kClass, "_RequestDB", __FILE__, __LINE__);
  }
}

template <class Traits>
void COptionTable<Traits>::_SendEvent(const CEventClientPtr& client, std::vector<Record> records) {
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::_SendEvent() started");
  try {
    optiontable::SortRecords(records, Traits::Less);
    CTableEventMaker::Task task = Traits::Event(client, std::move(records), m_direct);
    if (_QueueTask(task.get())) {
      task.release();
    } else {
      // The event is lost; the task goes now and takes the cursor with it.
      this->LogRefusedTask();
    }
  } catch (const _com_error& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    // Kept in a local: the description's characters live as long as it does.
    const _bstr_t descriptionText = e.Description();
    const char* description = static_cast<const char*>(descriptionText);
    std::ostringstream code;
    code << std::hex << std::setw(8) << std::setfill('0') << static_cast<unsigned long>(static_cast<ULONG>(e.Error()));
    ORV_LOG(orvlog::kError, Traits::kClass << "::_SendEvent() ERROR: Code = " << code.str() << "\n\tCode meaning = "
                                           << e.ErrorMessage() << "\n\tDescription = "
                                           << (description != nullptr ? description : ""));
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, "Unexpected error in " << Traits::kClass << "::_SendEvent().");
  }
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::_SendEvent() completed");
}

template <class Traits>
void COptionTable<Traits>::SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) {
  std::vector<Record> records;
  _RequestDB(key, records);
  _SendEvent(client, std::move(records));
}

template <class Traits>
void COptionTable<Traits>::_ReadSnapshot(const CORBA::Any* reply, uint8_t type, BlockMap& map) {
  // Each block is read whole or not at all.
  ReadSnapshotReply(reply, [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
    return _ParseBlock(type, body, end, header.blocks_amount, header.fields_amount, map);
  });
}

template <class Traits>
void COptionTable<Traits>::GetMarketData(const CSymbolKey& key, Orv::ZmDataManager_ptr service,
                                         std::vector<Record>& out) {
  ORV_LOG(orvlog::kTrace, Traits::kClass << "::GetMarketData()");
  const size_t before = out.size();
  if (!key.Empty()) _RequestDB(key, out);
  if (Traits::kFutureOptionLines) ORV_LOG(orvlog::kTrace, Traits::kClass << "::GetMarketData() Requesting data");
  const size_t rows = out.size() - before;
  if (rows >= kMinCachedRows && out[before].BidPrice != 0.0f) return;

  // The table cannot serve the request: the snapshot takes the place of the
  // rows read, which it holds again, so that no option is listed twice.
  out.resize(before);
  if (!Traits::kFutureOptionLines) ORV_LOG(orvlog::kTrace, Traits::kClass << "::GetMarketData() Requesting data");
  BlockMap map;
  for (const OptionSnapshot& snapshot : Traits::Snapshots(m_direct)) {
    const SnapshotRequest request = SnapshotRequestFor(snapshot.kind, key, m_direct);
    const std::unique_ptr<CORBA::Any> reply(RequestSnapshot(snapshot.kind, key, service, m_direct));
    _ReadSnapshot(reply.get(), request.dataType, map);
    if (snapshot.doneLine != nullptr) ORV_LOG(orvlog::kTrace, snapshot.doneLine);
  }
  out.reserve(out.size() + map.size());
  for (auto& entry : map) {
    entry.second.Symbol = _bstr_t(entry.first);
    out.push_back(std::move(entry.second));
  }
}

template <class Traits>
void COptionTable<Traits>::_ApplyBaseReply(const CORBA::Any* reply) {
  BlockMap map;
  if (reply != nullptr) {
    const SnapshotRequest request = SnapshotRequestFor(Traits::Snapshots(false).front().kind, CSymbolKey(), false);
    _ReadSnapshot(reply, request.dataType, map);
  }
  // An empty transaction would change nothing.
  if (!map.empty()) _UpdateBase(map);
}
