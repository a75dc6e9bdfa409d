// Speed of the analytics, single-threaded, over a grid of moneyness,
// volatility and expiry: HlUnivOpt against QuantLib's engines at equal steps,
// and the American tree against a minimal Cox-Ross-Rubinstein loop (the
// compute limit of such a tree).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench/BenchMain.h"
#include "analytics/HlUnivOpt.h"
#include "analytics/OptionModels.h"
#include "analytics/TreeEngine.h"

#if ORV_HAVE_QUANTLIB
#include <ql/exercise.hpp>
#include <ql/math/solvers1d/brent.hpp>
#include <ql/instruments/vanillaoption.hpp>
#include <ql/methods/lattices/binomialtree.hpp>
#include <ql/pricingengines/vanilla/analyticeuropeanengine.hpp>
#include <ql/pricingengines/vanilla/binomialengine.hpp>
#include <ql/processes/blackscholesprocess.hpp>
#include <ql/quotes/simplequote.hpp>
#include <ql/settings.hpp>
#include <ql/termstructures/volatility/equityfx/blackconstantvol.hpp>
#include <ql/termstructures/yield/flatforward.hpp>
#include <ql/time/calendars/nullcalendar.hpp>
#include <ql/time/daycounters/actual365fixed.hpp>
#endif

namespace {

constexpr double kRate = 0.05;
constexpr double kYield = 0.02;
constexpr double kStrike = 100.0;

struct Option {
  double S, sigma, T;
  int days;
  short cls;
};

const std::vector<Option>& Grid() {
  static const std::vector<Option> grid = [] {
    std::vector<Option> g;
    for (double m : {0.8, 0.9, 1.0, 1.1, 1.2})
      for (double v : {0.15, 0.3, 0.5})
        for (int days : {30, 182, 365, 730})
          for (short cls : {0, 1}) g.push_back({kStrike * m, v, days / 365.0, days, cls});
    return g;
  }();
  return grid;
}

// ---- the minimal loop --------------------------------------------------

double MinimalCrr(const Option& o, int n) {
  double V[hlunivopt::kMaxTreeSteps + 1], price[hlunivopt::kMaxTreeSteps + 1];
  const double dt = o.T / n;
  const double u = std::exp(o.sigma * std::sqrt(dt)), d = 1.0 / u;
  const double p = (std::exp((kRate - kYield) * dt) - d) / (u - d);
  const double disc = std::exp(-kRate * dt);
  const double pu = disc * p, pd = disc * (1.0 - p);
  const double sign = o.cls != 0 ? 1.0 : -1.0;
  double s = o.S * std::pow(d, n);
  for (int k = 0; k <= n; ++k) {
    price[k] = s;
    V[k] = std::max(sign * (s - kStrike), 0.0);
    s *= u * u;
  }
  for (int j = n - 1; j >= 0; --j) {
    for (int k = 0; k <= j; ++k) {
      price[k] *= u;
      V[k] = std::max(pu * V[k + 1] + pd * V[k], sign * (price[k] - kStrike));
    }
  }
  return V[0];
}

void BM_MinimalCrrTree(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state)
    for (const Option& o : Grid()) benchmark::DoNotOptimize(MinimalCrr(o, n));
  state.SetItemsProcessed(state.iterations() * Grid().size());
}

// The mean of the n - 1 and n step trees, as the library prices.
void BM_MinimalCrrMean(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state)
    for (const Option& o : Grid())
      benchmark::DoNotOptimize((MinimalCrr(o, n - 1) + MinimalCrr(o, n)) / 2.0);
  state.SetItemsProcessed(state.iterations() * Grid().size());
}

// ---- HlUnivOpt ---------------------------------------------------------

void BM_HlEuropean(benchmark::State& state) {
  for (auto _ : state)
    for (const Option& o : Grid())
      benchmark::DoNotOptimize(HLUOA_PRICE(kRate, o.S, kStrike, o.sigma, o.T, kYield, o.cls, 0));
  state.SetItemsProcessed(state.iterations() * Grid().size());
}

// One tree of n steps, below the export.
double HlTree(const Option& o, int n) {
  return hlunivopt::BinomialTreeValue({kStrike, o.T, o.cls != 0, 1}, {kRate, o.S, o.sigma, kYield},
                                      {}, hlunivopt::kTreeValue, n);
}

void BM_HlTree(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state)
    for (const Option& o : Grid()) benchmark::DoNotOptimize(HlTree(o, n));
  state.SetItemsProcessed(state.iterations() * Grid().size());
}

// The exported American price: the mean of the n - 1 and n step trees. The
// step setting starts at 21, which the setter cannot reach again (it keeps
// even values), so the 21-step runs come first.
void BM_HlAmerican(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  // The setter keeps even counts and clamps at 303: 304 gives 303.
  if (n != 21) HLUOA_SETOPTSTEP(static_cast<short>(n == 303 ? 304 : n));
  if (HLUOA_SETOPTSTEP(0) != n) {
    state.SkipWithError("the step setting is no longer the one wanted");
    return;
  }
  for (auto _ : state)
    for (const Option& o : Grid())
      benchmark::DoNotOptimize(HLUOA_PRICE(kRate, o.S, kStrike, o.sigma, o.T, kYield, o.cls, 1));
  state.SetItemsProcessed(state.iterations() * Grid().size());
}

std::vector<double> AmericanTargets() {
  std::vector<double> prices;
  for (const Option& o : Grid())
    prices.push_back(HLUOA_PRICE(kRate, o.S, kStrike, o.sigma, o.T, kYield, o.cls, 1));
  return prices;
}

void BM_HlImpliedVolAmerican(benchmark::State& state) {
  if (HLUOA_SETOPTSTEP(0) != 21) {
    state.SkipWithError("the step setting is no longer 21");
    return;
  }
  const std::vector<double> targets = AmericanTargets();
  for (auto _ : state) {
    for (size_t i = 0; i < Grid().size(); ++i) {
      const Option& o = Grid()[i];
      benchmark::DoNotOptimize(
          HLUOA_IMPLIEDVOL(kRate, o.S, kStrike, targets[i], o.T, kYield, o.cls, 1));
    }
  }
  state.SetItemsProcessed(state.iterations() * Grid().size());
}

#if ORV_HAVE_QUANTLIB
namespace ql = QuantLib;

struct QlOption {
  ql::ext::shared_ptr<ql::SimpleQuote> spot, vol;
  ql::ext::shared_ptr<ql::BlackScholesMertonProcess> process;
  ql::ext::shared_ptr<ql::VanillaOption> option;
};

const ql::Date kToday(2, ql::January, 2025);

std::vector<QlOption> MakeQlOptions(bool american) {
  ql::Settings::instance().evaluationDate() = kToday;
  const ql::DayCounter dc = ql::Actual365Fixed();
  ql::Handle<ql::YieldTermStructure> rate(
      ql::ext::make_shared<ql::FlatForward>(kToday, kRate, dc, ql::Continuous));
  ql::Handle<ql::YieldTermStructure> yield(
      ql::ext::make_shared<ql::FlatForward>(kToday, kYield, dc, ql::Continuous));
  std::vector<QlOption> out;
  for (const Option& o : Grid()) {
    QlOption q;
    q.spot = ql::ext::make_shared<ql::SimpleQuote>(o.S);
    q.vol = ql::ext::make_shared<ql::SimpleQuote>(o.sigma);
    ql::Handle<ql::BlackVolTermStructure> vol(ql::ext::make_shared<ql::BlackConstantVol>(
        kToday, ql::NullCalendar(), ql::Handle<ql::Quote>(q.vol), dc));
    q.process = ql::ext::make_shared<ql::BlackScholesMertonProcess>(ql::Handle<ql::Quote>(q.spot),
                                                                yield, rate, vol);
    const ql::Date maturity = kToday + o.days;
    ql::ext::shared_ptr<ql::Exercise> exercise;
    if (american) {
      exercise = ql::ext::make_shared<ql::AmericanExercise>(kToday, maturity);
    } else {
      exercise = ql::ext::make_shared<ql::EuropeanExercise>(maturity);
    }
    auto payoff = ql::ext::make_shared<ql::PlainVanillaPayoff>(
        o.cls != 0 ? ql::Option::Call : ql::Option::Put, kStrike);
    q.option = ql::ext::make_shared<ql::VanillaOption>(payoff, exercise);
    out.push_back(q);
  }
  return out;
}

void BM_QlEuropean(benchmark::State& state) {
  auto options = MakeQlOptions(false);
  for (auto& q : options)
    q.option->setPricingEngine(ql::ext::make_shared<ql::AnalyticEuropeanEngine>(q.process));
  for (auto _ : state) {
    for (auto& q : options) {
      q.option->recalculate();
      benchmark::DoNotOptimize(q.option->NPV());
    }
  }
  state.SetItemsProcessed(state.iterations() * Grid().size());
}

void BM_QlCrr(benchmark::State& state) {
  const auto n = static_cast<ql::Size>(state.range(0));
  auto options = MakeQlOptions(true);
  for (auto& q : options)
    q.option->setPricingEngine(
        ql::ext::make_shared<ql::BinomialVanillaEngine<ql::CoxRossRubinstein>>(q.process, n));
  for (auto _ : state) {
    for (auto& q : options) {
      q.option->recalculate();
      benchmark::DoNotOptimize(q.option->NPV());
    }
  }
  state.SetItemsProcessed(state.iterations() * Grid().size());
}

// The implied volatility of an American option as this library works it
// out, done with QuantLib's own parts: its Brent solver over its tree on the
// same model, the mean of the 20 and 21 step trees, stopping as this
// library stops, once the price is within the tolerance setting of the
// target (0.5% of it by default). The bracket is [0.01, 4] rather than
// this library's [1e-7, 10]: beyond it QuantLib's tree refuses the longer
// expiries (its up-probability leaves [0, 1]), and no target here needs it. QuantLib's
// impliedVolatility is no reference here: for an American option it prices
// with a finite-difference engine whatever engine was set, so it solves
// another model at many times the cost.
struct QlTreeVol {
  QlOption q;
  ql::ext::shared_ptr<ql::VanillaOption> shorter;  // n - 1 steps, sharing q's process
};

std::vector<QlTreeVol> MakeQlTreeVols(int n) {
  std::vector<QlTreeVol> out;
  for (QlOption& q : MakeQlOptions(true)) {
    QlTreeVol v{q, ql::ext::make_shared<ql::VanillaOption>(
                       ql::ext::dynamic_pointer_cast<ql::StrikedTypePayoff>(q.option->payoff()),
                       q.option->exercise())};
    q.option->setPricingEngine(
        ql::ext::make_shared<ql::BinomialVanillaEngine<ql::CoxRossRubinstein>>(q.process, n));
    v.shorter->setPricingEngine(
        ql::ext::make_shared<ql::BinomialVanillaEngine<ql::CoxRossRubinstein>>(q.process, n - 1));
    out.push_back(v);
  }
  return out;
}

constexpr double kPriceTolerance = hlunivopt::kDefaultVolTolerance * 0.01;  // of the target

// The volatility, or -1 when the solver gives up.
double QlTreeImpliedVol(QlTreeVol& v, double target) {
  const double tolerance = kPriceTolerance * target;
  const auto f = [&](double sigma) {
    v.q.vol->setValue(sigma);
    const double diff = 0.5 * (v.shorter->NPV() + v.q.option->NPV()) - target;
    return std::fabs(diff) <= tolerance ? 0.0 : diff;
  };
  ql::Brent brent;
  brent.setMaxEvaluations(100);
  try {
    return brent.solve(f, 1e-9, 0.3, 0.01, 4.0);
  } catch (const std::exception&) {
    return -1;
  }
}

// Where both find an answer, the two must agree to this much wherever the
// price tolerance pins the volatility down to half of it (the tolerance
// over the option's vega): the trees differ in their up-probability, and
// any volatility that prices within the tolerance is an answer, so deep in
// or out of the money, where the price hardly moves with the volatility,
// the answers may lie far apart. There each must price within the
// tolerance of the target on its own model.
constexpr double kVolAgreement = 0.01;

struct Agreement {
  int both = 0, hlFailed = 0, qlFailed = 0, pinned = 0, disagree = 0;
  double worstPinned = 0;  // the largest difference where the volatility is pinned down
};

Agreement CompareImpliedVols(std::vector<QlTreeVol>& trees, const std::vector<double>& targets) {
  Agreement a;
  for (size_t i = 0; i < trees.size(); ++i) {
    const Option& o = Grid()[i];
    const double tolerance = kPriceTolerance * targets[i];
    const double hl = HLUOA_IMPLIEDVOL(kRate, o.S, kStrike, targets[i], o.T, kYield, o.cls, 1);
    const double ql = QlTreeImpliedVol(trees[i], targets[i]);
    if (hl == hlunivopt::AnalyticsErrorValue) ++a.hlFailed;
    if (ql < 0) ++a.qlFailed;
    if (hl == hlunivopt::AnalyticsErrorValue || ql < 0) continue;
    ++a.both;
    // Each answer on its own model.
    const double hlPrice = HLUOA_PRICE(kRate, o.S, kStrike, hl, o.T, kYield, o.cls, 1);
    trees[i].q.vol->setValue(ql);
    const double qlPrice = 0.5 * (trees[i].shorter->NPV() + trees[i].q.option->NPV());
    if (std::fabs(hlPrice - targets[i]) > tolerance || std::fabs(qlPrice - targets[i]) > tolerance) ++a.disagree;
    const double vega = (HLUOA_PRICE(kRate, o.S, kStrike, o.sigma + 0.01, o.T, kYield, o.cls, 1) -
                         HLUOA_PRICE(kRate, o.S, kStrike, o.sigma - 0.01, o.T, kYield, o.cls, 1)) / 0.02;
    if (vega > 0 && tolerance / vega <= kVolAgreement / 2) {
      ++a.pinned;
      a.worstPinned = std::max(a.worstPinned, std::fabs(hl - ql));
      if (std::fabs(hl - ql) > kVolAgreement) ++a.disagree;
    }
  }
  return a;
}

void BM_QlImpliedVolAmerican(benchmark::State& state) {
  if (HLUOA_SETOPTSTEP(0) != 21) {
    state.SkipWithError("the step setting is no longer 21");
    return;
  }
  std::vector<QlTreeVol> options = MakeQlTreeVols(21);
  const std::vector<double> targets = AmericanTargets();
  // Both answers, before any timing: a disagreement fails the run.
  const Agreement a = CompareImpliedVols(options, targets);
  state.counters["solved_both"] = a.both;
  state.counters["failed_here"] = a.hlFailed;
  state.counters["failed_ql"] = a.qlFailed;
  state.counters["vol_pinned"] = a.pinned;
  state.counters["worst_pinned_diff"] = a.worstPinned;
  if (a.disagree != 0) {
    state.SkipWithError("the implied volatilities disagree");
    return;
  }
  for (auto _ : state) {
    for (size_t i = 0; i < options.size(); ++i)
      benchmark::DoNotOptimize(QlTreeImpliedVol(options[i], targets[i]));
  }
  state.SetItemsProcessed(state.iterations() * Grid().size());
}

// Both libraries must price the same options before their speed means
// anything.
void CheckAgreement() {
  auto european = MakeQlOptions(false);
  double worst = 0;
  for (size_t i = 0; i < european.size(); ++i) {
    european[i].option->setPricingEngine(
        ql::ext::make_shared<ql::AnalyticEuropeanEngine>(european[i].process));
    const Option& o = Grid()[i];
    worst = std::max(worst, std::fabs(european[i].option->NPV() -
                                      HLUOA_PRICE(kRate, o.S, kStrike, o.sigma, o.T, kYield,
                                                  o.cls, 0)));
  }
  std::fprintf(stderr, "European: largest price difference to QuantLib %.2e\n", worst);

  // The trees differ in their up-probability only, so their prices differ
  // by a fraction of the tree's own error.
  auto american = MakeQlOptions(true);
  for (int n : {21, 303}) {
    worst = 0;
    for (size_t i = 0; i < american.size(); ++i) {
      american[i].option->setPricingEngine(
          ql::ext::make_shared<ql::BinomialVanillaEngine<ql::CoxRossRubinstein>>(
              american[i].process, n));
      const Option& o = Grid()[i];
      worst = std::max(worst, std::fabs(american[i].option->NPV() - HlTree(o, n)));
    }
    std::fprintf(stderr, "American, %d steps: largest price difference to QuantLib %.2e\n", n,
                 worst);
  }

  // The implied volatilities of the American targets, both on the 21-step
  // model and to the same price tolerance; the run of BM_QlImpliedVolAmerican
  // fails when they disagree by more than kVolAgreement. Deep in or out of
  // the money the price barely moves with the volatility, and a search that
  // fails still counts as work done in the timings.
  const std::vector<double> targets = AmericanTargets();
  std::vector<QlTreeVol> trees = MakeQlTreeVols(21);
  const Agreement a = CompareImpliedVols(trees, targets);
  std::fprintf(stderr,
               "American implied volatility of %zu targets, 21-step trees, Brent in QuantLib: %d failed "
               "here, %d in QuantLib; of the %d both solved, %d disagree: each prices within %.1f%% of its "
               "target on its own model, and where the volatility is pinned down (%d) they lie within "
               "%.2f of each other (largest difference %.2e)\n",
               targets.size(), a.hlFailed, a.qlFailed, a.both, a.disagree, kPriceTolerance * 100, a.pinned,
               kVolAgreement, a.worstPinned);
}
#endif

// Registration order is run order: the 21-step American runs need the
// library's initial step setting.
BENCHMARK(BM_HlEuropean);
#if ORV_HAVE_QUANTLIB
BENCHMARK(BM_QlEuropean);
#endif
BENCHMARK(BM_HlAmerican)->Arg(21);
BENCHMARK(BM_HlImpliedVolAmerican);
#if ORV_HAVE_QUANTLIB
BENCHMARK(BM_QlImpliedVolAmerican);
#endif
BENCHMARK(BM_HlAmerican)->Arg(303);
BENCHMARK(BM_HlTree)->Arg(21)->Arg(303);
#if ORV_HAVE_QUANTLIB
BENCHMARK(BM_QlCrr)->Arg(21)->Arg(303);
#endif
BENCHMARK(BM_MinimalCrrTree)->Arg(21)->Arg(303);
BENCHMARK(BM_MinimalCrrMean)->Arg(21)->Arg(303);

}  // namespace

int main(int argc, char** argv) {
  // Ours over the reference: QuantLib on the same model and steps, and the
  // minimal loop for what is left to gain.
  std::vector<orvbench::Comparison> ratios = {
      {"BM_HlTree/21", "BM_MinimalCrrTree/21"},       {"BM_HlTree/303", "BM_MinimalCrrTree/303"},
      {"BM_HlAmerican/21", "BM_MinimalCrrMean/21"},   {"BM_HlAmerican/303", "BM_MinimalCrrMean/303"},
#if ORV_HAVE_QUANTLIB
      {"BM_HlEuropean", "BM_QlEuropean"},             {"BM_HlTree/21", "BM_QlCrr/21"},
      {"BM_HlTree/303", "BM_QlCrr/303"},              {"BM_HlImpliedVolAmerican", "BM_QlImpliedVolAmerican"},
#endif
  };
#if ORV_HAVE_QUANTLIB
  return orvbench::RunBenchmarks(argc, argv, CheckAgreement, std::move(ratios));
#else
  return orvbench::RunBenchmarks(argc, argv, nullptr, std::move(ratios));
#endif
}
