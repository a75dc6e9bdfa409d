// The pricing core below the exports: the distribution function and the
// tree's inputs and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "analytics/OptionModels.h"

namespace {

using namespace hlunivopt;

struct Array {
  std::vector<double> storage;
  explicit Array(std::vector<double> values) {
    storage.assign(1 + values.size(), 0.0);
    FP* fp = get();
    fp->rows = 1;
    fp->columns = static_cast<uint16_t>(values.size());
    for (size_t i = 0; i < values.size(); ++i) FpElements(fp)[i] = values[i];
  }
  FP* get() { return reinterpret_cast<FP*>(storage.data()); }
};

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
  Array none({-1.0}), none2({-1.0});
  EXPECT_NEAR(BinomialTreeValue(0.1, 50, 50, 0.4, 5.0 / 12, 0, 0, 1, kTreeValue, 5, none.get(),
                                none2.get()),
              4.49, 5e-3);
}

TEST(BinomialTree, RejectsWhatTheTreeCannotPrice) {
  Array none({-1.0}), none2({-1.0});
  const auto tree = [&](int16_t model, int kind, int steps, double sigma, double T, FP* a, FP* t) {
    return BinomialTreeValue(0.1, 42, 40, sigma, T, 0, 0, model, kind, steps, a, t);
  };
  // European models, unknown kinds, step counts outside the static bound.
  for (int16_t model : {0, 2, 4, 6, -1}) {
    EXPECT_EQ(tree(model, 0, 21, 0.2, 0.5, none.get(), none2.get()), AnalyticsErrorValue) << model;
  }
  EXPECT_EQ(tree(1, 4, 21, 0.2, 0.5, none.get(), none2.get()), AnalyticsErrorValue);
  EXPECT_EQ(tree(1, -1, 21, 0.2, 0.5, none.get(), none2.get()), AnalyticsErrorValue);
  EXPECT_EQ(tree(1, 0, 0, 0.2, 0.5, none.get(), none2.get()), AnalyticsErrorValue);
  EXPECT_EQ(tree(1, 0, 304, 0.2, 0.5, none.get(), none2.get()), AnalyticsErrorValue);
  EXPECT_EQ(tree(1, kTreeGamma, 1, 0.2, 0.5, none.get(), none2.get()), AnalyticsErrorValue);
  EXPECT_NE(tree(1, 0, 303, 0.2, 0.5, none.get(), none2.get()), AnalyticsErrorValue);
  // A probability outside [0, 1]: carry far above the volatility's step.
  EXPECT_EQ(BinomialTreeValue(3.0, 42, 40, 0.01, 1, -3.0, 0, 1, 0, 21, none.get(), none2.get()),
            AnalyticsErrorValue);
  // Null arrays and arrays of different sizes.
  EXPECT_EQ(tree(1, 0, 21, 0.2, 0.5, nullptr, none2.get()), AnalyticsErrorValue);
  Array two({1.0, 1.0});
  EXPECT_EQ(tree(1, 0, 21, 0.2, 0.5, two.get(), none2.get()), AnalyticsErrorValue);
}

TEST(BinomialTree, DividendRules) {
  const auto price = [](std::vector<double> amounts, std::vector<double> times, int kind = 0) {
    Array a(amounts), t(times);
    return BinomialTreeValue(0.06, 60, 58, 0.25, 1.0, 0, 0, 1, kind, 21, a.get(), t.get());
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
  // Non-finite elements are refused, also in an element that would not count.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(price({nan}, {0.5}), AnalyticsErrorValue);
  EXPECT_EQ(price({1.0}, {nan}), AnalyticsErrorValue);
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
