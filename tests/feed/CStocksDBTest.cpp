#include "feed/CStocksDB.h"
#include "feed/CTableEventMaker.h"

#include <gtest/gtest.h>

#include <future>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Idl/OrvPayload.h"
#include "LogCapture.h"
#include "MessageBuilder.h"
#include "TempDir.h"
#include "feed/CDatabaseLock.h"
#include "feed/CSqliteDB.h"
#include "feed/MessageFormat.h"
#include "feed/StopEvent.h"
#include "server/CStocks.h"
#include "server/contract/CZmOrvEventSource.h"
#include "tests/server/CursorTestSupport.h"

using orvtest::Text;
using orvtest::Value;

// What one stock event carried, read back through its cursor.
struct EventRow {
  std::string symbol;
  float last = 0, bid = 0, ask = 0;
  long bidSize = 0, volume = 0;
  double lastDate = 0;
  std::string bidExchange;
};

struct StockEvent {
  bool direct = false;
  std::vector<EventRow> rows;
};

// A client as the event tasks see it: it keeps every stock event.
class CZmOrvEnt final : public CZmOrvEventSource {
 public:
  HRESULT Fire_OnStocksChange(IStocksEnt* p) override { return Keep(p, false); }
  HRESULT Fire_OnDirectStocksChange(IStocksEnt* p) override { return Keep(p, true); }
  HRESULT Fire_OnOptionsChange(IOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnIVIndexChange(IIVIndexesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnIVSurfaceChange(IIVSurfacesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnDirectOptionsChange(IOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFuturesChange(IFuturesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFutOptionsChange(IFutOptionsEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFutIVIndexChange(IFutIVIndexesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnFutIVSurfaceChange(IFutIVSurfacesEnt*) override { return E_NOTIMPL; }
  HRESULT Fire_OnNstdOptionsChange(INstdOptionsEnt*) override { return E_NOTIMPL; }

  std::vector<StockEvent> Events() {
    std::lock_guard<std::mutex> l(m_mutex);
    return m_events;
  }
  // Bounded: a broken pool fails the test instead of hanging it.
  bool WaitForEvents(size_t n) {
    std::unique_lock<std::mutex> l(m_mutex);
    return m_cv.wait_for(l, std::chrono::seconds(20), [&] { return m_events.size() >= n; });
  }
  // Waits until pred holds for the events so far, or until none has come
  // for `quiet`.
  bool WaitUntil(const std::function<bool(const std::vector<StockEvent>&)>& pred,
                 std::chrono::milliseconds quiet = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> l(m_mutex);
    for (;;) {
      if (pred(m_events)) return true;
      const size_t seen = m_events.size();
      if (!m_cv.wait_for(l, quiet, [&] { return m_events.size() != seen; })) return pred(m_events);
    }
  }
  // What the sink takes for each event, as an out-of-process one does.
  std::atomic<int> sinkMicros{0};
  // Run as each event comes in, before it is kept (set before any comes).
  std::function<void()> onFire;

 private:
  HRESULT Keep(IStocksEnt* cursor, bool direct) {
    if (onFire) onFire();
    if (sinkMicros.load() > 0) std::this_thread::sleep_for(std::chrono::microseconds(sinkMicros.load()));
    StockEvent e;
    e.direct = direct;
    // A cursor has no count: an empty one shows a record with no symbol,
    // which no stored row has.
    for (VARIANT_BOOL more = VARIANT_TRUE; more == VARIANT_TRUE;) {
      EventRow r;
      r.symbol = Text(cursor, &IStocksEnt::get_Symbol);
      if (r.symbol == "<null>" || r.symbol.empty()) break;
      r.last = Value(cursor, &IStocksEnt::get_LastPrice);
      r.bid = Value(cursor, &IStocksEnt::get_BidPrice);
      r.ask = Value(cursor, &IStocksEnt::get_AskPrice);
      r.bidSize = Value(cursor, &IStocksEnt::get_BidSize);
      r.volume = Value(cursor, &IStocksEnt::get_Volume);
      r.lastDate = Value(cursor, &IStocksEnt::get_LastDate);
      r.bidExchange = Text(cursor, &IStocksEnt::get_BidExchange);
      e.rows.push_back(r);
      cursor->Next(&more);
    }
    std::lock_guard<std::mutex> l(m_mutex);
    m_events.push_back(e);
    m_cv.notify_all();
    return S_OK;
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<StockEvent> m_events;
};

namespace {

// The stock table with its event tasks run at once on the calling thread,
// so that a test sees every event before the call returns.
class TestStocksDB : public CStocksDB {
 public:
  using CStocksDB::CStocksDB;
  using CStocksDB::_RequestDB;

  bool _QueueTask(CWorkerInterface* task) override {
    ++queued;
    if (raise) raise();
    if (refuse) return false;
    if (!runInline) return CStocksDB::_QueueTask(task);
    task->DoTask();
    delete task;
    return true;
  }

  std::vector<StockRecord> Rows(const char16_t* symbol = u"") {
    std::vector<StockRecord> out;
    _RequestDB(CSymbolKey(symbol, 0), out);
    return out;
  }

  bool runInline = true;
  bool refuse = false;
  std::function<void()> raise;  // throws in place of queueing
  int queued = 0;
};

const std::vector<uint8_t> kBaseIds = {2,  20, 21, 22, 23, 19, 48, 49, 50, 51, 52,
                                       53, 54, 55, 56, 57, 58, 59, 60, 61, 63};
const std::vector<uint8_t> kQuoteIds = {2, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18};

// Base values derived from a seed: each float field holds seed + id / 100.
void AppendBase(MessageBuilder& m, const std::string& symbol, float seed) {
  for (uint8_t id : kBaseIds) {
    switch (id) {
      case 2: m.Text(symbol, 12); break;
      case 19: m.U8('I'); break;
      case 21: m.I16(4); break;
      case 23: m.Text("USD", 5); break;
      case 59: m.I32(static_cast<int32_t>(seed) * 10 + 1); break;
      case 60: m.I32(static_cast<int32_t>(seed) * 10 + 2); break;
      default: m.Float(seed + id / 100.0f); break;
    }
  }
}

MessageBuilder BaseMessage(const std::vector<std::pair<std::string, float>>& stocks, uint8_t isLast = 1) {
  MessageBuilder m;
  m.Header(T_EQUITY_BASE, static_cast<uint32_t>(stocks.size()), static_cast<uint8_t>(kBaseIds.size()), isLast);
  for (uint8_t id : kBaseIds) m.U8(id);
  for (const auto& s : stocks) AppendBase(m, s.first, s.second);
  return m;
}

struct Quote {
  std::string symbol;
  float bid;
  std::string exchange = "NYSE";
  double date = 40000.5;
};

// One quote block; the prices follow from bid: ask = bid + 1, last = bid + 0.5.
void AppendQuoteBlock(MessageBuilder& m, uint8_t type, const std::vector<Quote>& quotes, uint8_t isLast = 1) {
  m.Header(type, static_cast<uint32_t>(quotes.size()), static_cast<uint8_t>(kQuoteIds.size()), isLast);
  for (uint8_t id : kQuoteIds) m.U8(id);
  for (const Quote& q : quotes) {
    m.Text(q.symbol, 12);
    m.Float(q.bid).Text(q.exchange, 4).Double(q.date).I32(100);                    // bid
    m.Float(q.bid + 1).Text(q.exchange, 4).Double(q.date).I32(200);                // ask
    m.Float(q.bid + 0.5f).Text(q.exchange, 4).Double(q.date).I32(300).I32(5000);   // last, volume
  }
}

MessageBuilder QuoteMessage(const std::vector<Quote>& quotes, uint8_t type = T_EQUITY_QUOTE) {
  MessageBuilder m;
  AppendQuoteBlock(m, type, quotes);
  return m;
}

// Walks a message the way the pull thread does: one changed-symbol list for
// the whole message. Returns whether the walk reached the last block.
bool Apply(CStocksDB& db, const MessageBuilder& m) {
  std::vector<std::string> changed;
  return WalkMessage(m.data(), m.size(), [&](const BlockHeader& h, const uint8_t* body, const uint8_t* end) {
    return db.UpdateData(body, end, h.type, h.blocks_amount, h.fields_amount, false, changed);
  });
}

std::vector<std::string> Symbols(const std::vector<EventRow>& rows) {
  std::vector<std::string> out;
  for (const EventRow& r : rows) out.push_back(r.symbol);
  return out;
}

std::vector<std::string> Symbols(const std::vector<StockRecord>& rows) {
  std::vector<std::string> out;
  for (const StockRecord& r : rows) out.push_back(static_cast<const char*>(r.Symbol));
  return out;
}

class StocksDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    ASSERT_TRUE(db.Initialize());
    ASSERT_TRUE(direct.Initialize());
  }
  void TearDown() override {
    for (auto& c : m_handles) c->Detach();
  }

  // A subscribing client: the recording object and the handle the table
  // keeps.
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
  TestStocksDB db{m_dir.File("alice"), false};
  TestStocksDB direct{m_dir.File("alice"), true};
};

TEST_F(StocksDBTest, BaseBlockInsertsNewStocksAndNeverOverwritesARow) {
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}})));
  // A symbol as wide as its field keeps every character.
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 7.0f}, {"BBB", 2.0f}, {"CCCCCCCCCC.X", 3.0f}})));

  const std::vector<StockRecord> rows = db.Rows();
  ASSERT_EQ(Symbols(rows), (std::vector<std::string>{"AAA", "BBB", "CCCCCCCCCC.X"}));
  const StockRecord& a = rows[0];
  // Every base field lands in its own member (the first block's values).
  const struct {
    uint8_t id;
    float StockRecord::*member;
  } floats[] = {
      {20, &StockRecord::DivLastDate},   {22, &StockRecord::DivAmount},      {48, &StockRecord::PriceClose},
      {49, &StockRecord::PriceHigh52wk}, {50, &StockRecord::PriceLow52wk},   {51, &StockRecord::IVX1m},
      {52, &StockRecord::IVX1mYest},     {53, &StockRecord::IVX1mHigh52wk},  {54, &StockRecord::IVX1mLow52wk},
      {55, &StockRecord::HV1m},          {56, &StockRecord::HV1mYest},       {57, &StockRecord::HV1mHigh52wk},
      {58, &StockRecord::HV1mLow52wk},   {61, &StockRecord::OptionVolumeAvg}, {63, &StockRecord::OutstandingShares},
  };
  for (const auto& f : floats) EXPECT_FLOAT_EQ(a.*f.member, 1.0f + f.id / 100.0f) << "field " << int(f.id);
  EXPECT_EQ(a.DivFreq, 4);
  EXPECT_EQ(a.OptionVolumeCall, 11);
  EXPECT_EQ(a.OptionVolumePut, 12);
  EXPECT_STREQ(a.StockType, "I");
  EXPECT_STREQ(static_cast<const char*>(a.Currency), "USD");
  // A new row has no quote yet.
  EXPECT_EQ(a.LastPrice, 0.0f);
  EXPECT_EQ(a.BidDate, 0.0);
  EXPECT_EQ(a.Volume, 0);
  EXPECT_STREQ(static_cast<const char*>(a.BidExchange), "*");
  EXPECT_STREQ(static_cast<const char*>(a.AskExchange), "*");
  EXPECT_STREQ(static_cast<const char*>(a.LastExchange), "*");
  EXPECT_FLOAT_EQ(rows[1].PriceClose, 2.48f);
}

TEST_F(StocksDBTest, QuoteBlockUpdatesOnlyExistingRowsWithExactDates) {
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}})));
  // The later record of a symbol wins where both carry a field.
  ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 5.0f}, {"ZZZ", 9.0f}, {"AAA", 10.25f, "ARCA", 40000.123456}})));

  const std::vector<StockRecord> rows = db.Rows();
  ASSERT_EQ(Symbols(rows), (std::vector<std::string>{"AAA"}));
  const StockRecord& a = rows[0];
  EXPECT_FLOAT_EQ(a.BidPrice, 10.25f);
  EXPECT_FLOAT_EQ(a.AskPrice, 11.25f);
  EXPECT_FLOAT_EQ(a.LastPrice, 10.75f);
  EXPECT_EQ(a.BidSize, 100);
  EXPECT_EQ(a.AskSize, 200);
  EXPECT_EQ(a.LastSize, 300);
  EXPECT_EQ(a.Volume, 5000);
  EXPECT_STREQ(static_cast<const char*>(a.BidExchange), "ARCA");
  EXPECT_EQ(a.BidDate, 40000.123456) << "a date read back in single precision";
  // The base columns are untouched.
  EXPECT_FLOAT_EQ(a.PriceClose, 1.48f);
}

TEST_F(StocksDBTest, QuoteWithoutExchangesWritesThemAsNull) {
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}})));
  MessageBuilder m;
  m.Block(T_EQUITY_QUOTE, 1, {2, 6}).Text("AAA", 12).Float(3.5f);
  ASSERT_TRUE(Apply(db, m));
  const std::vector<StockRecord> rows = db.Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FLOAT_EQ(rows[0].BidPrice, 3.5f);
  // NULL reads back as the empty text, not the "*" of a new row.
  EXPECT_STREQ(static_cast<const char*>(rows[0].BidExchange), "");
}

TEST_F(StocksDBTest, QuoteBlockSendsEachSubscribedClientItsChangedRows) {
  Client one = NewClient();
  Client two = NewClient();
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}, {"BBB", 2.0f}, {"CCC", 3.0f}})));
  db.Subscribe(one.handle, CSymbolKey(u"AAA", 0));
  db.Subscribe(two.handle, CSymbolKey(u"AAA", 0));
  db.Subscribe(two.handle, CSymbolKey(u"BBB", 0));
  const size_t lateSends = two.events->Events().size();  // the cached AAA row, sent at subscribe

  ASSERT_TRUE(Apply(db, QuoteMessage({{"CCC", 3.0f}, {"BBB", 2.0f}, {"AAA", 1.0f, "BATS", 40001.25}})));

  const std::vector<StockEvent> a = one.events->Events();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_FALSE(a[0].direct);
  ASSERT_EQ(Symbols(a[0].rows), (std::vector<std::string>{"AAA"}));
  EXPECT_FLOAT_EQ(a[0].rows[0].bid, 1.0f);
  EXPECT_FLOAT_EQ(a[0].rows[0].ask, 2.0f);
  EXPECT_FLOAT_EQ(a[0].rows[0].last, 1.5f);
  EXPECT_EQ(a[0].rows[0].bidSize, 100);
  EXPECT_EQ(a[0].rows[0].volume, 5000);
  EXPECT_EQ(a[0].rows[0].bidExchange, "BATS");
  EXPECT_DOUBLE_EQ(a[0].rows[0].lastDate, 40001.25);

  const std::vector<StockEvent> b = two.events->Events();
  ASSERT_EQ(b.size(), lateSends + 1);
  EXPECT_EQ(Symbols(b.back().rows), (std::vector<std::string>{"AAA", "BBB"}));
}

// A block of more rows than one read-back statement takes: every held row
// reaches each of its clients once, in symbol order, with its own values,
// and a held symbol without a row adds nothing.
TEST_F(StocksDBTest, ALargeBlockReachesEveryClientWhole) {
  Client all = NewClient();
  Client some = NewClient();
  std::vector<std::pair<std::string, float>> stocks;
  std::vector<Quote> quotes;
  std::vector<std::string> allSymbols, someSymbols;
  char name[8];
  for (int i = 0; i < 330; ++i) {
    std::snprintf(name, sizeof name, "S%03d", i);
    // S100 has no row: its quote changes nothing.
    if (i != 100) stocks.emplace_back(name, 1.0f);
    quotes.push_back({name, 10.0f + i});
    const std::u16string key(name, name + std::strlen(name));
    db.Subscribe(all.handle, CSymbolKey(key, 0));
    if (i != 100) allSymbols.push_back(name);
    if (i % 3 == 0) {
      db.Subscribe(some.handle, CSymbolKey(key, 0));
      someSymbols.push_back(name);
    }
  }
  ASSERT_TRUE(Apply(db, BaseMessage(stocks)));
  const size_t before = all.events->Events().size(), beforeSome = some.events->Events().size();
  // In reverse order: the events still come in symbol order.
  std::reverse(quotes.begin(), quotes.end());
  ASSERT_TRUE(Apply(db, QuoteMessage(quotes)));

  const std::vector<StockEvent> a = all.events->Events();
  ASSERT_EQ(a.size(), before + 1);
  EXPECT_EQ(Symbols(a.back().rows), allSymbols);
  for (const EventRow& r : a.back().rows) EXPECT_FLOAT_EQ(r.bid, 10.0f + std::stoi(r.symbol.substr(1))) << r.symbol;
  const std::vector<StockEvent> b = some.events->Events();
  ASSERT_EQ(b.size(), beforeSome + 1);
  EXPECT_EQ(Symbols(b.back().rows), someSymbols);
}

// The rows of a block's events are read by look-ups when its held symbols
// are a small share of the table and in one pass over the table when they
// are most of it; either way every held row reaches each of its clients
// once, in symbol order, with its own values, and a held symbol without a
// row adds nothing.
TEST_F(StocksDBTest, EveryHeldRowArrivesWhateverShareOfTheTableTheBlockHolds) {
  struct Case {
    const char* name;
    int tableRows, quoted;
    int secondClientEvery;  // 0: one client holds everything
  };
  const Case cases[] = {
      {"a small share, in several groups of look-ups", 800, 250, 0},
      {"a few rows, fewer than a group", 800, 7, 0},
      {"a small share, two clients", 800, 250, 4},
      {"most of the table, one client", 300, 300, 0},
      {"most of the table, two clients", 300, 300, 3},
  };
  const auto symbol = [](int i) {
    char name[16];
    std::snprintf(name, sizeof name, "S%04d", i);
    return std::string(name);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestStocksDB table(m_dir.File(symbol(c.tableRows) + std::to_string(c.secondClientEvery)), false);
    ASSERT_TRUE(table.Initialize());
    std::vector<std::pair<std::string, float>> stocks;
    for (int i = 0; i < c.tableRows; ++i) stocks.emplace_back(symbol(i), 1.0f);
    ASSERT_TRUE(Apply(table, BaseMessage(stocks)));

    Client one = NewClient();
    Client two = NewClient();
    std::vector<Quote> quotes;
    std::vector<std::string> oneSymbols, twoSymbols;
    // 9000 has no row: it is quoted and held but changes nothing.
    std::vector<int> quoted = {9000};
    for (int i = 0; i < c.quoted; ++i) quoted.push_back(i);
    for (int i : quoted) {
      const std::string s = symbol(i);
      quotes.push_back({s, 10.0f + i});
      const std::u16string key(s.begin(), s.end());
      table.Subscribe(one.handle, CSymbolKey(key, 0));
      if (i != 9000) oneSymbols.push_back(s);
      if (c.secondClientEvery != 0 && i % c.secondClientEvery == 0) {
        table.Subscribe(two.handle, CSymbolKey(key, 0));
        if (i != 9000) twoSymbols.push_back(s);
      }
    }
    std::sort(oneSymbols.begin(), oneSymbols.end());
    std::sort(twoSymbols.begin(), twoSymbols.end());
    const size_t beforeOne = one.events->Events().size(), beforeTwo = two.events->Events().size();

    ASSERT_TRUE(Apply(table, QuoteMessage(quotes)));

    const std::vector<StockEvent> a = one.events->Events();
    ASSERT_EQ(a.size(), beforeOne + 1);
    EXPECT_EQ(Symbols(a.back().rows), oneSymbols);
    for (const EventRow& r : a.back().rows) EXPECT_FLOAT_EQ(r.bid, 10.0f + std::stoi(r.symbol.substr(1))) << r.symbol;
    const std::vector<StockEvent> b = two.events->Events();
    ASSERT_EQ(b.size(), beforeTwo + (twoSymbols.empty() ? 0 : 1));
    if (!twoSymbols.empty()) {
      EXPECT_EQ(Symbols(b.back().rows), twoSymbols);
    }
  }
}

// The table's size, which chooses between the look-ups and the pass over
// the table, is not counted at every block: a table that grows or shrinks
// meanwhile still sends each block its own rows, whichever read the size as
// last counted chooses (here: look-ups on a count from before the table
// grew, then the pass, then look-ups on a count from before it shrank).
TEST_F(StocksDBTest, HeldRowsArriveWhileTheTableGrowsAndShrinksBetweenCounts) {
  const auto symbol = [](int i) {
    char name[16];
    std::snprintf(name, sizeof name, "G%04d", i);
    return std::string(name);
  };
  Client one = NewClient();
  const auto quoteAndCheck = [&](int first, int count, float price) {
    std::vector<Quote> quotes;
    std::vector<std::string> want;
    for (int i = first; i < first + count; ++i) {
      quotes.push_back({symbol(i), price + i});
      want.push_back(symbol(i));
    }
    const size_t before = one.events->Events().size();
    ASSERT_TRUE(Apply(db, QuoteMessage(quotes)));
    const std::vector<StockEvent> e = one.events->Events();
    ASSERT_EQ(e.size(), before + 1);
    EXPECT_EQ(Symbols(e.back().rows), want);
    for (const EventRow& r : e.back().rows) EXPECT_FLOAT_EQ(r.bid, price + std::stoi(r.symbol.substr(1))) << r.symbol;
  };
  std::vector<std::pair<std::string, float>> stocks;
  for (int i = 0; i < 10; ++i) stocks.emplace_back(symbol(i), 1.0f);
  ASSERT_TRUE(Apply(db, BaseMessage(stocks)));
  for (int i = 0; i < 600; ++i) db.Subscribe(one.handle, CSymbolKey(orvcom::Widen(symbol(i)), 0));
  quoteAndCheck(0, 2, 10.0f);
  // Grown to 600 rows.
  stocks.clear();
  for (int i = 10; i < 600; ++i) stocks.emplace_back(symbol(i), 1.0f);
  ASSERT_TRUE(Apply(db, BaseMessage(stocks)));
  quoteAndCheck(300, 3, 20.0f);
  quoteAndCheck(0, 400, 30.0f);
  // Shrunk to 20 rows.
  std::vector<std::u16string> gone;
  for (int i = 20; i < 600; ++i) gone.push_back(orvcom::Widen(symbol(i)));
  db.DeleteSymbols(gone, 0);
  quoteAndCheck(3, 4, 40.0f);
  quoteAndCheck(0, 20, 50.0f);
}

TEST_F(StocksDBTest, DirectTableSendsTheDirectEvent) {
  Client c = NewClient();
  direct.ApplyBaseReply(nullptr);  // nothing to store, nothing breaks
  MessageBuilder base = BaseMessage({{"AAA", 1.0f}});
  const CORBA::Any reply = orvidl::FieldListAny(base.bytes);
  direct.ApplyBaseReply(&reply);
  direct.Subscribe(c.handle, CSymbolKey(u"AAA", 0));

  ASSERT_TRUE(Apply(direct, QuoteMessage({{"AAA", 4.0f}}, T_DIRECT_EQUITY_QUOTE)));

  const std::vector<StockEvent> events = c.events->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].direct);
  EXPECT_EQ(Symbols(events[0].rows), (std::vector<std::string>{"AAA"}));
  // The two tables share the file but not their rows.
  EXPECT_TRUE(db.Rows().empty());
}

TEST_F(StocksDBTest, AChangedSymbolWithoutARowSendsNothing) {
  Client all = NewClient();
  Client one = NewClient();
  db.Subscribe(all.handle, CSymbolKey(u"", 0));
  db.Subscribe(one.handle, CSymbolKey(u"ZZZ", 0));

  ASSERT_TRUE(Apply(db, QuoteMessage({{"ZZZ", 1.0f}})));

  EXPECT_TRUE(all.events->Events().empty());
  EXPECT_TRUE(one.events->Events().empty());
  EXPECT_EQ(db.queued, 0);
}

TEST_F(StocksDBTest, EachQuoteBlockOfAMessageSendsItsOwnSymbolsOnly) {
  Client c = NewClient();
  std::vector<std::pair<std::string, float>> stocks;
  for (int i = 0; i < 50; ++i) stocks.push_back({"S" + std::to_string(i), 1.0f});
  ASSERT_TRUE(Apply(db, BaseMessage(stocks)));
  for (const auto& s : stocks) db.Subscribe(c.handle, CSymbolKey(orvcom::Widen(s.first), 0));

  // A reply of many one-record blocks: each sends its record, and the
  // reply as many records as it holds.
  MessageBuilder m;
  for (size_t i = 0; i < stocks.size(); ++i)
    AppendQuoteBlock(m, T_EQUITY_QUOTE, {{stocks[i].first, 2.0f}}, i + 1 == stocks.size());
  ASSERT_TRUE(Apply(db, m));

  const std::vector<StockEvent> events = c.events->Events();
  ASSERT_EQ(events.size(), stocks.size());
  for (size_t i = 0; i < events.size(); ++i)
    EXPECT_EQ(Symbols(events[i].rows), (std::vector<std::string>{stocks[i].first})) << i;
}

TEST_F(StocksDBTest, ALateSubscriberGetsTheCachedRowsAtOnce) {
  Client first = NewClient();
  Client late = NewClient();
  Client other = NewClient();
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}})));
  ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 6.0f}})));

  db.Subscribe(first.handle, CSymbolKey(u"AAA", 0));
  EXPECT_TRUE(first.events->Events().empty()) << "the first subscriber's rows come from the service";
  db.Subscribe(late.handle, CSymbolKey(u"AAA", 0));
  const std::vector<StockEvent> events = late.events->Events();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(Symbols(events[0].rows), (std::vector<std::string>{"AAA"}));
  EXPECT_FLOAT_EQ(events[0].rows[0].bid, 6.0f);

  // A key with no row still answers, with an empty collection.
  db.Subscribe(first.handle, CSymbolKey(u"NONE", 0));
  db.Subscribe(other.handle, CSymbolKey(u"NONE", 0));
  const std::vector<StockEvent> empty = other.events->Events();
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_TRUE(empty[0].rows.empty());
}

// The program's event maker with a hook that runs before each stock event
// is made, that is before the event takes its place in the client's order.
class HookedEventMaker : public CTableEventMaker {
 public:
  HookedEventMaker() : m_inner(TableEventMaker()) { InstallTableEventMaker(this); }
  ~HookedEventMaker() { InstallTableEventMaker(&m_inner); }
  Task Stocks(const CEventClientPtr& client, StockRecords records, bool direct) const override {
    if (beforeStocks) beforeStocks();
    return m_inner.Stocks(client, std::move(records), direct);
  }
  Task Options(const CEventClientPtr& c, OptionRecords r, bool d) const override {
    return m_inner.Options(c, std::move(r), d);
  }
  Task NstdOptions(const CEventClientPtr& c, NstdOptionRecords r, bool d) const override {
    return m_inner.NstdOptions(c, std::move(r), d);
  }
  Task FutOptions(const CEventClientPtr& c, OptionRecords r, bool d) const override {
    return m_inner.FutOptions(c, std::move(r), d);
  }
  Task Futures(const CEventClientPtr& c, FuturesRecords r, bool d) const override {
    return m_inner.Futures(c, std::move(r), d);
  }
  Task IVIndexes(const CEventClientPtr& c, IVIndexRecords r) const override { return m_inner.IVIndexes(c, std::move(r)); }
  Task IVSurfaces(const CEventClientPtr& c, IVSurfaceRecords r) const override {
    return m_inner.IVSurfaces(c, std::move(r));
  }
  Task FutIVIndexes(const CEventClientPtr& c, IVIndexRecords r) const override {
    return m_inner.FutIVIndexes(c, std::move(r));
  }
  Task FutIVSurfaces(const CEventClientPtr& c, IVSurfaceRecords r) const override {
    return m_inner.FutIVSurfaces(c, std::move(r));
  }
  std::function<void()> beforeStocks;

 private:
  const CTableEventMaker& m_inner;
};

TEST_F(StocksDBTest, ALateSubscribersCurrentDataTakesItsPlaceBeforeAQuoteWrittenMeanwhile) {
  Client first = NewClient();
  Client late = NewClient();
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}})));
  ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 10.0f}})));
  db.Subscribe(first.handle, CSymbolKey(u"AAA", 0));

  // The pull thread writes a newer quote just as the late subscriber's
  // current data has been read and is about to take its place.
  HookedEventMaker maker;
  std::thread writer;
  std::promise<void> written;
  bool once = true;
  maker.beforeStocks = [&] {
    if (!once) return;
    once = false;
    writer = std::thread([&] {
      Apply(db, QuoteMessage({{"AAA", 20.0f}}));
      written.set_value();
    });
    // A writer that has to wait for the current data to take its place is
    // what is wanted; one that is done meanwhile shows the gap.
    written.get_future().wait_for(std::chrono::seconds(2));
  };
  db.Subscribe(late.handle, CSymbolKey(u"AAA", 0));
  writer.join();

  std::vector<float> bids;
  for (const StockEvent& e : late.events->Events())
    for (const auto& r : e.rows) bids.push_back(r.bid);
  EXPECT_EQ(bids, (std::vector<float>{10.0f, 20.0f})) << "the client ended on an older value than the table holds";
}

TEST_F(StocksDBTest, EventsTravelThroughTheEventPool) {
  db.runInline = false;
  Client c = NewClient();
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}, {"BBB", 2.0f}})));
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  db.Subscribe(c.handle, CSymbolKey(u"BBB", 0));
  ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 1.0f}, {"BBB", 2.0f}})));
  ASSERT_TRUE(c.events->WaitForEvents(1));
  EXPECT_EQ(Symbols(c.events->Events()[0].rows), (std::vector<std::string>{"AAA", "BBB"}));
}

// A client that subscribes twelve thousand keys another client holds gets
// the current data of each at database speed, far faster than its sink
// takes them (200 us an event, and the first one lasting until the burst
// is made), with quotes of some of them written meanwhile. It keeps up in the end: not cut off, it ends on the latest
// value of every key, and no key's value comes after a newer one.
TEST_F(StocksDBTest, ABurstOfCurrentDataForThousandsOfHeldKeysReachesAClientWhole) {
  db.runInline = false;
  constexpr int kKeys = 12000, kRequoted = 1000;
  std::vector<std::string> symbols;
  std::vector<std::pair<std::string, float>> base;
  std::vector<Quote> quotes, requotes;
  for (int i = 0; i < kKeys; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "K%05d", i);
    symbols.push_back(name);
    base.push_back({name, 1.0f});
    quotes.push_back({name, 1.0f});
    if (i < kRequoted) requotes.push_back({name, 2.0f});
  }
  ASSERT_TRUE(Apply(db, BaseMessage(base)));
  ASSERT_TRUE(Apply(db, QuoteMessage(quotes)));
  Client first = NewClient();
  for (const std::string& s : symbols) db.Subscribe(first.handle, CSymbolKey(orvcom::Widen(s), 0));

  Client late = NewClient();
  late.events->sinkMicros = 200;
  // The sink's first call lasts until the burst is made, however fast the
  // build makes it: all of it waits at once.
  std::promise<void> made;
  std::shared_future<void> burstMade = made.get_future().share();
  std::atomic<bool> firstCall{true};
  late.events->onFire = [&] {
    if (firstCall.exchange(false)) burstMade.wait_for(std::chrono::seconds(60));
  };
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kKeys; ++i) {
    db.Subscribe(late.handle, CSymbolKey(orvcom::Widen(symbols[i]), 0));
    // Halfway, the pull thread writes newer quotes of keys already sent.
    if (i == kKeys / 2) {
      ASSERT_TRUE(Apply(db, QuoteMessage(requotes)));
    }
  }
  const auto subscribed = std::chrono::steady_clock::now();
  made.set_value();

  // The latest bid of each key as the client saw them, read as the events
  // come; a value that came after a newer one is noted.
  std::map<std::string, float> bids;
  size_t read = 0;
  bool ordered = true;
  auto whole = [&](const std::vector<StockEvent>& events) {
    for (; read < events.size(); ++read)
      for (const EventRow& r : events[read].rows) {
        auto it = bids.find(r.symbol);
        if (it != bids.end() && r.bid < it->second) ordered = false;
        bids[r.symbol] = r.bid;
      }
    if (bids.size() != static_cast<size_t>(kKeys)) return false;
    for (int i = 0; i < kRequoted; ++i)
      if (bids[symbols[i]] != 2.0f) return false;
    return true;
  };
  EXPECT_TRUE(late.events->WaitUntil(whole)) << "the client was left without the latest value of some keys: "
                                             << bids.size() << " keys seen";
  const auto delivered = std::chrono::steady_clock::now();
  EXPECT_TRUE(ordered) << "a key's older value came after a newer one";
  const CEventClient::QueueStats stats = late.handle->Stats();
  EXPECT_LT(stats.peakBytes, CEventClient::kMaxQueuedBytes);
  using ms = std::chrono::milliseconds;
  std::printf("burst of %d keys: subscribed in %lld ms, delivered whole in %lld ms; %zu events received, "
              "peak %zu events waiting, %zu bytes\n",
              kKeys, static_cast<long long>(std::chrono::duration_cast<ms>(subscribed - start).count()),
              static_cast<long long>(std::chrono::duration_cast<ms>(delivered - start).count()),
              late.events->Events().size(), stats.peakEvents, stats.peakBytes);
}

// While a client is busy, quotes of the same symbols that wait for it
// leave only the latest waiting; other rows keep their place in the order
// the table wrote them, and the direct table's rows are other rows.
TEST_F(StocksDBTest, QuotesOfTheSameRowsWaitingForABusyClientLeaveOnlyTheLatest) {
  db.runInline = false;
  direct.runInline = false;
  Client c = NewClient();
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}, {"BBB", 1.0f}, {"CCC", 1.0f}})));
  ASSERT_TRUE(Apply(direct, BaseMessage({{"AAA", 1.0f}})));
  for (const char16_t* s : {u"AAA", u"BBB", u"CCC"}) db.Subscribe(c.handle, CSymbolKey(s, 0));
  direct.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  std::promise<void> entered, open;
  std::shared_future<void> opened = open.get_future().share();
  std::atomic<bool> first{true};
  c.events->onFire = [&] {
    if (!first.exchange(false)) return;
    entered.set_value();
    opened.wait_for(std::chrono::seconds(20));
  };
  ASSERT_TRUE(Apply(db, QuoteMessage({{"CCC", 1.0f}})));  // holds the client
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 2.0f}, {"BBB", 2.0f}})));
  ASSERT_TRUE(Apply(db, QuoteMessage({{"CCC", 3.0f}})));
  ASSERT_TRUE(Apply(direct, QuoteMessage({{"AAA", 4.0f}}, T_DIRECT_EQUITY_QUOTE)));
  ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 5.0f}, {"BBB", 5.0f}})));
  ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 6.0f}})));
  ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 7.0f}, {"BBB", 7.0f}})));
  // Every one of them has been handed to the client before it is let go:
  // six places, two of them given up for a later event.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((c.handle->QueuedEvents() != 6 || c.handle->Stats().replaced != 2) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(c.handle->QueuedEvents(), 6u);
  open.set_value();
  ASSERT_TRUE(c.events->WaitForEvents(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<std::string> seen;
  for (const StockEvent& e : c.events->Events()) {
    std::string text = e.direct ? "direct" : "";
    for (const EventRow& r : e.rows) text += " " + r.symbol + "=" + std::to_string(static_cast<int>(r.bid));
    seen.push_back(text);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{" CCC=1", " CCC=3", "direct AAA=4", " AAA=6", " AAA=7 BBB=7"}));
  EXPECT_EQ(c.handle->Stats().replaced, 2u);
}

TEST_F(StocksDBTest, ARefusedTaskIsDeletedWithItsCursor) {
  LogCapture log(orvlog::kError);
  Client c = NewClient();
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}})));
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  db.refuse = true;
  const LONG cursors = CStocks::ActiveObjectCount();

  ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 2.0f}})));

  EXPECT_EQ(db.queued, 1);
  EXPECT_TRUE(log.Contains("ERROR : ThreadPool.QueueRequest failed."));
  EXPECT_EQ(CStocks::ActiveObjectCount(), cursors);
  EXPECT_TRUE(c.events->Events().empty());
  // The row was written all the same.
  EXPECT_FLOAT_EQ(db.Rows()[0].BidPrice, 2.0f);
}

TEST_F(StocksDBTest, AnErrorWhileSendingSaysWhereItWasCaughtAndWhat) {
  Client c = NewClient();
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}})));
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  const struct {
    std::function<void()> raise;
    const char* line;
  } cases[] = {
      {[] { _com_issue_error(E_OUTOFMEMORY); }, "CStocksDB::_SendEvent() ERROR: Code = 8007000e"},
      {[] {
         ICreateErrorInfo* create = nullptr;
         IErrorInfo* info = nullptr;
         ASSERT_TRUE(SUCCEEDED(CreateErrorInfo(&create)));
         create->SetDescription(const_cast<LPOLESTR>(u"the cursor is gone"));
         create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
         create->Release();
         _com_raise_error(E_FAIL, info);
       },
       "\tDescription = the cursor is gone"},
      {[] { throw std::runtime_error("boom"); }, "Unexpected error in CStocksDB::_SendEvent()."},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.line);
    LogCapture log(orvlog::kTrace);
    db.raise = k.raise;
    ASSERT_TRUE(Apply(db, QuoteMessage({{"AAA", 2.0f}})));
    const std::vector<std::string> lines = log.Lines();
    const auto error = std::find_if(lines.begin(), lines.end(),
                                    [&](const std::string& l) { return l.find(k.line) != std::string::npos; });
    ASSERT_NE(error, lines.end());
    ASSERT_NE(error, lines.begin());
    EXPECT_EQ(error[-1].rfind("Exception: ", 0), 0u) << error[-1];
    // The stock and futures tables share the place that sends.
    EXPECT_NE(error[-1].find("QuoteTableImpl.h:"), std::string::npos) << error[-1];
    EXPECT_TRUE(log.Contains("CStocksDB::_SendEvent() completed"));
  }
  EXPECT_TRUE(c.events->Events().empty());
}

TEST_F(StocksDBTest, DeletesRemoveTheSymbolsRows) {
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}, {"BBB", 2.0f}, {"CCC", 3.0f}, {"DDD", 4.0f}})));
  ASSERT_TRUE(Apply(direct, BaseMessage({{"AAA", 1.0f}})));
  // The key flag does not matter for stocks: the column is always symbol.
  db.DeleteSymbol(u"AAA", 1);
  EXPECT_EQ(Symbols(db.Rows()), (std::vector<std::string>{"BBB", "CCC", "DDD"}));
  db.DeleteSymbols({u"BBB", u"DDD", u"NONE"}, 0);
  EXPECT_EQ(Symbols(db.Rows()), (std::vector<std::string>{"CCC"}));
  db.DeleteSymbol(u"", 0);
  EXPECT_TRUE(db.Rows().empty());
  EXPECT_EQ(Symbols(direct.Rows()), (std::vector<std::string>{"AAA"}));
}

TEST_F(StocksDBTest, BlocksThatCannotBeReadChangeNothing) {
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}})));
  Client c = NewClient();
  db.Subscribe(c.handle, CSymbolKey(u"AAA", 0));
  LogCapture log(orvlog::kError);
  std::vector<std::string> changed;

  // An id the quote reader does not know (99): no record of the block is
  // applied and the rest of the message is given up.
  MessageBuilder unknown;
  unknown.Block(T_EQUITY_QUOTE, 1, {2, 6, 99}).Text("AAA", 12).Float(8.0f).Float(1.0f);
  const uint8_t* body = unknown.data() + kBlockHeaderSize;
  EXPECT_EQ(db.UpdateData(body, unknown.data() + unknown.size(), T_EQUITY_QUOTE, 1, 3, false, changed), nullptr);
  EXPECT_TRUE(log.Contains("Unknown field CStocksDB::_ParseStockQuote() 99"));

  // More records than octets.
  MessageBuilder truncated;
  truncated.Block(T_EQUITY_QUOTE, 3, {2, 6}).Text("AAA", 12).Float(8.0f);
  body = truncated.data() + kBlockHeaderSize;
  EXPECT_EQ(db.UpdateData(body, truncated.data() + truncated.size(), T_EQUITY_QUOTE, 3, 2, false, changed), nullptr);

  // A list that does not start with the symbol is stepped over whole.
  MessageBuilder keyless;
  keyless.Block(T_EQUITY_QUOTE, 1, {6, 2}).Float(8.0f).Text("AAA", 12);
  body = keyless.data() + kBlockHeaderSize;
  EXPECT_EQ(db.UpdateData(body, keyless.data() + keyless.size(), T_EQUITY_QUOTE, 1, 2, false, changed),
            keyless.data() + keyless.size());

  // A type this table does not read.
  EXPECT_EQ(db.UpdateData(body, keyless.data() + keyless.size(), T_OPTION_QUOTE, 1, 2, false, changed), nullptr);
  EXPECT_TRUE(log.Contains("CStocksDB::UpdateData() unknown type in statement 4"));

  EXPECT_TRUE(changed.empty());
  EXPECT_EQ(db.Rows()[0].BidPrice, 0.0f);
  EXPECT_TRUE(c.events->Events().empty());
}

TEST_F(StocksDBTest, BaseSnapshotReadsEveryBlockUpToTheLast) {
  // Two blocks, the first not the last; a third one behind the last block
  // is not read.
  MessageBuilder m = BaseMessage({{"BBB", 2.0f}}, 0);
  MessageBuilder second = BaseMessage({{"AAA", 1.0f}}, 1);
  MessageBuilder third = BaseMessage({{"CCC", 3.0f}}, 1);
  m.bytes.insert(m.bytes.end(), second.bytes.begin(), second.bytes.end());
  m.bytes.insert(m.bytes.end(), third.bytes.begin(), third.bytes.end());
  const CORBA::Any reply = orvidl::FieldListAny(m.bytes);
  direct.ApplyBaseReply(&reply);
  EXPECT_EQ(Symbols(direct.Rows()), (std::vector<std::string>{"AAA", "BBB"}));

  // A reply cut short keeps the blocks read whole before the cut.
  MessageBuilder cut = BaseMessage({{"DDD", 4.0f}}, 0);
  MessageBuilder partial = BaseMessage({{"EEE", 5.0f}}, 1);
  cut.bytes.insert(cut.bytes.end(), partial.bytes.begin(), partial.bytes.end() - 3);
  const CORBA::Any cutReply = orvidl::FieldListAny(cut.bytes);
  direct.ApplyBaseReply(&cutReply);
  EXPECT_EQ(Symbols(direct.Rows()), (std::vector<std::string>{"AAA", "BBB", "DDD"}));
}

TEST_F(StocksDBTest, ASnapshotThatEndsJustAfterABlockIsWholeWithoutItsLastFlag) {
  LogCapture log(orvlog::kError);
  const CORBA::Any one = orvidl::FieldListAny(BaseMessage({{"AAA", 1.0f}}, 0).bytes);
  direct.ApplyBaseReply(&one);
  MessageBuilder two = BaseMessage({{"BBB", 2.0f}}, 0);
  const MessageBuilder next = BaseMessage({{"CCC", 3.0f}}, 0);
  two.bytes.insert(two.bytes.end(), next.bytes.begin(), next.bytes.end());
  const CORBA::Any twoReply = orvidl::FieldListAny(two.bytes);
  direct.ApplyBaseReply(&twoReply);
  EXPECT_EQ(Symbols(direct.Rows()), (std::vector<std::string>{"AAA", "BBB", "CCC"}));
  EXPECT_FALSE(log.Contains("without its last block"));

  // Octets that stop inside a header are still a reply cut short.
  MessageBuilder cut = BaseMessage({{"DDD", 4.0f}}, 0);
  cut.bytes.insert(cut.bytes.end(), next.bytes.begin(), next.bytes.begin() + 5);
  const CORBA::Any cutReply = orvidl::FieldListAny(cut.bytes);
  direct.ApplyBaseReply(&cutReply);
  EXPECT_TRUE(log.Contains("without its last block"));
  EXPECT_EQ(Symbols(direct.Rows()), (std::vector<std::string>{"AAA", "BBB", "CCC", "DDD"}));
}

TEST_F(StocksDBTest, GetMarketDataAnswersFromTheTableWithoutAService) {
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}, {"BBB", 2.0f}})));
  std::vector<StockRecord> out;
  db.GetMarketData(CSymbolKey(u"BBB", 1), Orv::ZmDataManager::_nil(), out);
  ASSERT_EQ(Symbols(out), (std::vector<std::string>{"BBB"}));
  EXPECT_FLOAT_EQ(out[0].PriceClose, 2.48f);

  // The empty symbol never reads the table: without a service, nothing.
  LogCapture log(orvlog::kError);
  out.clear();
  db.GetMarketData(CSymbolKey(u"", 0), Orv::ZmDataManager::_nil(), out);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(log.Contains("requested without a service"));
}

TEST_F(StocksDBTest, ReadsStopEarlyOnceTheProgramStops) {
  ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}, {"BBB", 2.0f}})));
  ASSERT_EQ(db.Rows().size(), 2u);
  SetEvent(StopEvent());
  const size_t read = db.Rows().size();
  ResetEvent(StopEvent());  // only a test ever takes it back
  EXPECT_EQ(read, 0u);
}

TEST(StocksDBInitialize, EmptiesAnExistingTableAndReportsAnUnusableFile) {
  TempDir dir;
  {
    CStocksDB db(dir.File("bob"), false);
    ASSERT_TRUE(db.Initialize());
    ASSERT_TRUE(Apply(db, BaseMessage({{"AAA", 1.0f}})));
    ASSERT_TRUE(db.Initialize());
    std::vector<StockRecord> out;
    db.GetMarketData(CSymbolKey(u"AAA", 0), Orv::ZmDataManager::_nil(), out);
    EXPECT_TRUE(out.empty());
  }
  LogCapture log(orvlog::kError);
  CStocksDB missing(dir.File("no-such-folder/bob"), false);
  EXPECT_FALSE(missing.Initialize());
  EXPECT_TRUE(log.Contains("SQLite error in CStocksDB::Initialize(): SQLITE_CANTOPEN[14]"));
  // The table object goes on: later accesses fail the same way and log.
  ASSERT_TRUE(Apply(missing, BaseMessage({{"AAA", 1.0f}})));
  EXPECT_TRUE(log.Contains("SQLite error in CStocksDB::_UpdateStockBase(): "));
}

TEST(StocksDBInitialize, WaitsForTheDatabaseLock) {
  // The other service's pull thread may be writing the same file.
  TempDir dir;
  CStocksDB db(dir.File("carol"), false);
  std::atomic<bool> done{false};
  CDatabaseLock::Enter();
  std::thread t([&] {
    db.Initialize();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done);
  CDatabaseLock::Leave();
  t.join();
  EXPECT_TRUE(done);
}

}  // namespace
