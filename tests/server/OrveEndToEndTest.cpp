// ORVE reached the way every automation client reaches it: from other
// processes, through the registry and the runtime folder. The test program
// registers the built server in a registry of its own, points its settings
// at orvsim, and lets the first create start it. The same binary doubles as
// a helper client ("--client MODE") for the cases that need a second or a
// killed client process.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define ORV_LEAK_CHECK 1
#endif
#endif
#ifndef ORV_LEAK_CHECK
#define ORV_LEAK_CHECK 0
#endif

#include "BraskOrvEnt.h"
#include "OrvSimProcess.h"
#include "platform/com/atlbase.h"
#include "platform/com/com.h"
#include "platform/com/comdef.h"
#include "platform/win/registry.h"
#include "OrveProcessSupport.h"
#include "tests/server/EventSinkBase.h"
#include "../feed/SslFiles.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

using orveprocess::EndPrivateRoot;
using orveprocess::Eventually;
using orveprocess::MakePrivateRoot;
using orveprocess::NoOrve;
using orveprocess::OrvePids;
using orveprocess::ReadFile;
using orveprocess::RunOrve;
using orveprocess::SetSetting;
using orveprocess::TakeErrorDescription;
using orveprocess::Text;
using orveprocess::WriteServiceSettings;

std::string CommandLineOf(pid_t pid) {
  std::string s = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  for (char& c : s)
    if (c == '\0') c = ' ';
  return s;
}

// A client's event sink: for each OnStocksChange it walks the cursor, every
// step a call back into the server while the server's event call waits.
class StockSink final : public orvtest::EventSinkBase {
 public:
  STDMETHOD(Invoke)(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id != 1 || params == nullptr || params->cArgs != 1 || params->rgvarg[0].vt != VT_DISPATCH) return S_OK;
    CComQIPtr<IStocksEnt> cursor(params->rgvarg[0].pdispVal);
    std::vector<std::pair<std::string, float>> rows;
    bool failed = !cursor;
    VARIANT_BOOL more = VARIANT_TRUE;
    while (cursor && more == VARIANT_TRUE) {
      BSTR s = nullptr;
      float last = 0;
      if (FAILED(cursor->get_Symbol(&s)) || FAILED(cursor->get_LastPrice(&last))) failed = true;
      if (s != nullptr && SysStringLen(s) != 0) rows.emplace_back(Text(s), last);
      SysFreeString(s);
      if (FAILED(cursor->Next(&more))) {
        failed = true;
        break;
      }
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_threads.insert(std::this_thread::get_id());
      if (failed) ++m_failedWalks;
      for (auto& r : rows) m_symbols.insert(r.first);
    }
    m_cv.notify_all();
    return S_OK;
  }

  bool WaitFor(const std::string& symbol) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, 10s, [&] { return m_symbols.count(symbol) != 0; });
  }
  std::set<std::string> Symbols() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_symbols;
  }
  std::set<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads;
  }
  int FailedWalks() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failedWalks;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::set<std::string> m_symbols;
  std::set<std::thread::id> m_threads;
  int m_failedWalks = 0;
};

// A client's sink for OnStocksChange that keeps, in the order they came,
// each row's symbol and volume (a stock's volume only grows, so a smaller
// one after a larger is an older quote delivered late). It can hold its
// first event until told to go on, or let go of everything from inside
// its handler.
class QuoteSink final : public orvtest::EventSinkBase {
 public:
  STDMETHOD(Invoke)(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id != 1 || params == nullptr || params->cArgs != 1 || params->rgvarg[0].vt != VT_DISPATCH) return S_OK;
    std::vector<std::pair<std::string, long>> rows;
    {
      CComQIPtr<IStocksEnt> cursor(params->rgvarg[0].pdispVal);
      VARIANT_BOOL more = VARIANT_TRUE;
      while (cursor && more == VARIANT_TRUE) {
        BSTR s = nullptr;
        LONG volume = 0;
        if (SUCCEEDED(cursor->get_Symbol(&s)) && SUCCEEDED(cursor->get_Volume(&volume)) && s != nullptr &&
            SysStringLen(s) != 0)
          rows.emplace_back(Text(s), volume);
        SysFreeString(s);
        if (FAILED(cursor->Next(&more))) break;
      }
    }
    std::function<void()> letGo;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      ++m_events;
      m_rows.insert(m_rows.end(), rows.begin(), rows.end());
      if (m_hold && m_events == 1) {
        m_held = true;
        m_cv.notify_all();
        m_cv.wait_for(lock, 60s, [&] { return !m_hold; });
        m_held = false;
      }
      std::swap(letGo, m_letGo);
    }
    m_cv.notify_all();
    if (letGo) letGo();
    return S_OK;
  }

  // The first event waits in the handler until GoOn.
  void HoldFirst() { m_hold = true; }
  bool WaitHeld() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, 15s, [&] { return m_held; });
  }
  void GoOn() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_hold = false;
    }
    m_cv.notify_all();
  }
  // Runs once, inside the next event's handler.
  void LetGoInHandler(std::function<void()> f) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_letGo = std::move(f);
  }
  bool WaitEvents(int n, std::chrono::milliseconds limit = 20s) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, limit, [&] { return m_events >= n; });
  }
  int Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  // Rows whose volume is below one that came before it for that symbol.
  int Inversions() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<std::string, long> last;
    int n = 0;
    for (const auto& r : m_rows) {
      auto it = last.find(r.first);
      if (it != last.end() && r.second < it->second) ++n;
      last[r.first] = std::max(r.second, it != last.end() ? it->second : r.second);
    }
    return n;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<std::pair<std::string, long>> m_rows;
  int m_events = 0;
  bool m_hold = false;
  bool m_held = false;
  std::function<void()> m_letGo;
};

// The symbols of the service's stocks, read through a remote cursor.
std::vector<std::string> AllStocks(IZmOrvEnt* object) {
  std::vector<std::string> out;
  CComPtr<IStocksEnt> cursor;
  EXPECT_EQ(object->GetStocksAll(&cursor), S_OK) << TakeErrorDescription();
  VARIANT_BOOL more = cursor ? VARIANT_TRUE : VARIANT_FALSE;
  while (more == VARIANT_TRUE && out.size() < 1000) {
    BSTR s = nullptr;
    EXPECT_EQ(cursor->get_Symbol(&s), S_OK);
    if (s != nullptr && SysStringLen(s) != 0) out.push_back(Text(s));
    SysFreeString(s);
    if (cursor->Next(&more) != S_OK) break;
  }
  return out;
}

HRESULT Create(IZmOrvEnt** object, DWORD context = CLSCTX_LOCAL_SERVER) {
  return CoCreateInstance(CLSID_ZmOrvEnt, nullptr, context, IID_IZmOrvEnt, reinterpret_cast<void**>(object));
}

// ---------------------------------------------------------------------------
// Helper client: "--client hold" creates on "go", makes one call, says
// "ready" and holds the object until its stdin closes; "--client sink" also
// signs in, advises a sink and subscribes every stock, then holds.

int RunClient(const std::string& mode) {
  std::string line;
  if (!std::getline(std::cin, line) || line != "go") return 2;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  CComPtr<IZmOrvEnt> object;
  // The bridge asks for any context; only the local server has the class.
  HRESULT hr = Create(&object, mode == "hold" ? CLSCTX_ALL : CLSCTX_LOCAL_SERVER);
  if (FAILED(hr)) {
    std::cout << "create failed " << hr << std::endl;
    return 3;
  }
  std::unique_ptr<StockSink> sink;
  std::unique_ptr<QuoteSink> slow;
  CComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  CComPtr<IClassFactory> factory;
  if (mode == "slow") {
    // Holds its first event until a line comes on stdin.
    slow.reset(new QuoteSink);
    slow->HoldFirst();
    hr = object->Connect(_bstr_t("alice"), _bstr_t("secret"));
    CComQIPtr<IConnectionPointContainer> container(object);
    if (SUCCEEDED(hr) && container) hr = container->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point);
    if (SUCCEEDED(hr) && point) hr = point->Advise(slow.get(), &cookie);
    if (SUCCEEDED(hr)) hr = object->SubscribeAll(enStockData);
    if (SUCCEEDED(hr)) {
      std::cout << "ready" << std::endl;
      if (!slow->WaitHeld()) return 5;
      std::cout << "held" << std::endl;
      std::getline(std::cin, line);
      slow->GoOn();
    }
  } else if (mode == "lock") {
    hr = CoGetClassObject(CLSID_ZmOrvEnt, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                          reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(hr)) hr = factory->LockServer(TRUE);
    // The object goes; the lock alone keeps the server.
    object.Release();
  } else if (mode == "sink") {
    sink.reset(new StockSink);
    hr = object->Connect(_bstr_t("alice"), _bstr_t("secret"));
    CComQIPtr<IConnectionPointContainer> container(object);
    if (SUCCEEDED(hr) && container) hr = container->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point);
    if (SUCCEEDED(hr) && point) hr = point->Advise(sink.get(), &cookie);
    if (SUCCEEDED(hr)) hr = object->SubscribeAll(enStockData);
  } else {
    VARIANT_BOOL subscribed = VARIANT_FALSE;
    // Not signed in: a failure, but one that went there and back.
    hr = object->IsSymbolSubscribed(_bstr_t("ANY"), enEquity, enStockData, &subscribed) == E_FAIL ? S_OK : E_FAIL;
  }
  if (FAILED(hr)) {
    std::cout << "call failed " << hr << std::endl;
    return 4;
  }
  if (mode != "slow") std::cout << "ready" << std::endl;
  while (std::getline(std::cin, line)) {
  }
  if (point) point->Unadvise(cookie);
  point.Release();
  object.Release();
  factory.Release();
  // A sink the server still holds (an event on its way) must outlive its
  // late calls: it is given the time to be let go, else left to the exit.
  auto outlive = [](auto& s) {
    if (!s || Eventually([&] { return s->Refs() == 0; }, 5s)) return;
#if ORV_LEAK_CHECK
    __lsan_ignore_object(s.get());
#endif
    s.release();
  };
  outlive(sink);
  outlive(slow);
  CoUninitialize();
  return 0;
}

struct Helper {
  pid_t pid = -1;
  int in = -1;   // its stdin
  int out = -1;  // its stdout

  void Send(const std::string& s) {
    if (in >= 0 && ::write(in, s.data(), s.size()) < 0) {
    }
  }
  void CloseInput() {
    if (in >= 0) ::close(in);
    in = -1;
  }
  // One line of its output within the limit, else "".
  std::string Line(std::chrono::milliseconds limit = 15s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::string s;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd p = {out, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char c = 0;
      if (::read(out, &c, 1) != 1) return s;
      if (c == '\n') return s;
      s += c;
    }
  }
  // The exit status once it ended within the limit, else -1.
  int Wait(std::chrono::milliseconds limit = 10s) {
    int status = -1;
    const bool ended = Eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (out >= 0) ::close(out);
    out = -1;
    CloseInput();
    return ended ? status : -1;
  }
};

Helper StartClient(const std::string& mode) {
  Helper h;
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return h;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::string self = "/proc/self/exe";
  char program[PATH_MAX] = {};
  const ssize_t n = ::readlink(self.c_str(), program, sizeof program - 1);
  if (n <= 0) return h;
  std::vector<std::string> args = {program, "--client", mode};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  if (::posix_spawn(&h.pid, program, &actions, nullptr, argv.data(), environ) != 0) h.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  h.in = in[1];
  h.out = out[0];
  return h;
}

// ---------------------------------------------------------------------------

std::string g_root;
constexpr DWORD kEventTimeoutMs = 4000;
std::unique_ptr<orvsim::OrvSimProcess> g_sim;

// One orvsim, one registration and one private set of per-user folders for
// the whole program; the server copies come and go with the tests.
class EndToEndEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MakePrivateRoot("orve-e2e-XXXXXX", &g_root));

    g_sim = std::make_unique<orvsim::OrvSimProcess>(
        g_root, std::vector<std::string>{"--rate", "20", "--stocks", "5", "--future-roots", "1", "--user",
                                         "alice:secret", "--log-level", "warn"});

    ASSERT_EQ(RunOrve("-RegServer"), 0) << ReadFile(g_root + "/registry.reg");
    ASSERT_NE(ReadFile(g_root + "/registry.reg").find("LocalServer32"), std::string::npos);

    // The event timeout short, so that a stopped client is dropped within
    // the test.
    ASSERT_NO_FATAL_FAILURE(WriteServiceSettings(*g_sim, 1, {{"EventTimeout", kEventTimeoutMs}}));

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }

  void TearDown() override {
    CoUninitialize();
    EndPrivateRoot(&g_sim, g_root);
  }
};

std::string OrveLog() { return ReadFile(g_root + "/home/Application Data/Orv/ORVE.log"); }

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class OrveEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test starts with no server, as a user's first client would.
    ASSERT_TRUE(Eventually(NoOrve, 10s)) << "a server from an earlier test is still running";
    m_logStart = OrveLog().size();
  }
  std::string LogSinceStart() { return OrveLog().substr(m_logStart); }

  size_t m_logStart = 0;
};

TEST_F(OrveEndToEnd, AClientSignsInQueriesAndReceivesEventsThenTheServerLeavesWhenIdle) {
  CComPtr<IZmOrvEnt> object;
  ASSERT_EQ(Create(&object), S_OK);
  const std::vector<pid_t> servers = OrvePids();
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_NE(CommandLineOf(servers[0]).find("-Embedding"), std::string::npos) << CommandLineOf(servers[0]);

  // A failed sign-in brings its text back to the caller's error information
  // and through the compiler's COM support.
  {
    const HRESULT hr = object->Connect(_bstr_t("alice"), _bstr_t("wrong"));
    ASSERT_TRUE(FAILED(hr));
    try {
      _com_issue_errorex(hr, object, IID_IZmOrvEnt);
      ADD_FAILURE() << "no exception";
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Error(), hr);
      const _bstr_t description = e.Description();
      const char* text = static_cast<const char*>(description);
      EXPECT_STREQ(text != nullptr ? text : "<null>", "Invalid user id or password");
    }
    EXPECT_TRUE(FAILED(object->Connect(_bstr_t("nobody"), _bstr_t("secret"))));
    EXPECT_EQ(TakeErrorDescription(), "Invalid user id or password");
  }

  ASSERT_EQ(object->Connect(_bstr_t("alice"), _bstr_t("secret")), S_OK) << TakeErrorDescription();

  // A query hands out a cursor that stays in the server: every read is a call.
  const std::vector<std::string> stocks = AllStocks(object);
  ASSERT_FALSE(stocks.empty());

  // On the heap: should the server keep it by mistake, a late call finds
  // it alive instead of a finished test's stack.
  StockSink& sink = *new StockSink;
  CComPtr<IConnectionPoint> point;
  {
    CComQIPtr<IConnectionPointContainer> container(object);
    ASSERT_TRUE(container);
    ASSERT_EQ(container->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point), S_OK);
  }
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  ASSERT_EQ(object->Subscribe(_bstr_t(stocks.front().c_str()), enEquity, enStockData), S_OK)
      << TakeErrorDescription();
  EXPECT_TRUE(sink.WaitFor(stocks.front())) << "no OnStocksChange for " << stocks.front();
  EXPECT_EQ(sink.Symbols(), std::set<std::string>{stocks.front()});
  EXPECT_EQ(sink.FailedWalks(), 0) << "a call back into the server from the event handler failed";
  EXPECT_EQ(sink.Threads().count(std::this_thread::get_id()), 0u) << "events must arrive on call threads";

  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  point.Release();
  object.Release();
  EXPECT_TRUE(Eventually([&] { return sink.Refs() == 0; }, 5s)) << "the server still holds the sink";
  if (sink.Refs() == 0) delete &sink;

  // Idle for a second, then its stop: no client has to end it.
  EXPECT_TRUE(Eventually(NoOrve, 10s)) << "ORVE did not exit after the last release";
  const std::string log = LogSinceStart();
  EXPECT_NE(log.find("CZmOrvEnt::ObjectMain() completed"), std::string::npos) << log;
  EXPECT_EQ(log.find("Critical error"), std::string::npos) << log;
}

TEST_F(OrveEndToEnd, TwoClientProcessesCreatingAtOnceShareOneServer) {
  Helper a = StartClient("hold");
  Helper b = StartClient("hold");
  ASSERT_GT(a.pid, 0);
  ASSERT_GT(b.pid, 0);
  a.Send("go\n");
  b.Send("go\n");
  EXPECT_EQ(a.Line(), "ready");
  EXPECT_EQ(b.Line(), "ready");
  EXPECT_EQ(OrvePids().size(), 1u);
  EXPECT_EQ(Count(LogSinceStart(), "Param line"), 1u) << "more than one server started:\n" << LogSinceStart();
  EXPECT_EQ(LogSinceStart().find("Only one copy of the service may be run."), std::string::npos);

  a.CloseInput();
  EXPECT_EQ(a.Wait(), 0);
  // One client still holds its object: the server stays.
  EXPECT_EQ(OrvePids().size(), 1u);
  b.CloseInput();
  EXPECT_EQ(b.Wait(), 0);
  EXPECT_TRUE(Eventually(NoOrve, 10s)) << "ORVE did not exit after the last client left";
}

TEST_F(OrveEndToEnd, AClientKilledWhileSubscribedReleasesWhatItHeld) {
  Helper client = StartClient("sink");
  ASSERT_GT(client.pid, 0);
  client.Send("go\n");
  ASSERT_EQ(client.Line(), "ready");
  ASSERT_EQ(OrvePids().size(), 1u);

  ::kill(client.pid, SIGKILL);
  const int status = client.Wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

  // Its session and sink go with the connection, and the server is idle.
  EXPECT_TRUE(Eventually(NoOrve, 10s)) << "ORVE still runs after its only client died";
  const std::string log = LogSinceStart();
  EXPECT_NE(log.find("CZmOrvEnt::ObjectMain() completed"), std::string::npos) << log;
  EXPECT_EQ(log.find("Critical error"), std::string::npos) << log;
}

// The test's own client: signed in, a sink advised, every stock subscribed.
struct OwnClient {
  CComPtr<IZmOrvEnt> object;
  CComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  QuoteSink* sink = new QuoteSink;  // on the heap: late calls must find it alive

  void Start() {
    ASSERT_EQ(Create(&object), S_OK);
    ASSERT_EQ(object->Connect(_bstr_t("alice"), _bstr_t("secret")), S_OK) << TakeErrorDescription();
    CComQIPtr<IConnectionPointContainer> container(object);
    ASSERT_TRUE(container);
    ASSERT_EQ(container->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point), S_OK);
    ASSERT_EQ(point->Advise(sink, &cookie), S_OK);
    ASSERT_EQ(object->SubscribeAll(enStockData), S_OK) << TakeErrorDescription();
  }
  void Stop() {
    if (point) point->Unadvise(cookie);
    point.Release();
    object.Release();
    if (Eventually([&] { return sink->Refs() == 0; }, 5s)) delete sink;
    sink = nullptr;
  }
};

// The handler lets go of everything while the server's event call waits
// for it: the release must not wait for that event, and the server then
// goes idle and ends.
TEST_F(OrveEndToEnd, AHandlerThatUnadvisesAndReleasesEverythingLeavesTheServerIdle) {
  OwnClient c;
  ASSERT_NO_FATAL_FAILURE(c.Start());
  ASSERT_TRUE(c.sink->WaitEvents(1)) << "no event at all";
  std::atomic<bool> letGo{false};
  c.sink->LetGoInHandler([&] {
    c.point->Unadvise(c.cookie);
    c.point.Release();
    c.object.Release();
    letGo = true;
  });
  ASSERT_TRUE(Eventually([&] { return letGo.load(); }, 15s)) << "no event came to let go in";
  EXPECT_TRUE(Eventually([&] { return c.sink->Refs() == 0; }, 10s)) << "the server still holds the sink";
  EXPECT_TRUE(Eventually(NoOrve, 15s)) << "ORVE did not go idle after a release inside a handler";
  const std::string log = LogSinceStart();
  EXPECT_NE(log.find("CZmOrvEnt::ObjectMain() completed"), std::string::npos) << log;
  if (c.sink->Refs() == 0) delete c.sink;
}

// A client whose handler holds its first event beside one that answers at
// once, on the same table: the quick one receives its events while the
// held one is still in its first, in order.
TEST_F(OrveEndToEnd, ASlowSinkDelaysOnlyItselfAndEachClientGetsItsQuotesInOrder) {
  Helper slow = StartClient("slow");
  ASSERT_GT(slow.pid, 0);
  slow.Send("go\n");
  ASSERT_EQ(slow.Line(), "ready");
  OwnClient fast;
  ASSERT_NO_FATAL_FAILURE(fast.Start());
  ASSERT_EQ(slow.Line(), "held") << "the slow client never got its first event";
  const int before = fast.sink->Events();
  // An event a pull pass: enough that the held client's later events would
  // have taken every pool thread had they waited for it.
  EXPECT_TRUE(fast.sink->WaitEvents(before + 8)) << "the quick client waits for the slow one: "
                                                 << fast.sink->Events() - before << " events meanwhile";
  EXPECT_EQ(fast.sink->Inversions(), 0) << "an older quote came after a newer one";
  slow.Send("on\n");
  slow.CloseInput();
  EXPECT_EQ(slow.Wait(15s), 0);
  fast.Stop();
  EXPECT_TRUE(Eventually(NoOrve, 15s));
}

// A client that stops (not dies) holds up nobody else, and is dropped as a
// dead one once a call to it misses the deadline.
TEST_F(OrveEndToEnd, AStoppedClientIsDroppedAfterTheDeadlineWhileAnotherKeepsReceiving) {
  Helper stopped = StartClient("sink");
  ASSERT_GT(stopped.pid, 0);
  stopped.Send("go\n");
  ASSERT_EQ(stopped.Line(), "ready");
  OwnClient live;
  ASSERT_NO_FATAL_FAILURE(live.Start());
  ASSERT_TRUE(live.sink->WaitEvents(1));
  ASSERT_EQ(::kill(stopped.pid, SIGSTOP), 0);
  const int before = live.sink->Events();
  EXPECT_TRUE(live.sink->WaitEvents(before + 6)) << "a stopped client holds up the others";
  EXPECT_TRUE(Eventually([&] { return LogSinceStart().find("no answer in time; closing it") != std::string::npos; },
                         std::chrono::milliseconds(kEventTimeoutMs) + 20s))
      << "the stopped client was never dropped";
  const int after = live.sink->Events();
  EXPECT_TRUE(live.sink->WaitEvents(after + 2)) << "events stopped when the stopped client was dropped";
  EXPECT_EQ(live.sink->Inversions(), 0);
  ::kill(stopped.pid, SIGKILL);
  ::kill(stopped.pid, SIGCONT);
  stopped.Wait();
  live.Stop();
  EXPECT_TRUE(Eventually(NoOrve, 15s));
}

// LockServer belongs to the connection that took it: an unlock without a
// lock is refused (and so cannot end the server under a live object), and
// a client that dies holding one leaves no lock behind.
TEST_F(OrveEndToEnd, LockServerIsTheCallersOwnAndDiesWithIt) {
  Helper locker = StartClient("lock");
  ASSERT_GT(locker.pid, 0);
  locker.Send("go\n");
  ASSERT_EQ(locker.Line(), "ready");

  CComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_ZmOrvEnt, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  CComPtr<IZmOrvEnt> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IZmOrvEnt, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED);
  EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED);
  EXPECT_EQ(object->Connect(_bstr_t("alice"), _bstr_t("secret")), S_OK) << "the server ended under an object";
  object.Release();
  factory.Release();

  // Only the killed client's lock is left; it goes with its connection.
  ::kill(locker.pid, SIGKILL);
  locker.Wait();
  EXPECT_TRUE(Eventually(NoOrve, 15s)) << "a dead client's LockServer keeps ORVE alive";
}

// SSL files that the ORB could not load turn SSL off at the server's start,
// with a warning naming the file: the plain endpoints still sign in. Before,
// the ORB refused to start at all and every sign-in failed.
TEST_F(OrveEndToEnd, BadSslFilesLeavePlainSignInsWorkingWithAWarning) {
  const std::string folder = g_root + "/ssl";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  SslFiles files;
  ASSERT_TRUE(files.Make(folder)) << "openssl could not make a certificate";
  struct Case {
    const char* what;
    std::string ca, key, phrase, warning;
  };
  const Case cases[] = {
      {"a CA file of junk", files.junk, files.client, "", "WARN DESCR: Cannot load certificate file: " + files.junk},
      {"a key file that cannot be read", files.ca, files.truncated, "",
       "WARN DESCR: Cannot load key file: " + files.truncated},
      {"a wrong pass phrase", files.ca, files.locked, "wrong", "WARN DESCR: Cannot load key file: " + files.locked},
  };
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetSetting(key, "UseSSL", DWORD(1));
    SetSetting(key, "RootCertificateFile", c.ca);
    SetSetting(key, "CertificateFile", c.key);
    SetSetting(key, "KeyPass", c.phrase);
    const size_t logStart = OrveLog().size();
    {
      CComPtr<IZmOrvEnt> object;
      ASSERT_EQ(Create(&object), S_OK);
      EXPECT_EQ(object->Connect(_bstr_t("alice"), _bstr_t("secret")), S_OK) << TakeErrorDescription();
      EXPECT_FALSE(AllStocks(object).empty());
    }
    ASSERT_TRUE(Eventually(NoOrve, 10s));
    EXPECT_NE(OrveLog().find(c.warning, logStart), std::string::npos) << OrveLog().substr(logStart);
  }
  SetSetting(key, "UseSSL", DWORD(0));
  RegCloseKey(key);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--client") return RunClient(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new EndToEndEnvironment);
  return RUN_ALL_TESTS();
}
