// The four IV tables against their blocks: what is stored, what each client
// is sent, what a late subscriber and a query get, and the deletes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "MessageBuilder.h"
#include "TempDir.h"
#include "feed/CFutIVIndexDB.h"
#include "feed/CFutIVSurfaceDB.h"
#include "feed/CIVIndexDB.h"
#include "feed/CIVSurfaceDB.h"
#include "feed/MessageFormat.h"
#include "server/CIVSurfaces.h"
#include "server/contract/CZmOrvEventSource.h"
#include "tests/server/CursorTestSupport.h"

using orvtest::Text;
using orvtest::Value;

namespace {

std::string Row(const std::string& symbol, SHORT term, float call, float put) {
  std::ostringstream s;
  s << symbol << "/" << term << "/" << call << "/" << put;
  return s.str();
}

std::string Row(const std::string& symbol, SHORT term, float otm, LONG type, float vstrike, float iv, float delta) {
  std::ostringstream s;
  s << symbol << "/" << term << "/" << otm << "/" << (type == 0 ? "C" : "P") << "/" << vstrike << "/" << iv << "/"
    << delta;
  return s.str();
}

std::string SymbolText(const _bstr_t& s) { return !s ? "<null>" : static_cast<const char*>(s); }

std::string Row(const IVIndexRecord& r) { return Row(SymbolText(r.Symbol), r.Term, r.IVIndexCall, r.IVIndexPut); }
std::string Row(const IVSurfaceRecord& r) {
  return Row(SymbolText(r.Symbol), r.Term, r.Otm, r.Type, r.VirtualStrike, r.IV, r.Delta);
}

template <class R>
std::vector<std::string> Rows(const std::vector<R>& records, bool sorted = true) {
  std::vector<std::string> out;
  for (const R& r : records) out.push_back(Row(r));
  if (sorted) std::sort(out.begin(), out.end());
  return out;
}

typedef std::vector<std::string> Strings;

}  // namespace

// What one IV event carried, read back through its cursor.
struct IVEvent {
  std::string kind;  // "ivx", "ivs", "futivx", "futivs"
  Strings rows;      // in cursor order
};

// A client as the event tasks see it: it keeps every IV event.
class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnOptionsChange(IOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFuturesChange(IFuturesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt*) override { return E_NOTIMPL; }

  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt* p) override {
    return Keep("ivx", p, [](IIVIndexesEnt* c, bool* empty) {
      const std::string symbol = Text(c, &IIVIndexesEnt::get_StockSymbol);
      const SHORT term = Value(c, &IIVIndexesEnt::get_Term);
      *empty = (symbol == "<null>" || symbol.empty()) && term == 0;
      return Row(symbol, term, Value(c, &IIVIndexesEnt::get_IVIndexCall), Value(c, &IIVIndexesEnt::get_IVIndexPut));
    });
  }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt* p) override {
    return Keep("futivx", p, [](IFutIVIndexesEnt* c, bool* empty) {
      const std::string symbol = Text(c, &IFutIVIndexesEnt::get_UnderlyingSymbol);
      const SHORT term = Value(c, &IFutIVIndexesEnt::get_Term);
      *empty = (symbol == "<null>" || symbol.empty()) && term == 0;
      return Row(symbol, term, Value(c, &IFutIVIndexesEnt::get_IVIndexCall),
                 Value(c, &IFutIVIndexesEnt::get_IVIndexPut));
    });
  }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt* p) override {
    return Keep("ivs", p, [](IIVSurfacesEnt* c, bool* empty) {
      const std::string symbol = Text(c, &IIVSurfacesEnt::get_StockSymbol);
      const SHORT term = Value(c, &IIVSurfacesEnt::get_Term);
      *empty = (symbol == "<null>" || symbol.empty()) && term == 0;
      return Row(symbol, term, Value(c, &IIVSurfacesEnt::get_Otm), Value(c, &IIVSurfacesEnt::get_Type),
                 Value(c, &IIVSurfacesEnt::get_VirtualStrike), Value(c, &IIVSurfacesEnt::get_IV),
                 Value(c, &IIVSurfacesEnt::get_Delta));
    });
  }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt* p) override {
    return Keep("futivs", p, [](IFutIVSurfacesEnt* c, bool* empty) {
      const std::string symbol = Text(c, &IFutIVSurfacesEnt::get_UnderlyingSymbol);
      const SHORT term = Value(c, &IFutIVSurfacesEnt::get_Term);
      *empty = (symbol == "<null>" || symbol.empty()) && term == 0;
      return Row(symbol, term, Value(c, &IFutIVSurfacesEnt::get_Otm), Value(c, &IFutIVSurfacesEnt::get_Type),
                 Value(c, &IFutIVSurfacesEnt::get_VirtualStrike), Value(c, &IFutIVSurfacesEnt::get_IV),
                 Value(c, &IFutIVSurfacesEnt::get_Delta));
    });
  }

  std::vector<IVEvent> Events() {
    std::lock_guard<std::mutex> l(m_mutex);
    return m_events;
  }
  // Bounded: a broken pool fails the test instead of hanging it.
  bool WaitForEvents(size_t n) {
    std::unique_lock<std::mutex> l(m_mutex);
    return m_cv.wait_for(l, std::chrono::seconds(20), [&] { return m_events.size() >= n; });
  }

 private:
  template <class I, class F>
  HRESULT Keep(const char* kind, I* cursor, F read) {
    IVEvent e;
    e.kind = kind;
    // A cursor has no count: an empty one shows an all-zero record.
    for (VARIANT_BOOL more = VARIANT_TRUE; more == VARIANT_TRUE;) {
      bool empty = false;
      const std::string row = read(cursor, &empty);
      if (empty) break;
      e.rows.push_back(row);
      cursor->Next(&more);
    }
    std::lock_guard<std::mutex> l(m_mutex);
    m_events.push_back(e);
    m_cv.notify_all();
    return S_OK;
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<IVEvent> m_events;
};

namespace {

// A table with its event tasks run at once on the calling thread, so that a
// test sees every event before the call returns.
template <class Table>
class Inline : public Table {
 public:
  using Table::Table;
  using typename Table::Records;

  bool _QueueTask(CWorkerInterface* task) override {
    ++queued;
    if (refuse) return false;
    if (!runInline) return Table::_QueueTask(task);
    task->DoTask();
    delete task;
    return true;
  }

  // The table's rows, sorted.
  Strings Stored(const std::string& symbol = "") {
    Records out;
    this->_RequestDB(symbol, out);
    return ::Rows(out);
  }

  bool runInline = true;
  bool refuse = false;
  int queued = 0;
};

struct Ivx {
  std::string symbol;
  int16_t term;
  float call, put;
};

struct Ivs {
  std::string symbol;
  int16_t term;
  float otm;
  char type;
  float vstrike, iv, delta;
};

MessageBuilder IndexBlock(uint8_t type, const std::vector<Ivx>& points, uint8_t isLast = 1) {
  MessageBuilder m;
  m.Block(type, static_cast<uint32_t>(points.size()), {2, 3, 37, 38}, isLast);
  for (const Ivx& p : points) m.Text(p.symbol, 12).I16(p.term).Float(p.call).Float(p.put);
  return m;
}

// The level is a 4-byte integer in equity blocks and a float in futures ones.
MessageBuilder SurfaceBlock(uint8_t type, const std::vector<Ivs>& points, uint8_t isLast = 1) {
  MessageBuilder m;
  m.Block(type, static_cast<uint32_t>(points.size()), {2, 3, 4, 5, 32, 26, 27}, isLast);
  for (const Ivs& p : points) {
    m.Text(p.symbol, 12).I16(p.term);
    if (type == T_IVSURFACE) {
      m.I32(static_cast<int32_t>(p.otm));
    } else {
      m.Float(p.otm);
    }
    m.U8(static_cast<uint8_t>(p.type)).Float(p.vstrike).Float(p.iv).Float(p.delta);
  }
  return m;
}

// Walks a message the way the pull thread does. Whether the walk reached
// the last block.
bool Apply(CLiteDB& table, const MessageBuilder& m) {
  return WalkMessage(m.data(), m.size(), [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
    return table.UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false);
  });
}

class IVTablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    ASSERT_TRUE(ivx.Initialize());
    ASSERT_TRUE(ivs.Initialize());
    ASSERT_TRUE(futIvx.Initialize());
    ASSERT_TRUE(futIvs.Initialize());
  }
  void TearDown() override {
    for (auto& c : m_handles) c->Detach();
  }

  struct Client {
    CZmOrvEnt* events;
    CEventClientPtr handle;
  };
  Client NewClient() {
    m_clients.push_back(std::make_unique<CZmOrvEnt>());
    m_handles.push_back(CEventClient::Create(m_clients.back().get()));
    return {m_clients.back().get(), m_handles.back()};
  }

  TempDir m_dir;
  std::vector<std::unique_ptr<CZmOrvEnt>> m_clients;
  std::vector<CEventClientPtr> m_handles;
  Inline<CIVIndexDB> ivx{m_dir.File("alice")};
  Inline<CIVSurfaceDB> ivs{m_dir.File("alice")};
  Inline<CFutIVIndexDB> futIvx{m_dir.File("alice")};
  Inline<CFutIVSurfaceDB> futIvs{m_dir.File("alice")};
};

TEST_F(IVTablesTest, IndexRowsAreUpsertedByTermWithinAndAcrossBlocks) {
  auto check = [](auto& table, uint8_t type) {
    SCOPED_TRACE(static_cast<int>(type));
    // A new symbol whose block repeats a term: the later point wins and the
    // rest of the block stays.
    ASSERT_TRUE(Apply(table, IndexBlock(type, {{"AAA", 30, 0.25f, 0.5f},
                                               {"AAA", 60, 0.3f, 0.35f},
                                               {"BBB", 30, 0.1f, 0.2f},
                                               {"BBB", 30, 0.15f, 0.25f},
                                               {"CCC", 30, 0.4f, 0.45f}})));
    EXPECT_EQ(table.Stored(), (Strings{"AAA/30/0.25/0.5", "AAA/60/0.3/0.35", "BBB/30/0.15/0.25", "CCC/30/0.4/0.45"}));

    // A known symbol: its known term is updated, its new term added.
    ASSERT_TRUE(Apply(table, IndexBlock(type, {{"AAA", 30, 0.27f, 0.52f}, {"AAA", 90, 0.33f, 0.31f}})));
    EXPECT_EQ(table.Stored(), (Strings{"AAA/30/0.27/0.52", "AAA/60/0.3/0.35", "AAA/90/0.33/0.31",
                                       "BBB/30/0.15/0.25", "CCC/30/0.4/0.45"}));

    // A symbol that comes back later in the same block is known by then.
    ASSERT_TRUE(Apply(table, IndexBlock(type, {{"DDD", 30, 0.1f, 0.1f},
                                               {"EEE", 30, 0.2f, 0.2f},
                                               {"DDD", 30, 0.3f, 0.3f},
                                               {"DDD", 60, 0.4f, 0.4f}})));
    EXPECT_EQ(table.Stored("DDD"), (Strings{"DDD/30/0.3/0.3", "DDD/60/0.4/0.4"}));
  };
  check(ivx, T_IVINDEX);
  check(futIvx, T_FUTURE_IVINDEX);
  // The tables share the file but not their rows.
  ivx.DeleteSymbol(u"", 0);
  EXPECT_TRUE(ivx.Stored().empty());
  EXPECT_EQ(futIvx.Stored("AAA").size(), 3u);
}

TEST_F(IVTablesTest, SurfaceRowsAreKeyedByTermLevelAndType) {
  ASSERT_TRUE(Apply(ivs, SurfaceBlock(T_IVSURFACE, {{"AAA", 30, 10, 'C', 110, 0.3f, 0.4f},
                                                     {"AAA", 30, 10, 'P', 110, 0.31f, -0.6f},
                                                     {"AAA", 30, -10, 'X', 90, 0.32f, -0.2f},
                                                     {"AAA", 30, 10, 'C', 111, 0.33f, 0.41f}})));
  // Any letter but C is a put.
  EXPECT_EQ(ivs.Stored(),
            (Strings{"AAA/30/-10/P/90/0.32/-0.2", "AAA/30/10/C/111/0.33/0.41", "AAA/30/10/P/110/0.31/-0.6"}));

  ASSERT_TRUE(Apply(ivs, SurfaceBlock(T_IVSURFACE, {{"AAA", 30, 10, 'P', 112, 0.34f, -0.61f},
                                                     {"AAA", 30, -10, 'C', 91, 0.35f, 0.8f},
                                                     {"AAA", 60, 10, 'P', 113, 0.36f, -0.62f}})));
  EXPECT_EQ(ivs.Stored(),
            (Strings{"AAA/30/-10/C/91/0.35/0.8", "AAA/30/-10/P/90/0.32/-0.2", "AAA/30/10/C/111/0.33/0.41",
                     "AAA/30/10/P/112/0.34/-0.61", "AAA/60/10/P/113/0.36/-0.62"}));
}

TEST_F(IVTablesTest, FractionalFuturesLevelsAreKeptAndKeyedAsTheyCame) {
  Client c = NewClient();
  futIvs.Subscribe(c.handle, CSymbolKey(u"ES", 0));
  ASSERT_TRUE(Apply(futIvs, SurfaceBlock(T_FUTURE_IVSURFACE, {{"ES", 30, 2.5f, 'C', 4100, 0.2f, 0.45f},
                                                               {"ES", 30, 2.0f, 'C', 4050, 0.21f, 0.5f},
                                                               {"ES", 30, -2.5f, 'P', 3900, 0.22f, -0.4f}})));
  ASSERT_TRUE(Apply(futIvs, SurfaceBlock(T_FUTURE_IVSURFACE, {{"ES", 30, 2.5f, 'C', 4101, 0.23f, 0.46f}})));

  const Strings expected{"ES/30/-2.5/P/3900/0.22/-0.4", "ES/30/2.5/C/4101/0.23/0.46", "ES/30/2/C/4050/0.21/0.5"};
  EXPECT_EQ(futIvs.Stored(), expected);
  std::vector<IVSurfaceRecord> out;
  futIvs.GetMarketData(u"ES", Orv::ZmDataManager::_nil(), out);
  EXPECT_EQ(Rows(out), expected);

  const std::vector<IVEvent> events = c.events->Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, "futivs");
  EXPECT_EQ(events[0].rows[0], "ES/30/2.5/C/4100/0.2/0.45");
  EXPECT_EQ(events[1].rows, (Strings{"ES/30/2.5/C/4101/0.23/0.46"}));
}

// A level that is not a number is stored as NULL; the point is still one row
// per term and type, however often a block brings it, and it reads back
// without a level rather than as level 0.
TEST_F(IVTablesTest, APointWithoutALevelIsUpdatedNotAddedAgain) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const MessageBuilder first = SurfaceBlock(T_FUTURE_IVSURFACE, {{"CL", 30, nan, 'C', 80, 0.3f, 0.5f},
                                                                 {"CL", 30, nan, 'P', 80, 0.31f, -0.5f},
                                                                 {"CL", 30, 0.0f, 'C', 78, 0.32f, 0.6f},
                                                                 {"CL", 30, nan, 'C', 81, 0.33f, 0.51f}});
  const MessageBuilder again = SurfaceBlock(T_FUTURE_IVSURFACE, {{"CL", 30, nan, 'C', 82, 0.34f, 0.52f}});
  ASSERT_TRUE(Apply(futIvs, first));
  const Strings afterFirst{"CL/30/0/C/78/0.32/0.6", "CL/30/nan/C/81/0.33/0.51", "CL/30/nan/P/80/0.31/-0.5"};
  EXPECT_EQ(futIvs.Stored(), afterFirst);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Apply(futIvs, first));
  EXPECT_EQ(futIvs.Stored(), afterFirst);
  ASSERT_TRUE(Apply(futIvs, again));
  EXPECT_EQ(futIvs.Stored(),
            (Strings{"CL/30/0/C/78/0.32/0.6", "CL/30/nan/C/82/0.34/0.52", "CL/30/nan/P/80/0.31/-0.5"}));
}

TEST_F(IVTablesTest, ReservedIdsAreSteppedOverAndOmittedFieldsKeepThePreviousValue) {
  MessageBuilder index;
  index.Block(T_IVINDEX, 2, {2, 43, 3, 37, 38});
  index.Text("AAA", 12).Float(99.0f).I16(30).Float(0.25f).Float(0.5f);
  index.Text("AAA", 12).Float(98.0f).I16(60).Float(0.3f).Float(0.35f);
  ASSERT_TRUE(Apply(ivx, index));
  EXPECT_EQ(ivx.Stored(), (Strings{"AAA/30/0.25/0.5", "AAA/60/0.3/0.35"}));

  // No delta in this block: the first record keeps the zero it started
  // with, and each later one the value before it.
  MessageBuilder surface;
  surface.Block(T_IVSURFACE, 2, {2, 3, 36, 4, 5, 32, 26});
  surface.Text("BBB", 12).I16(30).Float(77.0f).I32(10).U8('C').Float(110).Float(0.3f);
  surface.Text("BBB", 12).I16(60).Float(76.0f).I32(20).U8('P').Float(120).Float(0.4f);
  ASSERT_TRUE(Apply(ivs, surface));
  EXPECT_EQ(ivs.Stored(), (Strings{"BBB/30/10/C/110/0.3/0", "BBB/60/20/P/120/0.4/0"}));
}

TEST_F(IVTablesTest, PointsWithoutASymbolAreNotStoredButStillSent) {
  LogCapture log(orvlog::kError);
  Client all = NewClient();
  Client one = NewClient();
  ivx.Subscribe(all.handle, CSymbolKey(u"", 0));
  ivx.Subscribe(one.handle, CSymbolKey(u"AAA", 0));

  // Leading points without a symbol once made the whole block fail.
  ASSERT_TRUE(Apply(ivx, IndexBlock(T_IVINDEX, {{"", 30, 0.1f, 0.2f}, {"AAA", 30, 0.25f, 0.5f}, {"", 60, 0.3f, 0.4f}})));

  EXPECT_EQ(ivx.Stored(), (Strings{"AAA/30/0.25/0.5"}));
  EXPECT_TRUE(log.Lines().empty());
  const std::vector<IVEvent> toAll = all.events->Events();
  ASSERT_EQ(toAll.size(), 1u);
  EXPECT_EQ(toAll[0].rows, (Strings{"<null>/30/0.1/0.2", "<null>/60/0.3/0.4"}));
  const std::vector<IVEvent> toOne = one.events->Events();
  ASSERT_EQ(toOne.size(), 1u);
  EXPECT_EQ(toOne[0].rows, (Strings{"AAA/30/0.25/0.5"}));
}

TEST_F(IVTablesTest, EachSubscribedClientGetsOneEventPerBlockInBlockOrder) {
  Client one = NewClient();
  Client two = NewClient();
  Client other = NewClient();
  ivs.Subscribe(one.handle, CSymbolKey(u"AAA", 0));
  ivs.Subscribe(two.handle, CSymbolKey(u"AAA", 0));
  ivs.Subscribe(two.handle, CSymbolKey(u"CCC", 0));
  ivx.Subscribe(other.handle, CSymbolKey(u"AAA", 0));  // another table's subscriber
  const int lateSends = ivs.queued;                     // two's cached AAA rows, sent at subscribe

  ASSERT_TRUE(Apply(ivs, SurfaceBlock(T_IVSURFACE, {{"CCC", 30, 0, 'C', 50, 0.5f, 0.5f},
                                                     {"BBB", 30, 0, 'C', 40, 0.4f, 0.5f},
                                                     {"AAA", 30, 0, 'P', 100, 0.3f, -0.5f},
                                                     {"CCC", 60, 0, 'C', 51, 0.51f, 0.5f}})));

  const std::vector<IVEvent> a = one.events->Events();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].kind, "ivs");
  EXPECT_EQ(a[0].rows, (Strings{"AAA/30/0/P/100/0.3/-0.5"}));
  const std::vector<IVEvent> b = two.events->Events();
  ASSERT_EQ(b.size(), 2u);
  EXPECT_TRUE(b[0].rows.empty());
  EXPECT_EQ(b[1].rows, (Strings{"CCC/30/0/C/50/0.5/0.5", "AAA/30/0/P/100/0.3/-0.5", "CCC/60/0/C/51/0.51/0.5"}));
  EXPECT_TRUE(other.events->Events().empty());
  EXPECT_EQ(ivs.queued, lateSends + 2);

  // Points nobody holds are stored and sent to no one; a block without
  // records stores and sends nothing and ends after its field list.
  ASSERT_TRUE(Apply(ivs, SurfaceBlock(T_IVSURFACE, {{"ZZZ", 30, 0, 'C', 1, 0.1f, 0.1f}})));
  const MessageBuilder none = SurfaceBlock(T_IVSURFACE, {});
  const uint8_t* body = none.data() + kBlockHeaderSize;
  EXPECT_EQ(ivs.UpdateData(body, none.data() + none.size(), T_IVSURFACE, 0, 7, false), body + 7);
  EXPECT_EQ(ivs.queued, lateSends + 2);
  EXPECT_EQ(ivs.Stored("ZZZ").size(), 1u);
}

TEST_F(IVTablesTest, ALateSubscriberGetsTheCachedRowsAtOnce) {
  Client first = NewClient();
  Client late = NewClient();
  ASSERT_TRUE(Apply(futIvx, IndexBlock(T_FUTURE_IVINDEX, {{"ES", 30, 0.2f, 0.25f}, {"ES", 60, 0.21f, 0.26f},
                                                          {"NQ", 30, 0.3f, 0.35f}})));
  futIvx.Subscribe(first.handle, CSymbolKey(u"ES", 0));
  EXPECT_TRUE(first.events->Events().empty()) << "the first subscriber's rows come from the service";
  futIvx.Subscribe(late.handle, CSymbolKey(u"ES", 0));
  std::vector<IVEvent> events = late.events->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, "futivx");
  std::sort(events[0].rows.begin(), events[0].rows.end());
  EXPECT_EQ(events[0].rows, (Strings{"ES/30/0.2/0.25", "ES/60/0.21/0.26"}));

  // A key without rows still answers, with an empty cursor; the empty key
  // answers with every row.
  futIvx.Subscribe(first.handle, CSymbolKey(u"CL", 0));
  futIvx.Subscribe(late.handle, CSymbolKey(u"CL", 0));
  futIvx.Subscribe(first.handle, CSymbolKey(u"", 0));
  futIvx.Subscribe(late.handle, CSymbolKey(u"", 0));
  events = late.events->Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_TRUE(events[1].rows.empty());
  EXPECT_EQ(events[2].rows.size(), 3u);
}

TEST_F(IVTablesTest, EventsTravelThroughTheEventPoolAndARefusedOneIsFreed) {
  ivs.runInline = false;
  Client c = NewClient();
  ivs.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  ASSERT_TRUE(Apply(ivs, SurfaceBlock(T_IVSURFACE, {{"AAA", 30, 0, 'C', 100, 0.3f, 0.5f}})));
  ASSERT_TRUE(c.events->WaitForEvents(1));
  EXPECT_EQ(c.events->Events()[0].rows, (Strings{"AAA/30/0/C/100/0.3/0.5"}));

  // The first event's cursor goes once its task has ended, which may be
  // just after the sink has seen it.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (CIVSurfaces::ActiveObjectCount() != 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  LogCapture log(orvlog::kError);
  ivs.refuse = true;
  const LONG cursors = CIVSurfaces::ActiveObjectCount();
  ASSERT_TRUE(Apply(ivs, SurfaceBlock(T_IVSURFACE, {{"AAA", 30, 0, 'C', 101, 0.31f, 0.5f}})));
  ASSERT_TRUE(Apply(ivs, SurfaceBlock(T_IVSURFACE, {{"AAA", 30, 0, 'C', 102, 0.32f, 0.5f}})));
  EXPECT_EQ(ivs.queued, 3);
  EXPECT_EQ(log.Count("ERROR : ThreadPool.QueueRequest failed."), 1u) << "a pool that refuses is told once";
  EXPECT_EQ(CIVSurfaces::ActiveObjectCount(), cursors);
  EXPECT_EQ(ivs.Stored(), (Strings{"AAA/30/0/C/102/0.32/0.5"}));
}

TEST_F(IVTablesTest, DeletesRemoveTheSymbolsRows) {
  ASSERT_TRUE(Apply(ivx, IndexBlock(T_IVINDEX, {{"AAA", 30, 1, 1}, {"AAA", 60, 1, 1}, {"BBB", 30, 1, 1},
                                                {"CCC", 30, 1, 1}, {"DDD", 30, 1, 1}})));
  ASSERT_TRUE(Apply(futIvx, IndexBlock(T_FUTURE_IVINDEX, {{"AAA", 30, 1, 1}})));
  // The key flag does not matter: the column is always the symbol.
  ivx.DeleteSymbol(u"AAA", 1);
  EXPECT_EQ(ivx.Stored(), (Strings{"BBB/30/1/1", "CCC/30/1/1", "DDD/30/1/1"}));
  ivx.DeleteSymbols({u"BBB", u"DDD", u"NONE"}, 0);
  EXPECT_EQ(ivx.Stored(), (Strings{"CCC/30/1/1"}));
  EXPECT_EQ(futIvx.Stored(), (Strings{"AAA/30/1/1"}));
}

TEST_F(IVTablesTest, BlocksThatCannotBeReadChangeNothing) {
  Client c = NewClient();
  ivs.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  LogCapture log(orvlog::kError);

  MessageBuilder unknown;
  unknown.Block(T_IVSURFACE, 1, {2, 3, 99}).Text("AAA", 12).I16(30).Float(1.0f);
  const uint8_t* body = unknown.data() + kBlockHeaderSize;
  EXPECT_EQ(ivs.UpdateData(body, unknown.data() + unknown.size(), T_IVSURFACE, 1, 3, false), nullptr);
  EXPECT_TRUE(log.Contains("Unknown field CIVSurfaceDB::_ParseIvsMessage 99"));

  // More records than octets.
  const MessageBuilder truncated = SurfaceBlock(T_IVSURFACE, {{"AAA", 30, 0, 'C', 1, 1, 1}});
  body = truncated.data() + kBlockHeaderSize;
  EXPECT_EQ(ivs.UpdateData(body, truncated.data() + truncated.size(), T_IVSURFACE, 2, 7, false), nullptr);
  EXPECT_EQ(ivs.UpdateData(nullptr, nullptr, T_IVSURFACE, 0, 0, false), nullptr);

  EXPECT_TRUE(ivs.Stored().empty());
  EXPECT_TRUE(c.events->Events().empty());
}

TEST_F(IVTablesTest, GetMarketDataReadsTheTableOnlyForASymbol) {
  ASSERT_TRUE(Apply(ivx, IndexBlock(T_IVINDEX, {{"AAA", 30, 0.25f, 0.5f}, {"BBB", 30, 0.3f, 0.35f}})));
  std::vector<IVIndexRecord> out;
  ivx.GetMarketData(u"BBB", Orv::ZmDataManager::_nil(), out);
  EXPECT_EQ(Rows(out), (Strings{"BBB/30/0.3/0.35"}));

  // The empty symbol always asks the service: without one, nothing.
  LogCapture log(orvlog::kError);
  out.clear();
  ivx.GetMarketData(u"", Orv::ZmDataManager::_nil(), out);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(log.Contains("requested without a service"));
}

TEST(IVTablesInitialize, EmptiesAnExistingTableAndReportsAnUnusableFile) {
  TempDir dir;
  {
    Inline<CIVSurfaceDB> db(dir.File("bob"));
    ASSERT_TRUE(db.Initialize());
    ASSERT_TRUE(Apply(db, SurfaceBlock(T_IVSURFACE, {{"AAA", 30, 0, 'C', 1, 1, 1}})));
    ASSERT_EQ(db.Stored().size(), 1u);
    ASSERT_TRUE(db.Initialize());
    EXPECT_TRUE(db.Stored().empty());
  }
  LogCapture log(orvlog::kError);
  CIVIndexDB missing(dir.File("no-such-folder/bob"));
  EXPECT_FALSE(missing.Initialize());
  EXPECT_TRUE(log.Contains("SQLite error in CIVIndexDB::Initialize(): "));
  // The table object goes on: later accesses fail the same way and log.
  ASSERT_TRUE(Apply(missing, IndexBlock(T_IVINDEX, {{"AAA", 30, 1, 1}})));
  EXPECT_TRUE(log.Contains("SQLite error in CIVIndexDB::_UpdateDB(): "));
  std::vector<IVIndexRecord> out;
  missing.GetMarketData(u"AAA", Orv::ZmDataManager::_nil(), out);
  EXPECT_TRUE(log.Contains("SQLite error in CIVIndex::_RequestDB(): "));
}

}  // namespace
