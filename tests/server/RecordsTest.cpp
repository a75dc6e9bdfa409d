#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "server/contract/Records.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const float kNaNf = std::numeric_limits<float>::quiet_NaN();

_bstr_t Str(const std::u16string& s) { return _bstr_t(s.c_str()); }

int Sign(int v) { return (v > 0) - (v < 0); }

struct SymbolCase {
  const char* name;
  _bstr_t a;
  _bstr_t b;
  int expected;
};

TEST(CompareSymbols, OrdersByUnsignedCodeUnitsWithAbsentAsEmpty) {
  const SymbolCase cases[] = {
      {"equal", Str(u"IBM"), Str(u"IBM"), 0},
      {"first difference decides", Str(u"IBM"), Str(u"IBN"), -1},
      {"prefix first", Str(u"AB"), Str(u"ABC"), -1},
      {"extension after", Str(u"ABC"), Str(u"AB"), 1},
      {"point before digit", Str(u"A.B"), Str(u"A1B"), -1},
      {"digit before letter", Str(u"A1"), Str(u"AA"), -1},
      {"no case folding", Str(u"a"), Str(u"B"), 1},
      {"high code units are unsigned", Str(u"\u00E9"), Str(u"Z"), 1},
      {"top code unit above all", Str(u"A\uFFFF"), Str(u"AZ"), 1},
      {"absent equals empty", _bstr_t(), Str(u""), 0},
      {"empty equals absent", Str(u""), _bstr_t(), 0},
      {"two absent", _bstr_t(), _bstr_t(), 0},
      {"absent before text", _bstr_t(), Str(u"A"), -1},
      {"text after absent", Str(u"A"), _bstr_t(), 1},
      {"empty before text", Str(u""), Str(u"A"), -1},
  };
  for (const SymbolCase& c : cases) {
    EXPECT_EQ(Sign(CompareSymbols(c.a, c.b)), c.expected) << c.name;
  }
}

TEST(CompareSymbols, OneSharedStringIsEqualToItself) {
  const _bstr_t a = Str(u"MSFT");
  const _bstr_t b = a;
  EXPECT_EQ(CompareSymbols(a, b), 0);
}

OptionRecord Option(const std::u16string& underlying, double expiry, float strike, char type) {
  OptionRecord r;
  r.StockSymbol = Str(underlying);
  r.ExpirationDate = expiry;
  r.StrikePrice = strike;
  r.OptionType[0] = type;
  return r;
}

struct OrderCase {
  const char* name;
  OptionRecord a;
  OptionRecord b;
  bool aFirst;
  bool bFirst;
};

TEST(LessOptionRecord, KeysInOrderUnderlyingExpiryStrikeType) {
  OptionRecord absent = Option(u"", 40000, 50, 'C');
  absent.StockSymbol = _bstr_t();
  const OrderCase cases[] = {
      {"underlying first", Option(u"A", 40100, 10, 'P'), Option(u"B", 40000, 5, 'C'), true, false},
      {"shorter underlying before its extension", Option(u"AB", 40100, 10, 'C'),
       Option(u"ABC", 40000, 5, 'C'), true, false},
      {"point before digit before letter", Option(u"X.", 40000, 5, 'C'), Option(u"X1", 40000, 5, 'C'), true,
       false},
      {"absent and empty underlying tie, expiry decides", absent, Option(u"", 39000, 50, 'C'), false, true},
      {"absent underlying before any symbol", absent, Option(u"A", 1, 1, 'C'), true, false},
      {"near expiry with high strike first", Option(u"A", 40000, 100, 'C'), Option(u"A", 40100, 10, 'C'),
       true, false},
      {"strike at equal expiry", Option(u"A", 40000, 10, 'P'), Option(u"A", 40000, 20, 'C'), true, false},
      {"C before a higher type code", Option(u"A", 40000, 10, 'C'), Option(u"A", 40000, 10, 'P'), true,
       false},
      {"C after a lower type code", Option(u"A", 40000, 10, 'C'), Option(u"A", 40000, 10, 'A'), false, true},
      {"type codes are signed", Option(u"A", 40000, 10, static_cast<char>(0x80)),
       Option(u"A", 40000, 10, 'C'), true, false},
      {"all keys equal", Option(u"A", 40000, 10, 'C'), Option(u"A", 40000, 10, 'C'), false, false},
      {"NaN expiry after every number", Option(u"A", kNaN, 1, 'C'), Option(u"A", 1e9, 99, 'C'), false, true},
      {"two NaN expiries tie, strike decides", Option(u"A", kNaN, 20, 'C'), Option(u"A", kNaN, 10, 'C'),
       false, true},
      {"NaN strike after every number", Option(u"A", 40000, kNaNf, 'C'), Option(u"A", 40000, 1e9f, 'P'),
       false, true},
      {"two NaN strikes tie, type decides", Option(u"A", 40000, kNaNf, 'C'), Option(u"A", 40000, kNaNf, 'P'),
       true, false},
      {"NaN does not beat the underlying", Option(u"A", kNaN, kNaNf, 'C'), Option(u"B", 1, 1, 'C'), true,
       false},
  };
  for (const OrderCase& c : cases) {
    EXPECT_EQ(LessOptionRecord(c.a, c.b), c.aFirst) << c.name;
    EXPECT_EQ(LessOptionRecord(c.b, c.a), c.bFirst) << c.name << " (reversed)";
  }
}

TEST(LessNstdOptionRecord, SameKeysAsOptions) {
  NstdOptionRecord a;
  NstdOptionRecord b;
  a.StockSymbol = b.StockSymbol = Str(u"A");
  a.RootID = 9;  // the root identifier is no key
  a.ExpirationDate = kNaN;
  b.ExpirationDate = 40000;
  EXPECT_TRUE(LessNstdOptionRecord(b, a));
  EXPECT_FALSE(LessNstdOptionRecord(a, b));
  a.ExpirationDate = 40000;
  a.StrikePrice = b.StrikePrice = 10;
  a.OptionType[0] = 'C';
  b.OptionType[0] = 'P';
  EXPECT_TRUE(LessNstdOptionRecord(a, b));
  b.StockSymbol = Str(u"");
  EXPECT_TRUE(LessNstdOptionRecord(b, a));
}

FuturesRecord Future(const std::u16string& root, double expiry, char type,
                     const std::u16string& symbol = u"") {
  FuturesRecord r;
  r.RootSymbol = Str(root);
  r.Symbol = Str(symbol);
  r.ExpirationDate = expiry;
  r.Type[0] = type;
  return r;
}

TEST(LessFuturesRecord, KeysInOrderRootExpiryType) {
  struct Case {
    const char* name;
    FuturesRecord a;
    FuturesRecord b;
    bool aFirst;
    bool bFirst;
  };
  const Case cases[] = {
      {"root first", Future(u"ES", 40100, 'Z'), Future(u"NQ", 40000, 'A'), true, false},
      {"shorter root first", Future(u"E", 40100, 'Z'), Future(u"ES", 40000, 'A'), true, false},
      {"expiry at equal root", Future(u"ES", 40000, 'Z'), Future(u"ES", 40100, 'A'), true, false},
      {"type at equal expiry", Future(u"ES", 40000, 'A'), Future(u"ES", 40000, 'B'), true, false},
      {"own symbol is no key", Future(u"ES", 40000, 'A', u"ESZ9"), Future(u"ES", 40000, 'A', u"ESH0"), false,
       false},
      {"NaN expiry last", Future(u"ES", kNaN, 'A'), Future(u"ES", 1e9, 'B'), false, true},
      {"two NaN expiries tie, type decides", Future(u"ES", kNaN, 'B'), Future(u"ES", kNaN, 'A'), false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LessFuturesRecord(c.a, c.b), c.aFirst) << c.name;
    EXPECT_EQ(LessFuturesRecord(c.b, c.a), c.bFirst) << c.name << " (reversed)";
  }
}

// std::sort needs a strict weak ordering over whatever the feed delivers,
// not-a-number keys included; check the axioms over every triple.
TEST(LessOptionRecord, IsAStrictWeakOrderingWithNaNKeys) {
  std::vector<OptionRecord> set;
  for (const char16_t* u : {u"", u"A", u"AB"})
    for (double e : {40000.0, 40001.0, kNaN})
      for (float k : {10.0f, kNaNf})
        for (char t : {'C', 'P'}) set.push_back(Option(u, e, k, t));
  auto equiv = [](const OptionRecord& x, const OptionRecord& y) {
    return !LessOptionRecord(x, y) && !LessOptionRecord(y, x);
  };
  for (const OptionRecord& a : set) {
    ASSERT_FALSE(LessOptionRecord(a, a));
    for (const OptionRecord& b : set) {
      if (LessOptionRecord(a, b)) {
        ASSERT_FALSE(LessOptionRecord(b, a));
      }
      for (const OptionRecord& c : set) {
        if (LessOptionRecord(a, b) && LessOptionRecord(b, c)) {
          ASSERT_TRUE(LessOptionRecord(a, c));
        }
        if (equiv(a, b) && equiv(b, c)) {
          ASSERT_TRUE(equiv(a, c));
        }
      }
    }
  }
}

TEST(LessOptionRecord, SortPutsNaNExpiriesLastWithinEachUnderlying) {
  std::vector<OptionRecord> v = {Option(u"B", kNaN, 1, 'C'),  Option(u"A", kNaN, 5, 'C'),
                                 Option(u"A", 40002, 1, 'C'), Option(u"B", 40000, 1, 'C'),
                                 Option(u"A", kNaN, 2, 'C'),  Option(u"A", 40001, 9, 'C')};
  std::sort(v.begin(), v.end(), LessOptionRecord);
  std::vector<std::pair<std::string, float>> got;
  for (const OptionRecord& r : v) {
    got.emplace_back(std::string(1, static_cast<char>(static_cast<const OLECHAR*>(r.StockSymbol)[0])),
                     std::isnan(r.ExpirationDate) ? -r.StrikePrice : static_cast<float>(r.ExpirationDate));
  }
  const std::vector<std::pair<std::string, float>> want = {{"A", 40001}, {"A", 40002}, {"A", -2},
                                                           {"A", -5},    {"B", 40000}, {"B", -1}};
  EXPECT_EQ(got, want);
}

TEST(Records, CopiesShareTheirStrings) {
  StockRecord a;
  a.Symbol = Str(u"IBM");
  const StockRecord b = a;
  EXPECT_EQ(static_cast<const OLECHAR*>(a.Symbol), static_cast<const OLECHAR*>(b.Symbol));
  const StockRecord fresh;
  EXPECT_EQ(static_cast<const OLECHAR*>(fresh.Symbol), nullptr);
  EXPECT_EQ(fresh.StockType[0], 0);
  EXPECT_EQ(fresh.DivFreq, 0);
}

}  // namespace
