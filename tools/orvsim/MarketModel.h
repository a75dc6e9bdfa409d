// A deterministic market: the same seed and start date give the same
// instruments and the same sequence of prices on every run and platform (the
// generator and its transforms are our own, not the standard library's).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "BlockWriter.h"

namespace orvsim {

struct ModelOptions {
  uint64_t seed = 1;
  int stocks = 20;        // equities, a few of them indexes
  int futureRoots = 4;    // each with four quarterly contracts
  int optionsPerStock = 56;  // calls and puts of every stock's chain
  double startDate = 45000.5;  // automation date of the first tick
  double tickSeconds = 1.0;    // model time that one Step() advances
};

// Small, fast and reproducible: splitmix64.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  int Int(int lo, int hi) { return lo + static_cast<int>(Next() % static_cast<uint64_t>(hi - lo + 1)); }
  double Normal();

 private:
  uint64_t s_;
};

struct Quote {
  float bid = 0, ask = 0, last = 0;
  double bidDate = 0, askDate = 0, lastDate = 0;
  std::string bidEx, askEx, lastEx;
  int32_t bidSize = 0, askSize = 0, lastSize = 0, volume = 0;
};

struct Analytics {
  float iv = 0, preIv = 0, delta = 0, gamma = 0, vega = 0, theta = 0, rho = 0;
};

struct IvIndexPoint { int16_t term; float call, put; };
struct SurfacePoint { int16_t term; float otm; char type; float vstrike, iv, delta; };
struct HvPoint { int16_t term; float value; };

struct Stock {
  std::string symbol;
  char type = 'S';  // 'S' stock, 'I' index
  std::string currency = "USD";
  float divDate = 0, divAmount = 0;
  int16_t divFreq = 0;
  float priceClose = 0, high52 = 0, low52 = 0;
  float ivx30 = 0, ivx30Yest = 0, ivx30High = 0, ivx30Low = 0;
  float hv20 = 0, hv20Yest = 0, hv20High = 0, hv20Low = 0;
  int32_t volCall = 0, volPut = 0;
  float optVolAvg = 0, outstanding = 0;
  double price = 0, sigma = 0;
  Quote q;
  std::vector<uint32_t> options, nstd;
  std::vector<IvIndexPoint> ivx;
  std::vector<SurfacePoint> surface;
  std::vector<HvPoint> hv;
};

struct Option {
  std::string symbol, underlying;
  uint32_t owner = 0;  // stock or future index
  double expiry = 0;   // automation date
  float strike = 0;
  char type = 'C';     // 'C' call, 'P' put
  char style = 'A';    // 'A' American, 'E' European
  int32_t oi = 0;
  int32_t rootId = 0;  // non-standard options only
  Quote q;
  Analytics a;
};

struct FutureRoot {
  std::string symbol;
  double sigma = 0;
  char style = 'A';
  std::vector<uint32_t> futures;
  std::vector<IvIndexPoint> ivx;
  std::vector<SurfacePoint> surface;
};

struct Future {
  std::string symbol, root;
  uint32_t rootIdx = 0;
  double expiry = 0;
  double price = 0;
  Quote q;
  std::vector<uint32_t> options;
};

struct Rate { std::string currency; int32_t period; float rate; };

// A record of a message type: an instrument, and for point types (IV index
// and surface, HV) the point within it.
struct RowRef {
  uint32_t a = 0, b = 0;
  bool operator<(const RowRef& o) const { return a != o.a ? a < o.a : b < o.b; }
  bool operator==(const RowRef& o) const { return a == o.a && b == o.b; }
};

class MarketModel {
 public:
  explicit MarketModel(const ModelOptions& opt);

  // One tick: every stock and future takes a step of its random walk, and
  // the options, volatility points and quotes follow.
  void Step();
  double Now() const { return now_; }
  uint64_t Ticks() const { return ticks_; }

  // The records of `type` that `symbol` names: stype 1 names a group (the
  // underlying, the futures root, the future of futures options), 2 one
  // instrument; an empty symbol names everything. False when the type
  // carries no records of this model (unknown type).
  bool Select(int type, const std::string& symbol, int stype, std::vector<RowRef>& out) const;
  void Field(int type, const RowRef& r, uint8_t id, FieldValue& v) const;

  const std::vector<Stock>& stocks() const { return stocks_; }
  const std::vector<Option>& options() const { return options_; }
  const std::vector<Option>& nstdOptions() const { return nstd_; }
  const std::vector<FutureRoot>& roots() const { return roots_; }
  const std::vector<Future>& futures() const { return futures_; }
  const std::vector<Option>& futureOptions() const { return futOptions_; }
  const std::vector<Rate>& rates() const { return rates_; }
  // Records of all kinds that one full snapshot of the market holds.
  size_t RecordCount() const;

  // Sets one value of one instrument to a chosen number, so that a test
  // knows exactly what the next update carries. `name` is the value's name
  // in words: "stock SYM last|bid|ask", "option|nstd|futoption SYM
  // bid|ask|last|iv", "future SYM last|bid|ask", "ivindex|futivindex SYM
  // TERM call|put", "ivsurface|futivsurface SYM TERM OTM C|P iv|delta|vstrike"
  // (the futures IV kinds name the root). Returns what is wrong with the
  // name, empty when the value was set.
  std::string SetValue(const std::vector<std::string>& name, double value);
  // Every instrument and volatility point, one per line in the words of
  // SetValue: "stock SYM LAST" (its last price), "option SYM UNDERLYING EXPIRY", "nstd SYM UNDERLYING EXPIRY",
  // "future SYM ROOT", "futoption SYM FUTURE EXPIRY", "ivindex SYM TERM",
  // "ivsurface SYM TERM OTM C|P", "futivindex ROOT TERM", "futivsurface ROOT
  // TERM OTM C|P", "hv SYM TERM", "rate CURRENCY PERIOD".
  std::string Describe() const;

 private:
  void Build();
  void QuoteStock(Stock& s);
  void PriceOption(Option& o, double spot, double sigma, double carryRate, bool futures,
                   bool first);
  void QuoteFuture(Future& f);
  void UpdatePoints(bool first);
  void BuildIndexes();

  ModelOptions opt_;
  Rng rng_;
  double now_;
  uint64_t ticks_ = 0;
  std::vector<Stock> stocks_;
  std::vector<Option> options_, nstd_, futOptions_;
  std::vector<FutureRoot> roots_;
  std::vector<Future> futures_;
  std::vector<Rate> rates_;

  // Symbol to position, made once with the universe (which never changes
  // afterwards), so that a subscription costs a look-up and not a scan of a
  // load-test sized market.
  using Index = std::unordered_map<std::string, uint32_t>;
  Index stockIdx_, optionIdx_, nstdIdx_, futOptionIdx_, futureIdx_, rootIdx_;
};

// Automation date helpers (days since 1899-12-30).
double OleFromCivil(int y, int m, int d);
void CivilFromOle(double ole, int* y, int* m, int* d);
// The third Friday of a month, as an automation date.
double ThirdFriday(int y, int m);

}  // namespace orvsim
