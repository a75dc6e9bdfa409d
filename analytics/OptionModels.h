// What the engines of HlUnivOpt share: the error value, the process-wide
// settings, the normal distribution, the model numbers and the bounds on
// the inputs.
#pragma once

#include <cmath>
#include <cstdint>

#include "OptionInputs.h"

namespace hlunivopt {

// The single result of every invalid input or failed computation.
constexpr double AnalyticsErrorValue = 99999999.9;

constexpr int kMaxTreeSteps = 303;
constexpr int kMinTreeSteps = 5;
constexpr int kDefaultTreeSteps = 21;
constexpr double kDefaultVolTolerance = 0.5;

// Process-wide settings, shared by every caller of the library.
int TreeSteps();
// Applies the step rule of HLUOA_SETOPTSTEP and answers the setting in force.
int16_t SetTreeSteps(int16_t n);
double VolTolerance();
// A negative or non-finite tolerance leaves the setting unchanged.
double SetVolTolerance(double x);

double CumNormal(double x);
double NormalDensity(double x);

// Models 1, 3 and 5 are American (priced by the tree), 0, 2 and 4 European;
// 2 and 3 have no carry (a futures underlying). Any other number is
// refused by every valuation.
bool IsAmericanModel(int16_t model);

// Bounds on the inputs shared by both engines, with `spot` before or after
// the dividends as each engine needs.
bool InBounds(const OptionTerms& terms, const Market& market, double spot);

inline bool IsError(double v) { return v == AnalyticsErrorValue; }
inline double Checked(double v) { return std::isfinite(v) ? v : AnalyticsErrorValue; }

}  // namespace hlunivopt
