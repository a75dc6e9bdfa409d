// ORVE across processes against what a buggy or hostile client of the same
// user can send: group calls at the ends of the index range, a wrong
// password onto a live session, user names that look like the server's own
// files, and a call that decodes to more memory than a frame may. Each case
// checks that the server answers, that other clients go on, and what it
// leaves in its folder. The same binary doubles as a helper client
// ("--client MODE") for the cases whose connection must die.
#include <fcntl.h>
#include <poll.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BraskOrvEnt.h"
#include "OrvSimProcess.h"
#include "platform/com/atlbase.h"
#include "platform/com/com.h"
#include "platform/com/comdef.h"
#include "platform/win/registry.h"
#include "OrveProcessSupport.h"

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

HRESULT Create(IZmOrvEnt** object) {
  return CoCreateInstance(CLSID_ZmOrvEnt, nullptr, CLSCTX_LOCAL_SERVER, IID_IZmOrvEnt,
                          reinterpret_cast<void**>(object));
}

// A VARIANT holding a one-dimensional array of BSTR from `lower` on.
_variant_t SymbolArray(const std::vector<std::string>& symbols, LONG lower) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, lower, static_cast<ULONG>(symbols.size()));
  for (size_t k = 0; k < symbols.size(); ++k) {
    LONG i = static_cast<LONG>(int64_t(lower) + int64_t(k));
    _bstr_t s(symbols[k].c_str());
    SafeArrayPutElement(array, &i, static_cast<BSTR>(s));
  }
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = array;
  return _variant_t(v, false);
}

// Runs a call on a thread of its own; false when it has not returned
// within the bound (the server is then stuck, and the test says so instead
// of hanging with it).
bool Returns(const std::function<void()>& call, std::chrono::seconds limit = 20s) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  std::thread([call, done] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    call();
    CoUninitialize();
    done->set_value();
  }).detach();
  return ended.wait_for(limit) == std::future_status::ready;
}

bool Subscribed(IZmOrvEnt* object, const std::string& symbol) {
  VARIANT_BOOL b = VARIANT_FALSE;
  return object->IsSymbolSubscribed(_bstr_t(symbol.c_str()), enEquity, enStockData, &b) == S_OK &&
         b == VARIANT_TRUE;
}

// ---------------------------------------------------------------------------
// Helper client: "--client huge" signs in, makes one group call whose array
// decodes to more than a frame may allocate, and prints how the call ended.

int RunClient(const std::string& mode) {
  if (mode != "huge") return 2;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  CComPtr<IZmOrvEnt> object;
  if (FAILED(Create(&object))) return 3;
  if (FAILED(object->Connect(_bstr_t("alice"), _bstr_t("secret")))) return 4;
  std::cout << "signed in" << std::endl;
  // Two bytes a VARIANT on the wire, sixteen in memory.
  const ULONG count = 3u << 20;
  VARIANT list;
  VariantInit(&list);
  list.vt = VT_ARRAY | VT_VARIANT;
  list.parray = SafeArrayCreateVector(VT_VARIANT, 0, count);
  const HRESULT hr = object->SubscribeGroup(list, enEquity, enStockData);
  VariantClear(&list);
  std::cout << (FAILED(hr) ? "failed" : "accepted") << std::endl;
  // The connection is gone: the proxy is dropped without a word to it.
  object.Detach();
  CoUninitialize();
  return 0;
}

struct Helper {
  pid_t pid = -1;
  int out = -1;

  std::string Line(std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::string s;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p = {out, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c = 0;
      if (::read(out, &c, 1) != 1 || c == '\n') return s;
      s += c;
    }
    return "";
  }
  int Wait(std::chrono::milliseconds limit = 20s) {
    int status = -1;
    const bool ended = Eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    if (out >= 0) ::close(out);
    out = -1;
    return ended ? status : -1;
  }
};

Helper StartClient(const std::string& mode) {
  Helper h;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return h;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char program[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", program, sizeof program - 1);
  std::vector<std::string> args = {program, "--client", mode};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  if (n <= 0 || ::posix_spawn(&h.pid, program, &actions, nullptr, argv.data(), environ) != 0) h.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  h.out = out[0];
  return h;
}

// ---------------------------------------------------------------------------

std::string g_root;
std::unique_ptr<orvsim::OrvSimProcess> g_sim;
const std::string kLongName(300, 'n');

std::string DataFolder() { return g_root + "/home/Application Data/Orv/"; }
std::string OrveLog() { return ReadFile(DataFolder() + "ORVE.log"); }

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 0777) : 0u;
}

class HostileInputEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MakePrivateRoot("orve-hostile-XXXXXX", &g_root));
    // The data folder and log as an older build, or a permissive umask, left
    // them: open to everyone.
    std::filesystem::create_directories(DataFolder());
    ASSERT_EQ(::chmod(DataFolder().c_str(), 0755), 0);
    std::ofstream(DataFolder() + "ORVE.log") << "an earlier run\n";
    ASSERT_EQ(::chmod((DataFolder() + "ORVE.log").c_str(), 0644), 0);

    g_sim = std::make_unique<orvsim::OrvSimProcess>(
        g_root, std::vector<std::string>{"--rate", "5", "--stocks", "5", "--future-roots", "1", "--user",
                                         "alice:secret", "--user", "orv.ini:pw", "--user", "ORVE.log:pw",
                                         "--user", "..:pw", "--log-level", "warn"});
    ASSERT_EQ(RunOrve("-RegServer"), 0);

    // Trace: the sign-in line is written.
    ASSERT_NO_FATAL_FAILURE(WriteServiceSettings(*g_sim, 2));

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }

  void TearDown() override {
    CoUninitialize();
    EndPrivateRoot(&g_sim, g_root);
  }
};

class OrveHostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Eventually(NoOrve, 10s)) << "a server from an earlier test is still running";
    m_logStart = OrveLog().size();
  }
  std::string LogSinceStart() { return OrveLog().substr(m_logStart); }

  // A signed-in object and the service's stock symbols.
  CComPtr<IZmOrvEnt> SignedIn(const char* user, const char* password) {
    CComPtr<IZmOrvEnt> object;
    EXPECT_EQ(Create(&object), S_OK);
    if (object) {
      EXPECT_EQ(object->Connect(_bstr_t(user), _bstr_t(password)), S_OK) << TakeErrorDescription();
    }
    return object;
  }
  std::vector<std::string> Stocks(IZmOrvEnt* object) {
    std::vector<std::string> out;
    CComPtr<IStocksEnt> cursor;
    EXPECT_EQ(object->GetStocksAll(&cursor), S_OK) << TakeErrorDescription();
    VARIANT_BOOL more = cursor ? VARIANT_TRUE : VARIANT_FALSE;
    while (more == VARIANT_TRUE && out.size() < 100) {
      BSTR s = nullptr;
      if (cursor->get_Symbol(&s) == S_OK && s != nullptr && SysStringLen(s) != 0) out.push_back(Text(s));
      SysFreeString(s);
      if (cursor->Next(&more) != S_OK) break;
    }
    return out;
  }

  size_t m_logStart = 0;
};

TEST_F(OrveHostileInput, GroupCallsAtTheEndsOfTheIndexRangeReturnAndOtherClientsGoOn) {
  CComPtr<IZmOrvEnt> caller = SignedIn("alice", "secret");
  CComPtr<IZmOrvEnt> other = SignedIn("alice", "secret");
  ASSERT_TRUE(caller && other);
  const std::vector<std::string> stocks = Stocks(other);
  ASSERT_GE(stocks.size(), 3u);
  ASSERT_EQ(other->Subscribe(_bstr_t(stocks[2].c_str()), enEquity, enStockData), S_OK);

  struct Case {
    const char* what;
    std::vector<std::string> symbols;
    LONG lower;
    HRESULT hr;
  } cases[] = {
      {"[2^31-2, 2^31-1]", {stocks[0], stocks[1]}, INT32_MAX - 1, S_OK},
      {"[-2^31, -2^31+1]", {stocks[0], stocks[1]}, INT32_MIN, S_OK},
      {"empty from -2^31", {}, INT32_MIN, E_FAIL},
      {"empty from 0", {}, 0, E_FAIL},
      {"empty from 2^31-1", {}, INT32_MAX, E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool subscribe : {true, false}) {
      HRESULT hr = S_OK;
      ASSERT_TRUE(Returns([&] {
        const _variant_t array = SymbolArray(c.symbols, c.lower);
        hr = subscribe ? caller->SubscribeGroup(array, enEquity, enStockData)
                       : caller->UnSubscribeGroup(array, enEquity, enStockData);
      })) << (subscribe ? "SubscribeGroup" : "UnSubscribeGroup") << " did not return";
      EXPECT_EQ(hr, c.hr);
      for (const std::string& s : c.symbols) EXPECT_EQ(Subscribed(caller, s), subscribe) << s;
      // The other client's calls are served meanwhile and its own
      // subscription is untouched.
      ASSERT_TRUE(Returns([&] { EXPECT_TRUE(Subscribed(other, stocks[2])); })) << "another client was held up";
    }
  }
}

// "Max open files" of a process's limits: soft and hard.
std::pair<std::string, std::string> OpenFileLimits(pid_t pid) {
  std::istringstream lines(ReadFile("/proc/" + std::to_string(pid) + "/limits"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    std::pair<std::string, std::string> out;
    fields >> out.first >> out.second;
    return out;
  }
  return {};
}

TEST_F(OrveHostileInput, TheServerTakesEveryDescriptorItMay) {
  // Started with a soft limit below the hard one, as a login shell gives it.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max <= 512) GTEST_SKIP() << "no room below the hard limit";
  rlimit low = saved;
  low.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  CComPtr<IZmOrvEnt> object;
  const HRESULT created = Create(&object);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_EQ(created, S_OK);
  const std::vector<pid_t> servers = OrvePids();
  ASSERT_EQ(servers.size(), 1u);
  const auto limits = OpenFileLimits(servers[0]);
  ASSERT_FALSE(limits.first.empty());
  EXPECT_EQ(limits.first, limits.second) << "the soft limit stays below the hard one";
}

TEST_F(OrveHostileInput, ASignInLeavesThePasswordOutOfAPrivateLog) {
  CComPtr<IZmOrvEnt> object = SignedIn("alice", "secret");
  ASSERT_TRUE(object);
  EXPECT_EQ(ModeOf(DataFolder()), 0700u) << "the data folder stays open to others";
  EXPECT_EQ(ModeOf(DataFolder() + "ORVE.log"), 0600u);
  const std::string log = LogSinceStart();
  EXPECT_NE(log.find("CZmOrvEnt::Connect() started params: UserName = alice Password = ********\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("secret"), std::string::npos) << "the password is in the log";
  for (const auto& e : std::filesystem::directory_iterator(DataFolder())) {
    if (e.path().filename().string().rfind("ORVE.log", 0) == 0) {
      EXPECT_EQ(ModeOf(e.path()), 0600u) << e.path();
    }
  }
}

TEST_F(OrveHostileInput, AWrongPasswordOntoALiveSessionIsRefusedAndTheRightOneJoins) {
  CComPtr<IZmOrvEnt> first = SignedIn("alice", "secret");
  ASSERT_TRUE(first);
  const std::vector<std::string> stocks = Stocks(first);
  ASSERT_FALSE(stocks.empty());
  ASSERT_EQ(first->Subscribe(_bstr_t(stocks[0].c_str()), enEquity, enStockData), S_OK);

  for (const char* wrong : {"wrong", "", "secret ", "SECRET"}) {
    SCOPED_TRACE(wrong);
    CComPtr<IZmOrvEnt> intruder;
    ASSERT_EQ(Create(&intruder), S_OK);
    EXPECT_EQ(intruder->Connect(_bstr_t("alice"), _bstr_t(wrong)), E_FAIL);
    EXPECT_EQ(TakeErrorDescription(), "Invalid user id or password");
    EXPECT_EQ(intruder->FutConnect(_bstr_t("alice"), _bstr_t(wrong)), E_FAIL);
    EXPECT_EQ(TakeErrorDescription(), "Invalid user id or password");
    VARIANT_BOOL b = VARIANT_TRUE;
    EXPECT_EQ(intruder->IsSymbolSubscribed(_bstr_t(stocks[0].c_str()), enEquity, enStockData, &b), E_FAIL);
    EXPECT_EQ(TakeErrorDescription(), "No connection");
    // The first client is as it was.
    EXPECT_TRUE(Subscribed(first, stocks[0]));
    EXPECT_EQ(Stocks(first), stocks);
  }
  CComPtr<IZmOrvEnt> second = SignedIn("alice", "secret");
  ASSERT_TRUE(second);
  EXPECT_FALSE(Subscribed(second, stocks[0])) << "subscriptions stay the object's own";
  EXPECT_EQ(Stocks(second), stocks);
}

TEST_F(OrveHostileInput, UserNamesLikeTheServersOwnFilesLeaveThemAlone) {
  CComPtr<IZmOrvEnt> alice = SignedIn("alice", "secret");
  ASSERT_TRUE(alice);
  const std::vector<std::string> stocks = Stocks(alice);
  ASSERT_FALSE(stocks.empty());
  for (const std::string& user : {std::string("orv.ini"), std::string("ORVE.log"), std::string("..")}) {
    SCOPED_TRACE(user);
    CComPtr<IZmOrvEnt> object = SignedIn(user.c_str(), "pw");
    ASSERT_TRUE(object);
    EXPECT_EQ(Stocks(object), stocks) << "the session's cache does not work";
    EXPECT_NE(ReadFile(DataFolder() + "orv.ini").find("[Main]"), std::string::npos) << "orv.ini was replaced";
  }
  // A name longer than any file name: the service refuses it (the session's
  // file name for it is a unit case of the feed), and the server goes on.
  CComPtr<IZmOrvEnt> longName;
  ASSERT_EQ(Create(&longName), S_OK);
  EXPECT_EQ(longName->Connect(_bstr_t(kLongName.c_str()), _bstr_t("pw")), E_FAIL);
  TakeErrorDescription();

  // The log is still the log, and still written.
  EXPECT_EQ(Stocks(alice), stocks);
  const std::string log = LogSinceStart();
  EXPECT_NE(log.find("CZmOrvEnt::Connect() started params: UserName = ORVE.log"), std::string::npos);
  EXPECT_EQ(log.find("SQLite error"), std::string::npos) << log;
  std::ifstream head(DataFolder() + "ORVE.log", std::ios::binary);
  char magic[16] = {};
  head.read(magic, sizeof magic);
  EXPECT_NE(std::string(magic, sizeof magic), std::string("SQLite format 3\0", 16)) << "the log became a database";
  EXPECT_EQ(OrvePids().size(), 1u);
}

TEST_F(OrveHostileInput, ACallThatDecodesPastTheBoundEndsOnlyItsOwnConnection) {
  CComPtr<IZmOrvEnt> bystander = SignedIn("alice", "secret");
  ASSERT_TRUE(bystander);
  const std::vector<std::string> stocks = Stocks(bystander);
  ASSERT_FALSE(stocks.empty());

  Helper client = StartClient("huge");
  ASSERT_GT(client.pid, 0);
  EXPECT_EQ(client.Line(), "signed in");
  EXPECT_EQ(client.Line(), "failed") << "the server decoded the whole call";
  EXPECT_EQ(client.Wait(), 0);

  const std::string log = LogSinceStart();
  EXPECT_NE(log.find("body decodes to more than the limit"), std::string::npos) << log;
  EXPECT_EQ(log.find("Critical error"), std::string::npos) << log;
  EXPECT_EQ(Stocks(bystander), stocks) << "another client's connection went too";
  ASSERT_EQ(OrvePids().size(), 1u);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--client") return RunClient(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new HostileInputEnvironment);
  return RUN_ALL_TESTS();
}
