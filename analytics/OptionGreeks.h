// The greeks written once for both engines: rho and theta revalue with a
// bumped rate or a day later, whatever the engine; the Newton search that
// both engines' implied volatilities run.
#pragma once

#include "OptionEngine.h"
#include "OptionModels.h"

namespace hlunivopt {

constexpr double kBump = 0.0025;
constexpr double kCalendarDay = 1.0 / 365.0;
constexpr double kTradingDay = 1.0 / 252.0;
constexpr double kTradingDayShift = 0.00396825;

// 2 (P(r + 0.0025) - P(r - 0.0025)): the change per 1% of rate.
double Rho(const OptionEngine& engine, const OptionTerms& terms, const Market& market,
           const Dividends& dividends);

// The value lost over one calendar day, positive when the option loses
// value. Moves `dividends` a day on (DividendSchedule::PassDay, the amounts
// grown by e^(1/365)) for the second valuation.
double Theta(const OptionEngine& engine, const OptionTerms& terms, const Market& market,
             DividendSchedule& dividends);

// The state of an implied-volatility search, kept across its phases.
struct VolSearch {
  double price;
  double tolerance;
  double lo = 1e-7;
  double hi = 10.0;
  double sigma = 0.14;
  int counter = 1;
  double priced = 0.0;  // the price at sigma

  // sigma when the last phase reached the tolerance, else the error value.
  double Result() const;
};

// One phase of Newton steps on `engine`'s price at `terms`, bracketed, until
// the price is within the tolerance or 29 steps were made in all phases.
// The slope is always the closed-form kappa of the European `searchTerms`.
// False when a valuation fails.
bool NewtonPhase(VolSearch& search, const OptionEngine& engine, const OptionTerms& terms,
                 const OptionTerms& searchTerms, const Market& market, const Dividends& dividends);

}  // namespace hlunivopt
