#include "feed/CLiteDB.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "LogCapture.h"
#include "TempDir.h"
#include "feed/CDatabaseLock.h"
#include "feed/CSqliteDB.h"

namespace {

CZmOrvEventSource* FakeClient(int n) {
  // Clients are opaque keys to the table: the address is never called.
  static char objects[16];
  return reinterpret_cast<CZmOrvEventSource*>(&objects[n]);
}

bool WaitUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct Fired {
  std::mutex m;
  std::condition_variable cv;
  std::vector<CZmOrvEventSource*> clients;
  int finished = 0;
  void Done() {
    std::lock_guard<std::mutex> l(m);
    ++finished;
    cv.notify_all();
  }
  void WaitFinished(int n) {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return finished >= n; });
  }
};

// Blocks the pool threads until opened, so that tests decide what runs.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = true;
  void Close() {
    std::lock_guard<std::mutex> l(m);
    open = false;
  }
  void Open() {
    std::lock_guard<std::mutex> l(m);
    open = true;
    cv.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return open; });
  }
};

class SendTask : public CWorkerInterface {
 public:
  SendTask(CEventClientPtr client, Fired* fired, Gate* gate) : m_client(std::move(client)), m_fired(fired), m_gate(gate) {}
  void DoTask() override {
    m_gate->Wait();
    m_client->WithClient([&](CZmOrvEventSource* c) {
      std::lock_guard<std::mutex> l(m_fired->m);
      m_fired->clients.push_back(c);
    });
    m_fired->Done();
  }

 private:
  CEventClientPtr m_client;
  Fired* m_fired;
  Gate* m_gate;
};

// A table object with the least a subclass must supply.
class TestTable : public CLiteDB {
 public:
  // The tasks' counters and gate belong to the test: they must outlive the
  // table, whose pool is shut down only after this subclass is gone.
  TestTable(const std::string& path, std::string table, Fired* f, Gate* g)
      : CLiteDB(path), fired(*f), gate(*g), m_table(std::move(table)) {}

  bool Initialize() override {
    CDatabaseLockGuard lock;
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    db.RunCommand("PRAGMA read_uncommitted");
    db.RunCommand(("CREATE TABLE " + m_table + " (symbol TEXT primary key, stock_symbol TEXT)").c_str());
    return true;
  }
  void DeleteSymbol(const std::u16string& symbol, BYTE flag) override { _DeleteSymbolFromDB(m_table, symbol, flag); }
  void DeleteSymbols(const std::vector<std::u16string>& symbols, BYTE flag) override {
    _DeleteSymbolFromDB(m_table, symbols, flag);
  }
  const uint8_t* UpdateData(const uint8_t* data, const uint8_t*, uint8_t, uint32_t, uint8_t, bool) override {
    return data;
  }
  void SendCurrentData(const CEventClientPtr& client, const CSymbolKey& key) override {
    {
      std::lock_guard<std::mutex> l(m);
      sent.emplace_back(client->Key(), key);
    }
    // The database lock must be free to take here: no subscription lock is
    // held while the current rows are read.
    CDatabaseLockGuard lock;
    _SendEvent(client);
  }
  bool _SendEvent(const CEventClientPtr& client) {
    SendTask* task = new SendTask(client, &fired, &gate);
    if (!QueueRequest(task)) {
      delete task;
      return false;
    }
    return true;
  }

  void Insert(const char* symbol, const char* underlying) {
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    CSqliteStatement s = db.Prepare(("insert into " + m_table + " values (?, ?)").c_str());
    s.BindText(1, symbol);
    s.BindText(2, underlying);
    s.RunCommand();
  }
  std::vector<std::string> Rows() {
    CSqliteDB db;
    db.Open(DatabasePath().c_str());
    CSqliteStatement s = db.Prepare(("select symbol from " + m_table + " order by symbol").c_str());
    std::vector<std::string> out;
    for (CSqliteQuery q = s.RunQuery(); !q.AtEnd(); q.Next()) out.push_back(q.TextAt(0));
    return out;
  }

  std::mutex m;
  std::vector<std::pair<const void*, CSymbolKey>> sent;
  Fired& fired;
  Gate& gate;
  std::string m_table;
};

TEST(CSymbolKeyTest, OrderIsSymbolByCodeUnitThenFlag) {
  const CSymbolKey ordered[] = {
      {u"", 0}, {u"", 1}, {u"A", 0}, {u"A", 1}, {u"AB", 0}, {u"B", 0}, {u"Z", 1}, {u"a", 0}, {u"\u00e9", 0},
  };
  for (size_t i = 0; i < std::size(ordered); ++i) {
    for (size_t j = 0; j < std::size(ordered); ++j) {
      EXPECT_EQ(ordered[i] < ordered[j], i < j) << i << " " << j;
      EXPECT_EQ(ordered[i] == ordered[j], i == j) << i << " " << j;
    }
  }
  EXPECT_EQ(CSymbolKey(static_cast<const char16_t*>(nullptr), 0), CSymbolKey(u"", 0)) << "null is the empty symbol";
  EXPECT_EQ(CSymbolKey(u"X", 7).Flag(), 1);
  EXPECT_EQ(CSymbolKey(u"MSFT", 0).Narrow(), "MSFT");
}

class LiteDBFixture : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.File("user");
  CEventClientPtr c1 = CEventClient::Create(FakeClient(1));
  CEventClientPtr c2 = CEventClient::Create(FakeClient(2));
  Fired fired;
  Gate gate;
};

TEST_F(LiteDBFixture, SubscriptionRecord) {
  TestTable t(path, "options", &fired, &gate);
  const CSymbolKey msft(u"MSFT", 0);
  const CSymbolKey msftOption(u"MSFT", 1);

  EXPECT_TRUE(t.Subscribe(c1, msft));
  EXPECT_TRUE(t.Subscribe(c1, msft)) << "twice changes nothing";
  EXPECT_TRUE(t.sent.empty()) << "the first subscriber's rows come from the service";
  EXPECT_TRUE(t.IsSubscribed(msft));
  EXPECT_FALSE(t.IsSubscribed(msftOption)) << "flag 0 and flag 1 are two keys";
  EXPECT_TRUE(t.IsSubscribedBy(c1, msft));
  EXPECT_FALSE(t.IsSubscribedBy(c2, msft));

  EXPECT_TRUE(t.Subscribe(c2, msft));
  ASSERT_EQ(t.sent.size(), 1u) << "a late subscriber gets the cached rows at once";
  EXPECT_EQ(t.sent[0].first, c2->Key());
  EXPECT_EQ(t.sent[0].second, msft);

  t.Subscribe(c1, CSymbolKey(u"", 0));
  t.Subscribe(c1, CSymbolKey(u"AAPL", 1));
  std::vector<CSymbolKey> keys{CSymbolKey(u"KEEP", 0)};
  t.GetClientSubscriptions(c1, keys);
  EXPECT_EQ(keys, (std::vector<CSymbolKey>{{u"KEEP", 0}, {u"", 0}, {u"AAPL", 1}, {u"MSFT", 0}}))
      << "appended in key order";

  {
    LogCapture log;
    t.UnSubscribe(c2, CSymbolKey(u"IBM", 0));
    EXPECT_FALSE(log.Contains("CLiteDB::UnSubscribe()")) << "a key the client does not hold logs nothing";
    t.UnSubscribe(c1, msft);
    EXPECT_TRUE(log.Contains("CLiteDB::UnSubscribe() completed: MSFT"));
  }
  EXPECT_TRUE(t.IsSubscribed(msft)) << "c2 still holds it";
  EXPECT_FALSE(t.HasNoSubscribers(msft));
  t.UnSubscribe(c2, msft);
  EXPECT_FALSE(t.IsSubscribed(msft));
  EXPECT_TRUE(t.HasNoSubscribers(msft));

  t.RemoveClient(c1);
  keys.clear();
  t.GetClientSubscriptions(c1, keys);
  EXPECT_TRUE(keys.empty());
  EXPECT_FALSE(t.IsSubscribed(CSymbolKey(u"", 0)));
  EXPECT_TRUE(t.HasNoSubscribers(CSymbolKey(u"AAPL", 1)));
  // A new subscriber of a key nobody holds any more is its first again.
  t.sent.clear();
  t.Subscribe(c2, CSymbolKey(u"AAPL", 1));
  EXPECT_TRUE(t.sent.empty());
}

// A client that holds nothing any more is not kept, whichever way it let
// go of its keys: a session serves many short-lived clients.
TEST_F(LiteDBFixture, AClientThatHoldsNothingIsForgotten) {
  TestTable t(path, "options", &fired, &gate);
  gate.Open();
  struct Case {
    const char* how;
    void (*leave)(TestTable&, const CEventClientPtr&);
  } cases[] = {
      {"UnSubscribe of each key",
       [](TestTable& t, const CEventClientPtr& c) {
         t.UnSubscribe(c, CSymbolKey(u"MSFT", 0));
         t.UnSubscribe(c, CSymbolKey(u"MSFT", 1));
       }},
      {"RemoveClient", [](TestTable& t, const CEventClientPtr& c) { t.RemoveClient(c); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    CEventClientPtr client = CEventClient::Create(FakeClient(7));
    // Another client keeps the key present, so that only the client's own
    // record is in question.
    t.Subscribe(c1, CSymbolKey(u"MSFT", 0));
    t.Subscribe(client, CSymbolKey(u"MSFT", 0));
    t.Subscribe(client, CSymbolKey(u"MSFT", 1));
    c.leave(t, client);
    std::weak_ptr<CEventClient> weak = client;
    client.reset();
    // Tasks queued for it hold it only until they ran.
    ASSERT_TRUE(WaitUntil([&] { return weak.expired(); })) << "the table still holds the released client";
    EXPECT_TRUE(t.IsSubscribed(CSymbolKey(u"MSFT", 0)));
    t.RemoveClient(c1);
  }
}

TEST_F(LiteDBFixture, ALateSubscriberRacingTheLastUnsubscribeIsNeverLost) {
  TestTable t(path, "options", &fired, &gate);
  const CSymbolKey key(u"SPX", 0);
  std::atomic<int> lost{0};
  auto churn = [&](const CEventClientPtr& me) {
    for (int i = 0; i < 2000; ++i) {
      t.Subscribe(me, key);
      // While this client holds the key, the key is present and has a
      // subscriber, whatever the other thread does.
      if (!t.IsSubscribed(key) || t.HasNoSubscribers(key) || !t.IsSubscribedBy(me, key)) ++lost;
      t.UnSubscribe(me, key);
    }
  };
  gate.Open();
  std::thread a(churn, c1), b(churn, c2);
  a.join();
  b.join();
  EXPECT_EQ(lost, 0);
  EXPECT_FALSE(t.IsSubscribed(key));
  EXPECT_TRUE(t.HasNoSubscribers(key));
  std::lock_guard<std::mutex> l(t.m);
  for (const auto& s : t.sent) EXPECT_EQ(s.second, key);
}

TEST_F(LiteDBFixture, EventTasksFireOnlyOnAttachedClientsAndUnrunTasksAreReleased) {
  CEventClientPtr gone = CEventClient::Create(FakeClient(3));
  auto t = std::make_unique<TestTable>(path, "options", &fired, &gate);
  ASSERT_TRUE(t->_SendEvent(c1));
  ASSERT_TRUE(t->_SendEvent(gone));
  fired.WaitFinished(2);
  gone->Detach();
  EXPECT_EQ(gone->Key(), FakeClient(3)) << "the key outlives the client";
  ASSERT_TRUE(t->_SendEvent(gone));
  fired.WaitFinished(3);
  ASSERT_EQ(fired.clients.size(), 2u) << "a detached client fires nothing";
  EXPECT_EQ(std::count(fired.clients.begin(), fired.clients.end(), FakeClient(1)), 1);
  EXPECT_EQ(std::count(fired.clients.begin(), fired.clients.end(), FakeClient(3)), 1);

  // Hold every pool thread and queue more than they can take; the held
  // tasks are let go only once the destructor has begun. Whether a queued
  // task then runs or is dropped, each lets its client go.
  gate.Close();
  for (int i = 0; i < 25; ++i) ASSERT_TRUE(t->_SendEvent(c2));
  {
    LogCapture log(orvlog::kDebug);
    log.onLine = [&](const std::string& line) {
      if (line == "Waiting thread pull (send events) shutdown") gate.Open();
    };
    t.reset();
  }
  EXPECT_EQ(c2.use_count(), 1) << "every task, run or not, let its client go";
  EXPECT_EQ(gone.use_count(), 1);
}

TEST_F(LiteDBFixture, AppendForSubscribersReservesPerChangedSymbolOnTheFirstRecord) {
  LogCapture log(orvlog::kDebug);
  CLiteDB::ClientSet clients{c2, c1};
  std::map<CEventClientPtr, std::vector<int>, LessEventClient> lists;
  CLiteDB::AppendForSubscribers(7, clients, lists, 2);
  CLiteDB::AppendForSubscribers(8, clients, lists, 2);
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(lists.begin()->first.get(), std::min(c1.get(), c2.get(), std::less<const CEventClient*>()));
  EXPECT_EQ(lists[c1], (std::vector<int>{7, 8}));
  EXPECT_GE(lists[c1].capacity(), 300u);
  EXPECT_EQ(log.Count("Set user vector size = 300"), 2u) << "once per client";
}

TEST_F(LiteDBFixture, DeletesPickTheKeyColumnPerTable) {
  TestTable options(path, "options", &fired, &gate);
  TestTable futureOptions(path, "futureoptions", &fired, &gate);
  ASSERT_TRUE(options.Initialize());
  ASSERT_TRUE(futureOptions.Initialize());
  for (TestTable* t : {&options, &futureOptions}) {
    t->Insert("MSFT1", "MSFT");
    t->Insert("MSFT2", "MSFT");
    t->Insert("MSFT", "MSFT");
    t->Insert("IBM1", "IBM");
    t->Insert("A'B", "X");
    t->DeleteSymbol(u"MSFT", 0);
  }
  EXPECT_EQ(options.Rows(), (std::vector<std::string>{"A'B", "IBM1"})) << "an underlying takes all its options";
  EXPECT_EQ(futureOptions.Rows(), (std::vector<std::string>{"A'B", "IBM1", "MSFT1", "MSFT2"}))
      << "only the row whose own symbol matches";
  options.DeleteSymbol(u"IBM1", 1);
  EXPECT_EQ(options.Rows(), (std::vector<std::string>{"A'B"}));
  futureOptions.DeleteSymbols({u"MSFT1", u"A'B", u"NONE"}, 0);
  EXPECT_EQ(futureOptions.Rows(), (std::vector<std::string>{"IBM1", "MSFT2"})) << "a quote in a symbol is data";
  futureOptions.DeleteSymbol(u"", 0);
  EXPECT_TRUE(futureOptions.Rows().empty()) << "the empty symbol empties the table";
}

TEST_F(LiteDBFixture, DeleteFailuresAreLoggedAndTheLockIsLeft) {
  LogCapture log;
  TestTable t(dir.File("missing/user"), "options", &fired, &gate);
  t.DeleteSymbol(u"X", 0);
  EXPECT_TRUE(log.Contains("SQLite error in CLiteDB::_DeleteSymbolFromDB(): SQLITE_CANTOPEN[14]: "));
  log.Clear();
  TestTable noTable(path, "options", &fired, &gate);
  noTable.DeleteSymbols({u"A", u"B"}, 1);
  EXPECT_TRUE(log.Contains("SQLite error in CLiteDB::_DeleteSymbolFromDB(): SQLITE_ERROR[1]: Code 1"));
  // The lock is free again: another thread can take it.
  std::thread other([] { CDatabaseLockGuard lock; });
  other.join();
}

TEST_F(LiteDBFixture, WaitDatabaseReturnsOnlyAfterTheAccessInProgress) {
  TestTable t(path, "options", &fired, &gate);
  std::mutex m;
  std::condition_variable cv;
  bool holding = false;
  std::atomic<bool> finished{false};
  std::thread writer([&] {
    CDatabaseLockGuard lock;
    {
      std::lock_guard<std::mutex> l(m);
      holding = true;
    }
    cv.notify_all();
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    finished = true;
  });
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return holding; });
  }
  EXPECT_TRUE(t.WaitDatabase());
  EXPECT_TRUE(finished);
  writer.join();
}

}  // namespace
