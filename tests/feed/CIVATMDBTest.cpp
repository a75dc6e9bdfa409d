#include "feed/CIVATMDB.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "feed/COptionsDB.h"
#include "feed/CSqliteDB.h"
#include "feed/CStocksDB.h"
#include "feed/Curve.h"
namespace {

TEST(CurveTest, ValuesAtPointsBetweenAndOutside) {
  float v = 42.0f;
  Curve empty;
  EXPECT_FALSE(empty.GetValue(1.0f, v));
  EXPECT_EQ(v, 42.0f);

  Curve linear(0);
  linear.SetPoint(10.0f, 0.5f);
  linear.SetPoint(20.0f, 0.3f);
  linear.SetPoint(30.0f, 9.0f);
  linear.SetPoint(30.0f, 0.2f);  // replaces
  const struct {
    float x, expected;
  } cases[] = {{5.0f, 0.5f}, {10.0f, 0.5f}, {15.0f, 0.4f}, {25.0f, 0.25f}, {30.0f, 0.2f}, {99.0f, 0.2f}};
  for (const auto& c : cases) {
    ASSERT_TRUE(linear.GetValue(c.x, v));
    EXPECT_NEAR(v, c.expected, 1e-6) << "at " << c.x;
  }

  // Volatility mode: total variance v * v * t linear in the squared key.
  Curve vol(1);
  vol.SetPoint(1.0f, 0.2f);
  vol.SetPoint(2.0f, 0.3f);
  ASSERT_TRUE(vol.GetValue(std::sqrt(2.5f), v));
  const float a = 0.04f * 1.0f, b = 0.09f * 4.0f;
  EXPECT_NEAR(v, std::sqrt((a + (b - a) / 3.0f * 1.5f) / 2.5f), 1e-5);
  ASSERT_TRUE(vol.GetValue(1.0f, v));
  EXPECT_EQ(v, 0.2f);
}

TEST(CurveTest, VolatilityInterpolationOfZeroAndNegativeVariance) {
  float v = 0.0f;
  EXPECT_TRUE(InterpolateVolatility(1.0f, 1.0f, 0.5f, 2.0f, 0.7f, v));
  EXPECT_EQ(v, 0.5f);
  EXPECT_TRUE(InterpolateVolatility(2.0f, 1.0f, 0.5f, 2.0f, 0.7f, v));
  EXPECT_EQ(v, 0.7f);
  // No variance at either end: none between.
  EXPECT_TRUE(InterpolateVolatility(1.5f, 1.0f, 0.0f, 2.0f, 0.0f, v));
  EXPECT_EQ(v, 0.0f);
  // Falling variance carried past its zero: A = 1, B = 0, at 2.5 it is -0.5.
  EXPECT_TRUE(InterpolateVolatility(2.5f, 1.0f, 1.0f, 2.0f, 0.0f, v));
  EXPECT_EQ(v, -1.0f);
  EXPECT_TRUE(InterpolateLinear(3.0f, 2.0f, 10.0f, 4.0f, 20.0f, v));
  EXPECT_EQ(v, 15.0f);
}

// Inputs at which rounding the product or the variances to float moves the
// result by an ulp or more; the expected values keep double precision up to
// the narrowing of the differences, the slope, the variance and the result.
TEST(CurveTest, InterpolationRoundsOnlyWhereItStoresAFloat) {
  const struct {
    bool volatility;
    float x, x1, y1, x2, y2;
    float expected;
  } cases[] = {
      {false, 126.6f, 118.0f, 0.197f, 128.0f, 0.255f, 0x1.f99c36p-3f},
      {false, 49.325f, 47.0f, 0.591f, 49.5f, 0.182f, 0x1.af5eb6p-3f},
      {false, 142.8f, 139.0f, 0.536f, 144.0f, 0.117f, 0x1.bd8ff6p-3f},
      {true, 0.92f, 0.36f, 0.14f, 1.23f, 0.396f, 0x1.7bf696p-2f},
      {true, 0.2611495554447174f, 0.07f, 0.213f, 0.55f, 0.338f, 0.32114529609680176f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    float v = 0.0f;
    ASSERT_TRUE(c.volatility ? InterpolateVolatility(c.x, c.x1, c.y1, c.x2, c.y2, v)
                             : InterpolateLinear(c.x, c.x1, c.y1, c.x2, c.y2, v));
    EXPECT_EQ(v, c.expected);
  }
}

struct Option {
  double expiration;
  float strike;
  float callIv, putIv;
  float preIv = 0.3f;
};

struct AtmCase {
  const char* name;
  std::string symbol;
  std::optional<float> last;  // none: a NULL last price
  std::vector<Option> options;
  std::vector<std::pair<int, float>> expected;  // expiration, volatility
};

float Lerp(float x, float x1, float y1, float x2, float y2) { return (x - x1) * (y2 - y1) / (x2 - x1) + y1; }

// A stock row and a call and a put per strike, written the way the tables
// write them (prices and strikes as single-precision values).
class AtmFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_stocks.Initialize());
    ASSERT_TRUE(m_options.Initialize());
  }

  void Store(const AtmCase& c) {
    CSqliteDB db;
    db.Open(m_dir.File("alice").c_str());
    CSqliteStatement stock = db.Prepare("insert into stocks (symbol, last) values (?, ?)");
    stock.BindText(1, c.symbol.c_str());
    if (c.last) stock.BindDouble(2, *c.last);
    stock.RunCommand();
    CSqliteStatement option = db.Prepare(
        "insert into options (symbol, stock_symbol, expiration_date, strike, type, pre_iv, iv) "
        "values (?, ?, ?, ?, ?, ?, ?)");
    int n = 0;
    for (const Option& o : c.options) {
      for (const char* type : {"C", "P"}) {
        const std::string symbol = c.symbol + std::to_string(++n);
        option.BindText(1, symbol.c_str());
        option.BindText(2, c.symbol.c_str());
        option.BindDouble(3, o.expiration);
        option.BindDouble(4, o.strike);
        option.BindText(5, type);
        option.BindDouble(6, o.preIv);
        option.BindDouble(7, type[0] == 'C' ? o.callIv : o.putIv);
        option.RunCommand();
        option.Reset();
      }
    }
  }

  TempDir m_dir;
  CStocksDB m_stocks{m_dir.File("alice"), false};
  COptionsDB m_options{m_dir.File("alice"), false};
};

TEST_F(AtmFixture, OneRecordPerExpirationBetweenTheNearestStrikes) {
  const AtmCase cases[] = {
      {"between two strikes",
       "AAA",
       102.5f,
       {{46010, 100, 0.30f, 0.32f}, {46010, 105, 0.26f, 0.28f}, {46010, 110, 0.25f, 0.25f}},
       {{46010, Lerp(102.5f, 100, 0.31f, 105, 0.27f)}}},
      {"the last price on a strike skips it",
       "BBB",
       105.0f,
       {{46010, 100, 0.31f, 0.31f}, {46010, 105, 0.9f, 0.9f}, {46010, 110, 0.25f, 0.25f}},
       {{46010, Lerp(105, 100, 0.31f, 110, 0.25f)}}},
      {"a strike that is no short decimal, equal as a number",
       "CCC",
       102.3f,
       {{46010, 100, 0.31f, 0.31f}, {46010, 102.3f, 0.9f, 0.9f}, {46010, 105, 0.27f, 0.27f}},
       {{46010, Lerp(102.3f, 100, 0.31f, 105, 0.27f)}}},
      {"all strikes below: no record for that expiration",
       "DDD",
       120.0f,
       {{46010, 100, 0.31f, 0.31f}, {46010, 110, 0.25f, 0.25f}, {46100, 130, 0.4f, 0.4f}},
       {{46100, 0.4f}}},
      {"no last price: the lowest strike's volatility",
       "EEE",
       std::nullopt,
       {{46010, 100, 0.31f, 0.31f}, {46010, 110, 0.25f, 0.25f}},
       {{46010, 0.31f}}},
      {"an option without any volatility: nothing",
       "FFF",
       102.5f,
       {{46010, 100, 0.31f, 0.31f}, {46010, 105, 0.0f, 0.27f, 0.0f}},
       {}},
      {"a current volatility of 0 with a pre-computed one still counts",
       "GGG",
       102.5f,
       {{46010, 100, 0.30f, 0.0f}, {46010, 105, 0.20f, 0.20f}},
       {{46010, Lerp(102.5f, 100, 0.15f, 105, 0.20f)}}},
      // The nearest strikes of one expiration are not those of another.
      {"two expirations sharing strikes",
       "HHH",
       102.5f,
       {{46010, 100, 0.50f, 0.50f},
        {46010, 110, 0.10f, 0.10f},
        {46100, 100, 0.90f, 0.90f},
        {46100, 101, 0.30f, 0.30f},
        {46100, 104, 0.20f, 0.20f},
        {46100, 110, 0.80f, 0.80f}},
       {{46010, Lerp(102.5f, 100, 0.5f, 110, 0.1f)}, {46100, Lerp(102.5f, 101, 0.3f, 104, 0.2f)}}},
      {"a symbol with a quote is bound, not pasted",
       "O'X",
       102.5f,
       {{46010, 100, 0.30f, 0.30f}, {46010, 105, 0.20f, 0.20f}},
       {{46010, Lerp(102.5f, 100, 0.3f, 105, 0.2f)}}},
  };
  for (const AtmCase& c : cases) Store(c);

  CIVATMDB atm(m_dir.File("alice"));
  for (const AtmCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<IVATMRecord> out;
    atm.GetMarketData(_bstr_t(c.symbol.c_str()), out);
    ASSERT_EQ(out.size(), c.expected.size());
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_STREQ(static_cast<const char*>(out[i].Symbol), c.symbol.c_str());
      EXPECT_EQ(out[i].Expiration, c.expected[i].first);
      EXPECT_NEAR(out[i].IV, c.expected[i].second, 1e-5);
    }
  }
}

TEST_F(AtmFixture, TheStockTableAnswersThroughItsProvider) {
  Store({"", "AAA", 102.5f, {{46010.0, 100, 0.3f, 0.3f}, {46010.0, 105, 0.2f, 0.2f}}, {}});
  std::vector<IVATMRecord> out;
  m_stocks.GetATM(_bstr_t("AAA"), Orv::ZmDataManager::_nil(), out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NEAR(out[0].IV, 0.25f, 1e-6);

  // No stock row: nothing, and nothing is asked of a service.
  out.clear();
  m_stocks.GetATM(_bstr_t("NOSUCH"), Orv::ZmDataManager::_nil(), out);
  EXPECT_TRUE(out.empty());
}

}  // namespace

namespace {

std::string PlanOf(CSqliteDB& db, std::string sql, const std::string& table) {
  // The statements name the table "options"; the direct table gets the same
  // look-ups through its own index.
  for (size_t at = 0; (at = sql.find("options ", at)) != std::string::npos; at += table.size() + 1)
    sql.replace(at, 8, table + " ");
  CSqliteStatement plan = db.Prepare(("EXPLAIN QUERY PLAN " + sql).c_str());
  plan.BindText(1, "AAA");
  plan.BindDouble(2, 100.0);
  std::string detail;
  for (CSqliteQuery q = plan.RunQuery(); !q.AtEnd(); q.Next()) detail += std::string(q.TextAt(3)) + "\n";
  return detail;
}

// The nearest strikes come from one pass over the underlying's index
// entries and each pairing is one index search: no walk over the table and
// no search per option, so one request grows about linearly with the chain.
TEST(AtmIndexes, NearestStrikesAndPairsAreIndexSearches) {
  TempDir dir;
  const std::string path = dir.File("dave");
  COptionsDB options(path, false);
  COptionsDB direct(path, true);
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_TRUE(options.Initialize());
    ASSERT_TRUE(direct.Initialize());
  }
  CSqliteDB db;
  db.Open(path.c_str());
  for (const char* table : {"options", "options_direct"}) {
    const std::string index = std::string(table) == "options" ? "expstrike_indx" : "expstrike_indx_direct";
    for (const char* sql : {CIVATMDB::kBelowSql, CIVATMDB::kAboveSql}) {
      const std::string plan = PlanOf(db, sql, table);
      SCOPED_TRACE(std::string(table) + ":\n" + plan);
      for (const char* alias : {"o1", "o2", "o3"}) EXPECT_EQ(plan.find(std::string("SCAN ") + alias), std::string::npos);
      EXPECT_NE(plan.find("SEARCH o3 USING COVERING INDEX " + index + " (stock_symbol=?)"), std::string::npos);
      const std::string pair = " USING INDEX " + index + " (stock_symbol=? AND expiration_date=? AND strike=?)";
      EXPECT_NE(plan.find("SEARCH o1" + pair), std::string::npos);
      EXPECT_NE(plan.find("SEARCH o2" + pair), std::string::npos);
    }
  }
}

// Exactly the rows of the plain statements, which pair the call and the put
// of the strike found by a search per option, on chains with several
// expirations, strikes shared between them, missing strikes and puts, and
// prices on, between and outside the strikes.
TEST(AtmIndexes, RowsAreThoseOfThePerOptionSearch) {
#define PLAIN_PAIRS                                                                                          \
  "select o1.expiration_date, o1.strike, o1.iv, o2.iv from options o1 inner join options o2 on "             \
  "o1.stock_symbol = o2.stock_symbol and o1.expiration_date = o2.expiration_date and o1.strike = o2.strike " \
  "and o1.type != o2.type where o1.stock_symbol = ?1 and o1.type = 'C' and o1.strike = "
  const char* const plainBelow =
      PLAIN_PAIRS "(select max(o3.strike) from options o3 where o3.strike < ?2 and o3.stock_symbol = ?1 "
                  "and o3.expiration_date = o1.expiration_date) group by o1.expiration_date";
  const char* const plainAbove =
      PLAIN_PAIRS "(select min(o3.strike) from options o3 where o3.strike > ?2 and o3.stock_symbol = ?1 "
                  "and o3.expiration_date = o1.expiration_date) group by o1.expiration_date";
#undef PLAIN_PAIRS
  TempDir dir;
  const std::string path = dir.File("erin");
  COptionsDB options(path, false);
  ASSERT_TRUE(options.Initialize());
  {
    CSqliteDB db;
    db.Open(path.c_str());
    CSqliteStatement option = db.Prepare(
        "insert into options (symbol, stock_symbol, expiration_date, strike, type, pre_iv, iv) "
        "values (?, ?, ?, ?, ?, 0.3, ?)");
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t bound) {
      seed = seed * 1103515245u + 12345u;
      return (seed >> 8) % bound;
    };
    int n = 0;
    for (const char* symbol : {"AAA", "BBB", "CCC"}) {
      for (int e = 0; e < 8; ++e) {
        for (int k = 0; k < 40; ++k) {
          if (next(5) == 0) continue;  // a strike this expiration does not list
          const float strike = 80.0f + k * (e % 2 ? 1.0f : 2.5f);
          for (const char* type : {"C", "P"}) {
            if (type[0] == 'P' && next(7) == 0) continue;  // a call without its put
            const std::string name = std::string(symbol) + "-" + std::to_string(++n);
            option.BindText(1, name.c_str());
            option.BindText(2, symbol);
            option.BindDouble(3, 46010.0 + 30 * e);
            option.BindDouble(4, strike);
            option.BindText(5, type);
            option.BindDouble(6, 0.1f + static_cast<float>(next(1000)) / 2000.0f);
            option.RunCommand();
            option.Reset();
          }
        }
      }
    }
  }
  CIVATMDB atm(path);
  size_t rows = 0;
  for (const char* symbol : {"AAA", "BBB", "CCC", "NONE"}) {
    // On a strike, between strikes, below and above them all.
    for (float last : {0.0f, 79.0f, 80.0f, 100.0f, 101.3f, 117.5f, 118.2f, 500.0f}) {
      SCOPED_TRACE(std::string(symbol) + " at " + std::to_string(last));
      for (const auto& statements : {std::make_pair(CIVATMDB::kBelowSql, plainBelow),
                                     std::make_pair(CIVATMDB::kAboveSql, plainAbove)}) {
        CIVATMDB::StrikeMap fast, plain;
        atm.ExecQuery(statements.first, symbol, last, fast);
        atm.ExecQuery(statements.second, symbol, last, plain);
        EXPECT_EQ(fast, plain);
        rows += fast.size();
      }
    }
  }
  EXPECT_GT(rows, 200u);
}

}  // namespace
