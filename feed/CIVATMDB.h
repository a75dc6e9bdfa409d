// At-the-money implied volatility per expiration of an underlying, worked
// out from the stock's last price in the table "stocks" and the call and
// put volatilities of the strikes around it in the table "options". Each
// stock table owns one; it keeps no data between requests.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "server/contract/Records.h"

class CIVATMDB {
 public:
  // Expiration day -> (strike, mean of the call and put volatilities).
  typedef std::map<int32_t, std::pair<float, float>> StrikeMap;

  explicit CIVATMDB(const std::string& databasePath);

  // Appends at most one record per expiration, in ascending expiration
  // order. An underlying without a stock row, or with an option that has no
  // volatility at all, adds nothing.
  void GetMarketData(const _bstr_t& symbol, std::vector<IVATMRecord>& out);

  void CalculateATM(const _bstr_t& symbol, float lastPrice, std::vector<IVATMRecord>& out);
  // True when every option of the underlying has a pre-computed or a
  // current volatility; false also when the check fails.
  bool CheckOptionsIV(const std::string& symbol);
  // Runs one of the nearest-strike statements with the symbol and the last
  // price bound; an expiration already in map keeps its first row.
  void ExecQuery(const char* sql, const std::string& symbol, float lastPrice, StrikeMap& map);

  // The nearest strikes below and above the last price within each
  // expiration, each paired with the put of the same strike.
  static const char* const kBelowSql;
  static const char* const kAboveSql;

 private:
  const std::string m_path;
};
