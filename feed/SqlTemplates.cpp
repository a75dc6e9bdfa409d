#include "feed/SqlTemplates.h"

#include <mutex>

#include "feed/CSqliteException.h"

namespace {

const orvwin::StringResource kTemplates[] = {
    {101, "update %s set bid = ?, ask = ?,  last = ?, bid_size = ?, ask_size = ?, last_size = ?,  bid_date = ?, ask_date = ?,  last_date = ?,  bid_exchange = ?, ask_exchange = ?, last_exchange = ?, volume = ? where symbol = ?"},
    {102, "CREATE TABLE %s(symbol TEXT primary key, div_date FLOAT, div_amount FLOAT,  div_frequency INTEGER, type TEXT, currency TEXT, sod_price_close FLOAT, sod_price_low_52wk FLOAT, sod_price_high_52wk FLOAT, sod_ivx30 FLOAT, sod_ivx30_yest FLOAT, sod_ivx30_low_52wk FLOAT, sod_ivx30_high_52wk FLOAT, sod_hv20 FLOAT, sod_hv20_yest FLOAT, sod_hv20_low_52wk FLOAT, sod_hv20_high_52wk FLOAT, sod_volume_call INTEGER, sod_volume_put INTEGER, sod_opt_volume_avg FLOAT, sod_outstanding_shares FLOAT, last FLOAT, last_date FLOAT, last_exchange TEXT, bid FLOAT, bid_date FLOAT,  bid_exchange TEXT, ask FLOAT, ask_date FLOAT, ask_exchange TEXT, last_size INTEGER, bid_size INTEGER, ask_size INTEGER, volume INTEGER)"},
    {103, "DELETE FROM %s"},
    {104, "SELECT symbol, div_date, div_amount,  div_frequency, type, currency, sod_price_close, sod_price_low_52wk, sod_price_high_52wk, sod_ivx30, sod_ivx30_yest, sod_ivx30_low_52wk, sod_ivx30_high_52wk, sod_hv20, sod_hv20_yest, sod_hv20_low_52wk, sod_hv20_high_52wk, sod_volume_call, sod_volume_put, sod_opt_volume_avg, sod_outstanding_shares, last, last_date, last_exchange, bid, bid_date,  bid_exchange, ask, ask_date, ask_exchange, last_size, bid_size, ask_size, volume FROM %s WHERE symbol = ?"},
    {105, "SELECT symbol, price, volume FROM %s WHERE stock_id = ?"},
    {106, "SELECT symbol, div_date, div_amount,  div_frequency, type, currency, sod_price_close, sod_price_low_52wk, sod_price_high_52wk, sod_ivx30, sod_ivx30_yest, sod_ivx30_low_52wk, sod_ivx30_high_52wk, sod_hv20, sod_hv20_yest, sod_hv20_low_52wk, sod_hv20_high_52wk, sod_volume_call, sod_volume_put, sod_opt_volume_avg, sod_outstanding_shares, last, last_date, last_exchange, bid, bid_date,  bid_exchange, ask, ask_date, ask_exchange, last_size, bid_size, ask_size, volume FROM %s"},
    {107, "CREATE INDEX stcksymb_indx ON %s (stock_symbol)"},
    {108, "insert into %s values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"},
    {109, "CREATE TABLE %s(symbol TEXT primary key, stock_symbol TEXT, expiration_date TEXT, strike FLOAT, type TEXT, style TEXT, OI INTEGER, volume INTEGER, bid FLOAT, bid_date FLOAT, bid_size INTEGER, bid_exchange TEXT, ask FLOAT, ask_date FLOAT, ask_size INTEGER, ask_exchange TEXT, last FLOAT, last_date FLOAT, last_size INTEGER, last_exchange TEXT, pre_iv FLOAT, iv FLOAT, delta FLOAT, gamma FLOAT, vega FLOAT, theta FLOAT, rho FLOAT)"},
    {110, "SELECT symbol, stock_symbol, expiration_date, strike, type, style, oi, volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho FROM %s WHERE symbol = ?"},
    {111, "SELECT symbol, stock_symbol, expiration_date, strike, type, style, oi,volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho FROM %s WHERE stock_symbol = ?"},
    {112, "SELECT symbol, stock_symbol, expiration_date, strike, type, volume, bid, ask, iv, delta, gamma, vega, theta, rho FROM %s WHERE stock_symbol = ? AND strike = ?"},
    {113, "SELECT symbol, stock_symbol, expiration_date, strike, type, volume, bid, ask, iv, delta, gamma, vega, theta, rho FROM %s WHERE stock_symbol = ? AND expiration_date = ?"},
    {114, "SELECT symbol, stock_symbol, expiration_date, strike, type, style, oi, volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho FROM %s ORDER BY stock_symbol"},
    {115, "INSERT into %s values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"},
    {116, "CREATE TABLE %s (symbol TEXT, term INTEGER, ivx_call FLOAT, ivx_put FLOAT,  PRIMARY KEY(symbol, term))"},
    {117, "SELECT symbol, term, ivx_call, ivx_put FROM %s WHERE symbol = ?"},
    {118, "SELECT symbol, term, ivx_call, ivx_put FROM %s WHERE symbol = ? AND term = ?"},
    {119, "UPDATE %s SET pre_iv = ?, iv = ?, delta = ?, gamma = ?, vega = ?, theta = ?, rho = ? WHERE symbol = ?"},
    {120, "CREATE TABLE %s (symbol TEXT, term INTEGER, otm INTEGER, type TEXT, vstrike FLOAT,  iv FLOAT, delta FLOAT, PRIMARY KEY(symbol , term, otm, type))"},
    {121, "SELECT symbol, term, otm, type, vstrike,  iv, delta FROM %s WHERE symbol = ?"},
    {122, "SELECT symbol, term, otm, type, vstrike,  iv, delta FROM %s WHERE symbol = ? AND term = ?"},
    {123, "SELECT symbol, term, otm, type, vstrike,  iv, delta FROM %s WHERE symbol = ? AND otm = ?"},
    {124, "INSERT into %s values (?, ?, ?, ?, ?, ?, ?)"},
    {125, "INSERT into %s values (?, ?, ?, ?)"},
    {126, "SELECT symbol, term, ivx_call, ivx_put FROM %s"},
    {127, "SELECT symbol, term, otm, type, vstrike,  iv, delta FROM %s "},
    {128, "update %s set bid = ?, ask = ?, last = ?, bid_size = ?, ask_size = ?, last_size = ?, bid_date = ?, ask_date = ?, last_date = ?, bid_exchange = ?,ask_exchange = ?, last_exchange = ?, volume = ? where symbol = ?"},
    {129, "update %s set bid = ?, ask = ?, last= ?,  bid_size = ?, ask_size = ?, last_size = ?,  bid_date = ?, ask_date = ?, last_date = ?,  bid_exchange = ?, ask_exchange = ?, last_exchange = ?, volume = ? where symbol = ?"},
    {130, "UPDATE %s SET ivx_call = ?, ivx_put = ? WHERE term = ? AND symbol = ? "},
    {131, "UPDATE %s SET vstrike  = ?,  iv  = ?, delta  = ?  WHERE  term = ?  AND otm = ? AND type = ? AND symbol = ?"},
    {132, "insert into %s values (?, ?, ?, ?, ?, ?, ?, 0, 0.0, 0.0, 0, '*', 0.0, 0.0, 0, '*', 0.0, 0.0, 0, '*', 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)"},
    {133, "insert into %s values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0.0, 0.0, '*', 0.0, 0.0, '*', 0.0, 0.0, '*', 0, 0, 0, 0);"},
    {134, "SELECT DISTINCT symbol FROM %s where symbol = ?"},
    {135, "DELETE FROM %s WHERE %s = ?"},
    {136, "CREATE TABLE %s(symbol TEXT primary key, root_symbol TEXT, expiration_date TEXT, type TEXT, last FLOAT, last_date FLOAT, last_exchange TEXT, bid FLOAT, bid_date FLOAT,  bid_exchange TEXT, ask FLOAT, ask_date FLOAT, ask_exchange TEXT, last_size INTEGER, bid_size INTEGER, ask_size INTEGER, volume INTEGER)"},
    {137, "insert into %s values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"},
    {138, "update %s set bid = ?, ask = ?, last = ?, bid_size = ?, ask_size = ?, last_size = ?, bid_date = ?, ask_date = ?, last_date = ?, bid_exchange = ?,ask_exchange = ?, last_exchange = ?, volume = ? where symbol = ?"},
    {139, "SELECT symbol, root_symbol, expiration_date, type, last, last_date, last_exchange, bid, bid_date,  bid_exchange, ask, ask_date, ask_exchange, last_size, bid_size, ask_size, volume FROM %s"},
    {140, "SELECT symbol, root_symbol, expiration_date, type, last, last_date, last_exchange, bid, bid_date,  bid_exchange, ask, ask_date, ask_exchange, last_size, bid_size, ask_size, volume FROM %s WHERE symbol = ?"},
    {141, "insert into %s values (?, ?, ?, ?, 0.0, 0.0, '*', 0.0, 0.0,  '*', 0.0, 0.0, '*', 0, 0, 0, 0);"},
    {142, "CREATE TABLE %s(symbol TEXT primary key, future_symbol TEXT, expiration_date TEXT, strike FLOAT, type TEXT, style TEXT, OI INTEGER, volume INTEGER, bid FLOAT, bid_date FLOAT, bid_size INTEGER, bid_exchange TEXT, ask FLOAT, ask_date FLOAT, ask_size INTEGER, ask_exchange TEXT, last FLOAT, last_date FLOAT, last_size INTEGER, last_exchange TEXT, pre_iv FLOAT, iv FLOAT, delta FLOAT, gamma FLOAT, vega FLOAT, theta FLOAT, rho FLOAT)"},
    {143, "insert into %s values (?, ?, ?, ?, ?, ?, ?, 0, 0.0, 0.0, 0, '*', 0.0, 0.0, 0, '*', 0.0, 0.0, 0, '*', 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)"},
    {144, "SELECT symbol, future_symbol, expiration_date, strike, type, style, oi, volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho FROM %s WHERE symbol = ?"},
    {145, "update %s set bid = ?, ask = ?,  last = ?, bid_size = ?, ask_size = ?, last_size = ?,  bid_date = ?, ask_date = ?,  last_date = ?,  bid_exchange = ?, ask_exchange = ?, last_exchange = ?, volume = ?, pre_iv = ?, iv = ?, delta = ?, gamma = ?, vega = ?, theta = ?, rho = ?  where symbol = ?"},
    {146, "SELECT symbol, future_symbol, expiration_date, strike, type, style, oi, volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho FROM %s ORDER BY future_symbol"},
    {147, "CREATE TABLE %s (symbol TEXT, term INTEGER, ivx_call FLOAT, ivx_put FLOAT,  PRIMARY KEY(symbol, term))"},
    {148, "SELECT symbol, future_symbol, expiration_date, strike, type, style, oi, volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho FROM %s WHERE future_symbol = ?"},
    {149, "INSERT into %s values (?, ?, ?, ?, ?, ?, ?)"},
    {150, "INSERT into %s values (?, ?, ?, ?)"},
    {151, "SELECT symbol, term, ivx_call, ivx_put FROM %s"},
    {152, "SELECT symbol, term, otm, type, vstrike,  iv, delta FROM %s "},
    {153, "INSERT into %s values (?, ?, ?, ?, ?, ?, ?)"},
    {154, "INSERT into %s values (?, ?, ?, ?)"},
    {155, "UPDATE %s SET ivx_call = ?, ivx_put = ? WHERE term = ? AND symbol = ? "},
    {156, "UPDATE %s SET vstrike  = ?,  iv  = ?, delta  = ?  WHERE  term = ?  AND otm = ? AND type = ? AND symbol = ?"},
    {157, "CREATE TABLE %s (symbol TEXT, term INTEGER, otm INTEGER, type TEXT, vstrike FLOAT,  iv FLOAT, delta FLOAT, PRIMARY KEY(symbol , term, otm, type))"},
    {158, "SELECT symbol, term, ivx_call, ivx_put FROM %s WHERE symbol = ?"},
    {159, "SELECT symbol, term, otm, type, vstrike,  iv, delta FROM %s WHERE symbol = ?"},
    {160, "SELECT symbol, root_symbol, expiration_date, type, last, last_date, last_exchange, bid, bid_date,  bid_exchange, ask, ask_date, ask_exchange, last_size, bid_size, ask_size, volume FROM %s WHERE root_symbol = ?"},
    {240, "CREATE TABLE %s(symbol TEXT primary key, stock_symbol TEXT, expiration_date TEXT, strike FLOAT, type TEXT, style TEXT, OI INTEGER, volume INTEGER, bid FLOAT, bid_date FLOAT, bid_size INTEGER, bid_exchange TEXT, ask FLOAT, ask_date FLOAT, ask_size INTEGER, ask_exchange TEXT, last FLOAT, last_date FLOAT, last_size INTEGER, last_exchange TEXT, pre_iv FLOAT, iv FLOAT, delta FLOAT, gamma FLOAT, vega FLOAT, theta FLOAT, rho FLOAT, root_id INTEGER)"},
    {241, "SELECT symbol, stock_symbol, expiration_date, strike, type, style, oi, volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho, root_id FROM %s WHERE symbol = ?"},
    {242, "SELECT symbol, stock_symbol, expiration_date, strike, type, style, oi,volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho, root_id FROM %s WHERE stock_symbol = ?"},
    {243, "SELECT symbol, stock_symbol, expiration_date, strike, type, style, oi,volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho, root_id FROM %s WHERE root_id = ?"},
    {244, "SELECT symbol, stock_symbol, expiration_date, strike, type, volume, bid, ask, iv, delta, gamma, vega, theta, rho, root_id FROM %s WHERE stock_symbol = ? AND strike = ?"},
    {245, "SELECT symbol, stock_symbol, expiration_date, strike, type, volume, bid, ask, iv, delta, gamma, vega, theta, rho, root_id FROM %s WHERE stock_symbol = ? AND expiration_date = ?"},
    {246, "SELECT symbol, stock_symbol, expiration_date, strike, type, style, oi, volume, bid, bid_date, bid_size, bid_exchange, ask, ask_date, ask_size, ask_exchange, last, last_date, last_size, last_exchange, pre_iv, iv, delta, gamma, vega, theta, rho, root_id FROM %s ORDER BY root_id, stock_symbol"},
    {247, "INSERT into %s values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"},
    {249, "update %s set bid = ?, ask = ?, last= ?,  bid_size = ?, ask_size = ?, last_size = ?,  bid_date = ?, ask_date = ?, last_date = ?,  bid_exchange = ?, ask_exchange = ?, last_exchange = ?, volume = ?, root_id = ? where symbol = ?"},
    {250, "insert into %s values (?, ?, ?, ?, ?, ?, ?, 0, 0.0, 0.0, 0, '*', 0.0, 0.0, 0, '*', 0.0, 0.0, 0, '*', 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, ?)"},
    {251, "update %s set bid = ?, ask = ?,  last = ?, bid_size = ?, ask_size = ?, last_size = ?,  bid_date = ?, ask_date = ?,  last_date = ?,  bid_exchange = ?, ask_exchange = ?, last_exchange = ?, volume = ?, root_id = ? where symbol = ?"},
    {252, "UPDATE %s SET pre_iv = ?, iv = ?, delta = ?, gamma = ?, vega = ?, theta = ?, rho = ?, root_id = ? WHERE symbol = ?"},
};

std::once_flag g_registered;

// The program's own module never changes while it runs, and finding it walks
// every loaded object and reads the executable's link: once is enough.
HINSTANCE ThisProgram() {
  static const HINSTANCE module = GetModuleHandleA(nullptr);
  return module;
}

}  // namespace

void RegisterSqlTemplates() {
  std::call_once(g_registered, [] {
    orvwin::RegisterStringResources(ThisProgram(), kTemplates, sizeof kTemplates / sizeof kTemplates[0]);
  });
}

std::string LoadSqlTemplateText(UINT id) {
  RegisterSqlTemplates();
  // Larger than the longest template; the loaded length tells whether the
  // text was cut, so no template is ever used truncated.
  char buffer[4096];
  const int n = LoadStringA(ThisProgram(), id, buffer, static_cast<int>(sizeof buffer));
  if (n <= 0 || n >= static_cast<int>(sizeof buffer) - 1) {
    throw CSqliteException(CPPSQLITE_ERROR, ("No SQL template " + std::to_string(id)).c_str());
  }
  return std::string(buffer, static_cast<size_t>(n));
}

std::string LoadSqlTemplate(UINT id, const std::string& table, const std::string& column) {
  const std::string text = LoadSqlTemplateText(id);
  std::string out;
  out.reserve(text.size() + table.size() + column.size());
  int substituted = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's' && substituted < 2) {
      out += substituted == 0 ? table : column;
      ++substituted;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}
