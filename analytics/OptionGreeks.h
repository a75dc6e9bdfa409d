// Sensitivities and the implied-volatility search over the pricing core.
// Every function takes (r, S, K, sigma, T, q, class, model, amounts, times)
// and answers AnalyticsErrorValue when a valuation it needs fails. Theta and
// theta2 shift the dividend arrays in place.
#pragma once

#include "OptionModels.h"

namespace hlunivopt {

constexpr double kBump = 0.0025;
constexpr double kCalendarDay = 1.0 / 365.0;
constexpr double kTradingDay = 1.0 / 252.0;
constexpr double kTradingDayShift = 0.00396825;

double OptionDelta(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times);
double OptionGamma(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times);
double OptionRho(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                 int16_t model, FP* amounts, FP* times);
double OptionKappa(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times);
double OptionTheta(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times);
double OptionTheta2(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                    int16_t model, FP* amounts, FP* times);
// Fugit: the tree's expected exercise time for American models, T otherwise.
double OptionFugit(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                   int16_t model, FP* amounts, FP* times);
// The volatility argument's place holds the option's market price.
double ImpliedVolSearch(double r, double S, double K, double price, double T, double q,
                        int16_t cls, int16_t model, FP* amounts, FP* times);

// The eight results of the all-in-one array, in its element order.
struct AnalysisArray {
  double price, delta, gamma, rho, theta, theta2, kappa, fugit;
};
void OptionAnalysis(double r, double S, double K, double sigma, double T, double q, int16_t cls,
                    int16_t model, FP* amounts, FP* times, AnalysisArray* out);

}  // namespace hlunivopt
