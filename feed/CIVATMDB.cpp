#include "feed/CIVATMDB.h"

#include "feed/CDatabaseLock.h"
#include "feed/CSqliteDB.h"
#include "feed/CSqliteException.h"
#include "feed/Curve.h"
#include "feed/StopEvent.h"
#include "platform/log/Log.h"

namespace {

// Parameters: 1 the underlying, 2 the last price. A strike equal to the
// last price is on neither side. The nearest strike of each expiration
// comes first, from one pass over the underlying's index entries; only then
// is it paired with its put, by index search. No search is made per option,
// so the cost grows about linearly with the chain.
#define ORV_ATM_NEAREST(aggregate, comparison)                                                              \
  "select o1.expiration_date, o1.strike, o1.iv, o2.iv from (select o3.expiration_date as expiration_date, " \
  aggregate "(o3.strike) as strike from options o3 where o3.stock_symbol = ?1 and o3.strike " comparison    \
  " ?2 group by o3.expiration_date) n cross join options o1 on o1.stock_symbol = ?1 and "                   \
  "o1.expiration_date = n.expiration_date and o1.strike = n.strike inner join options o2 on "                \
  "o1.stock_symbol = o2.stock_symbol and o1.expiration_date = o2.expiration_date and o1.strike = o2.strike " \
  "and o1.type != o2.type where o1.type = 'C' group by o1.expiration_date"

const char* const kLastSql = "select last from stocks where symbol = ?";
const char* const kCheckSql = "select count(*) from options where stock_symbol = ? and pre_iv = 0 and iv = 0";

void LogSqliteError(const CSqliteException& e, int line) {
  ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << line);
  ORV_LOG(orvlog::kError, "SQLite error in CIVATMDB::ExecQuery: " << e.errorMessage() << "Code " << e.errorCode());
}

void LogUnexpectedError(int line) {
  ORV_LOG(orvlog::kDebug, "Exception: " << __FILE__ << ":" << line);
  ORV_LOG(orvlog::kError, "Unexpected error in CIVATMDB::ExecQuery()");
}

using orvcom::Narrow;

}  // namespace

const char* const CIVATMDB::kBelowSql = ORV_ATM_NEAREST("max", "<");
const char* const CIVATMDB::kAboveSql = ORV_ATM_NEAREST("min", ">");

CIVATMDB::CIVATMDB(const std::string& databasePath) : m_path(databasePath) {}

void CIVATMDB::GetMarketData(const _bstr_t& symbol, std::vector<IVATMRecord>& out) {
  const std::string narrow = Narrow(symbol);
  ORV_LOG(orvlog::kDebug, "CIVATMDB::GetMarketData started: " << narrow);
  try {
    // Held to the end of the computation, so that no pull thread writes the
    // stock or option rows between the price and the volatilities.
    CDatabaseLockGuard lock;
    bool found = false;
    float last = 0.0f;
    {
      CSqliteDB db;
      db.Open(m_path.c_str());
      db.RunCommand("PRAGMA read_uncommitted");
      CSqliteStatement select = db.Prepare(kLastSql);
      select.BindText(1, narrow.c_str());
      {
        CSqliteQuery query = select.RunQuery();
        if (!query.AtEnd()) {
          found = true;
          last = query.FloatAt(0);
        }
      }
      select.Release();
    }
    // The connection goes back before the computation: its statements then
    // borrow the kept one, whose pages are already read, rather than each
    // opening a cold connection that reads the whole chain from the file.
    if (found) CalculateATM(symbol, last, out);
  } catch (const CSqliteException& e) {
    LogSqliteError(e, __LINE__);
  } catch (...) {
    LogUnexpectedError(__LINE__);
  }
  ORV_LOG(orvlog::kDebug, "CIVATMDB::GetMarketData completed: " << narrow);
}

bool CIVATMDB::CheckOptionsIV(const std::string& symbol) {
  try {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(m_path.c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    CSqliteStatement select = db.Prepare(kCheckSql);
    select.BindText(1, symbol.c_str());
    int missing = -1;
    {
      CSqliteQuery query = select.RunQuery();
      if (!query.AtEnd()) missing = query.IntAt(0);
    }
    select.Release();
    return missing == 0;
  } catch (const CSqliteException& e) {
    LogSqliteError(e, __LINE__);
  } catch (...) {
    LogUnexpectedError(__LINE__);
  }
  return false;
}

void CIVATMDB::ExecQuery(const char* sql, const std::string& symbol, float lastPrice, StrikeMap& map) {
  ORV_LOG(orvlog::kDebug, "CIVATMDB::ExecQuery started: ");
  try {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(m_path.c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    CSqliteStatement select = db.Prepare(sql);
    select.BindText(1, symbol.c_str());
    // The price as the stock row holds it: a strike stored from the same
    // single-precision value compares equal.
    select.BindDouble(2, lastPrice);
    {
      for (CSqliteQuery query = select.RunQuery(); !query.AtEnd(); query.Next()) {
        if (IsStopRequested()) break;
        const int32_t expiration = static_cast<int32_t>(query.FloatAt(0));
        const float strike = query.FloatAt(1);
        const float callIv = query.FloatAt(2);
        const float putIv = query.FloatAt(3);
        map.emplace(expiration, std::make_pair(strike, static_cast<float>((putIv + callIv) * 0.5)));
      }
    }
    select.Release();
  } catch (const CSqliteException& e) {
    LogSqliteError(e, __LINE__);
  } catch (...) {
    LogUnexpectedError(__LINE__);
  }
  ORV_LOG(orvlog::kDebug, "CIVATMDB::ExecQuery completed: ");
}

void CIVATMDB::CalculateATM(const _bstr_t& symbol, float lastPrice, std::vector<IVATMRecord>& out) {
  const std::string narrow = Narrow(symbol);
  if (!CheckOptionsIV(narrow)) return;

  CDatabaseLockGuard lock;
  StrikeMap below, above;
  ExecQuery(kBelowSql, narrow, lastPrice, below);
  ExecQuery(kAboveSql, narrow, lastPrice, above);
  // An expiration with strikes only below the price has nothing to anchor
  // the curve above it and gives no record.
  for (const auto& entry : above) {
    Curve curve(0);
    curve.SetPoint(entry.second.first, entry.second.second);
    const auto b = below.find(entry.first);
    if (b != below.end()) curve.SetPoint(b->second.first, b->second.second);
    float volatility = 0.0f;
    curve.GetValue(lastPrice, volatility);
    IVATMRecord r;
    r.Symbol = symbol;
    r.Expiration = entry.first;
    r.IV = volatility;
    out.push_back(r);
  }
}
