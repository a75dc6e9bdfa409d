#include "OptionModels.h"

#include <atomic>
#include <cmath>

namespace hlunivopt {

namespace {

// Atomics only so that concurrent callers never tear a setting; the values
// follow the one-call-at-a-time rules of the interface.
std::atomic<int> g_treeSteps{kDefaultTreeSteps};
std::atomic<double> g_volTolerance{kDefaultVolTolerance};

}  // namespace

int TreeSteps() { return g_treeSteps.load(std::memory_order_relaxed); }

int16_t SetTreeSteps(int16_t n) {
  const int16_t m = static_cast<int16_t>(n / 2 * 2);
  if (m > kMaxTreeSteps) {
    g_treeSteps = kMaxTreeSteps;
  } else if (m <= 0) {
    // unchanged
  } else if (m < kMinTreeSteps) {
    g_treeSteps = kMinTreeSteps;
  } else {
    g_treeSteps = m;
  }
  return static_cast<int16_t>(TreeSteps());
}

double VolTolerance() { return g_volTolerance.load(std::memory_order_relaxed); }

double SetVolTolerance(double x) {
  if (std::isfinite(x) && x >= 0.0) g_volTolerance = x;
  return VolTolerance();
}

double NormalDensity(double x) { return 0.39894228 * std::exp(-x * x / 2.0); }

double CumNormal(double x) {
  const double a = std::fabs(x);
  if (a > 7.0) return x >= 0.0 ? 1.0 : 0.0;
  const double k = 1.0 / (1.0 + 0.2316419 * a);
  const double n = 0.39894228 * std::exp(-x * x / 2.0);
  const double k2 = k * k, k3 = k2 * k, k4 = k3 * k, k5 = k4 * k;
  const double P = 1.0 - n * (0.31938153 * k - 0.356563782 * k2 + 1.781477937 * k3 -
                              1.821255978 * k4 + 1.330274429 * k5);
  return x >= 0.0 ? P : 1.0 - P;
}

bool IsAmericanModel(int16_t model) { return model == 1 || model == 3 || model == 5; }

bool InBounds(const OptionTerms& terms, const Market& market, double S) {
  const double r = market.rate, K = terms.strike, sigma = market.vol, T = terms.years,
               q = market.yield;
  if (!std::isfinite(r) || !std::isfinite(S) || !std::isfinite(K) || !std::isfinite(sigma) ||
      !std::isfinite(T) || !std::isfinite(q)) {
    return false;
  }
  return r >= -3.0 && r <= 3.0 && q >= -3.0 && q <= 3.0 && S > 0.0 && K > 0.0 && T > 0.0 &&
         T <= 100.0 && sigma > 1e-8 && sigma <= 10.0;
}

}  // namespace hlunivopt
