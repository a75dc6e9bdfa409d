// The exports of libHlUnivOpt as callers see them.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <limits>
#include <vector>

#include "analytics/HlUnivOpt.h"

namespace {

constexpr double kErr = 99999999.9;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// An FP array of rows x columns holding the given values.
struct Array {
  std::vector<double> storage;
  Array(std::vector<double> values, uint16_t rows = 1) {
    storage.assign(1 + values.size(), 0.0);
    FP* fp = get();
    fp->rows = rows;
    fp->columns = static_cast<uint16_t>(values.size() / rows);
    for (size_t i = 0; i < values.size(); ++i) FpElements(fp)[i] = values[i];
  }
  FP* get() { return reinterpret_cast<FP*>(storage.data()); }
  double operator[](size_t i) const { return storage[1 + i]; }
};

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Inputs {
  double r, S, K, v, T, q;
  short cls, model;
};

using PlainFn = double (*)(double, double, double, double, double, double, short, short);
using DivFn = double (*)(double, double, double, double, double, double, short, short, FP*, FP*);

double Call(PlainFn fn, const Inputs& i) { return fn(i.r, i.S, i.K, i.v, i.T, i.q, i.cls, i.model); }

struct Named {
  const char* name;
  PlainFn plain;
  DivFn dividend;
};
const Named kFunctions[] = {
    {"price", HLUOA_PRICE, HLUOA_DPRICE},       {"delta", HLUOA_DELTA, HLUOA_DDELTA},
    {"gamma", HLUOA_GAMMA, HLUOA_DGAMMA},       {"rho", HLUOA_RHO, HLUOA_DRHO},
    {"theta", HLUOA_THETA, HLUOA_DTHETA},       {"theta2", HLUOA_THETA2, HLUOA_DTHETA2},
    {"kappa", HLUOA_KAPPA, HLUOA_DKAPPA},       {"fugit", HLUOA_FUGIT, HLUOA_DFUGIT},
    {"impliedvol", HLUOA_IMPLIEDVOL, HLUOA_DIMPLIEDVOL},
};

// Textbook values, to the digits the textbooks give.
TEST(Exports, TextbookValues) {
  struct Row {
    const char* what;
    PlainFn fn;
    Inputs in;
    double expected, tolerance;
  };
  const Inputs bs{0.10, 42, 40, 0.20, 0.5, 0, 1, 0};
  const Inputs b76{0.09, 20, 20, 0.25, 1.0 / 3.0, 0, 0, 2};
  const Inputs g{0.05, 49, 50, 0.20, 20.0 / 52.0, 0, 1, 0};
  const Row rows[] = {
      {"BS call", HLUOA_PRICE, bs, 4.7594, 5e-5},
      {"BS put", HLUOA_PRICE, {0.10, 42, 40, 0.20, 0.5, 0, 0, 0}, 0.8086, 5e-5},
      {"Black-76 put", HLUOA_PRICE, b76, 1.1166, 5e-5},
      {"delta", HLUOA_DELTA, g, 0.522, 5e-4},
      {"gamma", HLUOA_GAMMA, g, 0.066, 5e-4},
      {"kappa per 0.01", HLUOA_KAPPA, g, 0.121, 5e-4},
      {"rho per 1%", HLUOA_RHO, g, 0.0891, 5e-4},
      {"theta per day", HLUOA_THETA, g, 4.31 / 365, 5e-5},
      {"theta2 per trading day", HLUOA_THETA2, g, 4.31 / 252, 5e-5},
      {"put delta", HLUOA_DELTA, {0.05, 49, 50, 0.20, 20.0 / 52.0, 0, 0, 0}, 0.522 - 1, 5e-4},
      {"class 2 is a call", HLUOA_PRICE, {0.10, 42, 40, 0.20, 0.5, 0, 2, 0}, 4.7594, 5e-5},
  };
  for (const Row& r : rows) EXPECT_NEAR(Call(r.fn, r.in), r.expected, r.tolerance) << r.what;
}

TEST(Exports, ClosedFormsAgreeWithTheirDefinitions) {
  const double h = 1e-5;
  for (short model : {0, 2}) {
    for (short cls : {0, 1}) {
      const Inputs in{0.07, 95, 100, 0.3, 0.8, 0.03, cls, model};
      auto at = [&](double S, double T) {
        return HLUOA_PRICE(in.r, S, in.K, in.v, T, in.q, cls, model);
      };
      // Put-call parity: C - P = S e^((b-r)T) - K e^(-rT).
      const double b = model == 2 ? 0.0 : in.r - in.q;
      const double parity = in.S * std::exp((b - in.r) * in.T) - in.K * std::exp(-in.r * in.T);
      EXPECT_NEAR(HLUOA_PRICE(in.r, in.S, in.K, in.v, in.T, in.q, 1, model) -
                      HLUOA_PRICE(in.r, in.S, in.K, in.v, in.T, in.q, 0, model),
                  parity, 1e-12);
      // The distribution function is an approximation whose slope differs
      // from the density by a few 1e-6.
      EXPECT_NEAR(Call(HLUOA_DELTA, in), (at(in.S + h, in.T) - at(in.S - h, in.T)) / (2 * h), 1e-5);
      EXPECT_NEAR(Call(HLUOA_GAMMA, in),
                  (at(in.S + 1e-3, in.T) - 2 * at(in.S, in.T) + at(in.S - 1e-3, in.T)) / 1e-6, 1e-5);
      EXPECT_NEAR(Call(HLUOA_THETA2, in),
                  (at(in.S, in.T + h) - at(in.S, in.T - h)) / (2 * h) / 252, 1e-7);
      EXPECT_NEAR(Call(HLUOA_THETA, in), at(in.S, in.T) - at(in.S, in.T - 1.0 / 365), 1e-12);
    }
    // Gamma and kappa do not depend on the class.
    const Inputs put{0.07, 95, 100, 0.3, 0.8, 0.03, 0, model};
    Inputs call = put;
    call.cls = 1;
    EXPECT_EQ(Call(HLUOA_GAMMA, put), Call(HLUOA_GAMMA, call));
    EXPECT_EQ(Call(HLUOA_KAPPA, put), Call(HLUOA_KAPPA, call));
  }
  // With no carry the rate still discounts: rho of a futures call is -T C.
  const Inputs fut{0.09, 20, 20, 0.25, 0.75, 0, 1, 2};
  EXPECT_NEAR(Call(HLUOA_RHO, fut), -0.75 * Call(HLUOA_PRICE, fut) * 0.01, 1e-8);
}

TEST(Exports, ModelsFourAndFiveAreZeroAndOneBitForBit) {
  HLUOA_SETOPTSTEP(40);
  Array amounts({0.8, 0.8}), times({0.1, 0.35});
  for (const Named& f : kFunctions) {
    for (short cls : {0, 1}) {
      for (short base : {0, 1}) {
        const double v = f.name == std::string("impliedvol") ? 3.1 : 0.27;
        Inputs a{0.06, 41, 42, v, 0.5, 0.02, cls, base};
        Inputs b = a;
        b.model = static_cast<short>(base + 4);
        EXPECT_TRUE(SameBits(Call(f.plain, a), Call(f.plain, b))) << f.name << " model " << base;
        Array a1 = amounts, t1 = times, a2 = amounts, t2 = times;
        EXPECT_TRUE(SameBits(f.dividend(a.r, a.S, a.K, a.v, a.T, a.q, cls, base, a1.get(), t1.get()),
                             f.dividend(b.r, b.S, b.K, b.v, b.T, b.q, cls, b.model, a2.get(), t2.get())))
            << f.name << " with dividends, model " << base;
      }
    }
  }
  for (short base : {0, 1}) {
    Array a1 = amounts, t1 = times, a2 = amounts, t2 = times;
    std::vector<double> first(8), second(8);
    std::memcpy(first.data(), FpElements(HLUOA_DARRAY(0.06, 41, 42, 0.27, 0.5, 0.02, 0, base,
                                                      a1.get(), t1.get())), 64);
    std::memcpy(second.data(), FpElements(HLUOA_DARRAY(0.06, 41, 42, 0.27, 0.5, 0.02, 0,
                                                       static_cast<short>(base + 4), a2.get(),
                                                       t2.get())), 64);
    EXPECT_EQ(std::memcmp(first.data(), second.data(), 64), 0) << "array, model " << base;
  }
}

TEST(Exports, FugitIsTheTimeOfLikelyExercise) {
  // An American call on an asset without yield is never exercised early.
  for (double T : {0.25, 1.0, 3.0}) {
    EXPECT_NEAR(HLUOA_FUGIT(0.08, 50, 45, 0.3, T, 0, 1, 1), T, 1e-12) << T;
  }
  // A deep in-the-money American put is exercised well before expiry.
  const double put = HLUOA_FUGIT(0.1, 30, 50, 0.2, 1.0, 0, 0, 1);
  EXPECT_GE(put, 0.0);
  EXPECT_LT(put, 0.5);
  // Every other model reports the years argument, even an unknown one.
  EXPECT_EQ(HLUOA_FUGIT(0.08, 50, 45, 0.3, 0.7, 0, 1, 0), 0.7);
  EXPECT_EQ(HLUOA_FUGIT(0.08, 50, 45, 0.3, 0.7, 0, 1, 9), 0.7);
}

TEST(Exports, ImpliedVolatilityRoundTrip) {
  struct Row {
    double S, K, T, q;
    short cls, model;
  };
  const Row rows[] = {{42, 40, 0.5, 0, 1, 0}, {42, 40, 0.5, 0, 0, 0},  {100, 120, 2, 0.03, 1, 2},
                      {42, 44, 0.5, 0, 0, 1}, {60, 55, 1.0, 0.04, 1, 5}, {20, 22, 0.75, 0, 0, 3}};
  for (const Row& r : rows) {
    const double price = HLUOA_PRICE(0.05, r.S, r.K, 0.3, r.T, r.q, r.cls, r.model);
    const double iv = HLUOA_IMPLIEDVOL(0.05, r.S, r.K, price, r.T, r.q, r.cls, r.model);
    ASSERT_NE(iv, kErr) << r.model;
    const double back = HLUOA_PRICE(0.05, r.S, r.K, iv, r.T, r.q, r.cls, r.model);
    EXPECT_LE(std::fabs(back - price), 0.005 * price) << "model " << r.model;
    EXPECT_NEAR(iv, 0.3, 0.02) << "model " << r.model;
  }
  // Below intrinsic value no volatility fits.
  EXPECT_EQ(HLUOA_IMPLIEDVOL(0.05, 50, 40, 9.0, 0.5, 0, 1, 0), kErr);
  EXPECT_EQ(HLUOA_IMPLIEDVOL(0.05, 50, 40, 9.0, 0.5, 0, 1, 1), kErr);
  EXPECT_EQ(HLUOA_IMPLIEDVOL(0.05, 50, 40, kNaN, 0.5, 0, 1, 0), kErr);
}

TEST(Exports, InvalidInputsGiveTheErrorValue) {
  const Inputs ok{0.1, 42, 40, 0.2, 0.5, 0, 1, 0};
  struct Row {
    const char* what;
    Inputs in;
  };
  const Row rows[] = {
      {"sigma at 1e-8", {0.1, 42, 40, 1e-8, 0.5, 0, 1, 0}},
      {"sigma above 10", {0.1, 42, 40, 10.01, 0.5, 0, 1, 0}},
      {"T = 0", {0.1, 42, 40, 0.2, 0, 0, 1, 0}},
      {"T = 100.5", {0.1, 42, 40, 0.2, 100.5, 0, 1, 0}},
      {"r = 3.5", {3.5, 42, 40, 0.2, 0.5, 0, 1, 0}},
      {"q = -3.5", {0.1, 42, 40, 0.2, 0.5, -3.5, 1, 0}},
      {"K = 0", {0.1, 42, 0, 0.2, 0.5, 0, 1, 0}},
      {"S = 0", {0.1, 0, 40, 0.2, 0.5, 0, 1, 0}},
      {"model 6", {0.1, 42, 40, 0.2, 0.5, 0, 1, 6}},
      {"model -1", {0.1, 42, 40, 0.2, 0.5, 0, 1, -1}},
      {"NaN rate", {kNaN, 42, 40, 0.2, 0.5, 0, 1, 0}},
      {"infinite spot", {0.1, kInf, 40, 0.2, 0.5, 0, 1, 0}},
      {"infinite strike", {0.1, 42, kInf, 0.2, 0.5, 0, 1, 0}},
      {"NaN years", {0.1, 42, 40, 0.2, kNaN, 0, 1, 0}},
  };
  for (const Row& r : rows) {
    const Inputs& i = r.in;
    const bool finite = std::isfinite(i.r) && std::isfinite(i.S) && std::isfinite(i.K) &&
                        std::isfinite(i.v) && std::isfinite(i.T) && std::isfinite(i.q);
    for (short model : {r.in.model, static_cast<short>(r.in.model == 0 ? 1 : r.in.model)}) {
      Inputs in = r.in;
      in.model = model;
      for (const Named& f : kFunctions) {
        // A European fugit is the years argument itself, out of bounds too.
        if (f.plain == HLUOA_FUGIT && model != 1 && finite) continue;
        if (f.plain == HLUOA_IMPLIEDVOL) {
          // Its volatility place holds a price; only the other bounds apply.
          if (std::string(r.what).rfind("sigma", 0) == 0) continue;
          in.v = 1.0;
        }
        EXPECT_EQ(Call(f.plain, in), kErr) << r.what << ", " << f.name << ", model " << model;
        in.v = r.in.v;
      }
    }
  }
  // The bounds themselves are valid.
  EXPECT_NE(HLUOA_PRICE(3, 42, 40, 10, 100, -3, 1, 0), kErr);
  EXPECT_NE(HLUOA_PRICE(-3, 42, 40, 1.1e-8, 0.5, 3, 0, 0), kErr);
  EXPECT_NE(HLUOA_PRICE(3, 42, 40, 10, 100, 3, 1, 1), kErr);
  EXPECT_NE(Call(HLUOA_PRICE, ok), kErr);
  EXPECT_EQ(HLUOA_NORMAL(kNaN), kErr);
  EXPECT_EQ(HLUOA_NORMAL(7.5), 1.0);

  // Dividend forms: null arrays, unequal counts, a dividend above the spot.
  Array one({1.0}), when({0.2}), two({1.0, 1.0}), big({43.0});
  EXPECT_EQ(HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, two.get(), when.get()), kErr);
  EXPECT_EQ(HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 1, two.get(), when.get()), kErr);
  EXPECT_EQ(HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, nullptr, when.get()), kErr);
  EXPECT_EQ(HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 1, one.get(), nullptr), kErr);
  // Non-finite elements are refused, also in a dividend that would not count.
  for (short model : {0, 1}) {
    Array nan({kNaN}), late({0.7}), nanTime({kNaN});
    EXPECT_EQ(HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, model, nan.get(), late.get()), kErr);
    EXPECT_EQ(HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, model, one.get(), nanTime.get()), kErr);
  }
  EXPECT_EQ(HLUOA_DTHETA(0.1, 42, 40, 0.2, 0.5, 0, 1, 1, one.get(), nullptr), kErr);
  EXPECT_EQ(HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, big.get(), when.get()), kErr);
  EXPECT_EQ(HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 1, big.get(), when.get()), kErr);
  for (short model : {0, 1}) {
    const FP* array = HLUOA_DARRAY(0.1, 42, 40, 0.2, 0.5, 0, 1, model, nullptr, nullptr);
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(FpCount(array), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(FpElements(array)[i], kErr) << model << ", " << i;
  }
  // The European fugit needs no dividends, but a missing or non-finite
  // array is still no input.
  Array nanAmount({kNaN}), infTime({kInf});
  EXPECT_EQ(HLUOA_DFUGIT(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, one.get(), when.get()), 0.5);
  EXPECT_EQ(HLUOA_DFUGIT(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, nullptr, when.get()), kErr);
  EXPECT_EQ(HLUOA_DFUGIT(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, nanAmount.get(), when.get()), kErr);
  EXPECT_EQ(HLUOA_DFUGIT(0.1, 42, 40, 0.2, 0.5, 0, 1, 2, one.get(), infTime.get()), kErr);

  // The pointer forms answer 0 and store the error value.
  double out = 0;
  EXPECT_EQ(HLUOA_PRICE2(0.1, 42, 0, 0.2, 0.5, 0, 1, 0, &out), 0);
  EXPECT_EQ(out, kErr);
  EXPECT_EQ(HLUOA_PRICE2(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(HLUOA_UNIVDPTOD(nullptr), kErr);
}

TEST(Exports, PointerFormsStoreWhatThePlainFormsAnswer) {
  using PtrFn = short (*)(double, double, double, double, double, double, short, short, double*);
  const std::pair<PtrFn, PlainFn> pairs[] = {{HLUOA_PRICE2, HLUOA_PRICE},
                                             {HLUOA_DELTA2, HLUOA_DELTA},
                                             {HLUOA_GAMMA2, HLUOA_GAMMA},
                                             {HLUOA_THETA_VBA, HLUOA_THETA},
                                             {HLUOA_KAPPA2, HLUOA_KAPPA}};
  for (short model : {0, 1}) {
    for (const auto& p : pairs) {
      double out = 0;
      EXPECT_EQ(p.first(0.05, 49, 50, 0.2, 0.4, 0, 1, model, &out), 0);
      EXPECT_TRUE(SameBits(out, p.second(0.05, 49, 50, 0.2, 0.4, 0, 1, model)));
    }
  }
  double d = 3.25;
  EXPECT_EQ(HLUOA_UNIVDPTOD(&d), 3.25);
  Array grid({1, 2, 3, 4, 5, 6}, 2);
  EXPECT_EQ(HLUOA_UNIVAPTOD(grid.get(), 1), 1.0);
  EXPECT_EQ(HLUOA_UNIVAPTOD(grid.get(), 6), 6.0);
  EXPECT_EQ(HLUOA_UNIVAPTOD(grid.get(), 7), kErr);
  EXPECT_EQ(HLUOA_UNIVAPTOD(grid.get(), 0), kErr);
  EXPECT_EQ(HLUOA_UNIVAPTOD(grid.get(), -3), kErr);
  EXPECT_EQ(HLUOA_UNIVAPTOD(nullptr, 1), kErr);
  Array odd({kNaN, kInf});
  EXPECT_EQ(HLUOA_UNIVAPTOD(odd.get(), 1), kErr);
  EXPECT_EQ(HLUOA_UNIVAPTOD(odd.get(), 2), kErr);
  double nan = kNaN;
  EXPECT_EQ(HLUOA_UNIVDPTOD(&nan), kErr);
}

TEST(Exports, DividendTimesDecideWhetherTheyCount) {
  struct Row {
    double time;
    bool counts;
  };
  const Row rows[] = {{0.0, true}, {0.25, true}, {0.5, true}, {0.501, false}, {-0.001, false}};
  for (const Row& r : rows) {
    Array a({1.5}), t({r.time});
    const double with = HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 1, 0, a.get(), t.get());
    const double expected = HLUOA_PRICE(0.1, r.counts ? 40.5 : 42, 40, 0.2, 0.5, 0, 1, 0);
    EXPECT_EQ(with, expected) << r.time;
  }
  // An American price with an ignored dividend is the price without one.
  Array a({1.5}), t({0.501});
  EXPECT_TRUE(SameBits(HLUOA_DPRICE(0.1, 42, 40, 0.2, 0.5, 0, 0, 1, a.get(), t.get()),
                       HLUOA_PRICE(0.1, 42, 40, 0.2, 0.5, 0, 0, 1)));
}

TEST(Exports, ThetaShiftsTheCallersDividends) {
  HLUOA_SETOPTSTEP(30);
  const double day = 1.0 / 365;
  // A dividend due in half a day is taken off the spot for the second value;
  // the later one grows by e^(1/365).
  Array a({0.6, 0.9}), t({0.5 * day, 0.3});
  const double theta = HLUOA_DTHETA(0.05, 42, 40, 0.25, 0.5, 0, 0, 1, a.get(), t.get());
  EXPECT_DOUBLE_EQ(t[0], 0.5 * day - day);
  EXPECT_DOUBLE_EQ(t[1], 0.3 - day);
  EXPECT_EQ(a[0], 0.6);
  EXPECT_EQ(a[1], 0.9 * std::exp(day));
  Array a0({0.6, 0.9}), t0({0.5 * day, 0.3});
  const double p0 = HLUOA_DPRICE(0.05, 42, 40, 0.25, 0.5, 0, 0, 1, a0.get(), t0.get());
  const double p1 = HLUOA_DPRICE(0.05, 42 - 0.6, 40, 0.25, 0.5 - day, 0, 0, 1, a.get(), t.get());
  EXPECT_TRUE(SameBits(theta, p0 - p1));

  // Theta2 shifts the times by a trading day and leaves the amounts alone.
  Array a2({0.6, 0.9}), t2({0.001, 0.3});
  EXPECT_NE(HLUOA_DTHETA2(0.05, 42, 40, 0.25, 0.5, 0, 0, 1, a2.get(), t2.get()), kErr);
  EXPECT_DOUBLE_EQ(t2[0], 0.001 - 0.00396825);
  EXPECT_EQ(a2[1], 0.9);

  // The forms without dividends get a fresh placeholder on every call, so
  // repeated calls cannot drift.
  for (short model : {0, 1}) {
    const double first = HLUOA_THETA(0.05, 42, 40, 0.25, 0.5, 0, 0, model);
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(SameBits(HLUOA_THETA(0.05, 42, 40, 0.25, 0.5, 0, 0, model), first));
    }
  }
  // The option has less than a day to live: no second value.
  EXPECT_EQ(HLUOA_THETA(0.05, 42, 40, 0.25, 0.5 * day, 0, 0, 1), kErr);
}

TEST(Exports, CallersOnSeveralThreadsGetTheSingleThreadedResults) {
  // No working storage is shared between calls: trees, greeks and the
  // placeholder dividends live with each call.
  struct Case {
    PlainFn fn;
    short model;
  };
  const Case cases[] = {{HLUOA_THETA, 1}, {HLUOA_THETA, 0}, {HLUOA_PRICE, 1}, {HLUOA_DELTA, 5},
                        {HLUOA_FUGIT, 3}, {HLUOA_IMPLIEDVOL, 1}};
  std::vector<double> expected;
  for (const Case& c : cases) {
    const double v = c.fn == HLUOA_IMPLIEDVOL ? 2.1 : 0.25;
    expected.push_back(c.fn(0.05, 42, 40, v, 0.5, 0.01, 0, c.model));
    ASSERT_NE(expected.back(), kErr);
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const size_t k = static_cast<size_t>(i + t) % std::size(cases);
        const Case& c = cases[k];
        const double v = c.fn == HLUOA_IMPLIEDVOL ? 2.1 : 0.25;
        if (!SameBits(c.fn(0.05, 42, 40, v, 0.5, 0.01, 0, c.model), expected[k])) ++mismatches;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(Exports, AnalysisArray) {
  HLUOA_SETOPTSTEP(24);
  const double r = 0.06, S = 41, K = 42, v = 0.27, T = 0.5, q = 0.02;
  // European: the elements of the single functions, with theta2 on the
  // arrays theta has shifted.
  for (short model : {0, 2}) {
    Array a({0.8}), t({0.0015});
    const FP* out = HLUOA_DARRAY(r, S, K, v, T, q, 1, model, a.get(), t.get());
    std::vector<double> got(FpElements(out), FpElements(out) + 8);
    ASSERT_EQ(out->rows, 1);
    ASSERT_EQ(out->columns, 8);
    Array b({0.8}), u({0.0015});
    const double expected[8] = {
        HLUOA_DPRICE(r, S, K, v, T, q, 1, model, b.get(), u.get()),
        HLUOA_DDELTA(r, S, K, v, T, q, 1, model, b.get(), u.get()),
        HLUOA_DGAMMA(r, S, K, v, T, q, 1, model, b.get(), u.get()),
        HLUOA_DRHO(r, S, K, v, T, q, 1, model, b.get(), u.get()),
        HLUOA_DTHETA(r, S, K, v, T, q, 1, model, b.get(), u.get()),
        HLUOA_DTHETA2(r, S, K, v, T, q, 1, model, b.get(), u.get()),
        HLUOA_DKAPPA(r, S, K, v, T, q, 1, model, b.get(), u.get()),
        T};
    // Theta shifts b and u before theta2, as in the array; the array's kappa
    // comes before theta there, so it is taken on fresh arrays here.
    Array c({0.8}), w({0.0015});
    const double kappa = HLUOA_DKAPPA(r, S, K, v, T, q, 1, model, c.get(), w.get());
    for (int i = 0; i < 8; ++i) {
      const double e = i == 6 ? kappa : expected[i];
      EXPECT_TRUE(SameBits(got[i], e)) << "model " << model << " element " << i;
    }
  }
  // American: bumped spots and a trading day's shift.
  const double shift = 0.00396825;
  for (short model : {1, 3}) {
    const FP* out = HLUOA_DARRAY(r, S, K, v, T, q, 0, model, nullptr, nullptr);
    EXPECT_EQ(FpElements(out)[0], kErr);
    Array a({-1.0}), t({-1.0});
    out = HLUOA_DARRAY(r, S, K, v, T, q, 0, model, a.get(), t.get());
    std::vector<double> got(FpElements(out), FpElements(out) + 8);
    const double price = HLUOA_PRICE(r, S, K, v, T, q, 0, model);
    const double down = HLUOA_PRICE(r, 0.99 * S, K, v, T, q, 0, model);
    const double up = HLUOA_PRICE(r, 1.01 * S, K, v, T, q, 0, model);
    const double theta2 = price - HLUOA_PRICE(r, S, K, v, T - shift, q, 0, model);
    const double theta =
        model == 3 ? theta2
                   : price - HLUOA_PRICE(r, S * std::exp((r - q) * shift), K, v, T - shift, q, 0, model);
    const double expected[8] = {price,
                                (up - down) * 50 / S,
                                (up + down - 2 * price) / (S * S * 0.0001),
                                HLUOA_RHO(r, S, K, v, T, q, 0, model),
                                theta,
                                theta2,
                                HLUOA_KAPPA(r, S, K, v, T, q, 0, model),
                                HLUOA_FUGIT(r, S, K, v, T, q, 0, model)};
    for (int i = 0; i < 8; ++i) {
      EXPECT_TRUE(SameBits(got[i], expected[i])) << "model " << model << " element " << i;
    }
    EXPECT_DOUBLE_EQ(t[0], -1.0 - shift);
  }
}

// Settings start at their defaults when the library is loaded; each check
// runs in a freshly started copy of this program and exits 0 when it holds.
[[noreturn]] void CheckStepClamps() {
  struct Row {
    short in, out;
  };
  const Row rows[] = {{0, 21},     {-8, 21},   {1, 21},      {40, 40},       {41, 40},
                      {500, 303},  {-8, 303},  {3, 5},       {2, 5},         {302, 302},
                      {303, 302},  {304, 303}, {32767, 303}, {-32768, 303},  {6, 6}};
  for (const Row& r : rows) {
    const short got = HLUOA_SETOPTSTEP(r.in);
    if (got != r.out) {
      std::fprintf(stderr, "HLUOA_SETOPTSTEP(%d) gave %d, expected %d\n", r.in, got, r.out);
      std::exit(1);
    }
  }
  std::exit(0);
}

[[noreturn]] void CheckTolerance() {
  const bool ok = HLUOA_VOL_TOL(-1) == 0.5 && HLUOA_VOL_TOL(kNaN) == 0.5 &&
                  HLUOA_VOL_TOL(kInf) == 0.5 && HLUOA_VOL_TOL(2.0) == 2.0 &&
                  HLUOA_VOL_TOL(-0.1) == 2.0 && HLUOA_VOL_TOL(0) == 0;
  std::exit(ok ? 0 : 1);
}

[[noreturn]] void CheckStepsMoveTheAmericanPrice() {
  const double at21 = HLUOA_PRICE(0.1, 42, 44, 0.2, 0.5, 0, 0, 1);
  HLUOA_SETOPTSTEP(100);
  const double at100 = HLUOA_PRICE(0.1, 42, 44, 0.2, 0.5, 0, 0, 1);
  HLUOA_SETOPTSTEP(20);
  const double at20 = HLUOA_PRICE(0.1, 42, 44, 0.2, 0.5, 0, 0, 1);
  const double european = HLUOA_PRICE(0.1, 42, 44, 0.2, 0.5, 0, 0, 0);
  HLUOA_SETOPTSTEP(200);
  const bool ok = at21 != at100 && at20 != at21 && std::fabs(at100 - at21) < 0.02 &&
                  HLUOA_PRICE(0.1, 42, 44, 0.2, 0.5, 0, 0, 0) == european;
  std::exit(ok ? 0 : 1);
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SettingsTest, StepClamps) {
  EXPECT_EXIT(CheckStepClamps(), ::testing::ExitedWithCode(0), "");
}

TEST_F(SettingsTest, ToleranceIsIgnoredWhenNegativeOrNotFinite) {
  EXPECT_EXIT(CheckTolerance(), ::testing::ExitedWithCode(0), "");
}

TEST_F(SettingsTest, StepsChangeTheAmericanPriceOnly) {
  EXPECT_EXIT(CheckStepsMoveTheAmericanPrice(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
