// Pricing core of HlUnivOpt: the normal distribution, the generalised
// Black-Scholes value and the Cox-Ross-Rubinstein tree, with the cost of
// carry chosen by the model number and discrete cash dividends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/xll/xll.h"

namespace hlunivopt {

// The single result of every invalid input or failed computation.
constexpr double AnalyticsErrorValue = 99999999.9;

constexpr int kMaxTreeSteps = 303;
constexpr int kMinTreeSteps = 5;
constexpr int kDefaultTreeSteps = 21;
constexpr double kDefaultVolTolerance = 0.5;

enum TreeKind { kTreeValue = 0, kTreeFugit = 1, kTreeDelta = 2, kTreeGamma = 3 };

// Process-wide settings, shared by every caller of the library.
int TreeSteps();
// Applies the step rule of HLUOA_SETOPTSTEP and answers the setting in force.
int16_t SetTreeSteps(int16_t n);
double VolTolerance();
// A negative or non-finite tolerance leaves the setting unchanged.
double SetVolTolerance(double x);

double CumNormal(double x);
double NormalDensity(double x);

bool IsAmericanModel(int16_t model);

double BlackScholesValue(double r, double S, double K, double sigma, double T, double q,
                         int16_t cls, int16_t model, const FP* amounts, const FP* times);

double BinomialTreeValue(double r, double S, double K, double sigma, double T, double q,
                         int16_t cls, int16_t model, int kind, int steps, const FP* amounts,
                         const FP* times);

// Mean of the trees with n - 1 and n steps (n = the step setting); the
// error value when either tree fails.
double AmericanPrice(double r, double S, double K, double sigma, double T, double q,
                     int16_t cls, int16_t model, const FP* amounts, const FP* times);

// The American price for models 1, 3 and 5, else the European value.
double ModelPrice(double r, double S, double K, double sigma, double T, double q,
                  int16_t cls, int16_t model, const FP* amounts, const FP* times);

// ---- shared by the greeks -------------------------------------------------

// The two dividend arrays checked: both present, equal element counts, every
// element finite.
struct Dividends {
  double* amount = nullptr;
  double* time = nullptr;
  size_t count = 0;
};
bool ViewDividends(const FP* amounts, const FP* times, Dividends* out);

// Bounds on the market inputs shared by both models (S before or after the
// dividends, as each caller needs).
bool ValidInputs(double r, double S, double K, double sigma, double T, double q);

// Inputs of the closed forms: the spot less the dividends in [0, T], the
// model's carry and d1, d2.
struct ClosedForm {
  double S, K, r, sigma, T, b;
  double sqrtT, d1, d2;
  double carry;    // e^((b - r) T)
  double kDisc;    // K e^(-rT)
};
bool PrepareClosedForm(double r, double S, double K, double sigma, double T, double q,
                       int16_t model, const FP* amounts, const FP* times, ClosedForm* cf);

inline bool IsError(double v) { return v == AnalyticsErrorValue; }

}  // namespace hlunivopt
