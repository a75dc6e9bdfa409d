#include "OptionGreeks.h"

#include <cmath>
#include <initializer_list>

namespace hlunivopt {

namespace {

constexpr double E = AnalyticsErrorValue;

double Checked(double v) { return std::isfinite(v) ? v : E; }

// European price of the search model, or the American tree mean.
double PriceAt(double r, double S, double K, double sigma, double T, double q, int16_t cls,
               int16_t model, const FP* amounts, const FP* times) {
  return ModelPrice(r, S, K, sigma, T, q, cls, model, amounts, times);
}

}  // namespace

double OptionDelta(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times) {
  if (IsAmericanModel(model)) {
    return BinomialTreeValue(r, S, K, sigma, T, q, cls, model, kTreeDelta, TreeSteps(), amounts,
                             times);
  }
  ClosedForm cf;
  if (!PrepareClosedForm(r, S, K, sigma, T, q, model, amounts, times, &cf)) return E;
  const double sst = cf.sigma * cf.sqrtT;
  double delta = cf.carry * (CumNormal(cf.d1) + NormalDensity(cf.d1) / sst) -
                 cf.kDisc * NormalDensity(cf.d2) / (cf.S * sst);
  if (cls == 0) delta -= cf.carry;
  return Checked(delta);
}

double OptionGamma(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times) {
  if (IsAmericanModel(model)) {
    return BinomialTreeValue(r, S, K, sigma, T, q, cls, model, kTreeGamma, TreeSteps(), amounts,
                             times);
  }
  ClosedForm cf;
  if (!PrepareClosedForm(r, S, K, sigma, T, q, model, amounts, times, &cf)) return E;
  return Checked(NormalDensity(cf.d1) * cf.carry / (cf.S * cf.sigma * cf.sqrtT));
}

double OptionRho(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                 int16_t model, FP* amounts, FP* times) {
  const double up = PriceAt(r + kBump, S, K, sigma, T, q, cls, model, amounts, times);
  if (IsError(up)) return E;
  const double down = PriceAt(r - kBump, S, K, sigma, T, q, cls, model, amounts, times);
  if (IsError(down)) return E;
  return Checked(2.0 * (up - down));
}

double OptionKappa(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times) {
  if (IsAmericanModel(model)) {
    const double up = AmericanPrice(r, S, K, sigma + kBump, T, q, cls, model, amounts, times);
    if (IsError(up)) return E;
    const double down = AmericanPrice(r, S, K, sigma - kBump, T, q, cls, model, amounts, times);
    if (IsError(down)) return E;
    return Checked(2.0 * (up - down));
  }
  ClosedForm cf;
  if (!PrepareClosedForm(r, S, K, sigma, T, q, model, amounts, times, &cf)) return E;
  const double L = std::log(cf.S * std::exp(cf.b * cf.T) / cf.K);
  const double s2t = cf.sigma * cf.sigma * cf.sqrtT;
  const double half = cf.sqrtT / 2.0;
  return Checked(0.01 * (cf.S * cf.carry * NormalDensity(cf.d1) * (half - L / s2t) +
                         cf.kDisc * NormalDensity(cf.d2) * (half + L / s2t)));
}

double OptionTheta(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times) {
  Dividends dv;
  if (!ViewDividends(amounts, times, &dv)) return E;
  if (model < 0 || model > 5 || !ValidInputs(r, S, K, sigma, T, q)) return E;
  const double p0 = PriceAt(r, S, K, sigma, T, q, cls, model, amounts, times);
  if (IsError(p0)) return E;
  const double growth = std::exp(kCalendarDay);
  double spot = S;
  for (size_t i = dv.count; i-- > 0;) {
    const double t = dv.time[i];
    if (t >= 0.0 && t < kCalendarDay) {
      spot -= dv.amount[i];
    } else {
      dv.amount[i] *= growth;
    }
    dv.time[i] = t - kCalendarDay;
  }
  const double p1 = PriceAt(r, spot, K, sigma, T - kCalendarDay, q, cls, model, amounts, times);
  if (IsError(p1)) return E;
  return Checked(p0 - p1);
}

double OptionTheta2(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                    int16_t model, FP* amounts, FP* times) {
  if (IsAmericanModel(model)) {
    Dividends dv;
    if (!ViewDividends(amounts, times, &dv)) return E;
    const double p0 = AmericanPrice(r, S, K, sigma, T, q, cls, model, amounts, times);
    if (IsError(p0)) return E;
    double spot = S;
    for (size_t i = dv.count; i-- > 0;) {
      const double t = dv.time[i];
      if (t >= 0.0 && t < kTradingDayShift) spot -= dv.amount[i];
      dv.time[i] = t - kTradingDayShift;
    }
    const double p1 =
        AmericanPrice(r, spot, K, sigma, T - kTradingDayShift, q, cls, model, amounts, times);
    if (IsError(p1)) return E;
    return Checked(p0 - p1);
  }
  ClosedForm cf;
  if (!PrepareClosedForm(r, S, K, sigma, T, q, model, amounts, times, &cf)) return E;
  const double sq = cf.sqrtT;
  const double D = cf.sigma / (4.0 * sq) + cf.b / (2.0 * cf.sigma * sq) -
                   std::log(cf.S / cf.K) / (2.0 * cf.sigma * cf.T * sq);
  const double br = cf.b - cf.r;
  double dVdT = cf.S * (br * cf.carry * CumNormal(cf.d1) + cf.carry * NormalDensity(cf.d1) * D) +
                cf.kDisc * (cf.r * CumNormal(cf.d2) -
                            (D - cf.sigma / (2.0 * sq)) * NormalDensity(cf.d2));
  if (cls == 0) dVdT = dVdT - cf.S * br * cf.carry - cf.r * cf.kDisc;
  return Checked(dVdT * kTradingDay);
}

double OptionFugit(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times) {
  if (IsAmericanModel(model)) {
    return BinomialTreeValue(r, S, K, sigma, T, q, cls, model, kTreeFugit, TreeSteps(), amounts,
                             times);
  }
  // The years argument is the answer for every other model, whatever the
  // bounds; only what no caller can mean is refused: a missing array or a
  // number that is not finite.
  if (amounts == nullptr || times == nullptr) return E;
  for (double v : {r, S, K, sigma, T, q}) {
    if (!std::isfinite(v)) return E;
  }
  for (const FP* fp : {amounts, times}) {
    const double* e = FpElements(fp);
    for (size_t i = 0, n = FpCount(fp); i < n; ++i) {
      if (!std::isfinite(e[i])) return E;
    }
  }
  return T;
}

namespace {

// One phase of the Newton search: `value` prices at a volatility, the vega
// is always the closed-form kappa of the European search model.
template <typename Value>
bool NewtonPhase(double price, double tolerance, double& sigma, double& lo, double& hi,
                 int& counter, double& Pm, Value value, double r, double S, double K, double T,
                 double q, int16_t cls, int16_t searchModel, FP* amounts, FP* times) {
  for (;;) {
    if (counter > 29 || std::fabs(Pm - price) <= tolerance) return true;
    if (Pm < price && sigma >= lo) {
      lo = sigma;
    } else if (Pm > price && sigma <= hi) {
      hi = sigma;
    }
    ++counter;
    double vega = OptionKappa(r, S, K, sigma, T, q, cls, searchModel, amounts, times);
    if (IsError(vega)) return false;
    if (vega < 1e-9) vega = 1e-9;
    sigma = sigma + (price - Pm) / vega * 0.01;
    if (sigma > hi || sigma < lo) sigma = (lo + hi) / 2.0;
    Pm = value(sigma);
    if (IsError(Pm)) return false;
  }
}

}  // namespace

double ImpliedVolSearch(double r, double S, double K, double price, double T, double q,
                        int16_t cls, int16_t model, FP* amounts, FP* times) {
  if (!std::isfinite(price)) return E;
  double lo = 1e-7, hi = 10.0, sigma = 0.14;
  int counter = 1;
  const bool american = IsAmericanModel(model);
  const int16_t searchModel = american ? static_cast<int16_t>(model - 1) : model;
  double tolerance = american ? price * 0.005 : VolTolerance() * price * 0.01;

  auto european = [&](double s) {
    return BlackScholesValue(r, S, K, s, T, q, cls, searchModel, amounts, times);
  };
  double Pm = european(sigma);
  if (IsError(Pm)) return E;
  if (!NewtonPhase(price, tolerance, sigma, lo, hi, counter, Pm, european, r, S, K, T, q, cls,
                   searchModel, amounts, times)) {
    return E;
  }
  if (american) {
    tolerance = VolTolerance() * price * 0.01;
    lo = 1e-7;
    hi = 10.0;
    auto treeMean = [&](double s) {
      return AmericanPrice(r, S, K, s, T, q, cls, model, amounts, times);
    };
    Pm = treeMean(sigma);
    if (IsError(Pm)) return E;
    if (!NewtonPhase(price, tolerance, sigma, lo, hi, counter, Pm, treeMean, r, S, K, T, q, cls,
                     searchModel, amounts, times)) {
      return E;
    }
  }
  return std::fabs(Pm - price) <= tolerance ? Checked(sigma) : E;
}

void OptionAnalysis(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                    int16_t model, FP* amounts, FP* times, AnalysisArray* out) {
  if (!IsAmericanModel(model)) {
    // Theta shifts the arrays before theta2 is computed, so theta2 sees the
    // shifted dividends.
    out->price = BlackScholesValue(r, S, K, sigma, T, q, cls, model, amounts, times);
    out->delta = OptionDelta(r, S, K, sigma, T, q, cls, model, amounts, times);
    out->gamma = OptionGamma(r, S, K, sigma, T, q, cls, model, amounts, times);
    out->rho = OptionRho(r, S, K, sigma, T, q, cls, model, amounts, times);
    out->kappa = OptionKappa(r, S, K, sigma, T, q, cls, model, amounts, times);
    out->fugit = OptionFugit(r, S, K, sigma, T, q, cls, model, amounts, times);
    out->theta = OptionTheta(r, S, K, sigma, T, q, cls, model, amounts, times);
    out->theta2 = OptionTheta2(r, S, K, sigma, T, q, cls, model, amounts, times);
    return;
  }
  *out = AnalysisArray{E, E, E, E, E, E, E, E};
  out->rho = OptionRho(r, S, K, sigma, T, q, cls, model, amounts, times);
  out->kappa = OptionKappa(r, S, K, sigma, T, q, cls, model, amounts, times);
  out->fugit = BinomialTreeValue(r, S, K, sigma, T, q, cls, model, kTreeFugit, TreeSteps(),
                                 amounts, times);
  const double price = AmericanPrice(r, S, K, sigma, T, q, cls, model, amounts, times);
  out->price = price;
  if (IsError(price)) return;

  Dividends dv;
  if (!ViewDividends(amounts, times, &dv)) return;
  double spot = S;
  for (size_t i = dv.count; i-- > 0;) {
    const double t = dv.time[i];
    if (t >= 0.0 && t < kTradingDayShift) spot -= dv.amount[i];
    dv.time[i] = t - kTradingDayShift;
  }
  const double down = AmericanPrice(r, 0.99 * spot, K, sigma, T, q, cls, model, amounts, times);
  const double up = AmericanPrice(r, 1.01 * spot, K, sigma, T, q, cls, model, amounts, times);
  if (!IsError(down) && !IsError(up)) {
    out->delta = Checked((up - down) * 50.0 / spot);
    out->gamma = Checked((up + down - 2.0 * price) / (spot * spot * 0.0001));
  }
  const double Tnext = T - kTradingDayShift;
  const double later = AmericanPrice(r, spot, K, sigma, Tnext, q, cls, model, amounts, times);
  if (!IsError(later)) out->theta2 = Checked(price - later);
  if (model == 3) {
    out->theta = out->theta2;
    return;
  }
  const double growth = std::exp((r - q) * kTradingDayShift);
  for (size_t i = 0; i < dv.count; ++i) {
    if (dv.time[i] >= 0.0) dv.amount[i] *= growth;
  }
  const double grown = spot * growth;
  const double thetaLater = AmericanPrice(r, grown, K, sigma, Tnext, q, cls, model, amounts, times);
  if (!IsError(thetaLater)) out->theta = Checked(price - thetaLater);
}

}  // namespace hlunivopt
