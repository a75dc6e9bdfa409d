// The exported interface of the HlUnivOpt library: plain C functions, callable
// from the spreadsheet (once the add-in registered them) and from any
// language's C interface. Every double result is 99999999.9 on invalid input
// or failure; nothing throws.
//
// The eight common arguments: rate, spot, strike, volatility (the option
// price for the implied volatility), years to maturity, ext_disc_rate, class
// (0 put, other call) and model (0..5). Dividend forms add two FP arrays of
// equal element count: cash amounts, and times in years with the dividend
// nearest to now first. Theta, theta2 and the all-in-one array shift those
// arrays in place.
#pragma once

#include "platform/xll/xll.h"

#define HLUOA_EXPORT __attribute__((visibility("default")))

extern "C" {

HLUOA_EXPORT double HLUOA_NORMAL(double x);

HLUOA_EXPORT double HLUOA_PRICE(double r, double S, double K, double vol, double T, double q,
                                short cls, short model);
HLUOA_EXPORT double HLUOA_DELTA(double r, double S, double K, double vol, double T, double q,
                                short cls, short model);
HLUOA_EXPORT double HLUOA_GAMMA(double r, double S, double K, double vol, double T, double q,
                                short cls, short model);
HLUOA_EXPORT double HLUOA_RHO(double r, double S, double K, double vol, double T, double q,
                              short cls, short model);
HLUOA_EXPORT double HLUOA_THETA(double r, double S, double K, double vol, double T, double q,
                                short cls, short model);
HLUOA_EXPORT double HLUOA_THETA2(double r, double S, double K, double vol, double T, double q,
                                 short cls, short model);
HLUOA_EXPORT double HLUOA_KAPPA(double r, double S, double K, double vol, double T, double q,
                                short cls, short model);
HLUOA_EXPORT double HLUOA_FUGIT(double r, double S, double K, double vol, double T, double q,
                                short cls, short model);
HLUOA_EXPORT double HLUOA_IMPLIEDVOL(double r, double S, double K, double price, double T,
                                     double q, short cls, short model);

HLUOA_EXPORT double HLUOA_DPRICE(double r, double S, double K, double vol, double T, double q,
                                 short cls, short model, FP* amounts, FP* times);
HLUOA_EXPORT double HLUOA_DDELTA(double r, double S, double K, double vol, double T, double q,
                                 short cls, short model, FP* amounts, FP* times);
HLUOA_EXPORT double HLUOA_DGAMMA(double r, double S, double K, double vol, double T, double q,
                                 short cls, short model, FP* amounts, FP* times);
HLUOA_EXPORT double HLUOA_DRHO(double r, double S, double K, double vol, double T, double q,
                               short cls, short model, FP* amounts, FP* times);
HLUOA_EXPORT double HLUOA_DTHETA(double r, double S, double K, double vol, double T, double q,
                                 short cls, short model, FP* amounts, FP* times);
HLUOA_EXPORT double HLUOA_DTHETA2(double r, double S, double K, double vol, double T, double q,
                                  short cls, short model, FP* amounts, FP* times);
HLUOA_EXPORT double HLUOA_DKAPPA(double r, double S, double K, double vol, double T, double q,
                                 short cls, short model, FP* amounts, FP* times);
HLUOA_EXPORT double HLUOA_DFUGIT(double r, double S, double K, double vol, double T, double q,
                                 short cls, short model, FP* amounts, FP* times);
HLUOA_EXPORT double HLUOA_DIMPLIEDVOL(double r, double S, double K, double price, double T,
                                      double q, short cls, short model, FP* amounts, FP* times);

// Price, delta, gamma, rho, theta, theta2, kappa, fugit as a 1 x 8 array
// owned by the library, overwritten by the next call.
HLUOA_EXPORT FP* HLUOA_DARRAY(double r, double S, double K, double vol, double T, double q,
                              short cls, short model, FP* amounts, FP* times);

// For callers that cannot receive a double: the result is stored through
// `result` and the function answers 0.
HLUOA_EXPORT short HLUOA_PRICE2(double r, double S, double K, double vol, double T, double q,
                                short cls, short model, double* result);
HLUOA_EXPORT short HLUOA_DELTA2(double r, double S, double K, double vol, double T, double q,
                                short cls, short model, double* result);
HLUOA_EXPORT short HLUOA_GAMMA2(double r, double S, double K, double vol, double T, double q,
                                short cls, short model, double* result);
HLUOA_EXPORT short HLUOA_THETA_VBA(double r, double S, double K, double vol, double T, double q,
                                   short cls, short model, double* result);
HLUOA_EXPORT short HLUOA_KAPPA2(double r, double S, double K, double vol, double T, double q,
                                short cls, short model, double* result);

// Settings: tree steps (even values up to 302 kept, clamped to 5..303, 0 and
// below ignored) and the implied-volatility tolerance in percent of the price
// (negative or non-finite ignored). Both answer the setting in force.
HLUOA_EXPORT short HLUOA_SETOPTSTEP(short n);
HLUOA_EXPORT double HLUOA_VOL_TOL(double x);

HLUOA_EXPORT double HLUOA_UNIVDPTOD(double* p);
// Element i (from 1, storage order) of an array.
HLUOA_EXPORT double HLUOA_UNIVAPTOD(FP* p, short i);

}  // extern "C"
