// The stock table's queries against orvsim in its own process: rows from the
// table when it has them, snapshots from the service when it has not.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Idl/OrvPayload.h"
#include "LogCapture.h"
#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "ServiceOrb.h"
#include "TempDir.h"
#include "feed/CSettings.h"
#include "feed/CStocksDB.h"
#include "feed/RequestSnapshot.h"
namespace {

using orvtest::Resolve;

// The field lists the snapshot requests carry, as the journal shows them.
const std::string kBaseFields = " fields=2,20,21,22,23,19,48,49,50,51,52,53,54,55,56,57,58,59,60,61,63";
const std::string kQuoteFields = " fields=2,6,8,7,9,10,12,11,13,14,16,15,17,18";

std::vector<std::string> Symbols(const std::vector<StockRecord>& rows) {
  std::vector<std::string> out;
  for (const StockRecord& r : rows) out.push_back(static_cast<const char*>(r.Symbol));
  return out;
}

class StocksServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    orvlog::InitConsole();
    orvlog::SetLevel(orvlog::kWarn);
  }
  void SetUp() override {
    m_sim = std::make_unique<orvsim::OrvSimProcess>(
        m_dir.path(), std::vector<std::string>{"--rate", "0", "--stocks", "5", "--user", "alice:secret",
                                               "--log-level", "warn"});
    m_control = Resolve<OrvSim::Control>(m_sim->Get("control"));
    Orv::ZmDataService_var service = Resolve<Orv::ZmDataService>(m_sim->Get("equities"));
    ASSERT_FALSE(CORBA::is_nil(service));
    m_manager = service->GetZmDataManager();
    ASSERT_EQ(m_manager->Connect("alice", "secret"), 0);
    ASSERT_TRUE(m_stocks.Initialize());
    ASSERT_TRUE(m_direct.Initialize());
  }
  void TearDown() override { CSettings::UseCompression = 0; }

  // The snapshot calls the service received since the last look.
  std::vector<std::string> SnapshotCalls() {
    std::vector<std::string> out;
    OrvSim::Journal_var j = m_control->ReadJournal(m_seen + 1);
    for (CORBA::ULong i = 0; i < j->length(); ++i) {
      m_seen = j[i].seq;
      const std::string op(j[i].operation.in());
      if (op.rfind("GetMarketData", 0) == 0) out.push_back(op + " " + j[i].args.in());
    }
    return out;
  }

  std::vector<StockRecord> Get(CStocksDB& table, const char16_t* symbol) {
    std::vector<StockRecord> out;
    table.GetMarketData(CSymbolKey(symbol, 0), m_manager, out);
    return out;
  }

  TempDir m_dir;
  std::unique_ptr<orvsim::OrvSimProcess> m_sim;
  OrvSim::Control_var m_control;
  Orv::ZmDataManager_var m_manager;
  CORBA::ULong m_seen = 0;
  CStocksDB m_stocks{m_dir.File("alice"), false};
  CStocksDB m_direct{m_dir.File("alice"), true};
};

TEST_F(StocksServiceTest, AllStocksComeFromBaseAndQuoteSnapshotsInSymbolOrder) {
  SnapshotCalls();
  const std::vector<StockRecord> all = Get(m_stocks, u"");
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketDataAll data_type=1" + kBaseFields,
                                                        "GetMarketDataAll data_type=3" + kQuoteFields}));
  ASSERT_EQ(all.size(), 5u);
  std::vector<std::string> sorted = Symbols(all);
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(Symbols(all), sorted);
  for (const StockRecord& r : all) {
    // Base and quote fields of one stock merge into one record.
    EXPECT_GT(r.PriceClose, 0.0f) << static_cast<const char*>(r.Symbol);
    EXPECT_GT(r.AskPrice, 0.0f) << static_cast<const char*>(r.Symbol);
    EXPECT_NE(r.StockType[0], '\0') << static_cast<const char*>(r.Symbol);
  }
  // Nothing fetched this way is stored.
  std::vector<StockRecord> rows;
  m_stocks.GetMarketData(CSymbolKey(all[0].Symbol.GetBSTR(), 0), Orv::ZmDataManager::_nil(), rows);
  EXPECT_TRUE(rows.empty());
}

TEST_F(StocksServiceTest, OneSymbolComesFromTheTableOnceItHasARow) {
  const std::vector<StockRecord> all = Get(m_stocks, u"");
  ASSERT_FALSE(all.empty());
  const std::u16string symbol(all[0].Symbol.GetBSTR());
  const std::string narrow(static_cast<const char*>(all[0].Symbol));

  SnapshotCalls();
  std::vector<StockRecord> one = Get(m_stocks, symbol.c_str());
  ASSERT_EQ(Symbols(one), (std::vector<std::string>{narrow}));
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{
                                 "GetMarketData symbol=" + narrow + " symbol_type=1 data_type=1" + kBaseFields,
                                 "GetMarketData symbol=" + narrow + " symbol_type=1 data_type=3" + kQuoteFields}));

  // The subscribing path of the direct table stores the base snapshot; from
  // then on the row answers without a call.
  std::unique_ptr<CORBA::Any> base(RequestSnapshot(SnapshotKind::kEquityBase, CSymbolKey(symbol, 0), m_manager));
  m_direct.ApplyBaseReply(base.get());
  SnapshotCalls();
  one = Get(m_direct, symbol.c_str());
  ASSERT_EQ(Symbols(one), (std::vector<std::string>{narrow}));
  EXPECT_FLOAT_EQ(one[0].PriceClose, all[0].PriceClose);
  EXPECT_TRUE(SnapshotCalls().empty());
}

TEST_F(StocksServiceTest, TheDirectTableAsksForDirectQuotes) {
  SnapshotCalls();
  Get(m_direct, u"NOSUCH");
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketData symbol=NOSUCH symbol_type=1 data_type=1" + kBaseFields,
                                                        "GetMarketData symbol=NOSUCH symbol_type=1 data_type=10" + kQuoteFields}));
}

TEST_F(StocksServiceTest, CompressedSnapshotsAreUnpacked) {
  const std::vector<StockRecord> plain = Get(m_stocks, u"");
  ASSERT_EQ(m_manager->SetCompressionMode(1), 0);
  CSettings::UseCompression = 1;
  const std::vector<StockRecord> unzipped = Get(m_stocks, u"");
  ASSERT_EQ(Symbols(unzipped), Symbols(plain));
  for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(unzipped[i].PriceClose, plain[i].PriceClose);

  // A reply that is no archive adds nothing, and the call goes on.
  CSettings::UseCompression = 1;
  ASSERT_EQ(m_manager->SetCompressionMode(0), 0);
  LogCapture log(orvlog::kError);
  EXPECT_TRUE(Get(m_stocks, u"").empty());
  EXPECT_TRUE(log.Contains("Unzip error"));
}

TEST_F(StocksServiceTest, AServiceFailureReachesTheCaller) {
  m_control->DropConnections();
  std::vector<StockRecord> out;
  EXPECT_THROW(m_stocks.GetMarketData(CSymbolKey(u"", 0), m_manager, out), CORBA::SystemException);
  EXPECT_TRUE(out.empty());
}

}  // namespace
