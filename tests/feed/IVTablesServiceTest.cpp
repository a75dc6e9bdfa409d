// The IV tables' queries against orvsim in its own process: rows from the
// table when it has them, snapshots of the equities or futures service when
// it has not.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Idl/OrvPayload.h"
#include "LogCapture.h"
#include "OrvSimControl.hh"
#include "OrvSimProcess.h"
#include "ServiceOrb.h"
#include "TempDir.h"
#include "feed/CFutIVIndexDB.h"
#include "feed/CFutIVSurfaceDB.h"
#include "feed/CIVIndexDB.h"
#include "feed/CIVSurfaceDB.h"
#include "feed/CSettings.h"
#include "feed/MessageFormat.h"
#include "feed/RequestSnapshot.h"
namespace {

using orvtest::Resolve;

std::string Symbol(const _bstr_t& s) { return !s ? "" : static_cast<const char*>(s); }

std::string Row(const IVIndexRecord& r) {
  std::ostringstream s;
  s << Symbol(r.Symbol) << "/" << r.Term << "/" << r.IVIndexCall << "/" << r.IVIndexPut;
  return s.str();
}

std::string Row(const IVSurfaceRecord& r) {
  std::ostringstream s;
  s << Symbol(r.Symbol) << "/" << r.Term << "/" << r.Otm << "/" << r.Type << "/" << r.VirtualStrike << "/" << r.IV
    << "/" << r.Delta;
  return s.str();
}

template <class R>
std::multiset<std::string> Rows(const std::vector<R>& records) {
  std::multiset<std::string> out;
  for (const R& r : records) out.insert(Row(r));
  return out;
}

// Stores a snapshot reply the way the pull thread stores a pulled message.
void Store(CLiteDB& table, const CORBA::Any* reply) {
  const orvidl::ReplyOctets octets = orvidl::ReplyData(reply);
  ASSERT_FALSE(octets.empty());
  ASSERT_TRUE(WalkMessage(octets.data, octets.size, [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
    return table.UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
  }));
}

class IVTablesServiceTest : public ::testing::Test {
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
    ASSERT_TRUE(m_ivx.Initialize());
    ASSERT_TRUE(m_ivs.Initialize());
    ASSERT_TRUE(m_futIvx.Initialize());
    ASSERT_TRUE(m_futIvs.Initialize());
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

  // Every point of the table's kind from the service, then one symbol's
  // points stored from its own snapshot and read back from the table.
  template <class Table>
  void CheckTable(Table& table, Orv::ZmDataManager_ptr manager, uint8_t type, const std::string& fields) {
    SCOPED_TRACE(static_cast<int>(type));
    const std::string code = std::to_string(type) + " fields=" + fields;
    SnapshotCalls();
    typename Table::Records all;
    table.GetMarketData(u"", manager, all);
    EXPECT_EQ(SnapshotCalls(), (std::vector<std::string>{"GetMarketDataAll data_type=" + code}));
    ASSERT_FALSE(all.empty());
    const std::string symbol = Symbol(all[0].Symbol);
    ASSERT_FALSE(symbol.empty());
    const std::u16string wide(all[0].Symbol.GetBSTR());

    // Nothing fetched so is stored: the symbol is asked for again.
    typename Table::Records one;
    table.GetMarketData(wide, manager, one);
    EXPECT_EQ(SnapshotCalls(),
              (std::vector<std::string>{"GetMarketData symbol=" + symbol + " symbol_type=1 data_type=" + code}));
    ASSERT_FALSE(one.empty());
    for (const auto& r : one) EXPECT_EQ(Symbol(r.Symbol), symbol);

    std::unique_ptr<CORBA::Any> reply(RequestSnapshot(type, 1, CSymbolKey(wide, 0), manager));
    Store(table, reply.get());
    SnapshotCalls();
    typename Table::Records stored;
    table.GetMarketData(wide, manager, stored);
    EXPECT_TRUE(SnapshotCalls().empty());
    EXPECT_EQ(Rows(stored), Rows(one));
  }

  TempDir m_dir;
  std::unique_ptr<orvsim::OrvSimProcess> m_sim;
  OrvSim::Control_var m_control;
  Orv::ZmDataManager_var m_equities;
  Orv::ZmDataManager_var m_futures;
  CORBA::ULong m_seen = 0;
  CIVIndexDB m_ivx{m_dir.File("alice")};
  CIVSurfaceDB m_ivs{m_dir.File("alice")};
  CFutIVIndexDB m_futIvx{m_dir.File("alice")};
  CFutIVSurfaceDB m_futIvs{m_dir.File("alice")};
};

TEST_F(IVTablesServiceTest, EachTableAsksItsOwnServiceAndAnswersFromItsRowsOnceStored) {
  CheckTable(m_ivx, m_equities, T_IVINDEX, "2,3,37,38");
  CheckTable(m_ivs, m_equities, T_IVSURFACE, "2,3,4,5,32,26,27");
  CheckTable(m_futIvx, m_futures, T_FUTURE_IVINDEX, "2,3,37,38");
  CheckTable(m_futIvs, m_futures, T_FUTURE_IVSURFACE, "2,3,4,5,32,26,27");
}

TEST_F(IVTablesServiceTest, SurfaceSnapshotsCarryEveryFieldAndCompressedOnesAreUnpacked) {
  std::vector<IVSurfaceRecord> plain;
  m_futIvs.GetMarketData(u"", m_futures, plain);
  ASSERT_FALSE(plain.empty());
  std::set<LONG> types;
  for (const IVSurfaceRecord& r : plain) {
    EXPECT_GT(r.Term, 0) << Row(r);
    EXPECT_GT(r.VirtualStrike, 0.0f) << Row(r);
    EXPECT_GT(r.IV, 0.0f) << Row(r);
    types.insert(r.Type);
  }
  EXPECT_EQ(types, (std::set<LONG>{0, 1}));

  ASSERT_EQ(m_futures->SetCompressionMode(1), 0);
  CSettings::UseCompression = 1;
  std::vector<IVSurfaceRecord> unzipped;
  m_futIvs.GetMarketData(u"", m_futures, unzipped);
  EXPECT_EQ(Rows(unzipped), Rows(plain));

  // A reply that is no archive adds nothing, and the call goes on.
  ASSERT_EQ(m_futures->SetCompressionMode(0), 0);
  LogCapture log(orvlog::kError);
  std::vector<IVSurfaceRecord> none;
  m_futIvs.GetMarketData(u"", m_futures, none);
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(log.Contains("Unzip error"));
}

TEST_F(IVTablesServiceTest, AServiceFailureReachesTheCaller) {
  m_control->DropConnections();
  std::vector<IVIndexRecord> out;
  EXPECT_THROW(m_ivx.GetMarketData(u"", m_equities, out), CORBA::SystemException);
  EXPECT_TRUE(out.empty());
}

}  // namespace
