#include "OptionModels.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace hlunivopt {

namespace {

// Atomics only so that concurrent callers never tear a setting; the values
// follow the one-call-at-a-time rules of the interface.
std::atomic<int> g_treeSteps{kDefaultTreeSteps};
std::atomic<double> g_volTolerance{kDefaultVolTolerance};

bool Qualifies(double t, double T) { return t >= 0.0 && t <= T; }

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

bool ViewDividends(const FP* amounts, const FP* times, Dividends* out) {
  if (amounts == nullptr || times == nullptr) return false;
  const size_t count = FpCount(amounts);
  if (count != FpCount(times)) return false;
  // The arrays are written by theta through these pointers; the library's
  // callers own them and pass them as writable.
  double* a = const_cast<double*>(FpElements(amounts));
  double* t = const_cast<double*>(FpElements(times));
  for (size_t i = 0; i < count; ++i) {
    if (!std::isfinite(a[i]) || !std::isfinite(t[i])) return false;
  }
  out->amount = a;
  out->time = t;
  out->count = count;
  return true;
}

bool ValidInputs(double r, double S, double K, double sigma, double T, double q) {
  if (!std::isfinite(r) || !std::isfinite(S) || !std::isfinite(K) || !std::isfinite(sigma) ||
      !std::isfinite(T) || !std::isfinite(q)) {
    return false;
  }
  return r >= -3.0 && r <= 3.0 && q >= -3.0 && q <= 3.0 && S > 0.0 && K > 0.0 && T > 0.0 &&
         T <= 100.0 && sigma > 1e-8 && sigma <= 10.0;
}

bool PrepareClosedForm(double r, double S, double K, double sigma, double T, double q,
                       int16_t model, const FP* amounts, const FP* times, ClosedForm* cf) {
  Dividends dv;
  if (!ViewDividends(amounts, times, &dv)) return false;
  if (!IsAmericanModel(model)) {
    // Escrowed dividends: taken off the spot, not discounted.
    for (size_t i = dv.count; i-- > 0;) {
      if (Qualifies(dv.time[i], T)) S -= dv.amount[i];
    }
  }
  if (model < 0 || model > 5) return false;
  if (!ValidInputs(r, S, K, sigma, T, q)) return false;
  const double b = (model == 2 || model == 3) ? 0.0 : r - q;
  cf->S = S;
  cf->K = K;
  cf->r = r;
  cf->sigma = sigma;
  cf->T = T;
  cf->b = b;
  cf->sqrtT = std::sqrt(T);
  cf->d1 = (std::log(S * std::exp(b * T) / K) + sigma * sigma * T / 2.0) / (sigma * cf->sqrtT);
  cf->d2 = cf->d1 - sigma * cf->sqrtT;
  cf->carry = std::exp((b - r) * T);
  cf->kDisc = K * std::exp(-r * T);
  return std::isfinite(cf->d1) && std::isfinite(cf->d2) && std::isfinite(cf->carry) &&
         std::isfinite(cf->kDisc);
}

double BlackScholesValue(double r, double S, double K, double sigma, double T, double q,
                         int16_t cls, int16_t model, const FP* amounts, const FP* times) {
  ClosedForm cf;
  if (!PrepareClosedForm(r, S, K, sigma, T, q, model, amounts, times, &cf)) {
    return AnalyticsErrorValue;
  }
  const double Nd1 = CumNormal(cf.d1), Nd2 = CumNormal(cf.d2);
  const double v = cls != 0 ? cf.S * cf.carry * Nd1 - cf.kDisc * Nd2
                            : cf.S * cf.carry * (Nd1 - 1.0) - cf.kDisc * (Nd2 - 1.0);
  return std::isfinite(v) ? v : AnalyticsErrorValue;
}

namespace {

// Working storage of one tree, on the caller's stack so that the tree is
// re-entrant.
struct Lattice {
  int n;
  double K, p, pu, pd, E;
  double power[2 * kMaxTreeSteps + 1];  // u^m at index m + n
  // E u^m split by the parity of (n - m) so that the nodes of one step are
  // contiguous: node k of step j is price(j)[k].
  double evenPrice[kMaxTreeSteps + 1];
  double oddPrice[kMaxTreeSteps + 1];
  double V[kMaxTreeSteps + 2];
  double X[kMaxTreeSteps + 2];

  void SetSpot(double spot) {
    E = spot;
    for (int i = 0; i <= n; ++i) evenPrice[i] = E * power[2 * i];
    for (int i = 0; i < n; ++i) oddPrice[i] = E * power[2 * i + 1];
  }
  // Level 2k - j of step j is power index 2k - j + n = 2 (k + (n - j) / 2)
  // (+1 when n - j is odd).
  const double* Prices(int j) const {
    const int s = n - j;
    return (s % 2 == 0 ? evenPrice : oddPrice) + s / 2;
  }
};

template <bool kCall>
inline double Intrinsic(double price, double K) {
  return kCall ? price - K : K - price;
}

// Rolls the values of step `from` back to step `to`.
template <bool kCall, bool kFugit>
void RollBack(Lattice& L, int from, int to) {
  const double pu = L.pu, pd = L.pd, p = L.p, K = L.K;
  double* V = L.V;
  double* X = L.X;
  // Nodes whose value is known to stay 0 are not computed: every value is
  // at least its intrinsic value, so a 0 at step `from` lies on a price
  // that is out of the money, and so does every node further out at the
  // steps before it. For a call, the zeros below the first non-zero node
  // reach one node less far per step back; for a put, the nodes above the
  // last non-zero one stay 0 (the step's top node falls away instead).
  // Their places in V already hold those zeros. Exercise times of such nodes
  // still change, so a fugit tree computes every node.
  int zeroBelow = 0;
  int zeroAbove = from;
  if (!kFugit) {
    if (kCall) {
      while (zeroBelow <= from && V[zeroBelow] == 0.0) ++zeroBelow;
    } else {
      while (zeroAbove >= 0 && V[zeroAbove] == 0.0) --zeroAbove;
    }
  }
  for (int j = from - 1; j >= to; --j) {
    const double* price = L.Prices(j);
    if (kFugit) {
      for (int k = 0; k <= j; ++k) {
        const double cont = pd * V[k] + pu * V[k + 1];
        const double intr = Intrinsic<kCall>(price[k], K);
        if (cont < intr) {
          V[k] = intr;
          X[k] = j;
        } else {
          V[k] = cont;
          X[k] = p * X[k + 1] + (1.0 - p) * X[k];
        }
      }
    } else {
      // A node is exercised when its continuation is below the intrinsic
      // value; continuation values are never negative, so this is max().
      const int first = kCall ? std::max(0, zeroBelow - (from - j)) : 0;
      const int last = kCall ? j : std::min(j, zeroAbove);
      for (int k = first; k <= last; ++k) {
        const double cont = pd * V[k] + pu * V[k + 1];
        const double intr = Intrinsic<kCall>(price[k], K);
        V[k] = cont < intr ? intr : cont;
      }
    }
  }
}

template <bool kCall, bool kFugit>
bool RunTree(Lattice& L, const Dividends& dv, double T, int lowest) {
  const int n = L.n;
  const double* price = L.Prices(n);
  for (int k = 0; k <= n; ++k) {
    const double intr = Intrinsic<kCall>(price[k], L.K);
    L.V[k] = intr > 0.0 ? intr : 0.0;
    if (kFugit) L.X[k] = n;
  }
  int current = n;
  // The last qualifying element in array order is handled first.
  size_t i = dv.count;
  for (;;) {
    while (i > 0 && !(Qualifies(dv.time[i - 1], T) && dv.amount[i - 1] != 0.0)) --i;
    if (i == 0) {
      RollBack<kCall, kFugit>(L, current, lowest);
      return true;
    }
    --i;
    int step = static_cast<int>(std::floor(n * dv.time[i] / T));
    step = std::max(step, lowest);
    if (step > current) return false;
    RollBack<kCall, kFugit>(L, current, step);
    current = step;
    L.SetSpot(L.E + dv.amount[i]);
    const double* p = L.Prices(current);
    for (int k = 0; k <= current; ++k) {
      const double intr = Intrinsic<kCall>(p[k], L.K);
      if (L.V[k] < intr) {
        L.V[k] = intr;
        if (kFugit) L.X[k] = current;
      }
    }
  }
}

}  // namespace

double BinomialTreeValue(double r, double S, double K, double sigma, double T, double q,
                         int16_t cls, int16_t model, int kind, int steps, const FP* amounts,
                         const FP* times) {
  Dividends dv;
  if (!ViewDividends(amounts, times, &dv)) return AnalyticsErrorValue;
  if (!IsAmericanModel(model) || kind < kTreeValue || kind > kTreeGamma) {
    return AnalyticsErrorValue;
  }
  const int lowest = kind >= kTreeDelta ? 2 : 0;
  const int n = steps;
  if (n < 1 || n > kMaxTreeSteps || n < lowest) return AnalyticsErrorValue;
  if (!ValidInputs(r, S, K, sigma, T, q)) return AnalyticsErrorValue;

  const double g = model == 3 ? 1.0 : std::exp((r - q) * T / n);
  double spot = S;
  for (size_t i = 0; i < dv.count; ++i) {
    if (Qualifies(dv.time[i], T) && dv.amount[i] != 0.0) {
      spot -= dv.amount[i];
      if (!(spot > 0.0)) return AnalyticsErrorValue;
    }
  }
  const double u = std::exp(sigma * std::sqrt(T / n));
  const double d = 1.0 / u;
  if (u == d) return AnalyticsErrorValue;
  const double p = (g - d) / (u - d);
  if (!(p >= 0.0 && p <= 1.0)) return AnalyticsErrorValue;
  const double disc = std::exp(r * T / n);

  Lattice L;
  L.n = n;
  L.K = K;
  L.p = p;
  L.pu = p / disc;
  L.pd = (1.0 - p) / disc;
  // Four independent chains (odd and even powers, by u^2 and d^2) held in
  // registers: one chain of dependent products through memory cost a short
  // tree as much as its whole roll-back.
  const double u2 = u * u, d2 = d * d;
  double upEven = 1.0, upOdd = u, downEven = 1.0, downOdd = d;
  L.power[n] = 1.0;
  for (int m = 1; m <= n; m += 2) {
    L.power[n + m] = upOdd;
    L.power[n - m] = downOdd;
    upOdd *= u2;
    downOdd *= d2;
    if (m + 1 > n) break;
    upEven *= u2;
    downEven *= d2;
    L.power[n + m + 1] = upEven;
    L.power[n - m - 1] = downEven;
  }
  L.SetSpot(spot);

  const bool call = cls != 0;
  const bool fugit = kind == kTreeFugit;
  bool ok;
  if (call) {
    ok = fugit ? RunTree<true, true>(L, dv, T, lowest) : RunTree<true, false>(L, dv, T, lowest);
  } else {
    ok = fugit ? RunTree<false, true>(L, dv, T, lowest) : RunTree<false, false>(L, dv, T, lowest);
  }
  if (!ok) return AnalyticsErrorValue;

  double result;
  const double Sfull = L.E;  // every dividend added back
  switch (kind) {
    case kTreeValue:
      result = L.V[0];
      break;
    case kTreeFugit:
      result = T * L.X[0] / n;
      break;
    case kTreeDelta:
      result = (L.V[2] - L.V[0]) / (Sfull * u2 - Sfull * d2);
      break;
    default:
      result = ((L.V[2] - L.V[1]) / ((u2 - 1.0) * Sfull) -
                (L.V[1] - L.V[0]) / ((1.0 - d2) * Sfull)) /
               (0.5 * (Sfull * u2 - Sfull * d2));
      break;
  }
  return std::isfinite(result) ? result : AnalyticsErrorValue;
}

double AmericanPrice(double r, double S, double K, double sigma, double T, double q,
                     int16_t cls, int16_t model, const FP* amounts, const FP* times) {
  const int n = TreeSteps();
  const double a =
      BinomialTreeValue(r, S, K, sigma, T, q, cls, model, kTreeValue, n - 1, amounts, times);
  if (IsError(a)) return AnalyticsErrorValue;
  const double b =
      BinomialTreeValue(r, S, K, sigma, T, q, cls, model, kTreeValue, n, amounts, times);
  if (IsError(b)) return AnalyticsErrorValue;
  return (a + b) / 2.0;
}

double ModelPrice(double r, double S, double K, double sigma, double T, double q,
                  int16_t cls, int16_t model, const FP* amounts, const FP* times) {
  return IsAmericanModel(model) ? AmericanPrice(r, S, K, sigma, T, q, cls, model, amounts, times)
                                : BlackScholesValue(r, S, K, sigma, T, q, cls, model, amounts, times);
}

}  // namespace hlunivopt
