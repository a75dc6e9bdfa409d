// The futures table's queries, interest rates and historical volatility
// against orvsim in its own process.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "ServiceOrb.h"
#include "TempDir.h"
#include "feed/CFuturesDB.h"
#include "feed/CHVDB.h"
#include "feed/CInterestRateDB.h"
#include "feed/CSettings.h"
#include "feed/CStocksDB.h"
#include "feed/RequestSnapshot.h"
namespace {

using orvtest::Resolve;

// The field lists that go with each request, as the service journals them.
const std::string kBaseFields = " fields=75,74,40";
const std::string kQuoteFields = " fields=75,74,6,8,7,9,10,12,11,13,14,16,15,17,18";
const std::string kRateFields = " fields=23,42,41";
const std::string kHvFields = " fields=2,3,62";

std::vector<std::string> Symbols(const std::vector<FutureRecord>& rows) {
  std::vector<std::string> out;
  for (const FutureRecord& r : rows) out.push_back(static_cast<const char*>(r.Symbol));
  return out;
}

using orvcom::Narrow;

class FuturesServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    orvlog::InitConsole();
    orvlog::SetLevel(orvlog::kWarn);
  }
  void SetUp() override {
    m_sim = std::make_unique<orvsim::OrvSimProcess>(
        m_dir.path(), std::vector<std::string>{"--rate", "0", "--stocks", "3", "--future-roots", "2", "--user",
                                               "alice:secret", "--log-level", "warn"});
    m_control = Resolve<OrvSim::Control>(m_sim->Get("control"));
    for (auto* side : {&m_equities, &m_futures}) {
      Orv::ZmDataService_var service =
          Resolve<Orv::ZmDataService>(m_sim->Get(side == &m_equities ? "equities" : "futures"));
      ASSERT_FALSE(CORBA::is_nil(service));
      *side = service->GetZmDataManager();
      ASSERT_EQ((*side)->Connect("alice", "secret"), 0);
    }
    ASSERT_TRUE(m_table.Initialize());
  }
  void TearDown() override { CSettings::UseCompression = 0; }

  // The snapshot calls the services received since the last look.
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

  std::vector<FutureRecord> Get(const char16_t* symbol, BYTE flag) {
    std::vector<FutureRecord> out;
    m_table.GetMarketData(CSymbolKey(symbol, flag), m_futures, out);
    return out;
  }

  TempDir m_dir;
  std::unique_ptr<orvsim::OrvSimProcess> m_sim;
  OrvSim::Control_var m_control;
  Orv::ZmDataManager_var m_equities, m_futures;
  CORBA::ULong m_seen = 0;
  CFuturesDB m_table{m_dir.File("alice")};
};

TEST_F(FuturesServiceTest, AllFuturesComeFromBaseAndQuoteSnapshotsInSymbolOrder) {
  SnapshotCalls();
  const std::vector<FutureRecord> all = Get(u"", 0);
  EXPECT_EQ(SnapshotCalls(),
            (std::vector<std::string>{"GetMarketDataAll data_type=13" + kBaseFields,
                                      "GetMarketDataAll data_type=14" + kQuoteFields}));
  ASSERT_EQ(all.size(), 8u);
  std::vector<std::string> sorted = Symbols(all);
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(Symbols(all), sorted);
  std::set<std::string> roots;
  for (const FutureRecord& r : all) {
    // Base and quote fields of one future merge into one record.
    roots.insert(Narrow(r.RootSymbol));
    EXPECT_GT(r.ExpirationDate, 40000.0) << Narrow(r.Symbol);
    EXPECT_GT(r.AskPrice, 0.0f) << Narrow(r.Symbol);
  }
  EXPECT_EQ(roots.size(), 2u);
  // Nothing fetched this way is stored.
  std::vector<FutureRecord> rows;
  m_table.GetMarketData(CSymbolKey(all[0].Symbol.GetBSTR(), 0), Orv::ZmDataManager::_nil(), rows);
  EXPECT_TRUE(rows.empty());
}

TEST_F(FuturesServiceTest, ARootOrAFutureComesFromTheTableOnceStored) {
  const std::vector<FutureRecord> all = Get(u"", 0);
  ASSERT_FALSE(all.empty());
  const std::string root = Narrow(all[0].RootSymbol);
  const std::u16string wideRoot(root.begin(), root.end());
  const std::string future = Narrow(all[0].Symbol);
  const std::u16string wideFuture(future.begin(), future.end());

  // A root is a group at the service (symbol type 1), a future one
  // instrument (2).
  const std::string byRoot = "GetMarketData symbol=" + root + " symbol_type=1";
  const std::string byFuture = "GetMarketData symbol=" + future + " symbol_type=2";
  SnapshotCalls();
  const std::vector<FutureRecord> ofRoot = Get(wideRoot.c_str(), 1);
  EXPECT_EQ(SnapshotCalls(),
            (std::vector<std::string>{byRoot + " data_type=13" + kBaseFields,
                                      byRoot + " data_type=14" + kQuoteFields}));
  ASSERT_EQ(ofRoot.size(), 4u);
  for (const FutureRecord& r : ofRoot) EXPECT_EQ(Narrow(r.RootSymbol), root);
  EXPECT_EQ(Symbols(Get(wideFuture.c_str(), 0)), (std::vector<std::string>{future}));
  EXPECT_EQ(SnapshotCalls(),
            (std::vector<std::string>{byFuture + " data_type=13" + kBaseFields,
                                      byFuture + " data_type=14" + kQuoteFields}));

  // The subscribing path stores the root's base snapshot; from then on the
  // rows answer without a call, by root and by future.
  std::unique_ptr<CORBA::Any> base(RequestSnapshot(SnapshotKind::kFutureBase, CSymbolKey(wideRoot, 1), m_futures));
  m_table.ApplyBaseReply(base.get());
  SnapshotCalls();
  const std::vector<FutureRecord> stored = Get(wideRoot.c_str(), 1);
  EXPECT_EQ(Symbols(stored).size(), 4u);
  const std::vector<FutureRecord> one = Get(wideFuture.c_str(), 0);
  ASSERT_EQ(Symbols(one), (std::vector<std::string>{future}));
  EXPECT_EQ(one[0].ExpirationDate, static_cast<double>(static_cast<float>(all[0].ExpirationDate)));
  EXPECT_TRUE(SnapshotCalls().empty());
}

TEST_F(FuturesServiceTest, CompressedSnapshotsAreUnpacked) {
  const std::vector<FutureRecord> plain = Get(u"", 0);
  ASSERT_EQ(m_futures->SetCompressionMode(1), 0);
  CSettings::UseCompression = 1;
  const std::vector<FutureRecord> unzipped = Get(u"", 0);
  ASSERT_EQ(Symbols(unzipped), Symbols(plain));
  for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(unzipped[i].ExpirationDate, plain[i].ExpirationDate);
}

TEST_F(FuturesServiceTest, InterestRatesOfAllCurrenciesOrOfOne) {
  SnapshotCalls();
  std::vector<InterestRateRecord> all;
  CInterestRateDB().GetMarketData(_bstr_t(""), m_equities, all);
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketDataAll data_type=8" + kRateFields}));
  std::set<std::string> currencies;
  for (const InterestRateRecord& r : all) {
    currencies.insert(Narrow(r.Currency));
    EXPECT_GT(r.Period, 0);
  }
  EXPECT_GT(currencies.size(), 1u);
  EXPECT_EQ(currencies.count("USD"), 1u);

  std::vector<InterestRateRecord> usd;
  CInterestRateDB().GetMarketData(_bstr_t("USD"), m_equities, usd);
  EXPECT_EQ(SnapshotCalls(),
            (std::vector<std::string>{"GetMarketData symbol=USD symbol_type=1 data_type=8" + kRateFields}));
  ASSERT_FALSE(usd.empty());
  for (const InterestRateRecord& r : usd) {
    EXPECT_EQ(Narrow(r.Currency), "USD");
    EXPECT_GT(r.Rate, 0.0f);
  }
  // Rates are never stored: the same request asks again.
  usd.clear();
  CInterestRateDB().GetMarketData(_bstr_t("USD"), m_equities, usd);
  EXPECT_EQ(SnapshotCalls().size(), 1u);
}

TEST_F(FuturesServiceTest, HistoricalVolatilityAlwaysAsksForOneSymbol) {
  std::vector<StockRecord> stocks;
  CStocksDB(m_dir.File("alice"), false).GetMarketData(CSymbolKey(u"", 0), m_equities, stocks);
  ASSERT_FALSE(stocks.empty());
  const std::string symbol = Narrow(stocks[0].Symbol);

  SnapshotCalls();
  std::vector<HVRecord> hv;
  CHVDB().GetMarketData(_bstr_t(symbol.c_str()), m_equities, hv);
  EXPECT_EQ(SnapshotCalls(),
            (std::vector<std::string>{"GetMarketData symbol=" + symbol + " symbol_type=1 data_type=9" + kHvFields}));
  ASSERT_GT(hv.size(), 1u);
  for (const HVRecord& r : hv) {
    EXPECT_EQ(Narrow(r.Symbol), symbol);
    EXPECT_GT(r.Period, 0);
    EXPECT_GT(r.HV, 0.0f);
  }

  // The empty symbol goes to the same one-symbol call; there is no form
  // for all symbols.
  std::vector<HVRecord> none;
  CHVDB().GetMarketData(_bstr_t(""), m_equities, none);
  const std::vector<std::string> calls = SnapshotCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("GetMarketData symbol=", 0), 0u) << calls[0];
  EXPECT_NE(calls[0].find("symbol_type=1 data_type=9" + kHvFields), std::string::npos) << calls[0];

  // Compressed replies are unpacked as every other snapshot.
  ASSERT_EQ(m_equities->SetCompressionMode(1), 0);
  CSettings::UseCompression = 1;
  std::vector<HVRecord> unzipped;
  CHVDB().GetMarketData(_bstr_t(symbol.c_str()), m_equities, unzipped);
  ASSERT_EQ(unzipped.size(), hv.size());
  for (size_t i = 0; i < hv.size(); ++i) EXPECT_EQ(unzipped[i].HV, hv[i].HV);
}

TEST_F(FuturesServiceTest, AServiceFailureReachesTheCaller) {
  m_control->DropConnections();
  std::vector<FutureRecord> out;
  EXPECT_THROW(m_table.GetMarketData(CSymbolKey(u"", 0), m_futures, out), CORBA::SystemException);
  std::vector<HVRecord> hv;
  EXPECT_THROW(CHVDB().GetMarketData(_bstr_t("X"), m_equities, hv), CORBA::SystemException);
  std::vector<InterestRateRecord> rates;
  EXPECT_THROW(CInterestRateDB().GetMarketData(_bstr_t(""), m_equities, rates), CORBA::SystemException);
}

}  // namespace
