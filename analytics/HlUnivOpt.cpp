#include "HlUnivOpt.h"

#include <cmath>
#include <cstring>

#include "OptionGreeks.h"

using namespace hlunivopt;

namespace {

// The no-dividend forms pass a one-element array holding -1.0 for both
// amounts and times. Built afresh on every call: theta writes into it.
struct Placeholder {
  alignas(FP) unsigned char amountBytes[16];
  alignas(FP) unsigned char timeBytes[16];
  FP* amounts;
  FP* times;

  Placeholder() {
    amounts = Make(amountBytes);
    times = Make(timeBytes);
  }
  static FP* Make(unsigned char* bytes) {
    FP* fp = reinterpret_cast<FP*>(bytes);
    fp->rows = 1;
    fp->columns = 1;
    fp->array[0] = -1.0;
    return fp;
  }
};

double Guard(double v) { return std::isfinite(v) ? v : AnalyticsErrorValue; }

using Fn = double (*)(double, double, double, double, double, double, int16_t, int16_t, FP*, FP*);

double Plain(Fn fn, double r, double S, double K, double v, double T, double q, short cls,
             short model) {
  Placeholder ph;
  return Guard(fn(r, S, K, v, T, q, cls, model, ph.amounts, ph.times));
}

double Price(double r, double S, double K, double v, double T, double q, int16_t cls,
             int16_t model, FP* amounts, FP* times) {
  return ModelPrice(r, S, K, v, T, q, cls, model, amounts, times);
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
  if (!std::isfinite(x)) return AnalyticsErrorValue;
  return Guard(CumNormal(x));
}

#define HLUOA_PLAIN(name, fn)                                                           \
  double name(double r, double S, double K, double v, double T, double q, short cls,    \
              short model) {                                                            \
    return Plain(fn, r, S, K, v, T, q, cls, model);                                     \
  }
#define HLUOA_DIVIDEND(name, fn)                                                        \
  double name(double r, double S, double K, double v, double T, double q, short cls,    \
              short model, FP* amounts, FP* times) {                                    \
    return Guard(fn(r, S, K, v, T, q, cls, model, amounts, times));                     \
  }

HLUOA_PLAIN(HLUOA_PRICE, Price)
HLUOA_PLAIN(HLUOA_DELTA, OptionDelta)
HLUOA_PLAIN(HLUOA_GAMMA, OptionGamma)
HLUOA_PLAIN(HLUOA_RHO, OptionRho)
HLUOA_PLAIN(HLUOA_THETA, OptionTheta)
HLUOA_PLAIN(HLUOA_THETA2, OptionTheta2)
HLUOA_PLAIN(HLUOA_KAPPA, OptionKappa)
HLUOA_PLAIN(HLUOA_FUGIT, OptionFugit)
HLUOA_PLAIN(HLUOA_IMPLIEDVOL, ImpliedVolSearch)

HLUOA_DIVIDEND(HLUOA_DPRICE, Price)
HLUOA_DIVIDEND(HLUOA_DDELTA, OptionDelta)
HLUOA_DIVIDEND(HLUOA_DGAMMA, OptionGamma)
HLUOA_DIVIDEND(HLUOA_DRHO, OptionRho)
HLUOA_DIVIDEND(HLUOA_DTHETA, OptionTheta)
HLUOA_DIVIDEND(HLUOA_DTHETA2, OptionTheta2)
HLUOA_DIVIDEND(HLUOA_DKAPPA, OptionKappa)
HLUOA_DIVIDEND(HLUOA_DFUGIT, OptionFugit)
HLUOA_DIVIDEND(HLUOA_DIMPLIEDVOL, ImpliedVolSearch)

FP* HLUOA_DARRAY(double r, double S, double K, double v, double T, double q, short cls,
                 short model, FP* amounts, FP* times) {
  AnalysisArray a;
  OptionAnalysis(r, S, K, v, T, q, cls, model, amounts, times, &a);
  const double values[8] = {Guard(a.price), Guard(a.delta), Guard(a.gamma),
                            Guard(a.rho),   Guard(a.theta), Guard(a.theta2),
                            Guard(a.kappa), Guard(a.fugit)};
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
  if (p == nullptr) return AnalyticsErrorValue;
  return Guard(*p);
}

double HLUOA_UNIVAPTOD(FP* p, short i) {
  if (p == nullptr || i < 1 || static_cast<size_t>(i) > FpCount(p)) return AnalyticsErrorValue;
  return Guard(FpElements(p)[i - 1]);
}

}  // extern "C"
