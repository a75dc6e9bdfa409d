#include "feed/CFutureOptionsDB.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Idl/OrvPayload.h"
#include "LogCapture.h"
#include "OptionTestSupport.h"
#include "TempDir.h"
#include "feed/CSqliteDB.h"

namespace {

class TestFutureOptionsDB : public CFutureOptionsDB {
 public:
  using CFutureOptionsDB::CFutureOptionsDB;

  bool _QueueTask(CWorkerInterface* task) override {
    task->DoTask();
    delete task;
    return true;
  }

  std::vector<OptionRecord> Rows(const char16_t* symbol = u"", BYTE flag = 0) {
    std::vector<OptionRecord> out;
    _RequestDB(CSymbolKey(symbol, flag), out);
    return out;
  }
};

std::vector<std::string> Names(std::initializer_list<const char*> names) {
  return std::vector<std::string>(names.begin(), names.end());
}

MessageBuilder Base(const std::vector<TestOption>& options) {
  return OptionBlock(T_FUTURE_OPTION_BASE, kFutOptionBaseIds, options, OptionFamily::kFuture);
}

MessageBuilder Quote(const std::vector<TestOption>& options) {
  return OptionBlock(T_FUTURE_OPTION, kFutOptionQuoteIds, options, OptionFamily::kFuture);
}

class FutureOptionsDBTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db.Initialize()); }

  TempDir m_dir;
  TestClients clients;
  TestFutureOptionsDB db{m_dir.File("alice")};
};

TEST_F(FutureOptionsDBTest, BaseAndQuoteBlocksStoreTheOptionsOfAFuture) {
  std::vector<TestOption> chain = OptionChain("ESZ6", 2);
  chain[0].expiration = 46010.123456789;  // a double on this wire
  ASSERT_TRUE(Apply(db, Base(chain)));
  chain[0].strike = 999;
  ASSERT_TRUE(Apply(db, Base(chain)));
  ASSERT_TRUE(Apply(db, Quote(OptionChain("ESZ6", 3, 4.0f, 0.2f))));

  const std::vector<OptionRecord> rows = db.Rows(u"ESZ6");
  ASSERT_EQ(SymbolsOf(rows), Names({"ESZ60", "ESZ61"}));
  const OptionRecord& r = rows[0];
  EXPECT_STREQ(static_cast<const char*>(r.StockSymbol), "ESZ6");
  EXPECT_FLOAT_EQ(r.StrikePrice, 100.0f);
  EXPECT_EQ(r.ExpirationDate, 46010.123456789) << "a date read back in single precision";
  // One block carries the quote and the analytics.
  EXPECT_FLOAT_EQ(r.BidPrice, 4.0f);
  EXPECT_EQ(r.LastSize, 30);
  EXPECT_FLOAT_EQ(r.IV, 0.2f);
  EXPECT_FLOAT_EQ(r.PreIV, 0.21f);
  EXPECT_FLOAT_EQ(r.Gamma, 0.02f);
  EXPECT_FLOAT_EQ(r.Vega, 0.4f);
  EXPECT_FLOAT_EQ(r.Rho, 0.002f);
}

TEST_F(FutureOptionsDBTest, TheKeyIsFoundWhereverTheServicePutsIt) {
  // A base block takes its first 64 bytes as the option, whatever the id.
  MessageBuilder base;
  base.Block(T_FUTURE_OPTION_BASE, 1, {75, 84, 44}).Text("OPT1", 64).Text("OPT1", 64).Float(50);
  ASSERT_TRUE(Apply(db, base));
  // The quote layout with the option after the 21 quote ids.
  std::vector<uint8_t> ids(kFutOptionQuoteIds.begin() + 1, kFutOptionQuoteIds.end());
  ids.push_back(84);
  TestOption o = OptionChain("FUT", 1, 6.0f)[0];
  o.symbol = "OPT1";
  ASSERT_TRUE(Apply(db, OptionBlock(T_FUTURE_OPTION, ids, {o}, OptionFamily::kFuture)));
  const std::vector<OptionRecord> rows = db.Rows(u"OPT1", 1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FLOAT_EQ(rows[0].StrikePrice, 50.0f);
  EXPECT_FLOAT_EQ(rows[0].BidPrice, 6.0f);

  // A quote block with the option in neither place is stepped over.
  MessageBuilder keyless;
  keyless.Block(T_FUTURE_OPTION, 1, {75, 6}).Text("FUT", 64).Float(9.0f);
  ASSERT_TRUE(Apply(db, keyless));
  EXPECT_FLOAT_EQ(db.Rows(u"OPT1", 1)[0].BidPrice, 6.0f);
}

TEST_F(FutureOptionsDBTest, EveryQuoteBlockSendsEachTouchedFutureOnce) {
  TestClients::Client c = clients.New();
  TestClients::Client all = clients.New();
  // In symbol order the options alternate between the two futures.
  std::vector<TestOption> options = {{"O1", "FA", 100}, {"O2", "FB", 100}, {"O3", "FA", 105}, {"O4", "FC", 100}};
  ASSERT_TRUE(Apply(db, Base(options)));
  db.Subscribe(c.handle, CSymbolKey(u"FA", 0));
  db.Subscribe(c.handle, CSymbolKey(u"FB", 0));
  db.Subscribe(all.handle, CSymbolKey(u"", 0));

  // Only O1 and O2 change; every option of their futures goes out, and
  // each once, although FA comes up twice in the block.
  options.pop_back();
  options[2].symbol = "O9";  // no row, still names its future
  ASSERT_TRUE(Apply(db, Quote(options)));

  const std::vector<OptionEvent> events = c.events->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, OptionEvent::kFutureOption);
  EXPECT_EQ(SymbolsOf(events[0].rows), Names({"O1", "O3", "O2"}));
  EXPECT_EQ(events[0].rows[2].underlying, "FB");
  EXPECT_FLOAT_EQ(events[0].rows[0].bid, 1.0f);
  EXPECT_EQ(events[0].rows[1].bid, 0.0f);
  EXPECT_TRUE(all.events->Events().empty());

  // A base block sends nothing.
  ASSERT_TRUE(Apply(db, Base({{"O5", "FA", 110}})));
  EXPECT_EQ(c.events->Events().size(), 1u);
}

TEST_F(FutureOptionsDBTest, AClientOfAFutureAndOfOneOfItsOptionsGetsTwoEvents) {
  TestClients::Client c = clients.New();
  ASSERT_TRUE(Apply(db, Base(OptionChain("FA", 2))));
  db.Subscribe(c.handle, CSymbolKey(u"FA1", 1));
  db.Subscribe(c.handle, CSymbolKey(u"FA", 0));
  ASSERT_TRUE(Apply(db, Quote(OptionChain("FA", 1))));
  const std::vector<OptionEvent> events = c.events->Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(SymbolsOf(events[0].rows), Names({"FA0", "FA1"}));
  EXPECT_EQ(SymbolsOf(events[1].rows), Names({"FA1"}));
}

TEST_F(FutureOptionsDBTest, ManyChangedFuturesSendTheSameAsFew) {
  TestClients::Client c = clients.New();
  std::vector<TestOption> base;
  std::vector<std::string> names;
  for (int i = 0; i <= 101; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "F%03d", i);
    names.emplace_back(name);
    for (const TestOption& o : OptionChain(name, 2)) base.push_back(o);
  }
  ASSERT_TRUE(Apply(db, Base(base)));
  for (const char16_t* s : {u"F000", u"F100", u"F101"}) db.Subscribe(c.handle, CSymbolKey(s, 0));
  for (const size_t changed : {size_t{100}, size_t{101}}) {
    SCOPED_TRACE(changed);
    std::vector<TestOption> block;
    for (size_t i = 0; i < changed; ++i) block.push_back(OptionChain(names[i], 1)[0]);
    const size_t before = c.events->Events().size();
    ASSERT_TRUE(Apply(db, Quote(block)));
    const std::vector<OptionEvent> events = c.events->Events();
    ASSERT_EQ(events.size(), before + 1);
    std::vector<std::string> expected = {"F0000", "F0001"};
    if (changed == 101) expected.insert(expected.end(), {"F1000", "F1001"});
    EXPECT_EQ(SymbolsOf(events.back().rows), expected);
  }
}

TEST_F(FutureOptionsDBTest, LateSubscribersAndDeletes) {
  TestClients::Client first = clients.New();
  TestClients::Client late = clients.New();
  ASSERT_TRUE(Apply(db, Base(OptionChain("FA", 2))));
  ASSERT_TRUE(Apply(db, Base(OptionChain("FB", 1))));
  for (const CSymbolKey& key : {CSymbolKey(u"FA", 0), CSymbolKey(u"NONE", 0)}) {
    db.Subscribe(first.handle, key);
    db.Subscribe(late.handle, key);
  }
  const std::vector<OptionEvent> events = late.events->Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(SymbolsOf(events[0].rows), Names({"FA0", "FA1"}));
  EXPECT_TRUE(events[1].rows.empty());

  // The table's deletes go by the option's own symbol, whatever the flag.
  db.DeleteSymbol(u"FA", 0);
  EXPECT_EQ(SymbolsOf(db.Rows()), Names({"FA0", "FA1", "FB0"}));
  db.DeleteSymbols({u"FA0", u"FB0"}, 0);
  EXPECT_EQ(SymbolsOf(db.Rows()), Names({"FA1"}));
  db.DeleteSymbol(u"", 0);
  EXPECT_TRUE(db.Rows().empty());
}

TEST_F(FutureOptionsDBTest, BaseSnapshotsAreStoredWithoutEvents) {
  TestClients::Client c = clients.New();
  db.Subscribe(c.handle, CSymbolKey(u"FA", 0));
  MessageBuilder base = Base(OptionChain("FA", 2));
  const CORBA::Any reply = orvidl::FieldListAny(base.bytes);
  db.ApplyBaseReply(&reply);
  EXPECT_EQ(SymbolsOf(db.Rows(u"FA")), Names({"FA0", "FA1"}));
  EXPECT_TRUE(c.events->Events().empty());
}

TEST_F(FutureOptionsDBTest, GetMarketDataServesFromTheTableOnlyWithFiftyRowsAndABid) {
  const struct {
    int rows;
    bool quoted;
    bool fromTable;
  } cases[] = {{50, true, true}, {49, true, false}, {50, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    db.DeleteSymbol(u"", 0);
    ASSERT_TRUE(Apply(db, Base(OptionChain("FA", c.rows))));
    if (c.quoted) {
      ASSERT_TRUE(Apply(db, Quote(OptionChain("FA", c.rows, 3))));
    }
    std::vector<OptionRecord> out;
    db.GetMarketData(CSymbolKey(u"FA", 0), Orv::ZmDataManager::_nil(), out);
    EXPECT_EQ(out.size(), c.fromTable ? static_cast<size_t>(c.rows) : 0u);
  }
}

TEST_F(FutureOptionsDBTest, TheLogNamesEachStepOfABlockInTheTablesOwnWords) {
  TestClients::Client c = clients.New();
  db.Subscribe(c.handle, CSymbolKey(u"FA", 0));
  LogCapture log(orvlog::kTrace);
  ASSERT_TRUE(Apply(db, Base(OptionChain("FA", 2))));
  ASSERT_TRUE(Apply(db, Quote(OptionChain("FA", 1))));
  ASSERT_TRUE(Apply(db, Quote({{"O1", "FNONE", 100}})));
  for (const char* line : {
           "CFutureOptionsDB::_ParseOptionBase() started",
           "CFutureOptionsDB::_ParseOptionBase() completed",
           "CFutureOptionsDB::_ParseOptionQuote() started",
           "CFutureOptionsDB::_ParseOptionQuote() completed",
           "CFutureOptionsDB::_UpdateOptionBase() completed (2 items) completed with 2 inserted values\n",
           "CFutureOptionsDB::_UpdateOptionQuote() started ( 1 items) started\n",
           "Query.eof() 0 FA",
           "Query.eof() 1 FNONE",
       }) {
    EXPECT_TRUE(log.Contains(line)) << line;
  }

  // "Requesting data" follows the table read whether the table serves the
  // request or the service is asked.
  ASSERT_TRUE(Apply(db, Base(OptionChain("FB", 50))));
  ASSERT_TRUE(Apply(db, Quote(OptionChain("FB", 50, 3))));
  for (const char16_t* future : {u"FB", u"FA"}) {
    log.Clear();
    std::vector<OptionRecord> out;
    db.GetMarketData(CSymbolKey(future, 0), Orv::ZmDataManager::_nil(), out);
    EXPECT_EQ(log.Count("CFutureOptionsDB::GetMarketData() Requesting data"), 1u);
  }
}

TEST(FutureOptionsDBInitialize, MakesTheTableWithItsIndex) {
  TempDir dir;
  CFutureOptionsDB db(dir.File("bob"));
  ASSERT_TRUE(db.Initialize());
  ASSERT_TRUE(db.Initialize());
  CSqliteDB sql;
  sql.Open(dir.File("bob").c_str());
  EXPECT_EQ(sql.ScalarInt("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = 'fut_symbol_indx' "
                          "AND tbl_name = 'futureoptions'"),
            1);
}

}  // namespace
