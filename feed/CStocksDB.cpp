#include "feed/CStocksDB.h"
#include "feed/TableErrorLog.h"

#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "Idl/OrvPayload.h"
#include "feed/CDatabaseLock.h"
#include "feed/CIVATMDB.h"
#include "feed/CSettings.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/CursorEvent.h"
#include "feed/DecompressMessage.h"
#include "feed/MessageFormat.h"
#include "feed/QuoteBlock.h"
#include "feed/RequestSnapshot.h"
#include "feed/SnapshotReply.h"
#include "feed/SqlTemplates.h"
#include "feed/StopEvent.h"
#include "platform/log/Log.h"

namespace {

// Template numbers of the statements this table uses.
constexpr UINT kCreateTable = 102;
constexpr UINT kDeleteAll = 103;
constexpr UINT kSelectSymbol = 104;
constexpr UINT kSelectAll = 106;
constexpr UINT kUpdateQuote = 128;
constexpr UINT kInsertBase = 133;

// Symbols read back per statement after a block.
constexpr size_t kReadBack = 100;

// The quote columns of a block; exchanges that no record set stay absent
// and are written as NULL.
void ApplyQuoteField(CStocksDB::BlockRecord& b, const FieldValue& v) {
  if (v.id == F_SYMBOL) {
    b.symbol = v.AsText();
  } else {
    quoteblock::ApplyQuoteField(b, v);
  }
}

void ApplyBaseField(CStocksDB::BlockRecord& b, const FieldValue& v) {
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


// The few texts that repeat from row to row (exchanges, currencies), made
// into strings once per read and shared by the records, as copies of a
// record share them anyway.
class SharedTexts {
 public:
  const _bstr_t& Get(const char* text) {
    // Exchanges and currencies are a few letters: comparing the bytes
    // directly beats a full string comparison per stored text.
    for (const auto& t : m_texts)
      if (t.first[0] == text[0] && std::strcmp(t.first.c_str(), text) == 0) return t.second;
    if (m_texts.size() >= kMaxTexts) {
      m_spare = _bstr_t(text);
      return m_spare;
    }
    m_texts.emplace_back(text, _bstr_t(text));
    return m_texts.back().second;
  }

 private:
  static constexpr size_t kMaxTexts = 32;
  std::vector<std::pair<std::string, _bstr_t>> m_texts;
  _bstr_t m_spare;
};

// Columns by position, as templates 104 and 106 select them. Every FLOAT
// column, the dates included, comes back with single precision.
void ReadStockRow(const CSqliteQuery& q, SharedTexts& texts, StockRecord& r) {
  r.Symbol = q.TextAt(0);
  r.DivLastDate = q.FloatAt(1);
  r.DivAmount = q.FloatAt(2);
  r.DivFreq = static_cast<SHORT>(q.IntAt(3));
  r.StockType[0] = q.TextAt(4)[0];
  r.StockType[1] = '\0';
  r.Currency = texts.Get(q.TextAt(5));
  r.PriceClose = q.FloatAt(6);
  r.PriceLow52wk = q.FloatAt(7);
  r.PriceHigh52wk = q.FloatAt(8);
  r.IVX1m = q.FloatAt(9);
  r.IVX1mYest = q.FloatAt(10);
  r.IVX1mLow52wk = q.FloatAt(11);
  r.IVX1mHigh52wk = q.FloatAt(12);
  r.HV1m = q.FloatAt(13);
  r.HV1mYest = q.FloatAt(14);
  r.HV1mLow52wk = q.FloatAt(15);
  r.HV1mHigh52wk = q.FloatAt(16);
  r.OptionVolumeCall = q.IntAt(17);
  r.OptionVolumePut = q.IntAt(18);
  r.OptionVolumeAvg = q.FloatAt(19);
  r.OutstandingShares = q.FloatAt(20);
  r.LastPrice = q.FloatAt(21);
  r.LastDate = q.FloatAt(22);
  r.LastExchange = texts.Get(q.TextAt(23));
  r.BidPrice = q.FloatAt(24);
  r.BidDate = q.FloatAt(25);
  r.BidExchange = texts.Get(q.TextAt(26));
  r.AskPrice = q.FloatAt(27);
  r.AskDate = q.FloatAt(28);
  r.AskExchange = texts.Get(q.TextAt(29));
  r.LastSize = q.IntAt(30);
  r.BidSize = q.IntAt(31);
  r.AskSize = q.IntAt(32);
  r.Volume = q.IntAt(33);
}

using orvcom::Widen;

}  // namespace

CStocksDB::CStocksDB(const std::string& databasePath, bool direct)
    : CLiteDB(databasePath),
      m_direct(direct),
      m_table(direct ? "stocks_direct" : "stocks"),
      m_atm(new CIVATMDB(databasePath)) {
  for (UINT id : {kCreateTable, kDeleteAll, kSelectSymbol, kSelectAll, kUpdateQuote, kInsertBase}) {
    try {
      m_sql[id] = LoadSqlTemplate(id, m_table);
    } catch (...) {
      // Loaded again at each use, where a failure is reported.
    }
  }
}

std::string CStocksDB::_Sql(UINT id) const {
  const auto it = m_sql.find(id);
  return it != m_sql.end() ? it->second : LoadSqlTemplate(id, m_table);
}

StockRecord CStocksDB::BlockRecord::ToStockRecord() const {
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

bool CStocksDB::Initialize() { return InitializeTable("CStocksDB", m_table, kCreateTable); }

void CStocksDB::DeleteSymbol(const std::u16string& symbol, BYTE) { _DeleteSymbolFromDB(m_table, symbol, 0); }

void CStocksDB::DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE) {
  _DeleteSymbolFromDB(m_table, symbols, 0);
}

const uint8_t* CStocksDB::UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                                     uint8_t fieldsAmount, bool flag) {
  std::vector<std::string> changed;
  return UpdateData(data, end, type, blocksAmount, fieldsAmount, flag, changed);
}

const uint8_t* CStocksDB::UpdateData(const uint8_t* data, const uint8_t* end, uint8_t type, uint32_t blocksAmount,
                                     uint8_t fieldsAmount, bool, std::vector<std::string>& changedSymbols) {
  ORV_LOG(orvlog::kTrace, "CStocksDB::UpdateData() started");
  BlockMap map;
  const uint8_t* next = nullptr;
  switch (type) {
    case T_EQUITY_BASE:
      next = _ParseStockBase(data, end, blocksAmount, fieldsAmount, map);
      if (next != nullptr) _UpdateStockBase(map);
      break;
    case T_EQUITY_QUOTE:
    case T_DIRECT_EQUITY_QUOTE:
      next = _ParseStockQuote(data, end, blocksAmount, fieldsAmount, map);
      // A block that could not be read is not applied, and what it would
      // have changed is unknown: no events for it either.
      if (next != nullptr) {
        _UpdateStockQuote(map);
        // The list is the message's: a later quote block of the same message
        // sends the symbols of the earlier ones again.
        for (const auto& entry : map) changedSymbols.push_back(entry.second.symbol);
        if (!changedSymbols.empty()) _InitializeEvents(changedSymbols);
      }
      break;
    default:
      ORV_LOG(orvlog::kError, "CStocksDB::UpdateData() unknown type in statement " << static_cast<int>(type));
      break;
  }
  ORV_LOG(orvlog::kTrace, "CStocksDB::UpdateData() completed");
  return next;
}

const uint8_t* CStocksDB::_ParseStockBase(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                          uint8_t fieldsAmount, BlockMap& map) {
  quoteblock::BlockMapSink<BlockRecord, decltype(&ApplyBaseField)> sink(map, &ApplyBaseField);
  return ReadBlock(*ReaderFor(T_EQUITY_BASE, 0), data, end, blocksAmount, fieldsAmount, &sink);
}

const uint8_t* CStocksDB::_ParseStockQuote(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                           uint8_t fieldsAmount, BlockMap& map) {
  quoteblock::BlockMapSink<BlockRecord, decltype(&ApplyQuoteField)> sink(map, &ApplyQuoteField);
  return ReadBlock(*ReaderFor(T_EQUITY_QUOTE, 0), data, end, blocksAmount, fieldsAmount, &sink);
}

void CStocksDB::_UpdateStockBase(const BlockMap& map) {
  if (map.empty()) return;  // an empty transaction would change nothing
  WriteTransaction("CStocksDB", "_UpdateStockBase", [&](CSqliteDB& db) {
    const std::string insertSql = _Sql(kInsertBase);
    const std::string selectSql = _Sql(kSelectSymbol);
    CSqliteStatement select = db.Prepare(selectSql.c_str());
    CSqliteStatement insert = db.Prepare(insertSql.c_str());
    for (const auto& entry : map) {
      const StockRecord& r = entry.second.record;
      const char* symbol = entry.second.symbol.c_str();
      // Base data never overwrites a row.
      if (RowExists(select, symbol)) continue;
      insert.BindText(1, symbol);
      insert.BindDouble(2, r.DivLastDate);
      insert.BindDouble(3, r.DivAmount);
      insert.BindInt(4, r.DivFreq);
      insert.BindText(5, r.StockType);
      insert.BindText(6, quoteblock::Bindable(entry.second.currency));
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
      insert.RunCommand();
      insert.Reset();
    }
    select.Release();
    insert.Release();
  });
}

void CStocksDB::_UpdateStockQuote(const BlockMap& map) {
  if (map.empty()) return;  // an empty transaction would change nothing
  WriteTransaction("CStocksDB", "_UpdateStockQuote", [&](CSqliteDB& db) {
    const std::string sql = _Sql(kUpdateQuote);
    CSqliteStatement update = db.Prepare(sql.c_str());
    for (const auto& entry : map) {
      quoteblock::BindQuote(update, entry.second);
      update.RunCommand();
      update.Reset();
    }
    update.Release();
  });
}

void CStocksDB::_RequestDB(const CSymbolKey& key, std::vector<StockRecord>& out) {
  ReadAccess("CStocksDB", "_RequestDB", [&](CSqliteDB& db) {
    const bool all = key.Empty();
    const std::string sql = _Sql(all ? kSelectAll : kSelectSymbol);
    const std::string symbol = key.Narrow();
    CSqliteStatement select = db.Prepare(sql.c_str());
    if (!all) select.BindText(1, symbol.c_str());
    SharedTexts texts;
    for (CSqliteQuery query = select.RunQuery(); !query.AtEnd() && !IsStopRequested(); query.Next()) {
      StockRecord r;
      ReadStockRow(query, texts, r);
      out.push_back(r);
    }
  });
}

void CStocksDB::_InitializeEvents(const std::vector<std::string>& changedSymbols) {
  Guarded("CStocksDB", "_InitializeEvents", [&] {
    // The rows come back in groups of up to kReadBack symbols per statement,
    // one text whatever the group's size (the rest bound as NULL, which
    // matches nothing), so that a block costs a few statements instead of one
    // per row.
    std::string sql = _Sql(kSelectAll) + " WHERE symbol IN (";
    for (size_t i = 0; i < kReadBack; ++i) sql += i == 0 ? "?" : ", ?";
    sql += ")";

    SharedTexts texts;
    CDatabaseLockGuard lock;
    // The symbols that somebody holds, each with its clients (in address
    // order) in one list; rows nobody holds are not read at all.
    struct Wanted {
      const std::string* symbol;
      size_t firstClient, clientCount;
      size_t row;
    };
    constexpr size_t kNoRow = static_cast<size_t>(-1);
    std::vector<Wanted> wanted;
    std::vector<CEventClientPtr> clients;
    for (const std::string& symbol : changedSymbols) {
      const size_t first = clients.size();
      ForEachSubscriber(CSymbolKey(Widen(symbol), 0), [&](const CEventClientPtr& c) { clients.push_back(c); });
      if (clients.size() > first) wanted.push_back({&symbol, first, clients.size() - first, kNoRow});
    }
    if (wanted.empty()) return;
    std::unordered_map<std::string_view, size_t> slots;
    slots.reserve(wanted.size());
    for (size_t i = 0; i < wanted.size(); ++i) slots.emplace(*wanted[i].symbol, i);

    // One read transaction around all the selects: each select on its own
    // would take and drop the file's shared lock, which costs more than the
    // read itself.
    InTransaction(DatabasePath(), [&](CSqliteDB& db) {
      CSqliteStatement select = db.Prepare(sql.c_str());
      std::vector<StockRecord> rows;
      rows.reserve(wanted.size());
      bool stopped = false;
      for (size_t first = 0; first < wanted.size() && !stopped; first += kReadBack) {
        for (size_t i = 0; i < kReadBack; ++i) {
          const size_t at = first + i;
          select.BindTextNoCopy(static_cast<int>(i) + 1, at < wanted.size() ? wanted[at].symbol->c_str() : nullptr);
        }
        {
          for (CSqliteQuery query = select.RunQuery(); !query.AtEnd(); query.Next()) {
            if (IsStopRequested()) {
              stopped = true;
              break;
            }
            const auto slot = slots.find(query.TextAt(0));
            if (slot == slots.end() || wanted[slot->second].row != kNoRow) continue;
            rows.emplace_back();
            ReadStockRow(query, texts, rows.back());
            wanted[slot->second].row = rows.size() - 1;
          }
        }
        select.Reset();
      }
      // In the order of the changed symbols, as the clients have always had
      // them.
      ClientEvents events;
      for (const Wanted& w : wanted) {
        // A symbol without a row has nothing to tell: an all-zero record would
        // reach its clients as a stock with no symbol and no prices.
        if (w.row == kNoRow) continue;
        for (size_t i = 0; i < w.clientCount; ++i) {
          std::vector<StockRecord>& list = events[clients[w.firstClient + i]];
          if (list.empty()) list.reserve(rows.size());
          if (i + 1 < w.clientCount) {
            list.push_back(rows[w.row]);
          } else {
            list.push_back(std::move(rows[w.row]));
          }
        }
      }
      // Still under the database lock, so that the events of one block are
      // queued before the next block can change the rows.
      for (auto& entry : events) _SendEvent(entry.first, std::move(entry.second));
      select.Release();
    });
  });
}

void CStocksDB::_SendEvent(const CEventClientPtr& client, std::vector<StockRecord> records) {
  SendCursorEvent(
      "CStocksDB", [&] { return TableEventMaker().Stocks(client, std::move(records), m_direct); },
      [&](CTableEventMaker::Task task) { PostTask(std::move(task)); });
}

void CStocksDB::SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) {
  std::vector<StockRecord> records;
  _RequestDB(CSymbolKey(key.Symbol(), 0), records);
  // An empty collection too: the client learns that nothing is cached.
  _SendEvent(client, std::move(records));
}

void CStocksDB::_ReadSnapshot(const CORBA::Any* reply, bool quote, BlockMap& map) {
  // Each block is read whole or not at all.
  ReadSnapshotReply(reply, [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
    return quote ? _ParseStockQuote(body, end, header.blocks_amount, header.fields_amount, map)
                 : _ParseStockBase(body, end, header.blocks_amount, header.fields_amount, map);
  });
}

void CStocksDB::GetMarketData(const CSymbolKey& key, Orv::ZmDataManager_ptr service, std::vector<StockRecord>& out) {
  if (!key.Empty()) _RequestDB(CSymbolKey(key.Symbol(), 0), out);
  if (!out.empty()) return;

  BlockMap map;
  {
    const std::unique_ptr<CORBA::Any> reply(RequestSnapshot(SnapshotKind::kEquityBase, key, service));
    _ReadSnapshot(reply.get(), false, map);
  }
  {
    const std::unique_ptr<CORBA::Any> reply(RequestSnapshot(SnapshotKind::kEquityQuote, key, service, m_direct));
    _ReadSnapshot(reply.get(), true, map);
  }
  out.reserve(out.size() + map.size());
  for (const auto& entry : map) out.push_back(entry.second.ToStockRecord());
}

void CStocksDB::ApplyBaseReply(const CORBA::Any* reply) {
  BlockMap map;
  if (reply != nullptr) _ReadSnapshot(reply, false, map);
  _UpdateStockBase(map);
}
