// The market model: the universe the issue asks for, prices that agree with
// each other, determinism, and which records a symbol names.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>

#include "MarketModel.h"
#include "MessageTypes.h"

namespace {

using namespace orvsim;

ModelOptions Small(uint64_t seed = 3) {
  ModelOptions o;
  o.seed = seed;
  o.stocks = 10;
  o.futureRoots = 3;
  o.startDate = OleFromCivil(2024, 5, 6) + 0.4;
  return o;
}

TEST(MarketModel, EveryStockHasAQuotedChainOfAtLeastFiftyOptions) {
  MarketModel m(Small());
  m.Step();
  std::set<std::string> symbols;
  bool american = false, european = false;
  for (const Stock& s : m.stocks()) {
    EXPECT_GT(s.q.bid, 0) << s.symbol;
    EXPECT_LT(s.q.bid, s.q.ask) << s.symbol;
    ASSERT_GE(s.options.size(), 50u) << s.symbol;
    std::set<double> expiries;
    std::set<float> strikes;
    std::set<char> kinds;
    for (uint32_t i : s.options) {
      const Option& o = m.options()[i];
      EXPECT_EQ(o.underlying, s.symbol);
      EXPECT_GT(o.q.bid, 0) << o.symbol;
      EXPECT_LE(o.q.bid, o.q.ask) << o.symbol;
      EXPECT_LE(o.symbol.size(), 12u) << o.symbol;
      EXPECT_TRUE(symbols.insert(o.symbol).second) << "duplicate " << o.symbol;
      expiries.insert(o.expiry);
      strikes.insert(o.strike);
      kinds.insert(o.type);
      (o.style == 'A' ? american : european) = true;
    }
    EXPECT_GE(expiries.size(), 3u) << s.symbol;
    EXPECT_GE(strikes.size(), 5u) << s.symbol;
    EXPECT_EQ(kinds, (std::set<char>{'C', 'P'})) << s.symbol;
  }
  EXPECT_TRUE(american);
  EXPECT_TRUE(european);
}

// Chains of any size up to an index's: exactly the size asked for, symbols
// that stay distinct within their width (the longest chains have the most
// strikes, the indexes the widest strikes), strikes above 0, and calls and
// puts in pairs.
TEST(MarketModel, ChainsOfTheSizeAskedFor) {
  for (int size : {1, 55, 57, 401, 1601, 20000}) {
    SCOPED_TRACE(size);
    ModelOptions o = Small();
    o.stocks = 9;  // the eighth is an index
    o.optionsPerStock = size;
    MarketModel m(o);
    std::set<std::string> symbols;
    for (const Stock& s : m.stocks()) {
      ASSERT_EQ(s.options.size(), static_cast<size_t>(size)) << s.symbol;
      std::map<std::pair<double, float>, std::string> types;
      for (uint32_t i : s.options) {
        const Option& op = m.options()[i];
        ASSERT_LE(op.symbol.size(), 12u) << op.symbol;
        ASSERT_TRUE(symbols.insert(op.symbol).second) << "duplicate " << op.symbol;
        ASSERT_GT(op.strike, 0.0f) << op.symbol;
        types[{op.expiry, op.strike}] += op.type;
      }
      size_t unpaired = 0;
      for (const auto& t : types) unpaired += t.second != "CP";
      EXPECT_EQ(unpaired, static_cast<size_t>(size % 2)) << s.symbol;
    }
  }
}

TEST(MarketModel, OptionQuotesAndGreeksAgreeWithTheUnderlying) {
  MarketModel m(Small());
  m.Step();
  // Calls and puts of one strike and expiry, keyed by underlying, expiry, strike.
  std::map<std::tuple<uint32_t, double, float>, std::pair<const Option*, const Option*>> pairs;
  for (const Option& o : m.options()) {
    EXPECT_GT(o.a.iv, 0) << o.symbol;
    EXPECT_GT(o.a.gamma, 0) << o.symbol;
    EXPECT_GT(o.a.vega, 0) << o.symbol;
    if (o.type == 'C') {
      EXPECT_GT(o.a.delta, 0) << o.symbol;
      EXPECT_LT(o.a.delta, 1) << o.symbol;
      pairs[{o.owner, o.expiry, o.strike}].first = &o;
    } else {
      EXPECT_LT(o.a.delta, 0) << o.symbol;
      EXPECT_GT(o.a.delta, -1) << o.symbol;
      pairs[{o.owner, o.expiry, o.strike}].second = &o;
    }
  }
  for (const auto& [key, cp] : pairs) {
    ASSERT_TRUE(cp.first && cp.second);
    // No carry on equities: call delta minus put delta is one.
    EXPECT_NEAR(cp.first->a.delta - cp.second->a.delta, 1.0, 1e-4) << cp.first->symbol;
  }
  // Within one expiry, calls get cheaper and puts dearer as the strike rises.
  const Stock& s = m.stocks()[0];
  const Option* prevCall = nullptr;
  const Option* prevPut = nullptr;
  for (uint32_t i : s.options) {
    const Option& o = m.options()[i];
    if (o.expiry != m.options()[s.options[0]].expiry) break;
    const Option*& prev = o.type == 'C' ? prevCall : prevPut;
    if (prev) {
      if (o.type == 'C') EXPECT_LE(o.q.ask, prev->q.ask) << o.symbol;
      else EXPECT_GE(o.q.bid, prev->q.bid) << o.symbol;
    }
    prev = &o;
  }
}

TEST(MarketModel, CarriesEveryOtherKindOfData) {
  MarketModel m(Small());
  ASSERT_FALSE(m.nstdOptions().empty());
  for (const Option& o : m.nstdOptions()) {
    EXPECT_NE(o.rootId, 0) << o.symbol;
    EXPECT_EQ(o.symbol.rfind(o.underlying + "1", 0), 0u) << o.symbol;
    EXPECT_GT(o.q.bid, 0) << o.symbol;
  }
  ASSERT_EQ(m.roots().size(), 3u);
  for (const FutureRoot& r : m.roots()) {
    EXPECT_EQ(r.futures.size(), 4u) << r.symbol;
    EXPECT_FALSE(r.ivx.empty());
    EXPECT_FALSE(r.surface.empty());
    for (uint32_t fi : r.futures) {
      const Future& f = m.futures()[fi];
      EXPECT_EQ(f.root, r.symbol);
      EXPECT_LT(f.q.bid, f.q.ask) << f.symbol;
      ASSERT_FALSE(f.options.empty()) << f.symbol;
      for (uint32_t oi : f.options) {
        const Option& o = m.futureOptions()[oi];
        EXPECT_EQ(o.underlying, f.symbol);
        EXPECT_LT(o.expiry, f.expiry);
        EXPECT_GT(o.q.bid, 0) << o.symbol;
      }
    }
  }
  std::set<std::string> currencies;
  for (const Rate& r : m.rates()) currencies.insert(r.currency);
  EXPECT_GE(currencies.size(), 5u);
  for (const Stock& s : m.stocks()) {
    EXPECT_FALSE(s.ivx.empty());
    EXPECT_FALSE(s.surface.empty());
    EXPECT_FALSE(s.hv.empty());
    for (const auto& p : s.surface) EXPECT_GT(p.iv, 0);
  }
}

TEST(MarketModel, SameSeedSameMarketOtherSeedOtherMarket) {
  MarketModel a(Small(5)), b(Small(5)), c(Small(6));
  for (int i = 0; i < 3; ++i) {
    a.Step();
    b.Step();
    c.Step();
  }
  ASSERT_EQ(a.stocks().size(), b.stocks().size());
  for (size_t i = 0; i < a.stocks().size(); ++i) {
    EXPECT_EQ(a.stocks()[i].symbol, b.stocks()[i].symbol);
    EXPECT_EQ(a.stocks()[i].q.last, b.stocks()[i].q.last);
  }
  EXPECT_NE(a.stocks()[0].symbol + std::to_string(a.stocks()[0].q.last),
            c.stocks()[0].symbol + std::to_string(c.stocks()[0].q.last));
  const double before = a.stocks()[0].price;
  a.Step();
  EXPECT_NE(a.stocks()[0].price, before) << "a tick moves the market";
}

TEST(MarketModel, SymbolsSelectTheirRecords) {
  MarketModel m(Small());
  const Stock& s = m.stocks()[0];
  const Option& opt = m.options()[s.options[0]];
  const FutureRoot& root = m.roots()[0];
  const Future& fut = m.futures()[root.futures[0]];
  const Option& fopt = m.futureOptions()[fut.options[0]];
  struct Case {
    int type;
    std::string symbol;
    int stype;
    size_t expected;
  } cases[] = {
      {T_EQUITY_QUOTE, s.symbol, 1, 1},
      {T_EQUITY_QUOTE, "NOSUCH", 1, 0},
      {T_EQUITY_BASE, "", 1, m.stocks().size()},
      {T_OPTION_QUOTE, s.symbol, 1, s.options.size()},
      {T_OPTION_QUOTE, opt.symbol, 2, 1},
      {T_OPTION_QUOTE, s.symbol, 2, 0},       // an underlying is not an option
      {T_FUTURE_QUOTE, root.symbol, 1, 4},
      {T_FUTURE_QUOTE, fut.symbol, 2, 1},
      {T_FUTURE_OPTION, fut.symbol, 1, fut.options.size()},
      {T_FUTURE_OPTION, root.symbol, 1, 4 * fut.options.size()},
      {T_FUTURE_OPTION, fopt.symbol, 2, 1},
      {T_IVINDEX, s.symbol, 1, s.ivx.size()},
      {T_IVSURFACE, s.symbol, 1, s.surface.size()},
      {T_FUTURE_IVSURFACE, root.symbol, 1, root.surface.size()},
      {T_HV, s.symbol, 1, s.hv.size()},
      {T_INTEREST_RATE, "USD", 1, 6},
  };
  for (const Case& c : cases) {
    std::vector<RowRef> rows;
    EXPECT_TRUE(m.Select(c.type, c.symbol, c.stype, rows));
    EXPECT_EQ(rows.size(), c.expected) << c.type << " '" << c.symbol << "' " << c.stype;
  }
  std::vector<RowRef> rows;
  EXPECT_FALSE(m.Select(12, "", 1, rows)) << "12 names no type";
}

TEST(MarketModel, CalendarHelpers) {
  int y, mo, d;
  CivilFromOle(OleFromCivil(2024, 2, 29), &y, &mo, &d);
  EXPECT_EQ(y * 10000 + mo * 100 + d, 20240229);
  EXPECT_EQ(OleFromCivil(1899, 12, 30), 0.0);
  EXPECT_EQ(OleFromCivil(1970, 1, 1), 25569.0);
  CivilFromOle(ThirdFriday(2024, 5), &y, &mo, &d);
  EXPECT_EQ(d, 17);  // 17 May 2024 was the third Friday
}

}  // namespace
