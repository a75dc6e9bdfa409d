#include "feed/CNstdOptionsDB.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "OptionTestSupport.h"
#include "TempDir.h"
#include "feed/COptionsDB.h"
#include "feed/CSqliteDB.h"

namespace {

class TestNstdOptionsDB : public CNstdOptionsDB {
 public:
  using CNstdOptionsDB::CNstdOptionsDB;

  bool _QueueTask(CWorkerInterface* task) override {
    task->DoTask();
    delete task;
    return true;
  }

  std::vector<NstdOptionRecord> Rows(const char16_t* symbol = u"", BYTE flag = 0) {
    std::vector<NstdOptionRecord> out;
    _RequestDB(CSymbolKey(symbol, flag), out);
    return out;
  }
};

std::vector<TestOption> Rooted(std::vector<TestOption> options, int32_t rootId) {
  for (TestOption& o : options) o.rootId = rootId;
  return options;
}

class NstdOptionsDBTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db.Initialize()); }

  TempDir m_dir;
  TestClients clients;
  TestNstdOptionsDB db{m_dir.File("alice")};
};

TEST_F(NstdOptionsDBTest, EveryBlockKindWritesTheRootId) {
  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_BASE, kNstdBaseIds, Rooted(OptionChain("AAA", 2), 7))));
  std::vector<NstdOptionRecord> rows = db.Rows(u"AAA0", 1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].RootID, 7);
  EXPECT_EQ(rows[0].OpenInterest, 1000);

  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_QUOTE, kNstdQuoteIds, Rooted(OptionChain("AAA", 1, 2.5f), 8))));
  rows = db.Rows(u"AAA0", 1);
  EXPECT_EQ(rows[0].RootID, 8);
  EXPECT_FLOAT_EQ(rows[0].BidPrice, 2.5f);
  EXPECT_EQ(rows[0].Volume, 500);

  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_AD, kNstdADIds, Rooted(OptionChain("AAA", 1, 1, 0.3f), 9))));
  rows = db.Rows(u"AAA0", 1);
  EXPECT_EQ(rows[0].RootID, 9);
  EXPECT_FLOAT_EQ(rows[0].IV, 0.3f);
  EXPECT_FLOAT_EQ(rows[0].PreIV, 0.31f);
  EXPECT_FLOAT_EQ(rows[0].Vega, 0.6f);
  EXPECT_FLOAT_EQ(rows[0].BidPrice, 2.5f);
  EXPECT_EQ(db.Rows(u"AAA1", 1)[0].RootID, 7) << "an option no block touched keeps its root";
}

TEST_F(NstdOptionsDBTest, OnlyAnalyticsBlocksSendEvents) {
  TestClients::Client c = clients.New();
  TestClients::Client one = clients.New();
  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_BASE, kNstdBaseIds, Rooted(OptionChain("AAA", 3), 4))));
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  db.Subscribe(one.handle, CSymbolKey(u"AAA2", 1));

  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_QUOTE, kNstdQuoteIds, Rooted(OptionChain("AAA", 3, 2), 4))));
  EXPECT_TRUE(c.events->Events().empty());

  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_AD, kNstdADIds, Rooted(OptionChain("AAA", 1, 2, 0.4f), 4))));
  const std::vector<OptionEvent> events = c.events->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, OptionEvent::kNstdOption);
  ASSERT_EQ(SymbolsOf(events[0].rows), (std::vector<std::string>{"AAA0", "AAA1", "AAA2"}));
  EXPECT_EQ(events[0].rows[2].rootId, 4);
  EXPECT_FLOAT_EQ(events[0].rows[0].iv, 0.4f);
  const std::vector<OptionEvent> single = one.events->Events();
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(SymbolsOf(single[0].rows), std::vector<std::string>{"AAA2"});
}

TEST_F(NstdOptionsDBTest, AllRowsComeByRootThenUnderlying) {
  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_BASE, kNstdBaseIds, Rooted(OptionChain("AAA", 1), 2))));
  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_BASE, kNstdBaseIds, Rooted(OptionChain("BBB", 1), 1))));
  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_BASE, kNstdBaseIds, Rooted(OptionChain("CCC", 1), 1))));
  EXPECT_EQ(SymbolsOf(db.Rows()), (std::vector<std::string>{"BBB0", "CCC0", "AAA0"}));
  EXPECT_EQ(SymbolsOf(db.Rows(u"CCC")), std::vector<std::string>{"CCC0"});
}

// The whole-table scan comes in root order, so the rows of one underlying
// need not be together; each run of rows is judged by its own underlying.
TEST_F(NstdOptionsDBTest, TheScanOfManyUnderlyingsFollowsTheRootOrder) {
  TestClients::Client c = clients.New();
  std::vector<TestOption> block;
  for (int i = 0; i <= 101; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "U%03d", i);
    // Two roots per underlying, interleaving the underlyings in root order.
    std::vector<TestOption> chain = OptionChain(name, 2);
    chain[0].rootId = 1;
    chain[1].rootId = 2;
    block.insert(block.end(), chain.begin(), chain.end());
  }
  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_BASE, kNstdBaseIds, block)));
  db.Subscribe(c.handle, CSymbolKey(u"U001", 0));
  db.Subscribe(c.handle, CSymbolKey(u"U101", 0));
  block.pop_back();
  block.pop_back();  // U101 does not change
  ASSERT_TRUE(Apply(db, OptionBlock(T_NSTDOPTION_AD, kNstdADIds, block)));
  const std::vector<OptionEvent> events = c.events->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(SymbolsOf(events[0].rows), (std::vector<std::string>{"U0010", "U0011"}));
}

TEST_F(NstdOptionsDBTest, ItsIndexHasANameOfItsOwnBesideTheOptionTables) {
  COptionsDB options(m_dir.File("alice"), false);
  LogCapture log(orvlog::kError);
  ASSERT_TRUE(options.Initialize());
  ASSERT_TRUE(db.Initialize());  // a second time, after the option table
  EXPECT_TRUE(log.Lines().empty());

  CSqliteDB sql;
  sql.Open(m_dir.File("alice").c_str());
  EXPECT_EQ(sql.ScalarInt("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'nstdoptions' "
                          "AND sql IS NOT NULL"),
            1);
  // The underlying's index and the ATM statements' one.
  EXPECT_EQ(sql.ScalarInt("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'options' "
                          "AND sql IS NOT NULL"),
            2);
}

}  // namespace
