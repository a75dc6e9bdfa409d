#include "TreeEngine.h"

#include <algorithm>
#include <cmath>

#include "ClosedFormEngine.h"
#include "OptionGreeks.h"
#include "OptionModels.h"

namespace hlunivopt {

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

double BinomialTreeValue(const OptionTerms& terms, const Market& market, const Dividends& dv,
                         int kind, int steps) {
  const int16_t model = terms.model;
  if (!IsAmericanModel(model) || kind < kTreeValue || kind > kTreeGamma) {
    return AnalyticsErrorValue;
  }
  const int lowest = kind >= kTreeDelta ? 2 : 0;
  const int n = steps;
  if (n < 1 || n > kMaxTreeSteps || n < lowest) return AnalyticsErrorValue;
  if (!InBounds(terms, market, market.spot)) return AnalyticsErrorValue;
  const double r = market.rate, S = market.spot, K = terms.strike, sigma = market.vol,
               T = terms.years, q = market.yield;

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

  const bool call = terms.call;
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
      result =
          ((L.V[2] - L.V[1]) / ((u2 - 1.0) * Sfull) - (L.V[1] - L.V[0]) / ((1.0 - d2) * Sfull)) /
          (0.5 * (Sfull * u2 - Sfull * d2));
      break;
  }
  return std::isfinite(result) ? result : AnalyticsErrorValue;
}

namespace {

constexpr double E = AnalyticsErrorValue;

}  // namespace

double TreeEngine::Price(const OptionTerms& terms, const Market& market,
                         const Dividends& dividends) const {
  const double a = BinomialTreeValue(terms, market, dividends, kTreeValue, steps_ - 1);
  if (IsError(a)) return E;
  const double b = BinomialTreeValue(terms, market, dividends, kTreeValue, steps_);
  if (IsError(b)) return E;
  return (a + b) / 2.0;
}

double TreeEngine::Delta(const OptionTerms& terms, const Market& market,
                         const Dividends& dividends) const {
  return BinomialTreeValue(terms, market, dividends, kTreeDelta, steps_);
}

double TreeEngine::Gamma(const OptionTerms& terms, const Market& market,
                         const Dividends& dividends) const {
  return BinomialTreeValue(terms, market, dividends, kTreeGamma, steps_);
}

double TreeEngine::Kappa(const OptionTerms& terms, const Market& market,
                         const Dividends& dividends) const {
  Market bumped = market;
  bumped.vol = market.vol + kBump;
  const double up = Price(terms, bumped, dividends);
  if (IsError(up)) return E;
  bumped.vol = market.vol - kBump;
  const double down = Price(terms, bumped, dividends);
  if (IsError(down)) return E;
  return Checked(2.0 * (up - down));
}

double TreeEngine::Theta2(const OptionTerms& terms, const Market& market,
                          DividendSchedule& dividends) const {
  const double p0 = Price(terms, market, dividends);
  if (IsError(p0)) return E;
  Market later = market;
  later.spot = dividends.PassDay(market.spot, kTradingDayShift, 1.0);
  OptionTerms shorter = terms;
  shorter.years = terms.years - kTradingDayShift;
  const double p1 = Price(shorter, later, dividends);
  if (IsError(p1)) return E;
  return Checked(p0 - p1);
}

double TreeEngine::Fugit(const OptionTerms& terms, const Market& market,
                         const Dividends& dividends) const {
  return BinomialTreeValue(terms, market, dividends, kTreeFugit, steps_);
}

double TreeEngine::ImpliedVol(const OptionTerms& terms, const Market& market, double price,
                              const Dividends& dividends) const {
  if (!std::isfinite(price)) return E;
  OptionTerms european = terms;
  european.model = static_cast<int16_t>(terms.model - 1);
  const ClosedFormEngine closedForm;
  VolSearch search{price, price * 0.005};
  if (!NewtonPhase(search, closedForm, european, european, market, dividends)) return E;
  search.tolerance = VolTolerance() * price * 0.01;
  search.lo = 1e-7;
  search.hi = 10.0;
  if (!NewtonPhase(search, *this, terms, european, market, dividends)) return E;
  return search.Result();
}

void TreeEngine::Analysis(const OptionTerms& terms, const Market& market,
                          DividendSchedule& dividends, AnalysisArray* out) const {
  *out = AnalysisArray{E, E, E, E, E, E, E, E};
  out->rho = Rho(*this, terms, market, dividends);
  out->kappa = Kappa(terms, market, dividends);
  out->fugit = Fugit(terms, market, dividends);
  const double price = Price(terms, market, dividends);
  out->price = price;
  if (IsError(price)) return;

  const double spot = dividends.PassDay(market.spot, kTradingDayShift, 1.0);
  Market at = market;
  at.spot = 0.99 * spot;
  const double down = Price(terms, at, dividends);
  at.spot = 1.01 * spot;
  const double up = Price(terms, at, dividends);
  if (!IsError(down) && !IsError(up)) {
    out->delta = Checked((up - down) * 50.0 / spot);
    out->gamma = Checked((up + down - 2.0 * price) / (spot * spot * 0.0001));
  }
  OptionTerms next = terms;
  next.years = terms.years - kTradingDayShift;
  at.spot = spot;
  const double later = Price(next, at, dividends);
  if (!IsError(later)) out->theta2 = Checked(price - later);
  if (terms.model == 3) {
    out->theta = out->theta2;
    return;
  }
  const double growth = std::exp((market.rate - market.yield) * kTradingDayShift);
  dividends.GrowUnpaid(growth);
  at.spot = spot * growth;
  const double thetaLater = Price(next, at, dividends);
  if (!IsError(thetaLater)) out->theta = Checked(price - thetaLater);
}

}  // namespace hlunivopt
