#include "MarketModel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <set>

#include "MessageTypes.h"

namespace orvsim {

namespace {

constexpr double kPi = 3.14159265358979323846;
// One tick moves prices as much as one minute of trading would, so that
// quotes visibly change from tick to tick.
constexpr double kTickYears = 1.0 / (252.0 * 390.0);
constexpr int kOptionExpiries = 4;  // the fewest a chain spreads over
// A chain larger than kOptionExpiries x this many options takes more monthly
// expiries, up to two years of them: the strikes of one expiration then stay
// few enough that each fits an option symbol's width.
constexpr int kOptionsPerExpiry = 400;
constexpr int kMaxOptionExpiries = 24;

const char* const kStockExchanges[] = {"NYSE", "NSDQ", "ARCA", "BATS", "IEX", "EDGX"};
const char* const kOptionExchanges[] = {"CBOE", "ISE", "PHLX", "AMEX", "BOX", "MIAX"};
const char* const kFutureExchanges[] = {"CME", "CBOT", "NYMX", "COMX"};

struct RootSeed { const char* symbol; double price; double sigma; char style; };
const RootSeed kRoots[] = {
    {"ES", 4500, 0.18, 'E'},  {"CL", 78, 0.35, 'A'},   {"GC", 1950, 0.15, 'A'},
    {"ZN", 110, 0.06, 'A'},   {"6E", 1.08, 0.08, 'A'}, {"NQ", 15500, 0.22, 'E'},
    {"NG", 2.8, 0.5, 'A'},    {"SI", 23, 0.25, 'A'},   {"ZC", 480, 0.22, 'A'},
    {"ZS", 1300, 0.2, 'A'},   {"HG", 3.8, 0.22, 'A'},  {"YM", 34000, 0.17, 'E'},
};
const char kFutureMonthCode[] = "FGHJKMNQUVXZ";

struct RateSeed { const char* currency; double base; };
const RateSeed kRates[] = {{"USD", 0.053}, {"EUR", 0.039}, {"GBP", 0.052},
                           {"JPY", -0.001}, {"CHF", 0.017}, {"CAD", 0.050}};
const int32_t kRatePeriods[] = {1, 7, 30, 90, 180, 365};
const int16_t kIvxTerms[] = {30, 60, 90, 180, 360};
const int16_t kSurfaceTerms[] = {30, 90, 180};
const int kSurfaceOtm[] = {-20, -10, 0, 10, 20};
const int16_t kHvTerms[] = {10, 20, 30, 60, 90, 120, 150, 180};

double NormCdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }
double NormPdf(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * kPi); }
double Round2(double v) { return std::round(v * 100.0) / 100.0; }

// Volatility by strike: a smile with a put skew around the at-the-money level.
double Smile(double atm, double spot, double strike) {
  const double m = std::log(strike / spot);
  return std::max(0.03, atm * (1.0 + 2.0 * m * m - 0.3 * m));
}

double RiskFree() { return kRates[0].base; }

}  // namespace

double Rng::Normal() {
  double u1 = Uniform();
  if (u1 < 1e-300) u1 = 1e-300;
  const double u2 = Uniform();
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

// Days-from-civil, proleptic Gregorian calendar.
double OleFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long days = era * 146097L + static_cast<long>(doe) - 719468L;  // since 1970-01-01
  return static_cast<double>(days + 25569);
}

void CivilFromOle(double ole, int* y, int* m, int* d) {
  long z = static_cast<long>(std::floor(ole)) - 25569 + 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long yy = static_cast<long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yy + (*m <= 2));
}

double ThirdFriday(int y, int m) {
  const double first = OleFromCivil(y, m, 1);
  // Automation date 0 (1899-12-30) was a Saturday.
  const int weekday = static_cast<int>(std::fmod(first + 6.0, 7.0));  // 0 = Sunday
  const int offset = (5 - weekday + 7) % 7;
  return first + offset + 14;
}

MarketModel::MarketModel(const ModelOptions& opt)
    : opt_(opt), rng_(opt.seed), now_(opt.startDate) {
  Build();
}

void MarketModel::Build() {
  int y, m, d;
  CivilFromOle(now_, &y, &m, &d);

  // Monthly expiries strictly after today.
  const int perStock = std::max(1, opt_.optionsPerStock);
  const int expiryCount =
      std::min(kMaxOptionExpiries, std::max(kOptionExpiries, (perStock + kOptionsPerExpiry - 1) / kOptionsPerExpiry));
  // Strikes per expiration; the last expirations are cut short when the
  // chain is not a whole number of them.
  const int strikeCount = (perStock + 2 * expiryCount - 1) / (2 * expiryCount);
  std::vector<double> expiries;
  for (int k = 0; expiries.size() < static_cast<size_t>(expiryCount); ++k) {
    int yy = y + (m - 1 + k) / 12, mm = (m - 1 + k) % 12 + 1;
    const double e = ThirdFriday(yy, mm);
    if (e > now_ + 1) expiries.push_back(e);
  }

  std::set<std::string> used;
  const int nStocks = std::max(1, opt_.stocks);
  for (int i = 0; i < nStocks; ++i) {
    Stock s;
    std::string sym;
    do {
      sym.clear();
      const int len = rng_.Int(3, 4);
      for (int c = 0; c < len; ++c) sym += static_cast<char>('A' + rng_.Int(0, 25));
    } while (!used.insert(sym).second);
    s.symbol = sym;
    s.type = (i % 8 == 7) ? 'I' : 'S';
    s.price = s.type == 'I' ? rng_.Int(800, 4000) : Round2(10 + rng_.Uniform() * 290);
    s.sigma = s.type == 'I' ? 0.12 + 0.1 * rng_.Uniform() : 0.2 + 0.4 * rng_.Uniform();
    s.divFreq = s.type == 'I' ? 0 : 4;
    s.divAmount = s.type == 'I' ? 0.0f : static_cast<float>(Round2(s.price * 0.005));
    s.divDate = static_cast<float>(std::floor(now_) - rng_.Int(5, 80));
    s.priceClose = static_cast<float>(s.price);
    s.high52 = static_cast<float>(Round2(s.price * (1.1 + 0.3 * rng_.Uniform())));
    s.low52 = static_cast<float>(Round2(s.price * (0.6 + 0.3 * rng_.Uniform())));
    s.ivx30 = static_cast<float>(s.sigma);
    s.ivx30Yest = static_cast<float>(s.sigma * 0.98);
    s.ivx30High = static_cast<float>(s.sigma * 1.6);
    s.ivx30Low = static_cast<float>(s.sigma * 0.6);
    s.hv20 = static_cast<float>(s.sigma * 0.95);
    s.hv20Yest = static_cast<float>(s.sigma * 0.93);
    s.hv20High = static_cast<float>(s.sigma * 1.5);
    s.hv20Low = static_cast<float>(s.sigma * 0.5);
    s.volCall = rng_.Int(1000, 90000);
    s.volPut = rng_.Int(1000, 90000);
    s.optVolAvg = static_cast<float>(rng_.Int(5000, 150000));
    s.outstanding = static_cast<float>(rng_.Int(50, 5000)) * 1e6f;
    s.q.volume = rng_.Int(100000, 3000000);
    stocks_.push_back(s);
  }

  for (uint32_t si = 0; si < stocks_.size(); ++si) {
    Stock& s = stocks_[si];
    const double step = s.price < 25 ? 1 : s.price < 150 ? 5 : s.price < 400 ? 10 : 50;
    const double centre = std::max(step * 4, std::round(s.price / step) * step);
    // Centred on the price, unless the chain is so long that it would reach
    // down to 0.
    const double lowest = std::max(step, centre - (strikeCount / 2) * step);
    int made = 0;
    for (double e : expiries) {
      int ey, em, ed;
      CivilFromOle(e, &ey, &em, &ed);
      for (int k = 0; k < strikeCount; ++k) {
        const double strike = lowest + k * step;
        for (char t : {'C', 'P'}) {
          if (made == perStock) break;
          ++made;
          Option o;
          char buf[32];
          std::snprintf(buf, sizeof buf, "%s%02d%c%d", s.symbol.c_str(), ey % 100,
                        (t == 'C' ? 'A' : 'M') + em - 1, static_cast<int>(strike));
          o.symbol = buf;
          o.underlying = s.symbol;
          o.owner = si;
          o.expiry = e;
          o.strike = static_cast<float>(strike);
          o.type = t;
          o.style = s.type == 'I' ? 'E' : 'A';
          o.oi = rng_.Int(0, 20000);
          s.options.push_back(static_cast<uint32_t>(options_.size()));
          options_.push_back(o);
        }
      }
    }
    // Every third stock has an adjusted (non-standard) root after a corporate action.
    if (si % 3 == 1) {
      const std::string root = s.symbol + "1";
      for (int ei = 0; ei < 2; ++ei) {
        int ey, em, ed;
        CivilFromOle(expiries[ei], &ey, &em, &ed);
        for (int k = -1; k <= 1; ++k) {
          const double strike = centre + k * step;
          for (char t : {'C', 'P'}) {
            Option o;
            char buf[32];
            std::snprintf(buf, sizeof buf, "%s%02d%c%d", root.c_str(), ey % 100,
                          (t == 'C' ? 'A' : 'M') + em - 1, static_cast<int>(strike));
            o.symbol = buf;
            o.underlying = s.symbol;
            o.owner = si;
            o.expiry = expiries[ei];
            o.strike = static_cast<float>(strike);
            o.type = t;
            o.style = 'A';
            o.oi = rng_.Int(0, 3000);
            o.rootId = 1000 + static_cast<int32_t>(si);
            s.nstd.push_back(static_cast<uint32_t>(nstd_.size()));
            nstd_.push_back(o);
          }
        }
      }
    }
    for (int16_t t : kIvxTerms) s.ivx.push_back({t, 0, 0});
    for (int16_t t : kSurfaceTerms)
      for (int otm : kSurfaceOtm)
        for (char c : {'C', 'P'}) s.surface.push_back({t, static_cast<float>(otm), c, 0, 0, 0});
    for (int16_t t : kHvTerms) s.hv.push_back({t, 0});
  }

  const int nRoots = std::min<int>(std::max(0, opt_.futureRoots),
                                   static_cast<int>(sizeof kRoots / sizeof kRoots[0]));
  for (int ri = 0; ri < nRoots; ++ri) {
    FutureRoot root;
    root.symbol = kRoots[ri].symbol;
    root.sigma = kRoots[ri].sigma;
    root.style = kRoots[ri].style;
    // Four quarterly contracts from the next quarter month on.
    int qy = y, qm = m;
    int made = 0;
    while (made < 4) {
      if (qm % 3 == 0 && ThirdFriday(qy, qm) > now_ + 1) {
        Future f;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%c%02d", root.symbol.c_str(),
                      kFutureMonthCode[qm - 1], qy % 100);
        f.symbol = buf;
        f.root = root.symbol;
        f.rootIdx = static_cast<uint32_t>(roots_.size());
        f.expiry = ThirdFriday(qy, qm);
        f.price = kRoots[ri].price * (1.0 + 0.004 * made);
        f.q.volume = rng_.Int(10000, 900000);
        const uint32_t fi = static_cast<uint32_t>(futures_.size());
        root.futures.push_back(fi);
        // Options expire a week before their future.
        const double mag = std::pow(10.0, std::floor(std::log10(f.price)) - 1);
        const double step = mag * (f.price / mag > 50 ? 2 : 1);
        const double centre = std::round(f.price / step) * step;
        for (int k = -2; k <= 2; ++k) {
          const double strike = centre + k * step;
          for (char t : {'C', 'P'}) {
            Option o;
            std::snprintf(buf, sizeof buf, "%s %c%g", f.symbol.c_str(), t, strike);
            o.symbol = buf;
            o.underlying = f.symbol;
            o.owner = fi;
            o.expiry = f.expiry - 7;
            o.strike = static_cast<float>(strike);
            o.type = t;
            o.style = root.style;
            o.oi = rng_.Int(0, 50000);
            f.options.push_back(static_cast<uint32_t>(futOptions_.size()));
            futOptions_.push_back(o);
          }
        }
        futures_.push_back(f);
        ++made;
      }
      if (++qm > 12) { qm = 1; ++qy; }
    }
    for (int16_t t : kIvxTerms) root.ivx.push_back({t, 0, 0});
    for (int16_t t : kSurfaceTerms)
      for (int otm : kSurfaceOtm)
        for (char c : {'C', 'P'})
          root.surface.push_back({t, static_cast<float>(otm) / 2.0f, c, 0, 0, 0});
    roots_.push_back(root);
  }

  for (const auto& r : kRates)
    for (int32_t p : kRatePeriods)
      rates_.push_back({r.currency, p,
                        static_cast<float>(r.base + 0.002 * std::log1p(p / 30.0))});

  for (auto& s : stocks_) QuoteStock(s);
  for (auto& o : options_) {
    const Stock& s = stocks_[o.owner];
    PriceOption(o, s.price, s.sigma, RiskFree(), false, true);
  }
  for (auto& o : nstd_) {
    const Stock& s = stocks_[o.owner];
    PriceOption(o, s.price, s.sigma, RiskFree(), false, true);
  }
  for (auto& f : futures_) QuoteFuture(f);
  for (auto& o : futOptions_) {
    const Future& f = futures_[o.owner];
    PriceOption(o, f.price, roots_[f.rootIdx].sigma, RiskFree(), true, true);
  }
  UpdatePoints(true);
  BuildIndexes();
}

void MarketModel::BuildIndexes() {
  auto index = [](Index& idx, const auto& v) {
    idx.reserve(v.size());
    for (uint32_t i = 0; i < v.size(); ++i) idx.emplace(v[i].symbol, i);
  };
  index(stockIdx_, stocks_);
  index(optionIdx_, options_);
  index(nstdIdx_, nstd_);
  index(futOptionIdx_, futOptions_);
  index(futureIdx_, futures_);
  index(rootIdx_, roots_);
}

void MarketModel::QuoteStock(Stock& s) {
  const double spread = std::max(0.01, Round2(s.price * 0.0004));
  const double bid = Round2(s.price - spread / 2);
  s.q.bid = static_cast<float>(std::max(0.01, bid));
  s.q.ask = static_cast<float>(Round2(s.q.bid + spread));
  const int side = rng_.Int(0, 2);
  s.q.last = side == 0 ? s.q.bid : side == 1 ? s.q.ask : static_cast<float>(Round2(s.price));
  s.q.bidSize = 100 * rng_.Int(1, 50);
  s.q.askSize = 100 * rng_.Int(1, 50);
  s.q.lastSize = 100 * rng_.Int(1, 20);
  s.q.volume += s.q.lastSize;
  s.q.bidEx = kStockExchanges[rng_.Int(0, 5)];
  s.q.askEx = kStockExchanges[rng_.Int(0, 5)];
  s.q.lastEx = kStockExchanges[rng_.Int(0, 5)];
  s.q.bidDate = s.q.askDate = now_;
  s.q.lastDate = now_ - rng_.Int(0, 5) / 86400.0;
}

void MarketModel::QuoteFuture(Future& f) {
  const double tick = std::pow(10.0, std::floor(std::log10(f.price)) - 3);
  const double bid = std::round((f.price - tick) / tick) * tick;
  f.q.bid = static_cast<float>(bid);
  f.q.ask = static_cast<float>(bid + 2 * tick);
  f.q.last = rng_.Int(0, 1) ? f.q.bid : f.q.ask;
  f.q.bidSize = rng_.Int(1, 300);
  f.q.askSize = rng_.Int(1, 300);
  f.q.lastSize = rng_.Int(1, 40);
  f.q.volume += f.q.lastSize;
  f.q.bidEx = f.q.askEx = f.q.lastEx = kFutureExchanges[f.rootIdx % 4];
  f.q.bidDate = f.q.askDate = now_;
  f.q.lastDate = now_ - rng_.Int(0, 5) / 86400.0;
}

// Black-Scholes with a continuous carry; for options on futures the carry
// equals the rate (Black's model). American prices are floored at intrinsic.
void MarketModel::PriceOption(Option& o, double spot, double sigmaAtm, double r, bool futures,
                              bool first) {
  const double T = std::max(1.0 / 365.0, (o.expiry - now_) / 365.0);
  const double K = o.strike;
  const double q = futures ? r : 0.0;
  const double vol = Smile(sigmaAtm, spot, K);
  const double sq = std::sqrt(T);
  const double d1 = (std::log(spot / K) + (r - q + 0.5 * vol * vol) * T) / (vol * sq);
  const double d2 = d1 - vol * sq;
  const double dq = std::exp(-q * T), dr = std::exp(-r * T);
  const bool call = o.type == 'C';
  double price = call ? spot * dq * NormCdf(d1) - K * dr * NormCdf(d2)
                      : K * dr * NormCdf(-d2) - spot * dq * NormCdf(-d1);
  if (o.style == 'A') price = std::max(price, call ? spot - K : K - spot);

  o.a.iv = static_cast<float>(vol);
  if (first) o.a.preIv = static_cast<float>(vol);
  o.a.delta = static_cast<float>(call ? dq * NormCdf(d1) : -dq * NormCdf(-d1));
  o.a.gamma = static_cast<float>(dq * NormPdf(d1) / (spot * vol * sq));
  o.a.vega = static_cast<float>(spot * dq * NormPdf(d1) * sq / 100.0);
  const double common = -spot * dq * NormPdf(d1) * vol / (2 * sq);
  o.a.theta = static_cast<float>(
      (call ? common - r * K * dr * NormCdf(d2) + q * spot * dq * NormCdf(d1)
            : common + r * K * dr * NormCdf(-d2) - q * spot * dq * NormCdf(-d1)) /
      365.0);
  o.a.rho = static_cast<float>((call ? K * T * dr * NormCdf(d2) : -K * T * dr * NormCdf(-d2)) /
                               100.0);

  // Options always show a two-sided market with a bid of at least 0.05.
  const double half = std::max(0.025, Round2(price * 0.02) / 2);
  const double bid = std::max(0.05, Round2(price - half));
  o.q.bid = static_cast<float>(bid);
  o.q.ask = static_cast<float>(Round2(bid + 2 * half));
  o.q.last = static_cast<float>(Round2(std::max(0.05, price)));
  o.q.bidSize = rng_.Int(1, 200);
  o.q.askSize = rng_.Int(1, 200);
  o.q.lastSize = rng_.Int(1, 30);
  o.q.volume += rng_.Int(0, 1) ? o.q.lastSize : 0;
  o.q.bidEx = kOptionExchanges[rng_.Int(0, 5)];
  o.q.askEx = kOptionExchanges[rng_.Int(0, 5)];
  o.q.lastEx = kOptionExchanges[rng_.Int(0, 5)];
  o.q.bidDate = o.q.askDate = now_;
  o.q.lastDate = now_ - rng_.Int(0, 60) / 86400.0;
}

void MarketModel::UpdatePoints(bool first) {
  const double r = RiskFree();
  auto surface = [&](std::vector<SurfacePoint>& pts, double spot, double sigma) {
    for (auto& p : pts) {
      const double K = spot * (1.0 + p.otm / 100.0);
      const double T = p.term / 365.0;
      const double vol = Smile(sigma, spot, K);
      const double d1 = (std::log(spot / K) + (r + 0.5 * vol * vol) * T) / (vol * std::sqrt(T));
      p.vstrike = static_cast<float>(K);
      p.iv = static_cast<float>(vol);
      p.delta = static_cast<float>(p.type == 'C' ? NormCdf(d1) : NormCdf(d1) - 1.0);
    }
  };
  auto index = [&](std::vector<IvIndexPoint>& pts, double sigma) {
    for (auto& p : pts) {
      const double lift = 1.0 + 0.03 * p.term / 360.0;
      p.call = static_cast<float>(sigma * lift * (0.995 + 0.01 * rng_.Uniform()));
      p.put = static_cast<float>(sigma * lift * (1.01 + 0.01 * rng_.Uniform()));
    }
  };
  for (auto& s : stocks_) {
    index(s.ivx, s.sigma);
    surface(s.surface, s.price, s.sigma);
    if (first)
      for (auto& h : s.hv)
        h.value = static_cast<float>(s.sigma * (0.85 + 0.3 * rng_.Uniform()));
  }
  for (auto& root : roots_) {
    const Future& front = futures_[root.futures.front()];
    index(root.ivx, root.sigma);
    surface(root.surface, front.price, root.sigma);
  }
}

void MarketModel::Step() {
  ++ticks_;
  now_ += opt_.tickSeconds / 86400.0;
  const double sq = std::sqrt(kTickYears);
  for (auto& s : stocks_) {
    s.price = std::max(0.5, s.price * std::exp(s.sigma * sq * rng_.Normal() -
                                               0.5 * s.sigma * s.sigma * kTickYears));
    QuoteStock(s);
  }
  for (auto& f : futures_) {
    const double sig = roots_[f.rootIdx].sigma;
    f.price *= std::exp(sig * sq * rng_.Normal() - 0.5 * sig * sig * kTickYears);
    QuoteFuture(f);
  }
  for (auto& o : options_) {
    const Stock& s = stocks_[o.owner];
    PriceOption(o, s.price, s.sigma, RiskFree(), false, false);
  }
  for (auto& o : nstd_) {
    const Stock& s = stocks_[o.owner];
    PriceOption(o, s.price, s.sigma, RiskFree(), false, false);
  }
  for (auto& o : futOptions_) {
    const Future& f = futures_[o.owner];
    PriceOption(o, f.price, roots_[f.rootIdx].sigma, RiskFree(), true, false);
  }
  UpdatePoints(false);
}

size_t MarketModel::RecordCount() const {
  size_t n = stocks_.size() * 2 + options_.size() * 3 + nstd_.size() * 3 + futures_.size() * 2 +
             futOptions_.size() * 2 + rates_.size();
  for (const auto& s : stocks_) n += s.ivx.size() + s.surface.size() + s.hv.size();
  for (const auto& r : roots_) n += r.ivx.size() + r.surface.size();
  return n;
}

bool MarketModel::Select(int type, const std::string& sym, int stype,
                         std::vector<RowRef>& out) const {
  const TypeInfo* t = FindType(type);
  if (!t) return false;
  auto find = [&sym](const Index& idx, uint32_t* at) {
    auto it = idx.find(sym);
    if (it == idx.end()) return false;
    *at = it->second;
    return true;
  };
  auto addAll = [&out](size_t n) {
    for (uint32_t i = 0; i < n; ++i) out.push_back({i, 0});
  };
  auto addList = [&out](const std::vector<uint32_t>& list) {
    for (uint32_t i : list) out.push_back({i, 0});
  };
  auto points = [&out](uint32_t owner, size_t count) {
    for (uint32_t p = 0; p < count; ++p) out.push_back({owner, p});
  };
  const bool all = sym.empty();
  uint32_t at = 0;
  switch (t->rows) {
    case RowClass::kStock:
      if (all) addAll(stocks_.size());
      else if (find(stockIdx_, &at)) out.push_back({at, 0});
      break;
    // Options: symbol type 2 names one option, any other its underlying (and
    // for futures options also the futures root).
    case RowClass::kOption:
    case RowClass::kNstdOption: {
      const bool nstd = t->rows == RowClass::kNstdOption;
      if (all) addAll(nstd ? nstd_.size() : options_.size());
      else if (stype == 2) {
        if (find(nstd ? nstdIdx_ : optionIdx_, &at)) out.push_back({at, 0});
      } else if (find(stockIdx_, &at)) {
        addList(nstd ? stocks_[at].nstd : stocks_[at].options);
      }
      break;
    }
    case RowClass::kFutureOption:
      if (all) addAll(futOptions_.size());
      else if (stype == 2) {
        if (find(futOptionIdx_, &at)) out.push_back({at, 0});
      } else if (find(futureIdx_, &at)) {
        addList(futures_[at].options);
      } else if (find(rootIdx_, &at)) {
        for (uint32_t fi : roots_[at].futures) addList(futures_[fi].options);
      }
      break;
    case RowClass::kFuture:
      if (all) addAll(futures_.size());
      else if (stype == 2) {
        if (find(futureIdx_, &at)) out.push_back({at, 0});
      } else if (find(rootIdx_, &at)) {
        addList(roots_[at].futures);
      }
      break;
    case RowClass::kIvIndex: case RowClass::kIvSurface: case RowClass::kHv: {
      auto count = [&](const Stock& s) {
        return t->rows == RowClass::kIvIndex     ? s.ivx.size()
               : t->rows == RowClass::kIvSurface ? s.surface.size()
                                                 : s.hv.size();
      };
      if (all) {
        for (uint32_t i = 0; i < stocks_.size(); ++i) points(i, count(stocks_[i]));
      } else if (find(stockIdx_, &at)) {
        points(at, count(stocks_[at]));
      }
      break;
    }
    case RowClass::kFutIvIndex: case RowClass::kFutIvSurface: {
      auto count = [&](const FutureRoot& r) {
        return t->rows == RowClass::kFutIvIndex ? r.ivx.size() : r.surface.size();
      };
      if (all) {
        for (uint32_t i = 0; i < roots_.size(); ++i) points(i, count(roots_[i]));
      } else if (find(rootIdx_, &at)) {
        points(at, count(roots_[at]));
      }
      break;
    }
    case RowClass::kRate:
      for (uint32_t i = 0; i < rates_.size(); ++i)
        if (all || rates_[i].currency == sym) out.push_back({i, 0});
      break;
  }
  return true;
}

namespace {

bool QuoteField(const Quote& q, uint8_t id, FieldValue& v) {
  switch (id) {
    case 6: v.num = q.bid; return true;
    case 7: v.num = q.bidDate; return true;
    case 8: v.text = q.bidEx; return true;
    case 9: v.num = q.bidSize; return true;
    case 10: v.num = q.ask; return true;
    case 11: v.num = q.askDate; return true;
    case 12: v.text = q.askEx; return true;
    case 13: v.num = q.askSize; return true;
    case 14: v.num = q.last; return true;
    case 15: v.num = q.lastDate; return true;
    case 16: v.text = q.lastEx; return true;
    case 17: v.num = q.lastSize; return true;
    case 18: v.num = q.volume; return true;
    default: return false;
  }
}

bool AnalyticsField(const Analytics& a, uint8_t id, FieldValue& v) {
  switch (id) {
    case 26: v.num = a.iv; return true;
    case 35: v.num = a.preIv; return true;
    case 27: v.num = a.delta; return true;
    case 28: v.num = a.vega; return true;
    case 29: v.num = a.gamma; return true;
    case 30: v.num = a.theta; return true;
    case 31: v.num = a.rho; return true;
    default: return false;
  }
}

void OptionField(const Option& o, uint8_t id, FieldValue& v, bool futures) {
  if (QuoteField(o.q, id, v) || AnalyticsField(o.a, id, v)) return;
  switch (id) {
    case 1: case 84: v.text = o.symbol; break;
    case 2: case 75: v.text = o.underlying; break;
    case 40: v.num = futures ? o.expiry : std::floor(o.expiry); break;
    case 44: v.num = o.strike; break;
    case 5: v.ch = o.type; break;
    case 39: v.ch = o.style; break;
    case 47: v.num = o.oi; break;
    case 87: v.num = o.rootId; break;
    default: break;
  }
}

void SurfaceField(const std::string& sym, const SurfacePoint& p, uint8_t id, FieldValue& v) {
  switch (id) {
    case 2: v.text = sym; break;
    case 3: v.num = p.term; break;
    case 4: v.num = p.otm; break;
    case 5: v.ch = p.type; break;
    case 32: v.num = p.vstrike; break;
    case 26: v.num = p.iv; break;
    case 27: v.num = p.delta; break;
    default: break;
  }
}

void IndexField(const std::string& sym, const IvIndexPoint& p, uint8_t id, FieldValue& v) {
  switch (id) {
    case 2: v.text = sym; break;
    case 3: v.num = p.term; break;
    case 37: v.num = p.call; break;
    case 38: v.num = p.put; break;
    default: break;
  }
}

}  // namespace

void MarketModel::Field(int type, const RowRef& r, uint8_t id, FieldValue& v) const {
  const TypeInfo* t = FindType(type);
  if (!t) return;
  switch (t->rows) {
    case RowClass::kStock: {
      const Stock& s = stocks_[r.a];
      if (QuoteField(s.q, id, v)) return;
      switch (id) {
        case 2: v.text = s.symbol; break;
        case 19: v.ch = s.type; break;
        case 20: v.num = s.divDate; break;
        case 21: v.num = s.divFreq; break;
        case 22: v.num = s.divAmount; break;
        case 23: v.text = s.currency; break;
        case 48: v.num = s.priceClose; break;
        case 49: v.num = s.high52; break;
        case 50: v.num = s.low52; break;
        case 51: v.num = s.ivx30; break;
        case 52: v.num = s.ivx30Yest; break;
        case 53: v.num = s.ivx30High; break;
        case 54: v.num = s.ivx30Low; break;
        case 55: v.num = s.hv20; break;
        case 56: v.num = s.hv20Yest; break;
        case 57: v.num = s.hv20High; break;
        case 58: v.num = s.hv20Low; break;
        case 59: v.num = s.volCall; break;
        case 60: v.num = s.volPut; break;
        case 61: v.num = s.optVolAvg; break;
        case 63: v.num = s.outstanding; break;
        default: break;
      }
      return;
    }
    case RowClass::kOption: OptionField(options_[r.a], id, v, false); return;
    case RowClass::kNstdOption: OptionField(nstd_[r.a], id, v, false); return;
    case RowClass::kFutureOption: OptionField(futOptions_[r.a], id, v, true); return;
    case RowClass::kFuture: {
      const Future& f = futures_[r.a];
      if (QuoteField(f.q, id, v)) return;
      if (id == 75) v.text = f.symbol;
      else if (id == 74) v.text = f.root;
      else if (id == 40) v.num = f.expiry;
      return;
    }
    case RowClass::kIvIndex: IndexField(stocks_[r.a].symbol, stocks_[r.a].ivx[r.b], id, v); return;
    case RowClass::kIvSurface:
      SurfaceField(stocks_[r.a].symbol, stocks_[r.a].surface[r.b], id, v);
      return;
    case RowClass::kFutIvIndex: IndexField(roots_[r.a].symbol, roots_[r.a].ivx[r.b], id, v); return;
    case RowClass::kFutIvSurface:
      SurfaceField(roots_[r.a].symbol, roots_[r.a].surface[r.b], id, v);
      return;
    case RowClass::kHv: {
      const Stock& s = stocks_[r.a];
      if (id == 2) v.text = s.symbol;
      else if (id == 3) v.num = s.hv[r.b].term;
      else if (id == 62) v.num = s.hv[r.b].value;
      return;
    }
    case RowClass::kRate: {
      const Rate& rt = rates_[r.a];
      if (id == 23) v.text = rt.currency;
      else if (id == 42) v.num = rt.period;
      else if (id == 41) v.num = rt.rate;
      return;
    }
  }
}

}  // namespace orvsim

namespace orvsim {

namespace {

bool SetQuoteValue(Quote& q, const std::string& field, double value) {
  const float v = static_cast<float>(value);
  if (field == "bid") q.bid = v;
  else if (field == "ask") q.ask = v;
  else if (field == "last") q.last = v;
  else return false;
  return true;
}

bool SetPointValue(std::vector<IvIndexPoint>& points, const std::vector<std::string>& name,
                   double value) {
  if (name.size() != 4) return false;
  const int term = std::atoi(name[2].c_str());
  for (IvIndexPoint& p : points) {
    if (p.term != term) continue;
    if (name[3] == "call") p.call = static_cast<float>(value);
    else if (name[3] == "put") p.put = static_cast<float>(value);
    else return false;
    return true;
  }
  return false;
}

bool SetSurfaceValue(std::vector<SurfacePoint>& points, const std::vector<std::string>& name,
                     double value) {
  if (name.size() != 6 || name[4].size() != 1) return false;
  const int term = std::atoi(name[2].c_str());
  const int otm = std::atoi(name[3].c_str());
  for (SurfacePoint& p : points) {
    if (p.term != term || static_cast<int>(p.otm) != otm || p.type != name[4][0]) continue;
    const float v = static_cast<float>(value);
    if (name[5] == "iv") p.iv = v;
    else if (name[5] == "delta") p.delta = v;
    else if (name[5] == "vstrike") p.vstrike = v;
    else return false;
    return true;
  }
  return false;
}

}  // namespace

std::string MarketModel::SetValue(const std::vector<std::string>& name, double value) {
  if (name.size() < 3) return "a value is named by its kind, symbol and field";
  const std::string& kind = name[0];
  const std::string& symbol = name[1];
  auto at = [&symbol](const Index& idx, uint32_t* i) {
    auto it = idx.find(symbol);
    if (it == idx.end()) return false;
    *i = it->second;
    return true;
  };
  uint32_t i = 0;
  bool set = false;
  auto optionValue = [&](Option& o) {
    if (name.size() != 3) return false;
    if (name[2] == "iv") {
      o.a.iv = static_cast<float>(value);
      return true;
    }
    return SetQuoteValue(o.q, name[2], value);
  };
  if (kind == "stock") {
    if (!at(stockIdx_, &i)) return "no stock " + symbol;
    set = name.size() == 3 && SetQuoteValue(stocks_[i].q, name[2], value);
  } else if (kind == "option") {
    if (!at(optionIdx_, &i)) return "no option " + symbol;
    set = optionValue(options_[i]);
  } else if (kind == "nstd") {
    if (!at(nstdIdx_, &i)) return "no non-standard option " + symbol;
    set = optionValue(nstd_[i]);
  } else if (kind == "futoption") {
    if (!at(futOptionIdx_, &i)) return "no future option " + symbol;
    set = optionValue(futOptions_[i]);
  } else if (kind == "future") {
    if (!at(futureIdx_, &i)) return "no future " + symbol;
    set = name.size() == 3 && SetQuoteValue(futures_[i].q, name[2], value);
  } else if (kind == "ivindex") {
    if (!at(stockIdx_, &i)) return "no stock " + symbol;
    set = SetPointValue(stocks_[i].ivx, name, value);
  } else if (kind == "ivsurface") {
    if (!at(stockIdx_, &i)) return "no stock " + symbol;
    set = SetSurfaceValue(stocks_[i].surface, name, value);
  } else if (kind == "futivindex") {
    if (!at(rootIdx_, &i)) return "no futures root " + symbol;
    set = SetPointValue(roots_[i].ivx, name, value);
  } else if (kind == "futivsurface") {
    if (!at(rootIdx_, &i)) return "no futures root " + symbol;
    set = SetSurfaceValue(roots_[i].surface, name, value);
  } else {
    return "no kind " + kind;
  }
  if (!set) {
    std::string text;
    for (const std::string& w : name) text += (text.empty() ? "" : " ") + w;
    return "no value " + text;
  }
  return "";
}

std::string MarketModel::Describe() const {
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\n"; };
  auto points = [&](const char* index, const char* surface, const std::string& symbol,
                    const std::vector<IvIndexPoint>& ivx, const std::vector<SurfacePoint>& ps) {
    for (const IvIndexPoint& p : ivx) line(std::string(index) + " " + symbol + " " + std::to_string(p.term));
    for (const SurfacePoint& p : ps)
      line(std::string(surface) + " " + symbol + " " + std::to_string(p.term) + " " +
           std::to_string(static_cast<int>(p.otm)) + " " + p.type);
  };
  auto expiry = [](double date) {
    int y = 0, m = 0, d = 0;
    CivilFromOle(date, &y, &m, &d);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
    return std::string(text);
  };
  for (const Stock& s : stocks_) {
    char last[32];
    std::snprintf(last, sizeof last, "%.2f", s.q.last);
    line("stock " + s.symbol + " " + last);
    for (uint32_t o : s.options)
      line("option " + options_[o].symbol + " " + s.symbol + " " + expiry(options_[o].expiry));
    for (uint32_t o : s.nstd)
      line("nstd " + nstd_[o].symbol + " " + s.symbol + " " + expiry(nstd_[o].expiry));
    points("ivindex", "ivsurface", s.symbol, s.ivx, s.surface);
    for (const HvPoint& p : s.hv) line("hv " + s.symbol + " " + std::to_string(p.term));
  }
  for (const FutureRoot& r : roots_) {
    for (uint32_t f : r.futures) {
      line("future " + futures_[f].symbol + " " + r.symbol);
      for (uint32_t o : futures_[f].options)
        line("futoption " + futOptions_[o].symbol + " " + futures_[f].symbol + " " +
             expiry(futOptions_[o].expiry));
    }
    points("futivindex", "futivsurface", r.symbol, r.ivx, r.surface);
  }
  for (const Rate& r : rates_) line("rate " + r.currency + " " + std::to_string(r.period));
  return out;
}

}  // namespace orvsim
