#include "dde/StoreEntries.h"

#include <tuple>

namespace zmdde {

OptionEntry::OptionEntry(const _bstr_t& symbol, const _bstr_t& stockSymbol, LONG optionType,
                         FLOAT strikePrice, DATE expirationDate, FLOAT iv, FLOAT bidPrice,
                         FLOAT askPrice, FLOAT delta, FLOAT vega, FLOAT gamma, FLOAT theta,
                         FLOAT rho, LONG volume)
    : symbol(symbol),
      stockSymbol(stockSymbol),
      expirationDate(expirationDate),
      strikePrice(strikePrice),
      optionType(optionType),
      volume(volume),
      iv(iv),
      bidPrice(bidPrice),
      askPrice(askPrice),
      delta(delta),
      vega(vega),
      gamma(gamma),
      theta(theta),
      rho(rho) {}

NstdOptionEntry::NstdOptionEntry(const _bstr_t& symbol, const _bstr_t& stockSymbol,
                                 LONG optionType, FLOAT strikePrice, DATE expirationDate,
                                 FLOAT iv, FLOAT bidPrice, FLOAT askPrice, FLOAT delta,
                                 FLOAT vega, FLOAT gamma, FLOAT theta, FLOAT rho, LONG volume,
                                 LONG rootId)
    : symbol(symbol),
      stockSymbol(stockSymbol),
      rootId(rootId),
      expirationDate(expirationDate),
      strikePrice(strikePrice),
      optionType(optionType),
      volume(volume),
      iv(iv),
      bidPrice(bidPrice),
      askPrice(askPrice),
      delta(delta),
      vega(vega),
      gamma(gamma),
      theta(theta),
      rho(rho) {}

bool IVIndexKey::operator<(const IVIndexKey& other) const {
  return std::tie(symbol, term) < std::tie(other.symbol, other.term);
}

bool IVSurfaceKey::operator<(const IVSurfaceKey& other) const {
  return std::tie(symbol, term, otm, optionType) <
         std::tie(other.symbol, other.term, other.otm, other.optionType);
}

bool AtmKey::operator<(const AtmKey& other) const {
  return std::tie(symbol, expiry) < std::tie(other.symbol, other.expiry);
}

}  // namespace zmdde
