#include "server/contract/Records.h"

#include <cmath>

int CompareSymbols(const OLECHAR* a, UINT lengthA, const OLECHAR* b, UINT lengthB) {
  // One shared string, or two absent ones.
  if (a == b) return 0;
  // An absent string reads as an empty one, which sorts first or ties.
  if (a == nullptr) lengthA = 0;
  if (b == nullptr) lengthB = 0;
  const UINT n = lengthA < lengthB ? lengthA : lengthB;
  for (UINT i = 0; i < n; ++i) {
    const uint16_t ca = static_cast<uint16_t>(a[i]);
    const uint16_t cb = static_cast<uint16_t>(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (lengthA == lengthB) return 0;
  return lengthA < lengthB ? -1 : 1;
}

int CompareSymbols(const _bstr_t& a, const _bstr_t& b) {
  return CompareSymbols(static_cast<const OLECHAR*>(a), a.length(), static_cast<const OLECHAR*>(b), b.length());
}

namespace {

// Numbers ascending, then every NaN; two NaNs tie so that the next key
// decides, as it does for two equal numbers.
template <class F>
int CompareKey(F a, F b) {
  const bool nanA = std::isnan(a);
  const bool nanB = std::isnan(b);
  if (nanA || nanB) {
    if (nanA == nanB) return 0;
    return nanA ? 1 : -1;
  }
  if (a < b) return -1;
  if (b < a) return 1;
  return 0;
}

// Codes compare as signed 8-bit values.
int CompareCode(char a, char b) {
  const signed char sa = static_cast<signed char>(a);
  const signed char sb = static_cast<signed char>(b);
  return sa < sb ? -1 : (sb < sa ? 1 : 0);
}

template <class Option>
bool LessOption(const Option& a, const Option& b) {
  int c = CompareSymbols(a.StockSymbol, b.StockSymbol);
  if (c != 0) return c < 0;
  c = CompareKey(a.ExpirationDate, b.ExpirationDate);
  if (c != 0) return c < 0;
  c = CompareKey(a.StrikePrice, b.StrikePrice);
  if (c != 0) return c < 0;
  return CompareCode(a.OptionType[0], b.OptionType[0]) < 0;
}

}  // namespace

bool LessOptionRecord(const OptionRecord& a, const OptionRecord& b) { return LessOption(a, b); }

bool LessNstdOptionRecord(const NstdOptionRecord& a, const NstdOptionRecord& b) { return LessOption(a, b); }

bool LessFuturesRecord(const FuturesRecord& a, const FuturesRecord& b) {
  int c = CompareSymbols(a.RootSymbol, b.RootSymbol);
  if (c != 0) return c < 0;
  c = CompareKey(a.ExpirationDate, b.ExpirationDate);
  if (c != 0) return c < 0;
  return CompareCode(a.Type[0], b.Type[0]) < 0;
}
