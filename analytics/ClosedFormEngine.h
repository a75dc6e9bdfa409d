// European options by the generalised Black-Scholes formula and its closed
// forms, with the cost of carry chosen by the model and the dividends in
// [0, T] taken off the spot (escrowed, not discounted). Used for models 0, 2
// and 4, for model numbers outside 0..5 (which it refuses, but for the
// fugit), and for the slope of every implied-volatility search.
#pragma once

#include "OptionEngine.h"

namespace hlunivopt {

// Where it answers its own way:
// - Theta2: the analytic derivative by T, per trading day (1/252); moves
//   nothing.
// - Fugit: the years argument itself, whatever the bounds and the model;
//   only a number that is not finite is refused.
// - Analysis: in the order price, delta, gamma, rho, kappa, fugit, theta,
//   theta2, all on the same dividends: theta moves them a day on before
//   theta2 is computed, so theta2 sees the moved dividends.
class ClosedFormEngine final : public OptionEngine {
 public:
  HLUNIVOPT_OPTION_ENGINE_OVERRIDES
};

}  // namespace hlunivopt
