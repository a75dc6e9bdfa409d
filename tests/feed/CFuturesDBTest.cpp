#include "feed/CFuturesDB.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "MessageBuilder.h"
#include "TempDir.h"
#include "feed/CSqliteDB.h"
#include "feed/MessageFormat.h"
#include "feed/SqlTemplates.h"
#include "server/CFutures.h"
#include "server/contract/CZmOrvEventSource.h"
#include "tests/server/CursorTestSupport.h"

using orvtest::Text;
using orvtest::Value;

struct FutureEventRow {
  std::string symbol, root;
  float bid = 0;
};

// A client as the event tasks see it: it keeps every futures event.
class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnOptionsChange(IOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFuturesChange(IFuturesEnt* cursor) override {
    std::vector<FutureEventRow> rows;
    // A cursor has no count: an empty one shows a record with no symbol.
    for (VARIANT_BOOL more = VARIANT_TRUE; more == VARIANT_TRUE;) {
      FutureEventRow r;
      r.symbol = Text(cursor, &IFuturesEnt::get_Symbol);
      if (r.symbol == "<null>" || r.symbol.empty()) break;
      r.root = Text(cursor, &IFuturesEnt::get_RootSymbol);
      r.bid = Value(cursor, &IFuturesEnt::get_BidPrice);
      rows.push_back(r);
      cursor->Next(&more);
    }
    std::lock_guard<std::mutex> l(m_mutex);
    m_events.push_back(rows);
    return S_OK;
  }

  void Clear() {
    std::lock_guard<std::mutex> l(m_mutex);
    m_events.clear();
  }
  std::vector<std::vector<FutureEventRow>> Events() {
    std::lock_guard<std::mutex> l(m_mutex);
    return m_events;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::vector<FutureEventRow>> m_events;
};

namespace {

// The futures table with its event tasks run at once on the calling
// thread, so that a test sees every event before the call returns.
class TestFuturesDB : public CFuturesDB {
 public:
  using CFuturesDB::CFuturesDB;
  using CFuturesDB::_RequestDB;

  bool _QueueTask(CWorkerInterface* task) override {
    task->DoTask();
    delete task;
    return true;
  }

  std::vector<FutureRecord> Rows(const char16_t* symbol = u"", BYTE flag = 0) {
    std::vector<FutureRecord> out;
    _RequestDB(CSymbolKey(symbol, flag), out);
    return out;
  }
};

struct Base {
  std::string symbol, root;
  double expiration;
};

MessageBuilder BaseMessage(const std::vector<Base>& futures) {
  MessageBuilder m;
  m.Block(T_FUTURE_BASE, static_cast<uint32_t>(futures.size()), {75, 74, 40});
  for (const Base& f : futures) m.Text(f.symbol, 64).Text(f.root, 12).Double(f.expiration);
  return m;
}

struct Quote {
  std::string symbol, root;
  float bid;
};

// bid, then ask = bid + 1 and last = bid + 0.5, in the services' id order.
void AppendPrices(MessageBuilder& m, float bid) {
  m.Float(bid).Text("CME", 4).Double(46000.204396).I32(10);
  m.Float(bid + 1).Text("CME", 4).Double(46000.5).I32(20);
  m.Float(bid + 0.5f).Text("CME", 4).Double(46000.754396).I32(30).I32(4000);
}

MessageBuilder QuoteMessage(const std::vector<Quote>& quotes) {
  MessageBuilder m;
  m.Block(T_FUTURE_QUOTE, static_cast<uint32_t>(quotes.size()),
          {75, 74, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18});
  for (const Quote& q : quotes) {
    m.Text(q.symbol, 64).Text(q.root, 12);
    AppendPrices(m, q.bid);
  }
  return m;
}

// The layout some services send: root and prices first, the symbol last.
MessageBuilder SymbolLastQuoteMessage(const std::vector<Quote>& quotes) {
  MessageBuilder m;
  m.Block(T_FUTURE_QUOTE, static_cast<uint32_t>(quotes.size()),
          {74, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18, 75});
  for (const Quote& q : quotes) {
    m.Text(q.root, 12);
    AppendPrices(m, q.bid);
    m.Text(q.symbol, 64);
  }
  return m;
}

// Applies a one-block message the way the pull thread does; returns the
// table's answer.
const uint8_t* Apply(CFuturesDB& db, const MessageBuilder& m) {
  BlockHeader h;
  EXPECT_TRUE(ParseBlockHeader(m.data(), m.data() + m.size(), &h));
  return db.UpdateData(m.data() + kBlockHeaderSize, m.data() + m.size(), h.type, h.blocks_amount, h.fields_amount,
                       false);
}

template <class Row>
std::vector<std::string> Symbols(const std::vector<Row>& rows) {
  std::vector<std::string> out;
  for (const Row& r : rows) out.push_back(r.symbol);
  return out;
}

std::vector<std::string> Symbols(const std::vector<FutureRecord>& rows) {
  std::vector<std::string> out;
  for (const FutureRecord& r : rows) out.push_back(static_cast<const char*>(r.Symbol));
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class FuturesDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db.Initialize());
    const uint8_t* end = Apply(db, BaseMessage({{"ESZ6", "ES", 46010.0},
                                                {"ESH7", "ES", 46100.0},
                                                {"NQZ6", "NQ", 46010.0}}));
    ASSERT_NE(end, nullptr);
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
  TestFuturesDB db{m_dir.File("alice")};
};

TEST_F(FuturesDBTest, BaseBlocksInsertNewFuturesAndNeverOverwriteARow) {
  ASSERT_NE(Apply(db, BaseMessage({{"ESZ6", "XX", 1.0}, {"CLF7", "CL", 46030.5}})), nullptr);

  const std::vector<FutureRecord> rows = db.Rows();
  ASSERT_EQ(Symbols(rows), (std::vector<std::string>{"CLF7", "ESH7", "ESZ6", "NQZ6"}));
  for (const FutureRecord& r : rows) {
    const std::string symbol = static_cast<const char*>(r.Symbol);
    if (symbol == "ESZ6") {
      EXPECT_STREQ(static_cast<const char*>(r.RootSymbol), "ES");
      EXPECT_EQ(r.ExpirationDate, 46010.0);
    }
    if (symbol == "CLF7") {
      EXPECT_STREQ(static_cast<const char*>(r.RootSymbol), "CL");
      EXPECT_EQ(r.ExpirationDate, 46030.5);
      // A new row has no quote yet, and no field fills the type.
      EXPECT_EQ(r.BidPrice, 0.0f);
      EXPECT_EQ(r.Volume, 0);
      EXPECT_STREQ(static_cast<const char*>(r.BidExchange), "*");
      EXPECT_EQ(r.Type[0], '\0');
    }
  }
}

TEST_F(FuturesDBTest, QuoteBlocksUpdateKnownFuturesInEitherLayout) {
  const struct {
    const char* name;
    MessageBuilder message;
  } cases[] = {
      {"symbol first", QuoteMessage({{"ESZ6", "ES", 5000.0f}, {"ZZZ9", "ZZ", 1.0f}})},
      {"symbol last", SymbolLastQuoteMessage({{"ESZ6", "ES", 5000.0f}, {"ZZZ9", "ZZ", 1.0f}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(db.Initialize());
    ASSERT_NE(Apply(db, BaseMessage({{"ESZ6", "ES", 46010.123456789}})), nullptr);
    ASSERT_EQ(Apply(db, c.message), c.message.data() + c.message.size());

    // A quote for a future without a row adds none.
    const std::vector<FutureRecord> rows = db.Rows();
    ASSERT_EQ(Symbols(rows), (std::vector<std::string>{"ESZ6"}));
    const FutureRecord& r = rows[0];
    EXPECT_EQ(r.BidPrice, 5000.0f);
    EXPECT_EQ(r.AskPrice, 5001.0f);
    EXPECT_EQ(r.LastPrice, 5000.5f);
    EXPECT_EQ(r.BidSize, 10);
    EXPECT_EQ(r.AskSize, 20);
    EXPECT_EQ(r.LastSize, 30);
    EXPECT_EQ(r.Volume, 4000);
    // Dates and times as exact as the wire's doubles, not in the float's
    // steps of minutes.
    EXPECT_EQ(r.BidDate, 46000.204396);
    EXPECT_EQ(r.LastDate, 46000.754396);
    EXPECT_STREQ(static_cast<const char*>(r.AskExchange), "CME");
    EXPECT_EQ(r.ExpirationDate, 46010.123456789);
  }
}

TEST_F(FuturesDBTest, UnreadableBlocksChangeNothing) {
  // Neither the symbol first nor fifteenth: stepped over whole.
  MessageBuilder unkeyed;
  unkeyed.Block(T_FUTURE_QUOTE, 1, {74, 6});
  unkeyed.Text("ES", 12).Float(1.0f);
  EXPECT_EQ(Apply(db, unkeyed), unkeyed.data() + unkeyed.size());

  // Two records announced, one sent.
  MessageBuilder truncated = QuoteMessage({{"ESZ6", "ES", 1.0f}});
  truncated.bytes[5] = 2;
  EXPECT_EQ(Apply(db, truncated), nullptr);

  LogCapture log(orvlog::kError);
  MessageBuilder unknown;
  unknown.Block(T_FUTURE_QUOTE, 1, {75, 44});
  unknown.Text("ESZ6", 64).Float(1.0f);
  EXPECT_EQ(Apply(db, unknown), nullptr);
  EXPECT_TRUE(log.Contains("Unknown field CFuturesDB::_ParseFutureQuote() 44"));

  const MessageBuilder other = QuoteMessage({{"ESZ6", "ES", 1.0f}});
  BlockHeader h;
  ParseBlockHeader(other.data(), other.data() + other.size(), &h);
  EXPECT_EQ(db.UpdateData(other.data() + kBlockHeaderSize, other.data() + other.size(), T_EQUITY_QUOTE,
                          h.blocks_amount, h.fields_amount, false),
            nullptr);
  EXPECT_TRUE(log.Contains("CFuturesDB::UpdateData() unknown type in statement 3"));

  for (const FutureRecord& r : db.Rows()) EXPECT_EQ(r.BidPrice, 0.0f) << static_cast<const char*>(r.Symbol);
}

TEST_F(FuturesDBTest, AQuoteSendsEveryFutureOfItsRootsToTheirClients) {
  const Client byRoot = NewClient(), byFuture = NewClient(), both = NewClient(), other = NewClient();
  db.Subscribe(byRoot.handle, CSymbolKey(u"ES", 1));
  db.Subscribe(byFuture.handle, CSymbolKey(u"ESH7", 0));
  db.Subscribe(both.handle, CSymbolKey(u"ES", 1));
  db.Subscribe(both.handle, CSymbolKey(u"ESZ6", 0));
  db.Subscribe(other.handle, CSymbolKey(u"NQ", 1));
  // What the late subscribers got at once is not the point here.
  for (const Client& c : {byRoot, byFuture, both, other}) c.events->Clear();

  // Base data announces nothing.
  ASSERT_NE(Apply(db, BaseMessage({{"ESM7", "ES", 46190.0}})), nullptr);
  for (const Client& c : {byRoot, byFuture, both, other}) EXPECT_TRUE(c.events->Events().empty());

  // One quote of one future, and one of a future the table does not hold:
  // its root is still read back.
  ASSERT_NE(Apply(db, QuoteMessage({{"ESZ6", "ES", 7.0f}, {"ESU9", "ES", 1.0f}})), nullptr);
  const std::vector<std::string> allEs = {"ESH7", "ESM7", "ESZ6"};
  ASSERT_EQ(byRoot.events->Events().size(), 1u);
  EXPECT_EQ(Sorted(Symbols(byRoot.events->Events()[0])), allEs);
  // The client of one future gets it although its own quote did not change.
  ASSERT_EQ(byFuture.events->Events().size(), 1u);
  EXPECT_EQ(Symbols(byFuture.events->Events()[0]), (std::vector<std::string>{"ESH7"}));
  // Root and future held together: each future once.
  ASSERT_EQ(both.events->Events().size(), 1u);
  EXPECT_EQ(Sorted(Symbols(both.events->Events()[0])), allEs);
  EXPECT_TRUE(other.events->Events().empty());

  const std::vector<FutureEventRow> rows = byRoot.events->Events()[0];
  for (const FutureEventRow& r : rows) {
    EXPECT_EQ(r.root, "ES");
    if (r.symbol == "ESZ6") {
      EXPECT_EQ(r.bid, 7.0f);
    }
  }
}

TEST_F(FuturesDBTest, EachQuoteBlockOfAMessageSendsTheRootsItTouchedOnly) {
  const Client es = NewClient(), nq = NewClient();
  ASSERT_NE(Apply(db, BaseMessage({{"ESZ6", "ES", 46010.0}, {"NQZ6", "NQ", 46010.0}})), nullptr);
  db.Subscribe(es.handle, CSymbolKey(u"ES", 1));
  db.Subscribe(nq.handle, CSymbolKey(u"NQ", 1));

  // One message of two blocks, walked with one list as the pull thread does.
  std::vector<std::string> roots;
  for (const char* root : {"ES", "NQ"}) {
    const MessageBuilder m = QuoteMessage({{std::string(root) + "Z6", root, 3.0f}});
    BlockHeader h;
    ASSERT_TRUE(ParseBlockHeader(m.data(), m.data() + m.size(), &h));
    ASSERT_NE(db.UpdateData(m.data() + kBlockHeaderSize, m.data() + m.size(), h.type, h.blocks_amount,
                            h.fields_amount, false, roots),
              nullptr);
  }
  EXPECT_EQ(roots, (std::vector<std::string>{"ES", "NQ"}));
  EXPECT_EQ(es.events->Events().size(), 1u) << "the first block's root was sent again with the second";
  EXPECT_EQ(nq.events->Events().size(), 1u);
}

TEST_F(FuturesDBTest, ALateSubscriberGetsTheRowsOfItsKeyAsGiven) {
  ASSERT_NE(Apply(db, QuoteMessage({{"ESZ6", "ES", 7.0f}})), nullptr);
  const struct {
    const char16_t* symbol;
    BYTE flag;
    std::vector<std::string> rows;
  } cases[] = {
      {u"ES", 1, {"ESH7", "ESZ6"}},
      {u"ESZ6", 0, {"ESZ6"}},
      {u"NOSUCH", 1, {}},
      {u"NOSUCH", 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(orvcom::Narrow(c.symbol) + " flag " + std::to_string(c.flag));
    const Client first = NewClient(), late = NewClient();
    db.Subscribe(first.handle, CSymbolKey(c.symbol, c.flag));
    db.Subscribe(late.handle, CSymbolKey(c.symbol, c.flag));
    // The first subscriber's rows come through the service.
    EXPECT_TRUE(first.events->Events().empty());
    // The late one gets one event, empty when nothing is cached.
    ASSERT_EQ(late.events->Events().size(), 1u);
    EXPECT_EQ(Sorted(Symbols(late.events->Events()[0])), c.rows);
    db.RemoveClient(first.handle);
    db.RemoveClient(late.handle);
  }
}

TEST_F(FuturesDBTest, TheTableIsReadByRootOrByFutureAsTheKeySays) {
  EXPECT_EQ(Symbols(db.Rows(u"ES", 1)), (std::vector<std::string>{"ESH7", "ESZ6"}));
  EXPECT_EQ(Symbols(db.Rows(u"ESH7", 0)), (std::vector<std::string>{"ESH7"}));
  EXPECT_TRUE(db.Rows(u"ES", 0).empty());
  EXPECT_TRUE(db.Rows(u"ESH7", 1).empty());
  // The getter answers from the table without asking a service (there is
  // none here).
  std::vector<FutureRecord> out;
  db.GetMarketData(CSymbolKey(u"NQ", 1), Orv::ZmDataManager::_nil(), out);
  EXPECT_EQ(Symbols(out), (std::vector<std::string>{"NQZ6"}));
}

TEST_F(FuturesDBTest, DeletesTakeARootOrOneFuture) {
  ASSERT_NE(Apply(db, BaseMessage({{"CLF7", "CL", 46030.0}, {"GCG7", "GC", 46060.0}})), nullptr);

  db.DeleteSymbol(u"ESZ6", 0);
  EXPECT_EQ(Symbols(db.Rows()), (std::vector<std::string>{"CLF7", "ESH7", "GCG7", "NQZ6"}));
  // Unsubscribing a root takes that root's futures.
  db.DeleteSymbol(u"ES", 1);
  EXPECT_EQ(Symbols(db.Rows()), (std::vector<std::string>{"CLF7", "GCG7", "NQZ6"}));
  db.DeleteSymbols({u"CL", u"NQ"}, 1);
  EXPECT_EQ(Symbols(db.Rows()), (std::vector<std::string>{"GCG7"}));
  db.DeleteSymbols({u"GCG7"}, 0);
  EXPECT_TRUE(db.Rows().empty());

  ASSERT_NE(Apply(db, BaseMessage({{"CLF7", "CL", 46030.0}})), nullptr);
  db.DeleteSymbol(u"", 0);
  EXPECT_TRUE(db.Rows().empty());
}

TEST_F(FuturesDBTest, InitializeEmptiesTheTableAndEveryRootReadUsesItsIndex) {
  ASSERT_TRUE(db.Initialize());
  EXPECT_TRUE(db.Rows().empty());
  CSqliteDB sql;
  sql.Open(m_dir.File("alice").c_str());
  CSqliteStatement plan = sql.Prepare(("EXPLAIN QUERY PLAN " + LoadSqlTemplate(160, "futures")).c_str());
  plan.BindText(1, "ES");
  std::string detail;
  for (CSqliteQuery q = plan.RunQuery(); !q.AtEnd(); q.Next()) detail += q.TextAt(3);
  EXPECT_NE(detail.find("USING INDEX futures_root_indx"), std::string::npos) << detail;
}

}  // namespace
