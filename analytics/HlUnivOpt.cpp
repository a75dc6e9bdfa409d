#include "HlUnivOpt.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "ClosedFormEngine.h"
#include "OptionGreeks.h"
#include "TreeEngine.h"

using namespace hlunivopt;

namespace {

constexpr double E = AnalyticsErrorValue;

const ClosedFormEngine kClosedForm;

// One call's arguments, converted once: the option's terms, the market, the
// caller's dividend arrays as dividends, and the engine of the model, which
// for a tree reads the step setting once.
struct Arguments {
  OptionTerms terms;
  Market market;
  Dividends dividends;
  // Both arrays there and every element finite; `paired` also equal counts,
  // which every valuation needs. The forms without dividends have none: the
  // placeholder of -1 they stand for never takes part.
  bool usable = true;
  bool paired = true;
  TreeEngine tree{TreeSteps()};

  Arguments(double r, double S, double K, double v, double T, double q, short cls, short model)
      : terms{K, T, cls != 0, model}, market{r, S, v, q} {}

  Arguments(double r, double S, double K, double v, double T, double q, short cls, short model,
            const FP* amounts, const FP* times)
      : Arguments(r, S, K, v, T, q, cls, model) {
    usable = amounts != nullptr && times != nullptr && Finite(amounts) && Finite(times);
    paired = usable && FpCount(amounts) == FpCount(times);
    if (paired) dividends = {FpElements(amounts), FpElements(times), FpCount(amounts)};
  }

  static bool Finite(const FP* fp) {
    const double* e = FpElements(fp);
    for (size_t i = 0, n = FpCount(fp); i < n; ++i) {
      if (!std::isfinite(e[i])) return false;
    }
    return true;
  }

  const OptionEngine& engine() const {
    return IsAmericanModel(terms.model) ? static_cast<const OptionEngine&>(tree) : kClosedForm;
  }

  // The European fugit reads no dividends: it asks only that both arrays
  // are there and finite.
  double Fugit() const {
    const bool american = IsAmericanModel(terms.model);
    if (!(american ? paired : usable)) return E;
    return engine().Fugit(terms, market, dividends);
  }
};

double Valued(const Arguments& c, double (OptionEngine::*greek)(const OptionTerms&, const Market&,
                                                                const Dividends&) const) {
  if (!c.paired) return E;
  return Checked((c.engine().*greek)(c.terms, c.market, c.dividends));
}

// The greeks that move the dividends a day on work on a copy, which goes
// back into the caller's arrays afterwards: the caller sees the schedule of
// the last valuation, as the interface promises.
template <typename Fn>
double Shifting(const Arguments& c, FP* amounts, FP* times, Fn fn) {
  if (!c.paired) return E;
  try {
    DividendSchedule schedule(c.dividends);
    const double v = fn(schedule);
    if (amounts != nullptr && times != nullptr) {
      std::copy(schedule.amounts().begin(), schedule.amounts().end(), FpElements(amounts));
      std::copy(schedule.times().begin(), schedule.times().end(), FpElements(times));
    }
    return v;
  } catch (const std::bad_alloc&) {
    return E;
  }
}

// Each export's computation, for the forms with dividends and, with no
// arrays, for those without.
double PriceOf(const Arguments& c, FP*, FP*) { return Valued(c, &OptionEngine::Price); }
double DeltaOf(const Arguments& c, FP*, FP*) { return Valued(c, &OptionEngine::Delta); }
double GammaOf(const Arguments& c, FP*, FP*) { return Valued(c, &OptionEngine::Gamma); }
double KappaOf(const Arguments& c, FP*, FP*) { return Valued(c, &OptionEngine::Kappa); }
double FugitOf(const Arguments& c, FP*, FP*) { return Checked(c.Fugit()); }
double RhoOf(const Arguments& c, FP*, FP*) {
  return c.paired ? Checked(Rho(c.engine(), c.terms, c.market, c.dividends)) : E;
}
// The volatility's place holds the option's price.
double ImpliedVolOf(const Arguments& c, FP*, FP*) {
  if (!c.paired) return E;
  return Checked(c.engine().ImpliedVol(c.terms, c.market, c.market.vol, c.dividends));
}
double ThetaOf(const Arguments& c, FP* amounts, FP* times) {
  return Shifting(c, amounts, times, [&](DividendSchedule& schedule) {
    return Checked(Theta(c.engine(), c.terms, c.market, schedule));
  });
}
double Theta2Of(const Arguments& c, FP* amounts, FP* times) {
  return Shifting(c, amounts, times, [&](DividendSchedule& schedule) {
    return Checked(c.engine().Theta2(c.terms, c.market, schedule));
  });
}

short Store(double value, double* result) {
  if (result != nullptr) *result = value;
  return 0;
}

// The all-in-one result: an FP of 1 x 8 owned by the library.
alignas(FP) unsigned char g_arrayResult[8 + 8 * sizeof(double)];

}  // namespace

extern "C" {

double HLUOA_NORMAL(double x) {
  if (!std::isfinite(x)) return E;
  return Checked(CumNormal(x));
}

#define HLUOA_FORMS(plainName, dividendName, fn)                                             \
  double plainName(double r, double S, double K, double v, double T, double q, short cls,    \
                   short model) {                                                            \
    return fn(Arguments(r, S, K, v, T, q, cls, model), nullptr, nullptr);                    \
  }                                                                                          \
  double dividendName(double r, double S, double K, double v, double T, double q, short cls, \
                      short model, FP* amounts, FP* times) {                                 \
    return fn(Arguments(r, S, K, v, T, q, cls, model, amounts, times), amounts, times);      \
  }

HLUOA_FORMS(HLUOA_PRICE, HLUOA_DPRICE, PriceOf)
HLUOA_FORMS(HLUOA_DELTA, HLUOA_DDELTA, DeltaOf)
HLUOA_FORMS(HLUOA_GAMMA, HLUOA_DGAMMA, GammaOf)
HLUOA_FORMS(HLUOA_RHO, HLUOA_DRHO, RhoOf)
HLUOA_FORMS(HLUOA_THETA, HLUOA_DTHETA, ThetaOf)
HLUOA_FORMS(HLUOA_THETA2, HLUOA_DTHETA2, Theta2Of)
HLUOA_FORMS(HLUOA_KAPPA, HLUOA_DKAPPA, KappaOf)
HLUOA_FORMS(HLUOA_FUGIT, HLUOA_DFUGIT, FugitOf)
HLUOA_FORMS(HLUOA_IMPLIEDVOL, HLUOA_DIMPLIEDVOL, ImpliedVolOf)

FP* HLUOA_DARRAY(double r, double S, double K, double v, double T, double q, short cls, short model,
                 FP* amounts, FP* times) {
  const Arguments c(r, S, K, v, T, q, cls, model, amounts, times);
  AnalysisArray a{E, E, E, E, E, E, E, E};
  if (c.paired) {
    Shifting(c, amounts, times, [&](DividendSchedule& schedule) {
      c.engine().Analysis(c.terms, c.market, schedule, &a);
      return 0.0;
    });
  } else {
    a.fugit = c.Fugit();
  }
  // The element order of the array: price, delta, gamma, rho, theta, theta2,
  // kappa, fugit (not the order in which the engines compute them).
  const double values[8] = {Checked(a.price), Checked(a.delta), Checked(a.gamma),
                            Checked(a.rho),   Checked(a.theta), Checked(a.theta2),
                            Checked(a.kappa), Checked(a.fugit)};
  const uint16_t rows = 1, columns = 8;
  std::memcpy(g_arrayResult, &rows, sizeof rows);
  std::memcpy(g_arrayResult + 2, &columns, sizeof columns);
  std::memset(g_arrayResult + 4, 0, 4);
  std::memcpy(g_arrayResult + 8, values, sizeof values);
  return reinterpret_cast<FP*>(g_arrayResult);
}
short HLUOA_PRICE2(double r, double S, double K, double v, double T, double q, short cls,
                   short model, double* result) {
  return Store(HLUOA_PRICE(r, S, K, v, T, q, cls, model), result);
}
short HLUOA_DELTA2(double r, double S, double K, double v, double T, double q, short cls,
                   short model, double* result) {
  return Store(HLUOA_DELTA(r, S, K, v, T, q, cls, model), result);
}
short HLUOA_GAMMA2(double r, double S, double K, double v, double T, double q, short cls,
                   short model, double* result) {
  return Store(HLUOA_GAMMA(r, S, K, v, T, q, cls, model), result);
}
short HLUOA_THETA_VBA(double r, double S, double K, double v, double T, double q, short cls,
                      short model, double* result) {
  return Store(HLUOA_THETA(r, S, K, v, T, q, cls, model), result);
}
short HLUOA_KAPPA2(double r, double S, double K, double v, double T, double q, short cls,
                   short model, double* result) {
  return Store(HLUOA_KAPPA(r, S, K, v, T, q, cls, model), result);
}

short HLUOA_SETOPTSTEP(short n) { return SetTreeSteps(n); }

double HLUOA_VOL_TOL(double x) { return SetVolTolerance(x); }

double HLUOA_UNIVDPTOD(double* p) {
  if (p == nullptr) return E;
  return Checked(*p);
}

double HLUOA_UNIVAPTOD(FP* p, short i) {
  if (p == nullptr || i < 1 || static_cast<size_t>(i) > FpCount(p)) return E;
  return Checked(FpElements(p)[i - 1]);
}

}  // extern "C"
