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
#include "feed/CSqliteTransaction.h"
#include "feed/DecompressMessage.h"
#include "feed/MessageFormat.h"
#include "feed/RequestSnapshot.h"
#include "feed/SqlTemplates.h"
#include "feed/StopEvent.h"
#include "platform/log/Log.h"
#include "server/CSendStockMsgWorker.h"
#include "server/CStocks.h"

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

void LogSqliteError(const char* operation, const CSqliteException& e, int line) {
  tablelog::SqliteError("CStocksDB", operation, e, __FILE__, line);
}

void LogUnexpectedError(const char* operation, int line, const char* tail = "") {
  tablelog::UnexpectedError("CStocksDB", operation, __FILE__, line, tail);
}

// The quote columns of a block; exchanges that no record set stay absent
// and are written as NULL.
void ApplyQuoteField(CStocksDB::BlockRecord& b, const FieldValue& v) {
  StockRecord& r = b.record;
  switch (v.id) {
    case F_SYMBOL: b.symbol = v.AsText(); break;
    case F_BID: r.BidPrice = v.AsFloat(); break;
    case F_BID_DATE: r.BidDate = v.AsDouble(); break;
    case F_BID_EXCHANGE: b.bidExchange = v.AsText(); break;
    case F_BID_SIZE: r.BidSize = v.AsInt(); break;
    case F_ASK: r.AskPrice = v.AsFloat(); break;
    case F_ASK_DATE: r.AskDate = v.AsDouble(); break;
    case F_ASK_EXCHANGE: b.askExchange = v.AsText(); break;
    case F_ASK_SIZE: r.AskSize = v.AsInt(); break;
    case F_LAST: r.LastPrice = v.AsFloat(); break;
    case F_LAST_DATE: r.LastDate = v.AsDouble(); break;
    case F_LAST_EXCHANGE: b.lastExchange = v.AsText(); break;
    case F_LAST_SIZE: r.LastSize = v.AsInt(); break;
    case F_VOLUME: r.Volume = v.AsInt(); break;
    default: break;
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

// Fills the block map from the records of one block: a record of a symbol
// not yet in the map starts all zero with only its symbol.
class BlockMapSink : public IBlockSink {
 public:
  BlockMapSink(CStocksDB::BlockMap& map, bool quote) : m_map(map), m_quote(quote) {}

  void BeginRecord(const FieldValue* key) override {
    // One search: where the symbol is, or where it goes.
    std::string symbol(key->AsText());
    auto it = m_map.lower_bound(symbol);
    if (it == m_map.end() || it->first != symbol) {
      it = m_map.emplace_hint(it, std::move(symbol), CStocksDB::BlockRecord());
      it->second.symbol = it->first;
    }
    m_record = &it->second;
  }
  void Field(const FieldValue& v) override { m_quote ? ApplyQuoteField(*m_record, v) : ApplyBaseField(*m_record, v); }
  void EndRecord() override {}

 private:
  CStocksDB::BlockMap& m_map;
  const bool m_quote;
  CStocksDB::BlockRecord* m_record = nullptr;
};

const char* Bindable(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

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

std::u16string Widen(const std::string& narrow) {
  std::u16string out(narrow.size(), u'\0');
  for (size_t i = 0; i < narrow.size(); ++i) out[i] = static_cast<char16_t>(static_cast<unsigned char>(narrow[i]));
  return out;
}

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

bool CStocksDB::Initialize() {
  ORV_LOG(orvlog::kTrace, "CStocksDB::Initialize() started user: " << DatabasePath());
  bool ok = true;
  try {
    const std::string create = _Sql(kCreateTable);
    const std::string empty = _Sql(kDeleteAll);
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    db.RunCommand(db.HasTable(m_table.c_str()) ? empty.c_str() : create.c_str());
  } catch (const CSqliteException& e) {
    LogSqliteError("Initialize", e, __LINE__);
    ok = false;
  } catch (...) {
    LogUnexpectedError("Initialize", __LINE__, ".");
    ok = false;
  }
  ORV_LOG(orvlog::kTrace, "CStocksDB::Initialize() completed: " << DatabasePath());
  return ok;
}

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
  BlockMapSink sink(map, false);
  return ReadBlock(*ReaderFor(T_EQUITY_BASE, 0), data, end, blocksAmount, fieldsAmount, &sink);
}

const uint8_t* CStocksDB::_ParseStockQuote(const uint8_t* data, const uint8_t* end, uint32_t blocksAmount,
                                           uint8_t fieldsAmount, BlockMap& map) {
  BlockMapSink sink(map, true);
  return ReadBlock(*ReaderFor(T_EQUITY_QUOTE, 0), data, end, blocksAmount, fieldsAmount, &sink);
}

void CStocksDB::_UpdateStockBase(const BlockMap& map) {
  if (map.empty()) return;  // an empty transaction would change nothing
  try {
    const std::string insertSql = _Sql(kInsertBase);
    const std::string selectSql = _Sql(kSelectSymbol);
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    db.RunCommand("begin transaction;");
    CSqliteTransaction transaction(db);
    CSqliteStatement select = db.Prepare(selectSql.c_str());
    CSqliteStatement insert = db.Prepare(insertSql.c_str());
    for (const auto& entry : map) {
      const StockRecord& r = entry.second.record;
      const char* symbol = entry.second.symbol.c_str();
      select.BindText(1, symbol);
      bool exists = false;
      {
        CSqliteQuery query = select.RunQuery();
        exists = !query.AtEnd();
      }
      select.Reset();
      // Base data never overwrites a row.
      if (exists) continue;
      insert.BindText(1, symbol);
      insert.BindDouble(2, r.DivLastDate);
      insert.BindDouble(3, r.DivAmount);
      insert.BindInt(4, r.DivFreq);
      insert.BindText(5, r.StockType);
      insert.BindText(6, Bindable(entry.second.currency));
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
    transaction.Commit();
  } catch (const CSqliteException& e) {
    LogSqliteError("_UpdateStockBase", e, __LINE__);
  } catch (...) {
    LogUnexpectedError("_UpdateStockBase", __LINE__);
  }
}

void CStocksDB::_UpdateStockQuote(const BlockMap& map) {
  if (map.empty()) return;  // an empty transaction would change nothing
  try {
    const std::string sql = _Sql(kUpdateQuote);
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    db.RunCommand("begin transaction;");
    CSqliteTransaction transaction(db);
    CSqliteStatement update = db.Prepare(sql.c_str());
    for (const auto& entry : map) {
      const StockRecord& r = entry.second.record;
      update.BindDouble(1, r.BidPrice);
      update.BindDouble(2, r.AskPrice);
      update.BindDouble(3, r.LastPrice);
      update.BindInt(4, r.BidSize);
      update.BindInt(5, r.AskSize);
      update.BindInt(6, r.LastSize);
      update.BindDouble(7, r.BidDate);
      update.BindDouble(8, r.AskDate);
      update.BindDouble(9, r.LastDate);
      // The texts live in the map until the statement is released.
      update.BindTextNoCopy(10, Bindable(entry.second.bidExchange));
      update.BindTextNoCopy(11, Bindable(entry.second.askExchange));
      update.BindTextNoCopy(12, Bindable(entry.second.lastExchange));
      update.BindInt(13, r.Volume);
      update.BindTextNoCopy(14, entry.second.symbol.c_str());
      update.RunCommand();
      update.Reset();
    }
    update.Release();
    transaction.Commit();
  } catch (const CSqliteException& e) {
    LogSqliteError("_UpdateStockQuote", e, __LINE__);
  } catch (...) {
    LogUnexpectedError("_UpdateStockQuote", __LINE__);
  }
}

void CStocksDB::_RequestDB(const CSymbolKey& key, std::vector<StockRecord>& out) {
  try {
    const bool all = key.Empty();
    const std::string sql = _Sql(all ? kSelectAll : kSelectSymbol);
    const std::string symbol = key.Narrow();
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    CSqliteStatement select = db.Prepare(sql.c_str());
    if (!all) select.BindText(1, symbol.c_str());
    SharedTexts texts;
    for (CSqliteQuery query = select.RunQuery(); !query.AtEnd() && !IsStopRequested(); query.Next()) {
      StockRecord r;
      ReadStockRow(query, texts, r);
      out.push_back(r);
    }
  } catch (const CSqliteException& e) {
    LogSqliteError("_RequestDB", e, __LINE__);
  } catch (...) {
    LogUnexpectedError("_RequestDB", __LINE__);
  }
}

void CStocksDB::_InitializeEvents(const std::vector<std::string>& changedSymbols) {
  try {
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

    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    // One read transaction around all the selects: each select on its own
    // would take and drop the file's shared lock, which costs more than the
    // read itself.
    db.RunCommand("begin transaction;");
    CSqliteTransaction transaction(db);
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
    transaction.Commit();
  } catch (const CSqliteException& e) {
    LogSqliteError("_InitializeEvents", e, __LINE__);
  } catch (...) {
    LogUnexpectedError("_InitializeEvents", __LINE__);
  }
}

void CStocksDB::_SendEvent(const CEventClientPtr& client, std::vector<StockRecord> records) {
  ORV_LOG(orvlog::kTrace, "CStocksDB::_SendEvent() started");
  try {
    CComObject<CStocks>* object = nullptr;
    HRESULT hr = CComObject<CStocks>::CreateInstance(&object);
    if (FAILED(hr)) _com_issue_error(hr);
    // Our own reference around the query, so that a refused one frees the
    // object; the interface reference keeps it afterwards.
    object->AddRef();
    IStocksEnt* raw = nullptr;
    hr = object->QueryInterface(IID_IStocksEnt, reinterpret_cast<void**>(&raw));
    CComPtr<IStocksEnt> cursor;
    cursor.Attach(raw);
    object->Release();
    if (FAILED(hr) || !cursor) _com_issue_error(FAILED(hr) ? hr : E_NOINTERFACE);
    object->SetData(std::move(records));
    std::unique_ptr<CSendStockMsgWorker> task(new CSendStockMsgWorker(client, cursor.Detach(), m_direct));
    if (_QueueTask(task.get())) {
      task.release();
    } else {
      // The event is lost; the task goes now and takes the cursor with it.
      LogRefusedTask();
    }
  } catch (const _com_error& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    // Kept in a local: the description's characters live as long as it does.
    const _bstr_t descriptionText = e.Description();
    const char* description = static_cast<const char*>(descriptionText);
    std::ostringstream code;
    code << std::hex << std::setw(8) << std::setfill('0') << static_cast<unsigned long>(static_cast<ULONG>(e.Error()));
    ORV_LOG(orvlog::kError, "CStocksDB::_SendEvent() ERROR: Code = " << code.str() << "\n\tCode meaning = "
                                                                      << e.ErrorMessage() << "\n\tDescription = "
                                                                      << (description != nullptr ? description : ""));
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << __LINE__);
    ORV_LOG(orvlog::kError, "Unexpected error in CStocksDB::_SendEvent().");
  }
  ORV_LOG(orvlog::kTrace, "CStocksDB::_SendEvent() completed");
}

void CStocksDB::SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) {
  std::vector<StockRecord> records;
  _RequestDB(CSymbolKey(key.Symbol(), 0), records);
  // An empty collection too: the client learns that nothing is cached.
  _SendEvent(client, std::move(records));
}

void CStocksDB::_ReadSnapshot(const CORBA::Any* reply, bool quote, BlockMap& map) {
  const orvidl::ReplyOctets octets = orvidl::ReplyData(reply);
  if (octets.empty()) return;
  CMessageBuffer unzipped;
  const uint8_t* message = octets.data;
  size_t length = octets.size;
  if (CSettings::UseCompression != 0) {
    unzipped = DecompressMessage(octets.data, octets.size);
    if (unzipped.empty()) return;
    message = unzipped.data();
    length = unzipped.size();
  }
  // A reply may carry its records in several blocks; each is read whole or
  // not at all, and nothing beyond the octets received.
  WalkSnapshotMessage(message, length, [&](const BlockHeader& header, const uint8_t* body, const uint8_t* end) {
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
