// The tree against an independent computation of its definition
// (data/tree_reference.py, whose output is data/tree_reference.csv).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "analytics/OptionModels.h"
#include "analytics/TreeEngine.h"

namespace {

using namespace hlunivopt;

struct Case {
  std::string name;
  double r, S, K, sigma, T, q;
  int cls, model, kind, steps;
  std::vector<double> amounts, times;
  double value;
};

std::vector<double> ParseList(const std::string& s) {
  std::vector<double> out;
  if (s == "-") return out;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, ';')) out.push_back(std::stod(item));
  return out;
}

std::vector<Case> LoadCases() {
  std::ifstream in(ORV_TREE_REFERENCE);
  std::vector<Case> cases;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::vector<std::string> f;
    std::string item;
    while (std::getline(ss, item, ',')) f.push_back(item);
    if (f.size() != 14) continue;
    Case c{f[0],
           std::stod(f[1]),
           std::stod(f[2]),
           std::stod(f[3]),
           std::stod(f[4]),
           std::stod(f[5]),
           std::stod(f[6]),
           std::stoi(f[7]),
           std::stoi(f[8]),
           std::stoi(f[9]),
           std::stoi(f[10]),
           ParseList(f[11]),
           ParseList(f[12]),
           std::stod(f[13])};
    cases.push_back(c);
  }
  return cases;
}

Dividends View(const std::vector<double>& amounts, const std::vector<double>& times) {
  return {amounts.data(), times.data(), amounts.size()};
}

OptionTerms Terms(const Case& c) {
  return {c.K, c.T, c.cls != 0, static_cast<int16_t>(c.model)};
}

Market MarketOf(const Case& c) { return {c.r, c.S, c.sigma, c.q}; }

double Tree(const Case& c, int kind, int steps) {
  return BinomialTreeValue(Terms(c), MarketOf(c), View(c.amounts, c.times), kind, steps);
}

void ExpectClose(double actual, double expected, const std::string& what) {
  // Relative 1e-10. A value that is 0 in exact arithmetic (the gamma of a put
  // exercised at every node) is rounding noise in both computations, so
  // values are compared on a scale of at least 1e-4.
  const double scale = std::max(std::fabs(expected), 1e-4);
  EXPECT_LE(std::fabs(actual - expected) / scale, 1e-10)
      << what << ": " << actual << " vs reference " << expected;
}

TEST(TreeReference, EveryKindAgreesWithTheIndependentComputation) {
  const std::vector<Case> cases = LoadCases();
  ASSERT_GT(cases.size(), 500u) << "reference table missing: " << ORV_TREE_REFERENCE;
  for (const Case& c : cases) {
    std::ostringstream what;
    what << c.name << " class " << c.cls << " model " << c.model << " kind " << c.kind
         << " steps " << c.steps;
    const double v = Tree(c, c.kind, c.steps);
    ASSERT_NE(v, AnalyticsErrorValue) << what.str();
    ExpectClose(v, c.value, what.str());
  }
}

TEST(TreeReference, CoversPutsCallsAndDividendsWithEarlyExercise) {
  // The table must exercise what it is meant to: early exercise shows as a
  // fugit below T for puts and for calls with dividends or a yield.
  bool putEarly = false, callEarly = false, dividends = false;
  for (const Case& c : LoadCases()) {
    if (c.kind != kTreeFugit) continue;
    if (!c.amounts.empty()) dividends = true;
    if (c.value < c.T * 0.999) (c.cls == 0 ? putEarly : callEarly) = true;
  }
  EXPECT_TRUE(putEarly);
  EXPECT_TRUE(callEarly);
  EXPECT_TRUE(dividends);
}

TEST(TreeReference, AmericanPriceIsTheMeanOfTheTwentyAndTwentyOneStepTrees) {
  ASSERT_EQ(TreeSteps(), kDefaultTreeSteps);
  std::map<std::tuple<std::string, int, int, int>, std::map<int, double>> values;
  for (const Case& c : LoadCases()) {
    if (c.kind == kTreeValue) values[{c.name, c.cls, c.model, 0}][c.steps] = c.value;
  }
  int checked = 0;
  for (const Case& c : LoadCases()) {
    if (c.kind != kTreeValue || c.steps != 21) continue;
    const auto& byStep = values[{c.name, c.cls, c.model, 0}];
    const double mean =
        TreeEngine(TreeSteps()).Price(Terms(c), MarketOf(c), View(c.amounts, c.times));
    ExpectClose(mean, (byStep.at(20) + byStep.at(21)) / 2.0, c.name);
    ++checked;
  }
  EXPECT_GT(checked, 40);
}

// The tree computed at every node, as written down: the skipped nodes of the
// library's roll-back must change nothing, on long trees whose zeros reach
// far (deep in and out of the money), around dividends that move the lattice
// back up, and for the step-2 values that delta and gamma read.
struct FullTree {
  double v0 = 0, v[3] = {0, 0, 0};
  bool ok = false;
};

FullTree ComputeEveryNode(double r, double S, double K, double sigma, double T, double q, bool call, int model,
                          int n, const std::vector<double>& amounts, const std::vector<double>& times,
                          int lowest) {
  FullTree out;
  const double g = model == 3 ? 1.0 : std::exp((r - q) * T / n);
  double E = S;
  for (size_t i = 0; i < amounts.size(); ++i)
    if (times[i] >= 0 && times[i] <= T && amounts[i] != 0) E -= amounts[i];
  const double u = std::exp(sigma * std::sqrt(T / n)), d = 1.0 / u;
  const double p = (g - d) / (u - d), disc = std::exp(r * T / n);
  const double pu = p / disc, pd = (1.0 - p) / disc;
  auto intrinsic = [&](int j, int k) {
    const double price = E * std::pow(u, 2 * k - j);
    return call ? price - K : K - price;
  };
  std::vector<double> V(n + 2, 0.0);
  for (int k = 0; k <= n; ++k) V[k] = std::max(intrinsic(n, k), 0.0);
  auto rollBack = [&](int from, int to) {
    for (int j = from - 1; j >= to; --j)
      for (int k = 0; k <= j; ++k) {
        const double cont = pd * V[k] + pu * V[k + 1];
        const double intr = intrinsic(j, k);
        V[k] = cont < intr ? intr : cont;
      }
  };
  int current = n;
  for (size_t i = amounts.size(); i-- > 0;) {
    if (!(times[i] >= 0 && times[i] <= T && amounts[i] != 0)) continue;
    const int step = std::max(static_cast<int>(std::floor(n * times[i] / T)), lowest);
    if (step > current) return out;
    rollBack(current, step);
    current = step;
    E += amounts[i];
    for (int k = 0; k <= current; ++k) V[k] = std::max(V[k], intrinsic(current, k));
  }
  rollBack(current, lowest);
  out.v0 = V[0];
  for (int k = 0; k < 3; ++k) out.v[k] = V[k];
  out.ok = true;
  return out;
}

TEST(TreeReference, SkippedNodesChangeNoValue) {
  struct Dividend {
    std::vector<double> amounts, times;
  };
  const Dividend dividends[] = {{{}, {}}, {{2.0}, {0.3}}, {{1.5, 4.0}, {0.1, 0.6}}};
  int checked = 0;
  for (int cls : {0, 1})
    for (double S : {40.0, 80.0, 100.0, 125.0, 250.0})
      for (double sigma : {0.05, 0.3, 0.9})
        for (int model : {1, 3})
          for (int steps : {20, 21, 150, 303})
            for (const Dividend& dv : dividends) {
              const double r = 0.05, K = 100.0, T = 0.75, q = 0.02;
              std::ostringstream what;
              what << "class " << cls << " S " << S << " sigma " << sigma << " model " << model << " steps "
                   << steps << " dividends " << dv.amounts.size();
              const OptionTerms terms{K, T, cls != 0, static_cast<int16_t>(model)};
              const Market market{r, S, sigma, q};
              const FullTree value =
                  ComputeEveryNode(r, S, K, sigma, T, q, cls != 0, model, steps, dv.amounts, dv.times, 0);
              const FullTree step2 =
                  ComputeEveryNode(r, S, K, sigma, T, q, cls != 0, model, steps, dv.amounts, dv.times, 2);
              ASSERT_TRUE(value.ok && step2.ok) << what.str();
              const double v =
                  BinomialTreeValue(terms, market, View(dv.amounts, dv.times), kTreeValue, steps);
              EXPECT_NEAR(v, value.v0, 1e-12 * std::max(1.0, value.v0)) << what.str();
              // Delta from the step-2 values, with the spot every dividend added back.
              const double u2 = std::exp(2 * sigma * std::sqrt(T / steps)), d2 = 1.0 / u2;
              const double delta = (step2.v[2] - step2.v[0]) / (S * u2 - S * d2);
              const double treeDelta =
                  BinomialTreeValue(terms, market, View(dv.amounts, dv.times), kTreeDelta, steps);
              EXPECT_NEAR(treeDelta, delta, 1e-9) << what.str();
              ++checked;
            }
  EXPECT_EQ(checked, 2 * 5 * 3 * 2 * 4 * 3);
}

}  // namespace
