// European options by the generalised Black-Scholes formula and its closed
// forms, with the cost of carry chosen by the model and the dividends in
// [0, T] taken off the spot (escrowed, not discounted). Used for models 0, 2
// and 4, for model numbers outside 0..5 (which it refuses, but for the
// fugit), and for the slope of every implied-volatility search.
#pragma once

#include "OptionEngine.h"

namespace hlunivopt {

class ClosedFormEngine final : public OptionEngine {
 public:
  double Price(const OptionTerms& terms, const Market& market,
               const Dividends& dividends) const override;
  double Delta(const OptionTerms& terms, const Market& market,
               const Dividends& dividends) const override;
  double Gamma(const OptionTerms& terms, const Market& market,
               const Dividends& dividends) const override;
  double Kappa(const OptionTerms& terms, const Market& market,
               const Dividends& dividends) const override;
  // The analytic derivative by T, per trading day (1/252); moves nothing.
  double Theta2(const OptionTerms& terms, const Market& market,
                DividendSchedule& dividends) const override;
  // The years argument itself, whatever the bounds and the model; only a
  // number that is not finite is refused.
  double Fugit(const OptionTerms& terms, const Market& market,
               const Dividends& dividends) const override;
  double ImpliedVol(const OptionTerms& terms, const Market& market, double price,
                    const Dividends& dividends) const override;
  // In the order price, delta, gamma, rho, kappa, fugit, theta, theta2, all
  // on the same dividends: theta moves them a day on before theta2 is
  // computed, so theta2 sees the moved dividends.
  void Analysis(const OptionTerms& terms, const Market& market, DividendSchedule& dividends,
                AnalysisArray* out) const override;
};

}  // namespace hlunivopt
