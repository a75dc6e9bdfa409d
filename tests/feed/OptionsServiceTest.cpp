// The option tables' queries against orvsim in its own process: rows from
// the table when it can serve them, the service's snapshot alone when not.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Idl/OrvPayload.h"
#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "ServiceOrb.h"
#include "TempDir.h"
#include "feed/CFutureOptionsDB.h"
#include "feed/CNstdOptionsDB.h"
#include "feed/COptionsDB.h"
#include "feed/CSettings.h"
#include "feed/MessageFormat.h"
#include "feed/RequestSnapshot.h"
namespace {

using orvtest::Resolve;

template <class Record>
std::vector<std::string> Symbols(const std::vector<Record>& rows) {
  std::vector<std::string> out;
  for (const Record& r : rows) out.push_back(static_cast<const char*>(r.Symbol));
  return out;
}

template <class Record>
bool SortedAndDistinct(const std::vector<Record>& rows) {
  const std::vector<std::string> s = Symbols(rows);
  return std::adjacent_find(s.begin(), s.end(), [](const std::string& a, const std::string& b) { return a >= b; }) ==
         s.end();
}

using orvcom::BstrText;

// Hands each block of a snapshot reply to the table as the pull thread
// hands it the blocks of a pull reply.
template <class Table>
void Feed(Table& table, const CORBA::Any* reply) {
  const orvidl::ReplyOctets octets = orvidl::ReplyData(reply);
  ASSERT_FALSE(octets.empty());
  ASSERT_TRUE(WalkMessage(octets.data, octets.size, [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
    return table.UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
  }));
}

class OptionsServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    orvlog::InitConsole();
    orvlog::SetLevel(orvlog::kWarn);
  }
  void SetUp() override {
    m_sim = std::make_unique<orvsim::OrvSimProcess>(
        m_dir.path(), std::vector<std::string>{"--rate", "0", "--stocks", "2", "--future-roots", "1", "--user",
                                               "alice:secret", "--log-level", "warn"});
    m_control = Resolve<OrvSim::Control>(m_sim->Get("control"));
    for (const char* name : {"equities", "futures"}) {
      Orv::ZmDataService_var service = Resolve<Orv::ZmDataService>(m_sim->Get(name));
      ASSERT_FALSE(CORBA::is_nil(service));
      Orv::ZmDataManager_var manager = service->GetZmDataManager();
      ASSERT_EQ(manager->Connect("alice", "secret"), 0);
      (std::string(name) == "equities" ? m_equities : m_futures) = manager;
    }
    for (CLiteDB* table : std::initializer_list<CLiteDB*>{&m_options, &m_direct, &m_nstd, &m_futOptions}) {
      ASSERT_TRUE(table->Initialize());
    }
  }
  void TearDown() override { CSettings::UseCompression = 0; }

  // The snapshot calls the services received since the last look.
  std::vector<std::string> SnapshotCalls() {
    std::vector<std::string> out;
    OrvSim::Journal_var j = m_control->ReadJournal(m_seen + 1);
    for (CORBA::ULong i = 0; i < j->length(); ++i) {
      m_seen = j[i].seq;
      const std::string op(j[i].operation.in());
      if (op.rfind("GetMarketData", 0) != 0) continue;
      // The field lists sent are the snapshot request's own concern.
      std::string args(j[i].args.in());
      args = args.substr(0, args.find(" fields="));
      out.push_back(op + " " + args);
    }
    return out;
  }

  template <class Table>
  std::vector<typename Table::Record> Get(Table& table, Orv::ZmDataManager_ptr manager, const std::u16string& symbol,
                                          BYTE flag) {
    std::vector<typename Table::Record> out;
    table.GetMarketData(CSymbolKey(symbol, flag), manager, out);
    return out;
  }

  TempDir m_dir;
  std::unique_ptr<orvsim::OrvSimProcess> m_sim;
  OrvSim::Control_var m_control;
  Orv::ZmDataManager_var m_equities;
  Orv::ZmDataManager_var m_futures;
  CORBA::ULong m_seen = 0;
  COptionsDB m_options{m_dir.File("alice"), false};
  COptionsDB m_direct{m_dir.File("alice"), true};
  CNstdOptionsDB m_nstd{m_dir.File("alice")};
  CFutureOptionsDB m_futOptions{m_dir.File("alice")};
};

TEST_F(OptionsServiceTest, AnUnderlyingComesFromTheServiceUntilTheTableHoldsItsQuotedOptions) {
  SnapshotCalls();
  const std::vector<OptionRecord> all = Get(m_options, m_equities, u"", 0);
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketDataAll data_type=2", "GetMarketDataAll data_type=4",
                                                        "GetMarketDataAll data_type=5"}));
  ASSERT_GE(all.size(), 100u);
  EXPECT_TRUE(SortedAndDistinct(all));
  // Base, quote and analytics of one option merge into one record.
  for (const OptionRecord& r : all) {
    ASSERT_GT(r.StrikePrice, 0.0f) << static_cast<const char*>(r.Symbol);
    ASSERT_GT(r.AskPrice, 0.0f) << static_cast<const char*>(r.Symbol);
    ASSERT_GT(r.IV, 0.0f) << static_cast<const char*>(r.Symbol);
  }

  const std::u16string underlying = BstrText(all[0].StockSymbol);
  const std::string narrow(static_cast<const char*>(all[0].StockSymbol));
  const std::vector<std::string> calls = {"GetMarketData symbol=" + narrow + " symbol_type=1 data_type=2",
                                          "GetMarketData symbol=" + narrow + " symbol_type=1 data_type=4",
                                          "GetMarketData symbol=" + narrow + " symbol_type=1 data_type=5"};
  const std::vector<OptionRecord> fetched = Get(m_options, m_equities, underlying, 0);
  EXPECT_EQ(SnapshotCalls(), calls);
  ASSERT_GE(fetched.size(), 50u);

  // The base rows alone (no bid yet) do not serve: the answer is the
  // snapshot, each option once.
  std::unique_ptr<CORBA::Any> base(RequestSnapshot(SnapshotKind::kOptionBase, CSymbolKey(underlying, 0), m_equities));
  m_options.ApplyBaseReply(base.get());
  SnapshotCalls();
  std::vector<OptionRecord> again = Get(m_options, m_equities, underlying, 0);
  EXPECT_EQ(SnapshotCalls(), calls);
  EXPECT_EQ(Symbols(again), Symbols(fetched));

  // With the quotes stored the table answers alone.
  std::unique_ptr<CORBA::Any> quotes(
      RequestSnapshot(SnapshotKind::kOptionQuote, CSymbolKey(underlying, 0), m_equities));
  Feed(m_options, quotes.get());
  SnapshotCalls();
  const std::vector<OptionRecord> rows = Get(m_options, m_equities, underlying, 0);
  EXPECT_TRUE(SnapshotCalls().empty());
  std::set<std::string> fromTable;
  for (const OptionRecord& r : rows) fromTable.insert(static_cast<const char*>(r.Symbol));
  const std::vector<std::string> fetchedSymbols = Symbols(fetched);
  EXPECT_EQ(fromTable, std::set<std::string>(fetchedSymbols.begin(), fetchedSymbols.end()));
  for (const OptionRecord& r : rows) EXPECT_EQ(static_cast<const char*>(r.StockSymbol), narrow);

  // One option is fewer than 50 rows: the service, asked for that option.
  const std::string option(static_cast<const char*>(fetched[0].Symbol));
  const std::vector<OptionRecord> one = Get(m_options, m_equities, BstrText(fetched[0].Symbol), 1);
  EXPECT_EQ(Symbols(one), std::vector<std::string>{option});
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketData symbol=" + option + " symbol_type=2 data_type=2",
                                                        "GetMarketData symbol=" + option + " symbol_type=2 data_type=4",
                                                        "GetMarketData symbol=" + option + " symbol_type=2 data_type=5"}));
}

TEST_F(OptionsServiceTest, TheDirectTableAsksForDirectQuotesWithoutAnalytics) {
  SnapshotCalls();
  const std::vector<OptionRecord> all = Get(m_direct, m_equities, u"", 0);
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketDataAll data_type=2", "GetMarketDataAll data_type=11"}));
  ASSERT_FALSE(all.empty());
  EXPECT_GT(all[0].BidPrice, 0.0f);
  EXPECT_EQ(all[0].IV, 0.0f);
}

TEST_F(OptionsServiceTest, CompressedSnapshotsAreUnpacked) {
  const std::vector<OptionRecord> plain = Get(m_options, m_equities, u"", 0);
  ASSERT_EQ(m_equities->SetCompressionMode(1), 0);
  CSettings::UseCompression = 1;
  const std::vector<OptionRecord> unzipped = Get(m_options, m_equities, u"", 0);
  ASSERT_EQ(Symbols(unzipped), Symbols(plain));
  for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(unzipped[i].StrikePrice, plain[i].StrikePrice);
}

TEST_F(OptionsServiceTest, NonStandardOptionsComeWithTheirRoots) {
  SnapshotCalls();
  const std::vector<NstdOptionRecord> all = Get(m_nstd, m_equities, u"", 0);
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketDataAll data_type=23",
                                                        "GetMarketDataAll data_type=24",
                                                        "GetMarketDataAll data_type=25"}));
  ASSERT_FALSE(all.empty());
  EXPECT_TRUE(SortedAndDistinct(all));
  for (const NstdOptionRecord& r : all) {
    EXPECT_NE(r.RootID, 0) << static_cast<const char*>(r.Symbol);
    EXPECT_GT(r.AskPrice, 0.0f) << static_cast<const char*>(r.Symbol);
  }
}

TEST_F(OptionsServiceTest, FuturesOptionsComeByFutureOrByOption) {
  SnapshotCalls();
  const std::vector<OptionRecord> all = Get(m_futOptions, m_futures, u"", 0);
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketDataAll data_type=15",
                                                        "GetMarketDataAll data_type=16"}));
  ASSERT_FALSE(all.empty());
  EXPECT_TRUE(SortedAndDistinct(all));

  // A future's few options never serve from the table: stored or not, the
  // answer is the snapshot alone.
  const std::u16string future = BstrText(all[0].StockSymbol);
  const std::string narrow(static_cast<const char*>(all[0].StockSymbol));
  std::unique_ptr<CORBA::Any> base(
      RequestSnapshot(SnapshotKind::kFutureOptionBase, CSymbolKey(future, 0), m_futures));
  m_futOptions.ApplyBaseReply(base.get());
  std::unique_ptr<CORBA::Any> quotes(
      RequestSnapshot(SnapshotKind::kFutureOptionQuote, CSymbolKey(future, 0), m_futures));
  Feed(m_futOptions, quotes.get());
  SnapshotCalls();
  const std::vector<OptionRecord> byFuture = Get(m_futOptions, m_futures, future, 0);
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketData symbol=" + narrow + " symbol_type=1 data_type=15",
                                                        "GetMarketData symbol=" + narrow + " symbol_type=1 data_type=16"}));
  ASSERT_FALSE(byFuture.empty());
  EXPECT_TRUE(SortedAndDistinct(byFuture));
  for (const OptionRecord& r : byFuture) {
    EXPECT_EQ(static_cast<const char*>(r.StockSymbol), narrow);
    EXPECT_GT(r.StrikePrice, 0.0f);
    EXPECT_GT(r.AskPrice, 0.0f);
  }

  const std::string option(static_cast<const char*>(byFuture[0].Symbol));
  EXPECT_EQ(Symbols(Get(m_futOptions, m_futures, BstrText(byFuture[0].Symbol), 1)), std::vector<std::string>{option});
  EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketData symbol=" + option + " symbol_type=2 data_type=15",
                                                        "GetMarketData symbol=" + option + " symbol_type=2 data_type=16"}));
}

TEST_F(OptionsServiceTest, AServiceFailureReachesTheCaller) {
  m_control->DropConnections();
  std::vector<OptionRecord> out;
  EXPECT_THROW(m_options.GetMarketData(CSymbolKey(u"", 0), m_equities, out), CORBA::SystemException);
  EXPECT_TRUE(out.empty());
}

}  // namespace
