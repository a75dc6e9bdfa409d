// What the analytics price: the option's terms, the market it is priced in
// and the cash dividends expected before it expires. Plain values that the
// exports build once from their arguments; nothing below the exports sees
// the spreadsheet's arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hlunivopt {

// The option: strike, years to maturity, put or call, and the model number
// (0..5: exercise and carry, see IsAmericanModel).
struct OptionTerms {
  double strike;
  double years;
  bool call;
  int16_t model;
};

// The market: short rate, spot, volatility (per year, 0.2 is 20%) and the
// yield or foreign rate (ext_disc_rate), all continuous.
struct Market {
  double rate;
  double spot;
  double vol;
  double yield;
};

// Cash dividends, viewed: amount i is paid at time i (years from now), the
// dividend nearest to now first. Whoever builds one has checked that every
// element is finite. A dividend takes part when 0 <= t <= T.
struct Dividends {
  const double* amount = nullptr;
  const double* time = nullptr;
  size_t count = 0;
};

inline bool Qualifies(double t, double T) { return t >= 0.0 && t <= T; }

// Dividends that a greek moves a day on for its second valuation: a copy of
// the caller's, which the exports write back into the caller's arrays, so
// the caller sees the schedule that valuation saw.
class DividendSchedule {
 public:
  DividendSchedule() = default;
  explicit DividendSchedule(const Dividends& d)
      : amounts_(d.amount, d.amount + d.count), times_(d.time, d.time + d.count) {}

  operator Dividends() const { return {amounts_.data(), times_.data(), amounts_.size()}; }

  // Moves the schedule `day` years on, from the last dividend to the first:
  // a dividend paid within the day (0 <= t < day) is taken off `spot`, every
  // other amount is multiplied by `growth` (1 leaves them as they are), every
  // time is reduced by `day`. Answers the spot less the dividends paid.
  double PassDay(double spot, double day, double growth) {
    for (size_t i = times_.size(); i-- > 0;) {
      const double t = times_[i];
      if (t >= 0.0 && t < day) {
        spot -= amounts_[i];
      } else {
        amounts_[i] *= growth;
      }
      times_[i] = t - day;
    }
    return spot;
  }

  // Multiplies the amounts still to come (t >= 0) by `growth`.
  void GrowUnpaid(double growth) {
    for (size_t i = 0; i < times_.size(); ++i) {
      if (times_[i] >= 0.0) amounts_[i] *= growth;
    }
  }

  const std::vector<double>& amounts() const { return amounts_; }
  const std::vector<double>& times() const { return times_; }

 private:
  std::vector<double> amounts_;
  std::vector<double> times_;
};

}  // namespace hlunivopt
