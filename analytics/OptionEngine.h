// What every pricing engine answers: the price and the sensitivities that
// each engine computes its own way. The exports choose the engine once, by
// the model number; the greeks that only revalue (rho, theta) are written
// once on top of any engine (OptionGreeks.h). Every result is
// AnalyticsErrorValue when a valuation it needs fails.
#pragma once

#include "OptionInputs.h"

namespace hlunivopt {

// The eight results of the all-in-one array, in its element order.
struct AnalysisArray {
  double price, delta, gamma, rho, theta, theta2, kappa, fugit;
};

class OptionEngine {
 public:
  virtual double Price(const OptionTerms& terms, const Market& market,
                       const Dividends& dividends) const = 0;
  virtual double Delta(const OptionTerms& terms, const Market& market,
                       const Dividends& dividends) const = 0;
  virtual double Gamma(const OptionTerms& terms, const Market& market,
                       const Dividends& dividends) const = 0;
  // The change of value per 0.01 of volatility.
  virtual double Kappa(const OptionTerms& terms, const Market& market,
                       const Dividends& dividends) const = 0;
  // The value lost over one trading day; an engine that revalues a day on
  // moves `dividends` with it.
  virtual double Theta2(const OptionTerms& terms, const Market& market,
                        DividendSchedule& dividends) const = 0;
  // The expected time of exercise.
  virtual double Fugit(const OptionTerms& terms, const Market& market,
                       const Dividends& dividends) const = 0;
  // The volatility at which the price is `price` (market.vol is not read).
  virtual double ImpliedVol(const OptionTerms& terms, const Market& market, double price,
                            const Dividends& dividends) const = 0;
  // All eight results at once, in the order and on the dividends each
  // engine documents; `dividends` ends as the last valuation saw them.
  virtual void Analysis(const OptionTerms& terms, const Market& market, DividendSchedule& dividends,
                        AnalysisArray* out) const = 0;

 protected:
  ~OptionEngine() = default;
};

// An engine's declarations of the interface above, which states their
// contract; each engine's header says only where it answers its own way.
#define HLUNIVOPT_OPTION_ENGINE_OVERRIDES                                                     \
  double Price(const OptionTerms& terms, const Market& market,                               \
               const Dividends& dividends) const override;                                   \
  double Delta(const OptionTerms& terms, const Market& market,                               \
               const Dividends& dividends) const override;                                   \
  double Gamma(const OptionTerms& terms, const Market& market,                               \
               const Dividends& dividends) const override;                                   \
  double Kappa(const OptionTerms& terms, const Market& market,                               \
               const Dividends& dividends) const override;                                   \
  double Theta2(const OptionTerms& terms, const Market& market,                              \
                DividendSchedule& dividends) const override;                                 \
  double Fugit(const OptionTerms& terms, const Market& market,                               \
               const Dividends& dividends) const override;                                   \
  double ImpliedVol(const OptionTerms& terms, const Market& market, double price,            \
                    const Dividends& dividends) const override;                              \
  void Analysis(const OptionTerms& terms, const Market& market, DividendSchedule& dividends, \
                AnalysisArray* out) const override;

}  // namespace hlunivopt
