#include "OptionGreeks.h"

#include <cmath>

#include "ClosedFormEngine.h"

namespace hlunivopt {

namespace {

constexpr double E = AnalyticsErrorValue;

}  // namespace

double Rho(const OptionEngine& engine, const OptionTerms& terms, const Market& market,
           const Dividends& dividends) {
  Market bumped = market;
  bumped.rate = market.rate + kBump;
  const double up = engine.Price(terms, bumped, dividends);
  if (IsError(up)) return E;
  bumped.rate = market.rate - kBump;
  const double down = engine.Price(terms, bumped, dividends);
  if (IsError(down)) return E;
  return Checked(2.0 * (up - down));
}

double Theta(const OptionEngine& engine, const OptionTerms& terms, const Market& market,
             DividendSchedule& dividends) {
  // The bounds hold for the spot before any dividend is taken off, too.
  if (terms.model < 0 || terms.model > 5 || !InBounds(terms, market, market.spot)) return E;
  const double p0 = engine.Price(terms, market, dividends);
  if (IsError(p0)) return E;
  Market later = market;
  later.spot = dividends.PassDay(market.spot, kCalendarDay, std::exp(kCalendarDay));
  OptionTerms shorter = terms;
  shorter.years = terms.years - kCalendarDay;
  const double p1 = engine.Price(shorter, later, dividends);
  if (IsError(p1)) return E;
  return Checked(p0 - p1);
}

double VolSearch::Result() const {
  return std::fabs(priced - price) <= tolerance ? Checked(sigma) : E;
}

bool NewtonPhase(VolSearch& s, const OptionEngine& engine, const OptionTerms& terms,
                 const OptionTerms& searchTerms, const Market& market, const Dividends& dividends) {
  const ClosedFormEngine slope;
  Market at = market;
  at.vol = s.sigma;
  s.priced = engine.Price(terms, at, dividends);
  if (IsError(s.priced)) return false;
  for (;;) {
    if (s.counter > 29 || std::fabs(s.priced - s.price) <= s.tolerance) return true;
    if (s.priced < s.price && s.sigma >= s.lo) {
      s.lo = s.sigma;
    } else if (s.priced > s.price && s.sigma <= s.hi) {
      s.hi = s.sigma;
    }
    ++s.counter;
    double vega = slope.Kappa(searchTerms, at, dividends);
    if (IsError(vega)) return false;
    if (vega < 1e-9) vega = 1e-9;
    s.sigma = s.sigma + (s.price - s.priced) / vega * 0.01;
    if (s.sigma > s.hi || s.sigma < s.lo) s.sigma = (s.lo + s.hi) / 2.0;
    at.vol = s.sigma;
    s.priced = engine.Price(terms, at, dividends);
    if (IsError(s.priced)) return false;
  }
}

}  // namespace hlunivopt
