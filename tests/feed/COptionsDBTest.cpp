#include "feed/COptionsDB.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Idl/OrvPayload.h"
#include "LogCapture.h"
#include "OptionTestSupport.h"
#include "TempDir.h"
#include "feed/CSettings.h"
#include "feed/CFutureOptionsDB.h"
#include "feed/CNstdOptionsDB.h"
#include "feed/CSqliteDB.h"
#include "feed/SqlTemplates.h"
#include "server/COptions.h"

namespace {

// The option table with its event tasks run at once on the calling thread,
// so that a test sees every event before the call returns.
class TestOptionsDB : public COptionsDB {
 public:
  using COptionsDB::COptionsDB;

  bool _QueueTask(CWorkerInterface* task) override {
    ++queued;
    if (refuse) return false;
    if (!runInline) return COptionsDB::_QueueTask(task);
    task->DoTask();
    delete task;
    return true;
  }

  std::vector<OptionRecord> Rows(const char16_t* symbol = u"", BYTE flag = 0) {
    std::vector<OptionRecord> out;
    _RequestDB(CSymbolKey(symbol, flag), out);
    return out;
  }

  bool runInline = true;
  bool refuse = false;
  int queued = 0;
};

std::vector<std::string> Names(std::initializer_list<const char*> names) {
  return std::vector<std::string>(names.begin(), names.end());
}

// The index names of a database file, by table.
std::vector<std::string> Indexes(const std::string& path) {
  CSqliteDB db;
  db.Open(path.c_str());
  CSqliteStatement st =
      db.Prepare("SELECT tbl_name || ':' || name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL "
                 "ORDER BY tbl_name, name");
  std::vector<std::string> out;
  for (CSqliteQuery q = st.RunQuery(); !q.AtEnd(); q.Next()) out.emplace_back(q.TextAt(0));
  return out;
}

class OptionsDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db.Initialize());
    ASSERT_TRUE(direct.Initialize());
  }
  void TearDown() override { CSettings::ProtocolVersion = 0; }

  // The base rows of some options, through the pull path.
  void Store(const std::vector<TestOption>& options) {
    ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_BASE, kOptionBaseIds, options)));
  }

  TempDir m_dir;
  TestClients clients;
  TestOptionsDB db{m_dir.File("alice"), false};
  TestOptionsDB direct{m_dir.File("alice"), true};
};

TEST_F(OptionsDBTest, BaseBlockInsertsNewOptionsAndNeverOverwritesARow) {
  std::vector<TestOption> first = OptionChain("AAA", 2);
  first[1].expiration = 46123.5;
  Store(first);
  std::vector<TestOption> again = OptionChain("AAA", 3);
  again[0].strike = 999;
  Store(again);

  const std::vector<OptionRecord> rows = db.Rows();
  ASSERT_EQ(SymbolsOf(rows), Names({"AAA0", "AAA1", "AAA2"}));
  EXPECT_FLOAT_EQ(rows[0].StrikePrice, 100.0f) << "a known option keeps its base data";
  const OptionRecord& put = rows[1];
  EXPECT_STREQ(static_cast<const char*>(put.StockSymbol), "AAA");
  EXPECT_DOUBLE_EQ(put.ExpirationDate, 46123.5);
  EXPECT_STREQ(put.OptionType, "P");
  EXPECT_STREQ(put.OptionStyle, "A");
  EXPECT_EQ(put.OpenInterest, 1000);
  // A new row has no quote yet.
  EXPECT_EQ(put.BidPrice, 0.0f);
  EXPECT_EQ(put.Volume, 0);
  EXPECT_STREQ(static_cast<const char*>(put.BidExchange), "*");
  EXPECT_STREQ(static_cast<const char*>(put.LastExchange), "*");
}

TEST_F(OptionsDBTest, QuoteAndAnalyticsBlocksUpdateOnlyExistingRows) {
  Store(OptionChain("AAA", 2));
  std::vector<TestOption> quoted = OptionChain("AAA", 3, 2.5f, 0.4f);  // AAA2 has no row
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_QUOTE, kOptionQuoteIds, quoted)));
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_AD, kOptionADIds, quoted)));

  const std::vector<OptionRecord> rows = db.Rows();
  ASSERT_EQ(SymbolsOf(rows), Names({"AAA0", "AAA1"}));
  const OptionRecord& r = rows[0];
  EXPECT_FLOAT_EQ(r.BidPrice, 2.5f);
  EXPECT_FLOAT_EQ(r.AskPrice, 3.5f);
  EXPECT_FLOAT_EQ(r.LastPrice, 3.0f);
  EXPECT_EQ(r.BidSize, 10);
  EXPECT_EQ(r.AskSize, 20);
  EXPECT_EQ(r.LastSize, 30);
  EXPECT_EQ(r.Volume, 500);
  EXPECT_EQ(r.BidDate, 46367.204396) << "a date read back in single precision";
  EXPECT_STREQ(static_cast<const char*>(r.AskExchange), "CBOE");
  // Each analytics value in its own member, although the record orders
  // them differently from the table.
  EXPECT_FLOAT_EQ(r.IV, 0.4f);
  EXPECT_FLOAT_EQ(r.PreIV, 0.41f);
  EXPECT_FLOAT_EQ(r.Delta, 0.2f);
  EXPECT_FLOAT_EQ(r.Gamma, 0.04f);
  EXPECT_FLOAT_EQ(r.Vega, 0.8f);
  EXPECT_FLOAT_EQ(r.Theta, -0.4f);
  EXPECT_FLOAT_EQ(r.Rho, 0.004f);
  // The base columns stay.
  EXPECT_FLOAT_EQ(r.StrikePrice, 100.0f);
  EXPECT_EQ(r.OpenInterest, 1000);
}

TEST_F(OptionsDBTest, ABlockWithoutSomeFieldsWritesZeroAndNull) {
  Store(OptionChain("AAA", 1));
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_QUOTE, kOptionQuoteIds, OptionChain("AAA", 1, 2.0f))));
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_AD, kOptionADIds, OptionChain("AAA", 1, 2.0f, 0.3f))));
  // Only the bid, and only the iv.
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_QUOTE, {1, 6}, OptionChain("AAA", 1, 7.0f))));
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_AD, {1, 26}, OptionChain("AAA", 1, 7.0f, 0.5f))));

  const OptionRecord r = db.Rows()[0];
  EXPECT_FLOAT_EQ(r.BidPrice, 7.0f);
  EXPECT_EQ(r.AskPrice, 0.0f);
  EXPECT_EQ(r.AskSize, 0);
  EXPECT_EQ(r.LastDate, 0.0);
  EXPECT_STREQ(static_cast<const char*>(r.BidExchange), "") << "NULL, not the '*' of a new row";
  EXPECT_FLOAT_EQ(r.IV, 0.5f);
  EXPECT_EQ(r.PreIV, 0.0f);
  EXPECT_EQ(r.Gamma, 0.0f);
}

TEST_F(OptionsDBTest, EventsFollowAnalyticsBlocksWithEveryOptionOfEachTouchedUnderlying) {
  TestClients::Client c = clients.New();
  Store(OptionChain("AAA", 4));
  Store(OptionChain("BBB", 2));
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));

  // A quote block sends nothing.
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_QUOTE, kOptionQuoteIds, OptionChain("AAA", 4, 3.0f))));
  EXPECT_TRUE(c.events->Events().empty());

  // Analytics of one option of AAA, and of an AAA option without a row:
  // AAA's whole set goes out, in strike and type order.
  std::vector<TestOption> touched = {OptionChain("AAA", 4, 3.0f, 0.6f)[2], {"AAA9", "AAA"}};
  touched.push_back(OptionChain("BBB", 1)[0]);
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_AD, kOptionADIds, touched)));

  const std::vector<OptionEvent> events = c.events->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, OptionEvent::kOption);
  ASSERT_EQ(SymbolsOf(events[0].rows), Names({"AAA0", "AAA1", "AAA2", "AAA3"}));
  EXPECT_FLOAT_EQ(events[0].rows[0].bid, 3.0f);
  EXPECT_FLOAT_EQ(events[0].rows[2].iv, 0.6f);
  EXPECT_FLOAT_EQ(events[0].rows[2].preIv, 0.61f);
  EXPECT_FLOAT_EQ(events[0].rows[2].gamma, 0.06f);
  EXPECT_FLOAT_EQ(events[0].rows[2].vega, 1.2f);
  EXPECT_EQ(events[0].rows[1].iv, 0.0f);
}

// Events list each underlying's options by expiration, strike and type,
// whatever the order of their symbols, of their rows or of the blocks; an
// option that a block carries twice has its later values.
TEST_F(OptionsDBTest, EventsAreInExpirationStrikeAndTypeOrderWhateverTheBlocksOrder) {
  TestClients::Client c = clients.New();
  auto option = [](const char* symbol, const char* underlying, double expiration, float strike, char type,
                   float iv = 0.25f) {
    TestOption o;
    o.symbol = symbol;
    o.underlying = underlying;
    o.expiration = expiration;
    o.strike = strike;
    o.type = type;
    o.iv = iv;
    return o;
  };
  const std::vector<TestOption> chain = {
      option("BBB-A", "BBB", 46000, 100, 'C'), option("AAA-A", "AAA", 46002, 100, 'C'),
      option("AAA-C", "AAA", 46001, 110, 'C'), option("AAA-B", "AAA", 46001, 110, 'P'),
      option("BBB-B", "BBB", 45999, 100, 'C'), option("AAA-E", "AAA", 46000, 120, 'P'),
      option("AAA-D", "AAA", 46001, 105, 'C')};
  Store(chain);
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  db.Subscribe(c.handle, CSymbolKey(u"BBB", 0));

  const std::vector<TestOption> block = {option("AAA-C", "AAA", 46001, 110, 'C', 0.3f), chain[4], chain[1],
                                         option("AAA-C", "AAA", 46001, 110, 'C', 0.7f)};
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_AD, kOptionADIds, block)));

  const std::vector<OptionEvent> events = c.events->Events();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(SymbolsOf(events[0].rows), Names({"AAA-E", "AAA-D", "AAA-C", "AAA-B", "AAA-A", "BBB-B", "BBB-A"}));
  EXPECT_FLOAT_EQ(events[0].rows[2].iv, 0.7f);
}

TEST_F(OptionsDBTest, EachClientGetsItsUnderlyingsThenItsSingleOptions) {
  TestClients::Client both = clients.New();
  TestClients::Client other = clients.New();
  TestClients::Client all = clients.New();
  Store(OptionChain("AAA", 3));
  Store(OptionChain("BBB", 2));
  db.Subscribe(both.handle, CSymbolKey(u"AAA", 0));
  db.Subscribe(both.handle, CSymbolKey(u"AAA1", 1));
  db.Subscribe(both.handle, CSymbolKey(u"BBB0", 1));
  db.Subscribe(other.handle, CSymbolKey(u"BBB", 0));
  // Subscribers of all options get their rows when they subscribe only.
  db.Subscribe(all.handle, CSymbolKey(u"", 0));

  std::vector<TestOption> block = OptionChain("AAA", 1);
  block.push_back(OptionChain("BBB", 1)[0]);
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_AD, kOptionADIds, block)));

  const std::vector<OptionEvent> a = both.events->Events();
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(SymbolsOf(a[0].rows), Names({"AAA0", "AAA1", "AAA2"}));
  EXPECT_EQ(SymbolsOf(a[1].rows), Names({"AAA1", "BBB0"}));
  const std::vector<OptionEvent> b = other.events->Events();
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(SymbolsOf(b[0].rows), Names({"BBB0", "BBB1"}));
  EXPECT_TRUE(all.events->Events().empty());
}

// Above 100 changed underlyings the table is scanned once instead of queried
// per underlying; both roads send the same options, and only those of the
// changed underlyings.
TEST_F(OptionsDBTest, ManyChangedUnderlyingsSendTheSameAsFew) {
  TestClients::Client c = clients.New();
  std::vector<TestOption> base;
  std::vector<std::string> names;
  for (int i = 0; i <= 101; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "U%03d", i);
    names.emplace_back(name);
    for (const TestOption& o : OptionChain(name, 2)) base.push_back(o);
  }
  Store(base);
  for (const char16_t* s : {u"U000", u"U050", u"U100", u"U101"}) db.Subscribe(c.handle, CSymbolKey(s, 0));

  for (const size_t changed : {size_t{100}, size_t{101}}) {
    SCOPED_TRACE(changed);
    std::vector<TestOption> block;
    // U101 never changes; each of the others once, the first with both of
    // its options.
    for (size_t i = 0; i < changed; ++i) block.push_back(OptionChain(names[i], 1, 1, 0.5f)[0]);
    block.push_back(OptionChain("U000", 2, 1, 0.5f)[1]);
    const size_t before = c.events->Events().size();
    ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_AD, kOptionADIds, block)));
    const std::vector<OptionEvent> events = c.events->Events();
    ASSERT_EQ(events.size(), before + 1);
    std::vector<std::string> expected = {"U0000", "U0001", "U0500", "U0501"};
    if (changed == 101) expected.insert(expected.end(), {"U1000", "U1001"});
    EXPECT_EQ(SymbolsOf(events.back().rows), expected);
  }
}

TEST_F(OptionsDBTest, DirectTableStoresDirectQuotesWithoutPullEvents) {
  TestClients::Client first = clients.New();
  TestClients::Client late = clients.New();
  direct.ApplyBaseReply(nullptr);  // nothing to store, nothing breaks
  MessageBuilder base = OptionBlock(T_OPTION_BASE, kOptionBaseIds, OptionChain("AAA", 2));
  const CORBA::Any reply = orvidl::FieldListAny(base.bytes);
  direct.ApplyBaseReply(&reply);
  direct.Subscribe(first.handle, CSymbolKey(u"AAA", 0));

  ASSERT_TRUE(Apply(direct, OptionBlock(T_DIRECT_OPTION_QUOTE, kOptionQuoteIds, OptionChain("AAA", 2, 4.0f))));
  EXPECT_TRUE(first.events->Events().empty());
  EXPECT_FLOAT_EQ(direct.Rows()[1].BidPrice, 4.0f);
  EXPECT_TRUE(db.Rows().empty()) << "the two tables share the file, not their rows";

  // Its late subscribers get the direct event.
  direct.Subscribe(late.handle, CSymbolKey(u"AAA", 0));
  const std::vector<OptionEvent> events = late.events->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, OptionEvent::kDirectOption);
  EXPECT_EQ(SymbolsOf(events[0].rows), Names({"AAA0", "AAA1"}));
}

TEST_F(OptionsDBTest, ALateSubscriberGetsTheRowsOfItsKey) {
  TestClients::Client first = clients.New();
  TestClients::Client late = clients.New();
  Store(OptionChain("AAA", 2));
  Store(OptionChain("BBB", 1));
  const struct {
    const char16_t* symbol;
    BYTE flag;
    std::vector<std::string> rows;
  } cases[] = {
      {u"AAA", 0, Names({"AAA0", "AAA1"})},
      {u"AAA1", 1, Names({"AAA1"})},
      {u"AAA", 1, {}},  // no option has that symbol
      {u"", 0, Names({"AAA0", "AAA1", "BBB0"})},
      {u"NONE", 0, {}},
  };
  for (const auto& c : cases) {
    const CSymbolKey key(c.symbol, c.flag);
    db.Subscribe(first.handle, key);
    const size_t before = late.events->Events().size();
    db.Subscribe(late.handle, key);
    const std::vector<OptionEvent> events = late.events->Events();
    ASSERT_EQ(events.size(), before + 1) << key.Narrow();
    EXPECT_EQ(SymbolsOf(events.back().rows), c.rows) << key.Narrow();
  }
  EXPECT_TRUE(first.events->Events().empty());
}

TEST_F(OptionsDBTest, EventsTravelThroughTheEventPool) {
  db.runInline = false;
  TestClients::Client c = clients.New();
  Store(OptionChain("AAA", 2));
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_AD, kOptionADIds, OptionChain("AAA", 1))));
  ASSERT_TRUE(c.events->WaitForEvents(1));
  EXPECT_EQ(SymbolsOf(c.events->Events()[0].rows), Names({"AAA0", "AAA1"}));
}

TEST_F(OptionsDBTest, ARefusedTaskIsDeletedWithItsCursor) {
  LogCapture log(orvlog::kError);
  TestClients::Client c = clients.New();
  Store(OptionChain("AAA", 1));
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  db.refuse = true;
  const LONG cursors = COptions::ActiveObjectCount();

  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_AD, kOptionADIds, OptionChain("AAA", 1, 1, 0.7f))));

  EXPECT_EQ(db.queued, 1);
  EXPECT_TRUE(log.Contains("ERROR : ThreadPool.QueueRequest failed."));
  EXPECT_EQ(COptions::ActiveObjectCount(), cursors);
  EXPECT_TRUE(c.events->Events().empty());
  EXPECT_FLOAT_EQ(db.Rows()[0].IV, 0.7f);
}

TEST_F(OptionsDBTest, DeletesByUnderlyingBySymbolAndAll) {
  Store(OptionChain("AAA", 2));
  Store(OptionChain("BBB", 2));
  Store(OptionChain("CCC", 1));
  db.DeleteSymbol(u"AAA1", 1);
  EXPECT_EQ(SymbolsOf(db.Rows()), Names({"AAA0", "BBB0", "BBB1", "CCC0"}));
  db.DeleteSymbol(u"BBB", 0);
  EXPECT_EQ(SymbolsOf(db.Rows()), Names({"AAA0", "CCC0"}));
  db.DeleteSymbols({u"AAA", u"NONE"}, 0);
  EXPECT_EQ(SymbolsOf(db.Rows()), Names({"CCC0"}));
  db.DeleteSymbol(u"", 0);
  EXPECT_TRUE(db.Rows().empty());
}

TEST_F(OptionsDBTest, UnreadableBlocksAndUnknownTypesChangeNothing) {
  Store(OptionChain("AAA", 1));
  TestClients::Client c = clients.New();
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  LogCapture log(orvlog::kError);

  // Field 3 is not one of the analytics block's.
  MessageBuilder unknown;
  unknown.Block(T_OPTION_AD, 1, {1, 26, 3}).Text("AAA0", 12).Float(0.9f).I16(1);
  EXPECT_FALSE(Apply(db, unknown));
  EXPECT_TRUE(log.Contains("Unknown field COptionsDB::_ParseOptionAD() 3"));

  // More records than octets.
  MessageBuilder truncated;
  truncated.Block(T_OPTION_AD, 2, {1, 26}).Text("AAA0", 12).Float(0.9f);
  EXPECT_FALSE(Apply(db, truncated));

  MessageBuilder other = OptionBlock(T_NSTDOPTION_AD, kOptionADIds, OptionChain("AAA", 1));
  EXPECT_FALSE(Apply(db, other));
  EXPECT_TRUE(log.Contains("COptionsDB::UpdateData() unknown type in statement 25"));

  EXPECT_EQ(db.Rows()[0].IV, 0.0f);
  EXPECT_TRUE(c.events->Events().empty());
}

TEST_F(OptionsDBTest, ProtocolVersion2TakesA64ByteSymbolWhole) {
  CSettings::ProtocolVersion = 2;
  const std::string longName(64, 'X');
  std::vector<TestOption> o = OptionChain("AAA", 1);
  o[0].symbol = longName;
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_BASE, kOptionBaseIds, o, OptionFamily::kWideEquity)));
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_QUOTE, kOptionQuoteIds, OptionChain("AAA", 1, 6.0f), OptionFamily::kWideEquity)));
  o[0].bid = 8.0f;
  ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_QUOTE, kOptionQuoteIds, o, OptionFamily::kWideEquity)));
  const std::vector<OptionRecord> rows = db.Rows();
  ASSERT_EQ(SymbolsOf(rows), std::vector<std::string>{longName});
  EXPECT_FLOAT_EQ(rows[0].BidPrice, 8.0f);
}

TEST_F(OptionsDBTest, GetMarketDataServesFromTheTableOnlyWithFiftyRowsAndABid) {
  // Without a service the snapshot is empty, so an empty answer shows that
  // the table's rows were not used, and not added before a snapshot.
  const struct {
    int rows;
    bool quoted;
    bool fromTable;
  } cases[] = {{50, true, true}, {49, true, false}, {60, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    db.DeleteSymbol(u"", 0);
    Store(OptionChain("AAA", c.rows));
    if (c.quoted) {
      ASSERT_TRUE(Apply(db, OptionBlock(T_OPTION_QUOTE, kOptionQuoteIds, OptionChain("AAA", c.rows, 2))));
    }
    std::vector<OptionRecord> out;
    db.GetMarketData(CSymbolKey(u"AAA", 0), Orv::ZmDataManager::_nil(), out);
    EXPECT_EQ(out.size(), c.fromTable ? static_cast<size_t>(c.rows) : 0u);
  }
  // The empty symbol never reads the table.
  LogCapture log(orvlog::kError);
  std::vector<OptionRecord> out;
  db.GetMarketData(CSymbolKey(u"", 0), Orv::ZmDataManager::_nil(), out);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(log.Contains("requested without a service"));
}

TEST(OptionsDBInitialize, MakesTheIndexWithTheTableAndEmptiesItLater) {
  TempDir dir;
  const std::string path = dir.File("bob");
  COptionsDB options(path, false);
  COptionsDB direct(path, true);
  ASSERT_TRUE(options.Initialize());
  ASSERT_TRUE(direct.Initialize());
  EXPECT_EQ(Indexes(path), Names({"options:expstrike_indx", "options:symbol_indx",
                                  "options_direct:expstrike_indx_direct", "options_direct:symbol_indx_direct"}));

  ASSERT_TRUE(Apply(options, OptionBlock(T_OPTION_BASE, kOptionBaseIds, OptionChain("AAA", 2))));
  LogCapture log(orvlog::kError);
  EXPECT_TRUE(options.Initialize());
  EXPECT_TRUE(options.Initialize());
  EXPECT_TRUE(log.Lines().empty());
  std::vector<OptionRecord> out;
  options.GetMarketData(CSymbolKey(u"AAA0", 1), Orv::ZmDataManager::_nil(), out);
  EXPECT_TRUE(out.empty());

  COptionsDB missing(dir.File("no-such-folder/bob"), false);
  EXPECT_FALSE(missing.Initialize());
  EXPECT_TRUE(log.Contains("SQLite error in COptionsDB::Initialize(): "));
}

}  // namespace

namespace {

// Every per-underlying read goes through its table's index, in one file
// that holds all four option tables.
TEST(OptionTablesIndexes, EveryUnderlyingReadUsesItsIndex) {
  TempDir dir;
  const std::string path = dir.File("carol");
  COptionsDB options(path, false);
  COptionsDB direct(path, true);
  CNstdOptionsDB nstd(path);
  CFutureOptionsDB futures(path);
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_TRUE(options.Initialize());
    ASSERT_TRUE(direct.Initialize());
    ASSERT_TRUE(nstd.Initialize());
    ASSERT_TRUE(futures.Initialize());
  }
  const struct {
    UINT select;
    const char* table;
    const char* index;
  } cases[] = {{111, "options", "symbol_indx"},
               {111, "options_direct", "symbol_indx_direct"},
               {242, "nstdoptions", "nstd_symbol_indx"},
               {148, "futureoptions", "fut_symbol_indx"}};
  CSqliteDB db;
  db.Open(path.c_str());
  for (const auto& c : cases) {
    CSqliteStatement plan = db.Prepare(("EXPLAIN QUERY PLAN " + LoadSqlTemplate(c.select, c.table)).c_str());
    plan.BindText(1, "AAA");
    std::string detail;
    for (CSqliteQuery q = plan.RunQuery(); !q.AtEnd(); q.Next()) detail += q.TextAt(3);
    EXPECT_NE(detail.find(std::string("USING INDEX ") + c.index), std::string::npos) << c.table << ": " << detail;
  }
}

}  // namespace
