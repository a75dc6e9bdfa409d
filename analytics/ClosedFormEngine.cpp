#include "ClosedFormEngine.h"

#include <cmath>

#include "OptionGreeks.h"
#include "OptionModels.h"

namespace hlunivopt {

namespace {

constexpr double E = AnalyticsErrorValue;

// Inputs of the closed forms: the spot less the dividends in [0, T], the
// model's carry and d1, d2.
struct ClosedForm {
  double S, K, r, sigma, T, b;
  double sqrtT, d1, d2;
  double carry;  // e^((b - r) T)
  double kDisc;  // K e^(-rT)
};

bool Prepare(const OptionTerms& terms, const Market& market, const Dividends& dv, ClosedForm* cf) {
  const double r = market.rate, K = terms.strike, sigma = market.vol, T = terms.years;
  double S = market.spot;
  // Escrowed dividends: taken off the spot, not discounted.
  for (size_t i = dv.count; i-- > 0;) {
    if (Qualifies(dv.time[i], T)) S -= dv.amount[i];
  }
  if (terms.model < 0 || terms.model > 5) return false;
  if (!InBounds(terms, market, S)) return false;
  const double b = (terms.model == 2 || terms.model == 3) ? 0.0 : r - market.yield;
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

}  // namespace

double ClosedFormEngine::Price(const OptionTerms& terms, const Market& market,
                               const Dividends& dividends) const {
  ClosedForm cf;
  if (!Prepare(terms, market, dividends, &cf)) return E;
  const double Nd1 = CumNormal(cf.d1), Nd2 = CumNormal(cf.d2);
  const double v = terms.call ? cf.S * cf.carry * Nd1 - cf.kDisc * Nd2
                              : cf.S * cf.carry * (Nd1 - 1.0) - cf.kDisc * (Nd2 - 1.0);
  return std::isfinite(v) ? v : E;
}

double ClosedFormEngine::Delta(const OptionTerms& terms, const Market& market,
                               const Dividends& dividends) const {
  ClosedForm cf;
  if (!Prepare(terms, market, dividends, &cf)) return E;
  const double sst = cf.sigma * cf.sqrtT;
  double delta = cf.carry * (CumNormal(cf.d1) + NormalDensity(cf.d1) / sst) -
                 cf.kDisc * NormalDensity(cf.d2) / (cf.S * sst);
  if (!terms.call) delta -= cf.carry;
  return Checked(delta);
}

double ClosedFormEngine::Gamma(const OptionTerms& terms, const Market& market,
                               const Dividends& dividends) const {
  ClosedForm cf;
  if (!Prepare(terms, market, dividends, &cf)) return E;
  return Checked(NormalDensity(cf.d1) * cf.carry / (cf.S * cf.sigma * cf.sqrtT));
}

double ClosedFormEngine::Kappa(const OptionTerms& terms, const Market& market,
                               const Dividends& dividends) const {
  ClosedForm cf;
  if (!Prepare(terms, market, dividends, &cf)) return E;
  const double L = std::log(cf.S * std::exp(cf.b * cf.T) / cf.K);
  const double s2t = cf.sigma * cf.sigma * cf.sqrtT;
  const double half = cf.sqrtT / 2.0;
  return Checked(0.01 * (cf.S * cf.carry * NormalDensity(cf.d1) * (half - L / s2t) +
                         cf.kDisc * NormalDensity(cf.d2) * (half + L / s2t)));
}

double ClosedFormEngine::Theta2(const OptionTerms& terms, const Market& market,
                                DividendSchedule& dividends) const {
  ClosedForm cf;
  if (!Prepare(terms, market, dividends, &cf)) return E;
  const double sq = cf.sqrtT;
  const double D = cf.sigma / (4.0 * sq) + cf.b / (2.0 * cf.sigma * sq) -
                   std::log(cf.S / cf.K) / (2.0 * cf.sigma * cf.T * sq);
  const double br = cf.b - cf.r;
  double dVdT =
      cf.S * (br * cf.carry * CumNormal(cf.d1) + cf.carry * NormalDensity(cf.d1) * D) +
      cf.kDisc * (cf.r * CumNormal(cf.d2) - (D - cf.sigma / (2.0 * sq)) * NormalDensity(cf.d2));
  if (!terms.call) dVdT = dVdT - cf.S * br * cf.carry - cf.r * cf.kDisc;
  return Checked(dVdT * kTradingDay);
}

double ClosedFormEngine::Fugit(const OptionTerms& terms, const Market& market,
                               const Dividends&) const {
  for (double v : {market.rate, market.spot, terms.strike, market.vol, terms.years, market.yield}) {
    if (!std::isfinite(v)) return E;
  }
  return terms.years;
}

double ClosedFormEngine::ImpliedVol(const OptionTerms& terms, const Market& market, double price,
                                    const Dividends& dividends) const {
  if (!std::isfinite(price)) return E;
  VolSearch search{price, VolTolerance() * price * 0.01};
  if (!NewtonPhase(search, *this, terms, terms, market, dividends)) return E;
  return search.Result();
}

void ClosedFormEngine::Analysis(const OptionTerms& terms, const Market& market,
                                DividendSchedule& dividends, AnalysisArray* out) const {
  out->price = Price(terms, market, dividends);
  out->delta = Delta(terms, market, dividends);
  out->gamma = Gamma(terms, market, dividends);
  out->rho = Rho(*this, terms, market, dividends);
  out->kappa = Kappa(terms, market, dividends);
  out->fugit = Fugit(terms, market, dividends);
  out->theta = Theta(*this, terms, market, dividends);
  out->theta2 = Theta2(terms, market, dividends);
}

}  // namespace hlunivopt
