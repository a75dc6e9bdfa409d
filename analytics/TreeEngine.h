// American options by the Cox-Ross-Rubinstein tree, with discrete cash
// dividends taken off the lattice and added back during the roll-back.
// Used for models 1, 3 and 5. The engine holds its step count n: a price is
// the mean of the trees with n - 1 and n steps, delta, gamma and fugit are
// read from one tree of n steps.
#pragma once

#include "OptionEngine.h"

namespace hlunivopt {

enum TreeKind { kTreeValue = 0, kTreeFugit = 1, kTreeDelta = 2, kTreeGamma = 3 };

// One tree of `steps` steps (1..303; 2 at least for delta and gamma): its
// value, or the fugit, delta or gamma read from it (kind). Refuses European
// models and unknown kinds.
double BinomialTreeValue(const OptionTerms& terms, const Market& market, const Dividends& dividends,
                         int kind, int steps);

// Where it answers its own way:
// - Price: the mean of the trees with n - 1 and n steps; the error value
//   when either tree fails.
// - Kappa: 2 (P(sigma + 0.0025) - P(sigma - 0.0025)).
// - Theta2: revalued 0.00396825 years on: the dividends paid by then are
//   taken off the spot, the amounts stay, every time is that much nearer.
// - ImpliedVol: a first phase on the European model of the same carry
//   (model - 1) to within 0.5% of the price, then the tree's price to the
//   tolerance setting.
// - Analysis: rho, kappa, fugit and price first; then, on the dividends
//   moved a trading day on, delta and gamma from the prices at 0.99 and
//   1.01 times the spot, theta2, and theta (model 3: theta2; else the spot
//   and the amounts still to come grown by the carry over that day).
//   Elements whose valuation fails stay at the error value; with no price,
//   only rho, kappa and fugit are computed.
class TreeEngine final : public OptionEngine {
 public:
  explicit TreeEngine(int steps) : steps_(steps) {}
  int steps() const { return steps_; }

  HLUNIVOPT_OPTION_ENGINE_OVERRIDES

 private:
  int steps_;
};

}  // namespace hlunivopt
