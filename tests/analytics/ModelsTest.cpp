// The pricing core below the exports: the distribution function and the
// tree's inputs and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "analytics/OptionModels.h"
#include "analytics/TreeEngine.h"

namespace {

using namespace hlunivopt;

double Tree(double r, double S, double K, double sigma, double T, double q, bool call,
            int16_t model, int kind, int steps, const Dividends& dividends = {}) {
  return BinomialTreeValue({K, T, call, model}, {r, S, sigma, q}, dividends, kind, steps);
}

TEST(CumNormal, TailsAndCentre) {
  EXPECT_NEAR(CumNormal(0.0), 0.5, 1e-7);
  EXPECT_EQ(CumNormal(7.5), 1.0);
  EXPECT_EQ(CumNormal(-7.5), 0.0);
  // 7 itself still goes through the formula.
  EXPECT_LT(CumNormal(7.0), 1.0);
  EXPECT_GT(CumNormal(-7.0), 0.0);
  for (double x : {0.3, 1.0, 1.96, 3.1}) {
    EXPECT_NEAR(CumNormal(x), 0.5 * std::erfc(-x / std::sqrt(2.0)), 1e-7) << x;
    EXPECT_NEAR(CumNormal(x) + CumNormal(-x), 1.0, 1e-15) << x;
  }
  EXPECT_DOUBLE_EQ(NormalDensity(0.0), 0.39894228);
}

TEST(BinomialTree, TextbookAmericanPut) {
  // The five-step tree of the textbooks: S = K = 50, r = 0.10, sigma = 0.40,
  // five months, worth 4.49.
  EXPECT_NEAR(Tree(0.1, 50, 50, 0.4, 5.0 / 12, 0, false, 1, kTreeValue, 5), 4.49, 5e-3);
}

TEST(BinomialTree, RejectsWhatTheTreeCannotPrice) {
  const auto tree = [&](int16_t model, int kind, int steps, double sigma, double T) {
    return Tree(0.1, 42, 40, sigma, T, 0, false, model, kind, steps);
  };
  // European models, unknown kinds, step counts outside the static bound.
  for (int16_t model : {0, 2, 4, 6, -1}) {
    EXPECT_EQ(tree(model, 0, 21, 0.2, 0.5), AnalyticsErrorValue) << model;
  }
  EXPECT_EQ(tree(1, 4, 21, 0.2, 0.5), AnalyticsErrorValue);
  EXPECT_EQ(tree(1, -1, 21, 0.2, 0.5), AnalyticsErrorValue);
  EXPECT_EQ(tree(1, 0, 0, 0.2, 0.5), AnalyticsErrorValue);
  EXPECT_EQ(tree(1, 0, 304, 0.2, 0.5), AnalyticsErrorValue);
  EXPECT_EQ(tree(1, kTreeGamma, 1, 0.2, 0.5), AnalyticsErrorValue);
  EXPECT_NE(tree(1, 0, 303, 0.2, 0.5), AnalyticsErrorValue);
  // A probability outside [0, 1]: carry far above the volatility's step.
  EXPECT_EQ(Tree(3.0, 42, 40, 0.01, 1, -3.0, false, 1, 0, 21), AnalyticsErrorValue);
}

TEST(BinomialTree, DividendRules) {
  const auto price = [](std::vector<double> amounts, std::vector<double> times, int kind = 0) {
    return Tree(0.06, 60, 58, 0.25, 1.0, 0, false, 1, kind, 21,
                {amounts.data(), times.data(), amounts.size()});
  };
  const double plain = price({-1.0}, {-1.0});
  // Zero amounts and times outside [0, T] take no part.
  EXPECT_EQ(price({0.0}, {0.5}), plain);
  EXPECT_EQ(price({2.0}, {1.001}), plain);
  EXPECT_EQ(price({2.0}, {-0.001}), plain);
  EXPECT_NE(price({2.0}, {1.0}), plain);
  // A dividend that takes the spot to 0 or below.
  EXPECT_EQ(price({60.0}, {0.5}), AnalyticsErrorValue);
  EXPECT_EQ(price({30.0, 31.0}, {0.2, 0.5}), AnalyticsErrorValue);
  // Times must grow along the array: a later step handled before an earlier
  // one is refused.
  EXPECT_NE(price({1.0, 1.0}, {0.2, 0.6}), AnalyticsErrorValue);
  EXPECT_EQ(price({1.0, 1.0}, {0.6, 0.2}), AnalyticsErrorValue);
  // Below the delta's lowest step they are handled at step 2, in any order.
  EXPECT_NE(price({1.0, 1.0}, {0.05, 0.0}, kTreeDelta), AnalyticsErrorValue);
}

TEST(Settings, StepAndToleranceRules) {
  EXPECT_EQ(TreeSteps(), kDefaultTreeSteps);
  EXPECT_EQ(VolTolerance(), kDefaultVolTolerance);
  EXPECT_EQ(SetVolTolerance(std::numeric_limits<double>::infinity()), kDefaultVolTolerance);
  EXPECT_EQ(SetVolTolerance(std::numeric_limits<double>::quiet_NaN()), kDefaultVolTolerance);
  EXPECT_EQ(SetVolTolerance(0.0), 0.0);
  EXPECT_EQ(SetVolTolerance(kDefaultVolTolerance), kDefaultVolTolerance);
}

}  // namespace
