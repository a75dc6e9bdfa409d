// Every export's results, bit for bit, over a table of inputs, against the
// results recorded in data/golden.txt: reshaping the analytics must change
// no value, no element of the all-in-one array and no element that theta,
// theta2 or the array shift in the caller's dividend arrays.
//
// The file holds one line per row of the table below: the row's key, then
// each result as a hexadecimal float ("E" for the error value). It was
// written by this program (ORV_GOLDEN_RECORD=path) against the library as it
// was before its engines were separated; record again only for a change of
// results that is meant.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "analytics/HlUnivOpt.h"

namespace {

constexpr double kErr = 99999999.9;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kDay = 1.0 / 365.0;

struct Market {
  double r, S, K, v, T, q;
};

// Times either in years or as a fraction of the row's T.
struct DividendSet {
  const char* name;
  bool plain;    // no arrays: the forms without dividends
  bool ofT;      // times are fractions of T
  std::vector<double> amounts, times;
  uint16_t amountRows = 1;
  bool nullAmounts = false;
};

const std::vector<DividendSet>& DividendSets() {
  static const std::vector<DividendSet> sets = {
      {"plain", true, false, {}, {}},
      {"placeholder", false, false, {-1.0}, {-1.0}},
      {"one", false, true, {1.5}, {0.5}},
      {"several", false, true, {0.8, 0.9, 1.0}, {0.2, 0.55, 0.9}},
      {"within a day", false, false, {0.6, 0.9}, {0.5 * kDay, 0.3}},
      {"within a trading day", false, false, {0.7, 0.4}, {0.003, 0.2}},
      {"at 0", false, false, {1.0}, {0.0}},
      {"at T", false, true, {1.0}, {1.0}},
      {"past T", false, true, {1.0}, {1.002}},
      {"paid", false, false, {1.0, 0.5}, {-0.001, 0.1}},
      {"zero amount", false, true, {0.0, 1.2}, {0.2, 0.6}},
      {"out of order", false, true, {1.0, 1.0}, {0.7, 0.2}},
      {"above the spot", false, true, {500.0}, {0.4}},
      {"unequal counts", false, true, {1.0, 1.0}, {0.4}},
      {"not finite", false, true, {kNaN}, {0.4}},
      {"missing", false, true, {}, {0.4}, 1, true},
      {"two rows", false, true, {0.5, 0.5}, {0.3, 0.6}, 2},
  };
  return sets;
}

struct Row {
  std::string key;
  short steps;  // 0: the library's initial setting
  double tolerance;
  Market m;
  short cls, model;
  const DividendSet* dividends;
};

std::vector<Row> Table() {
  std::vector<Row> rows;
  const auto add = [&](const std::string& group, short steps, double tol, int mi, const Market& m,
                       short cls, short model, const DividendSet& d) {
    std::ostringstream key;
    key << group << " market " << mi << " class " << cls << " model " << model << " dividends '"
        << d.name << "'";
    rows.push_back({key.str(), steps, tol, m, cls, model, &d});
  };
  const Market markets[] = {
      {0.05, 100, 100, 0.25, 0.5, 0.02},  // at the money
      {0.05, 180, 100, 0.25, 0.5, 0.02},  // deep in the money call, deep out put
      {0.08, 95, 100, 1.2, 3.0, 0.0},     // long and volatile
      {0.1, 42, 40, 0.2, 0.75, 0.15},     // yield above the rate
  };
  int mi = 0;
  for (const Market& m : markets) {
    for (const DividendSet& d : DividendSets())
      for (short model : {0, 1, 2, 3})
        for (short cls : {0, 1}) add("grid", 0, 0.5, mi, m, cls, model, d);
    ++mi;
  }
  // Edge inputs: bounds, zero and negative time and volatility, less than a
  // day or a trading day to live, non-finite numbers.
  const Market edges[] = {
      {0.05, 100, 100, 0.25, 0.0, 0.02},     {0.05, 100, 100, 0.25, -0.5, 0.02},
      {0.05, 100, 100, 0.0, 0.5, 0.02},      {0.05, 100, 100, -0.2, 0.5, 0.02},
      {0.05, 100, 100, 1e-8, 0.5, 0.02},     {0.05, 100, 100, 2e-8, 0.5, 0.02},
      {0.05, 100, 100, 0.001, 0.5, 0.02},    {0.05, 100, 100, 10.0, 0.5, 0.02},
      {0.05, 100, 100, 10.5, 0.5, 0.02},     {0.05, 100, 100, 0.25, 1.0 / 730, 0.02},
      {0.05, 100, 100, 0.25, kDay, 0.02},    {0.05, 100, 100, 0.25, 0.0035, 0.02},
      {0.05, 100, 100, 0.25, 100.0, 0.02},   {0.05, 100, 100, 0.25, 100.5, 0.02},
      {3.0, 100, 100, 0.25, 0.5, -3.0},      {3.5, 100, 100, 0.25, 0.5, 0.02},
      {0.05, 0.0, 100, 0.25, 0.5, 0.02},     {0.05, -5.0, 100, 0.25, 0.5, 0.02},
      {0.05, 100, 0.0, 0.25, 0.5, 0.02},     {0.05, 1e-6, 100, 0.25, 0.5, 0.02},
      {0.05, 1e6, 100, 0.25, 0.5, 0.02},     {-0.01, 50, 52, 0.3, 1.0, 0.03},
      {0.05, 40, 100, 0.25, 0.5, 0.02},      {kNaN, 100, 100, 0.25, 0.5, 0.02},
      {0.05, kInf, 100, 0.25, 0.5, 0.02},    {0.05, 100, 100, kInf, 0.5, 0.02},
  };
  mi = 0;
  for (const Market& m : edges) {
    for (const DividendSet* d : {&DividendSets()[0], &DividendSets()[2], &DividendSets()[4]})
      for (short model : {0, 1, 3})
        for (short cls : {0, 1}) add("edge", 0, 0.5, mi, m, cls, model, *d);
    ++mi;
  }
  // Models outside 0..5, the copies 4 and 5, class 2.
  for (short model : {4, 5, 6, -1, 9})
    for (const DividendSet* d : {&DividendSets()[0], &DividendSets()[3], &DividendSets()[13]})
      add("models", 0, 0.5, 0, markets[0], 1, model, *d);
  for (short model : {0, 1})
    for (const DividendSet* d : {&DividendSets()[0], &DividendSets()[3]})
      add("class 2", 0, 0.5, 3, markets[3], 2, model, *d);
  // Other step settings and tolerances.
  const short steps[] = {6, 40, 302, 303};
  const double tolerances[] = {0.5, 0.05, 0.5, 2.0};
  for (int s = 0; s < 4; ++s) {
    std::ostringstream group;
    group << "steps " << steps[s] << " tolerance " << tolerances[s];
    for (int i : {0, 1, 3})
      for (const DividendSet* d : {&DividendSets()[0], &DividendSets()[3], &DividendSets()[4]})
        for (short model : {1, 3})
          for (short cls : {0, 1})
            add(group.str(), steps[s], tolerances[s], i, markets[i], cls, model, *d);
  }
  return rows;
}

// An FP array of the given values, or the null pointer.
struct Array {
  std::vector<double> storage;
  bool null = false;
  Array(const std::vector<double>& values, uint16_t rows, bool isNull) : null(isNull) {
    storage.assign(1 + values.size(), 0.0);
    FP* fp = reinterpret_cast<FP*>(storage.data());
    fp->rows = rows;
    fp->columns = static_cast<uint16_t>(values.size() / rows);
    for (size_t i = 0; i < values.size(); ++i) storage[1 + i] = values[i];
  }
  FP* get() { return null ? nullptr : reinterpret_cast<FP*>(storage.data()); }
};

// Compared as bytes: NaN elements count as equal to themselves.
bool SameBytes(const Array& a, const Array& b) {
  return a.storage.size() == b.storage.size() &&
         std::memcmp(a.storage.data(), b.storage.data(), a.storage.size() * sizeof(double)) == 0;
}

struct Arrays {
  Array amounts, times;
};

Arrays Fresh(const Row& row) {
  const DividendSet& d = *row.dividends;
  std::vector<double> times = d.times;
  if (d.ofT) {
    for (double& t : times) t *= row.m.T;
  }
  return {Array(d.amounts, d.amountRows, d.nullAmounts), Array(times, 1, false)};
}

void Put(std::ostringstream& out, double v) {
  if (v == kErr) {
    out << " E";
    return;
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, " %a", v);
  out << buf;
}

void PutArray(std::ostringstream& out, const Array& a) {
  out << " [";
  for (size_t i = 1; i < a.storage.size(); ++i) Put(out, a.storage[i]);
  out << " ]";
}

using PlainFn = double (*)(double, double, double, double, double, double, short, short);
using DivFn = double (*)(double, double, double, double, double, double, short, short, FP*, FP*);

struct Named {
  const char* name;
  PlainFn plain;
  DivFn dividend;
  bool shifts;
};
const Named kFunctions[] = {
    {"price", HLUOA_PRICE, HLUOA_DPRICE, false},    {"delta", HLUOA_DELTA, HLUOA_DDELTA, false},
    {"gamma", HLUOA_GAMMA, HLUOA_DGAMMA, false},    {"rho", HLUOA_RHO, HLUOA_DRHO, false},
    {"theta", HLUOA_THETA, HLUOA_DTHETA, true},     {"theta2", HLUOA_THETA2, HLUOA_DTHETA2, true},
    {"kappa", HLUOA_KAPPA, HLUOA_DKAPPA, false},    {"fugit", HLUOA_FUGIT, HLUOA_DFUGIT, false},
};

// One row's results as a line of the file. Every call gets fresh arrays;
// the arrays after a call that shifts them are part of the result, and the
// other calls must leave them as they were.
std::string Results(const Row& row) {
  const Market& m = row.m;
  const bool plain = row.dividends->plain;
  std::ostringstream out;
  out << row.key << ":";
  double price = kErr;
  for (const Named& f : kFunctions) {
    if (plain) {
      const double v = f.plain(m.r, m.S, m.K, m.v, m.T, m.q, row.cls, row.model);
      Put(out, v);
      if (f.plain == HLUOA_PRICE) price = v;
      continue;
    }
    Arrays a = Fresh(row);
    const double v =
        f.dividend(m.r, m.S, m.K, m.v, m.T, m.q, row.cls, row.model, a.amounts.get(), a.times.get());
    Put(out, v);
    if (f.dividend == HLUOA_DPRICE) price = v;
    if (f.shifts) {
      PutArray(out, a.amounts);
      PutArray(out, a.times);
    } else {
      const Arrays untouched = Fresh(row);
      EXPECT_TRUE(SameBytes(a.amounts, untouched.amounts)) << row.key << " " << f.name;
      EXPECT_TRUE(SameBytes(a.times, untouched.times)) << row.key << " " << f.name;
    }
  }
  // The implied volatility of the row's own price (of a made-up one where
  // there is none) and of a price 10% above it.
  const double target = price == kErr ? 3.0 : price;
  for (double p : {target, target * 1.1}) {
    if (plain) {
      Put(out, HLUOA_IMPLIEDVOL(m.r, m.S, m.K, p, m.T, m.q, row.cls, row.model));
    } else {
      Arrays a = Fresh(row);
      Put(out, HLUOA_DIMPLIEDVOL(m.r, m.S, m.K, p, m.T, m.q, row.cls, row.model, a.amounts.get(),
                                 a.times.get()));
    }
  }
  if (!plain) {
    Arrays a = Fresh(row);
    const FP* all =
        HLUOA_DARRAY(m.r, m.S, m.K, m.v, m.T, m.q, row.cls, row.model, a.amounts.get(), a.times.get());
    EXPECT_EQ(all->rows, 1) << row.key;
    EXPECT_EQ(all->columns, 8) << row.key;
    out << " array";
    for (int i = 0; i < 8; ++i) Put(out, FpElements(all)[i]);
    PutArray(out, a.amounts);
    PutArray(out, a.times);
  }
  return out.str();
}

std::map<std::string, std::string> Recorded() {
  std::map<std::string, std::string> lines;
  std::ifstream in(ORV_GOLDEN_RESULTS);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos) lines[line.substr(0, colon)] = line;
  }
  return lines;
}

// The rows of one step setting, in table order. Each test runs in a process
// of its own, so the initial setting of 21 steps is still in force.
void CheckGroup(bool initialSteps) {
  const std::map<std::string, std::string> recorded = Recorded();
  const char* record = std::getenv("ORV_GOLDEN_RECORD");
  std::ofstream sink;
  if (record != nullptr) {
    sink.open(record, std::ios::app);
  } else {
    ASSERT_FALSE(recorded.empty()) << "no recorded results in " << ORV_GOLDEN_RESULTS;
  }
  int checked = 0;
  for (const Row& row : Table()) {
    if ((row.steps == 0) != initialSteps) continue;
    if (row.steps != 0) {
      const short want = row.steps == 303 ? 304 : row.steps;
      ASSERT_EQ(HLUOA_SETOPTSTEP(want), row.steps) << row.key;
    } else {
      ASSERT_EQ(HLUOA_SETOPTSTEP(0), 21) << row.key;
    }
    ASSERT_EQ(HLUOA_VOL_TOL(row.tolerance), row.tolerance) << row.key;
    const std::string line = Results(row);
    if (record != nullptr) sink << line << "\n";
    if (record != nullptr) continue;
    const auto it = recorded.find(row.key);
    if (it == recorded.end()) {
      ADD_FAILURE() << "no recorded results for " << row.key;
      continue;
    }
    EXPECT_EQ(line, it->second);
    ++checked;
  }
  if (record == nullptr) {
    EXPECT_GT(checked, 0);
  }
}

TEST(GoldenResults, AtTheInitialStepSetting) { CheckGroup(true); }

TEST(GoldenResults, AtOtherStepSettingsAndTolerances) { CheckGroup(false); }

}  // namespace
