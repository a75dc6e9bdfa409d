// Activation and death across real processes, with the small test server
// registered as the class's LocalServer32 in a registry of the test's own.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>

#include <fstream>
#include <condition_variable>
#include <mutex>
#include <set>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "TransportObjects.h"
#include "platform/com/com.h"
#include "platform/com/rpc/Activation.h"
#include "platform/com/rpc/Connection.h"
#include "platform/com/rpc/Launch.h"
#include "platform/com/rpc/Socket.h"

using namespace std::chrono_literals;

namespace {

template <class F>
bool Eventually(F f, std::chrono::milliseconds limit = 10000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!f()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// A helper client process with its stdout on a pipe.
struct Helper {
  pid_t pid = -1;
  FILE* out = nullptr;
  std::string Line() {
    char buf[128] = {};
    if (!out || !std::fgets(buf, sizeof buf, out)) return "";
    std::string s(buf);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  int Wait() {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (out) std::fclose(out);
    out = nullptr;
    return status;
  }
};

Helper StartHelper(const char* mode) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  Helper h;
  h.pid = ::fork();
  if (h.pid == 0) {
    ::dup2(fds[1], 1);
    ::execl(TRANSPORT_TEST_SERVER, TRANSPORT_TEST_SERVER, "-Client", mode, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  h.out = ::fdopen(fds[0], "r");
  return h;
}

class TransportProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/orv-transport-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir));
    dir_ = dir;
    ::setenv("XDG_RUNTIME_DIR", dir, 1);
    ::setenv("ORV_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
    ::setenv("ORV_TEST_LAUNCH_LOG", (dir_ + "/launches").c_str(), 1);
    ::setenv("ORV_TEST_IDLE_MS", "100", 1);
    Register(TRANSPORT_TEST_SERVER);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  }
  void TearDown() override {
    // Each test leaves no server behind for the next one.
    for (pid_t pid : servers_) EXPECT_TRUE(Eventually([&] { return ProcessGone(pid); })) << "server " << pid;
    CoUninitialize();
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(0, std::system(cmd.c_str()));
  }
  void Register(const std::string& command) {
    std::string path = "CLSID\\" + orvcom::GuidToString(CLSID_Probe) + "\\LocalServer32";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                             &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                                            DWORD(command.size() + 1)));
    RegCloseKey(key);
  }
  IProbe* Create(HRESULT expect = S_OK) {
    IProbe* p = nullptr;
    EXPECT_EQ(expect, CoCreateInstance(CLSID_Probe, nullptr, CLSCTX_ALL, IID_IProbe, reinterpret_cast<void**>(&p)));
    if (p) {
      LONG pid = 0;
      EXPECT_EQ(S_OK, p->get_Pid(&pid));
      servers_.push_back(pid);
    }
    return p;
  }
  int Launches() {
    std::ifstream in(dir_ + "/launches");
    int n = 0;
    std::string line;
    while (std::getline(in, line)) ++n;
    return n;
  }
  LONG Live(IProbe* p) {
    LONG n = -1;
    p->get_Live(&n);
    return n;
  }

  std::string dir_;
  std::vector<pid_t> servers_;
};

TEST_F(TransportProcessTest, FirstCreateLaunchesTheServerWhichLeavesWhenIdle) {
  IProbe* p = Create();
  ASSERT_NE(nullptr, p);
  pid_t server = servers_.back();
  EXPECT_NE(::getpid(), server);
  EXPECT_EQ(1, Launches());
  struct stat st;
  ASSERT_EQ(0, ::stat((dir_ + "/orv").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777u);
  // A second create finds the running copy.
  IProbe* q = Create();
  EXPECT_EQ(server, servers_.back());
  EXPECT_EQ(1, Launches());
  EXPECT_EQ(2, Live(p));
  q->Release();
  p->Release();
  EXPECT_TRUE(Eventually([&] { return ProcessGone(server); })) << "no idle exit after the last release";
  std::string socket = orvrpc::ClassSocketPath(dir_ + "/orv/", orvcom::GuidToString(CLSID_Probe));
  EXPECT_NE(0, ::access(socket.c_str(), F_OK)) << "socket left behind";
}

TEST_F(TransportProcessTest, ConcurrentFirstCreatesStartOneCopy) {
  // The clients release at once; on a loaded machine the last of them may
  // come well after the first has gone. The copy must still be there for it,
  // not have left idle, for the creates to count as concurrent.
  ::setenv("ORV_TEST_IDLE_MS", "2000", 1);
  std::vector<Helper> helpers;
  for (int i = 0; i < 4; ++i) helpers.push_back(StartHelper("pid"));
  // And threads of this process at the same moment.
  std::vector<std::future<LONG>> local;
  for (int i = 0; i < 3; ++i)
    local.push_back(std::async(std::launch::async, [] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      IProbe* p = nullptr;
      LONG pid = 0;
      if (SUCCEEDED(CoCreateInstance(CLSID_Probe, nullptr, CLSCTX_LOCAL_SERVER, IID_IProbe,
                                     reinterpret_cast<void**>(&p)))) {
        p->get_Pid(&pid);
        p->Release();
      }
      CoUninitialize();
      return pid;
    }));
  std::set<std::string> pids;
  for (auto& h : helpers) {
    pids.insert(h.Line());
    EXPECT_EQ(0, h.Wait());
  }
  for (auto& f : local) pids.insert(std::to_string(f.get()));
  EXPECT_EQ(1u, pids.size());
  EXPECT_EQ(1, Launches());
  servers_.push_back(pid_t(std::atol(pids.begin()->c_str())));
}

TEST_F(TransportProcessTest, AClientKilledWithSigkillReleasesItsObjects) {
  IProbe* p = Create();
  ASSERT_NE(nullptr, p);
  Helper h = StartHelper("hold");
  ASSERT_EQ("ready", h.Line());
  EXPECT_EQ(4, Live(p));  // ours, and the helper's probe with two cursors
  ::kill(h.pid, SIGKILL);
  h.Wait();
  EXPECT_TRUE(Eventually([&] { return Live(p) == 1; })) << "the dead client's objects live on";
  p->Release();
}

TEST_F(TransportProcessTest, AServerKilledMidCallFailsTheCallPromptly) {
  IProbe* p = Create();
  ASSERT_NE(nullptr, p);
  pid_t server = servers_.back();
  auto call = std::async(std::launch::async, [p] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HRESULT hr = p->Hold(60000);
    CoUninitialize();
    return hr;
  });
  std::this_thread::sleep_for(100ms);
  ::kill(server, SIGKILL);
  ASSERT_EQ(std::future_status::ready, call.wait_for(10s));
  EXPECT_EQ(RPC_E_DISCONNECTED, call.get());
  LONG pid = 0;
  EXPECT_EQ(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), p->get_Pid(&pid));
  p->Release();
  // The next create starts a fresh copy.
  ASSERT_TRUE(Eventually([&] { return ProcessGone(server); }));
  IProbe* again = Create();
  ASSERT_NE(nullptr, again);
  EXPECT_NE(server, servers_.back());
  again->Release();
}

// Nothing is in flight when the server dies: the notice is all that tells
// a client, which then makes calls on a dead server only by mistake.
TEST_F(TransportProcessTest, AServerThatDiesWhileIdleIsReportedGone) {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> gone;
  orvrpc::SetServerGoneHandler([&](const CLSID& clsid) {
    std::lock_guard<std::mutex> lock(m);
    gone.push_back(orvcom::GuidToString(clsid));
    cv.notify_all();
  });
  IProbe* p = Create();
  ASSERT_NE(nullptr, p);
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_TRUE(gone.empty()) << "a live server reported gone";
  }
  ::kill(servers_.back(), SIGKILL);
  {
    std::unique_lock<std::mutex> lock(m);
    EXPECT_TRUE(cv.wait_for(lock, 10s, [&] { return !gone.empty(); })) << "no notice";
    EXPECT_EQ(gone, std::vector<std::string>{orvcom::GuidToString(CLSID_Probe)});
  }
  orvrpc::SetServerGoneHandler(nullptr);
  LONG pid = 0;
  EXPECT_EQ(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), p->get_Pid(&pid));
  p->Release();
}

// This process as the server: the class object's socket follows its
// registration state.
TEST_F(TransportProcessTest, ResumeListensSuspendStopsAcceptingRevokeCloses) {
  const std::string folder = dir_ + "/orv/";
  const std::string clsid = orvcom::GuidToString(CLSID_Probe);
  const std::string socket = orvrpc::ClassSocketPath(folder, clsid);
  auto* factory = new tobj::ProbeFactory();
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_Probe, factory, CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie));
  factory->Release();
  EXPECT_TRUE(orvrpc::FileLock::IsHeld(orvrpc::InstanceLockPath(folder, clsid)))
      << "a registered server must keep clients from starting another copy";
  EXPECT_NE(0, ::access(socket.c_str(), F_OK)) << "listening while suspended";

  ASSERT_EQ(S_OK, CoResumeClassObjects());
  auto first = orvrpc::Connection::Start(orvrpc::ConnectUnix(socket), nullptr, "first");
  IClassFactory* cf = nullptr;
  ASSERT_EQ(S_OK, first->GetRoot(IID_IClassFactory, reinterpret_cast<void**>(&cf), 5000ms));

  ASSERT_EQ(S_OK, CoSuspendClassObjects());
  orvrpc::UniqueFd waiting = orvrpc::ConnectUnix(socket);  // lands in the backlog
  ASSERT_TRUE(waiting.Valid());
  auto second = orvrpc::Connection::Start(std::move(waiting), nullptr, "second");
  auto root = std::async(std::launch::async, [second] {
    IUnknown* u = nullptr;
    HRESULT hr = second->GetRoot(IID_IUnknown, reinterpret_cast<void**>(&u), 5000ms);
    if (u) u->Release();
    return hr;
  });
  EXPECT_EQ(std::future_status::timeout, root.wait_for(100ms)) << "accepted while suspended";
  IProbe* p = nullptr;
  EXPECT_EQ(S_OK, cf->CreateInstance(nullptr, IID_IProbe, reinterpret_cast<void**>(&p)))
      << "an open connection goes on while suspended";
  ASSERT_EQ(S_OK, CoResumeClassObjects());
  EXPECT_EQ(S_OK, root.get());

  ASSERT_EQ(S_OK, CoRevokeClassObject(cookie));
  EXPECT_NE(0, ::access(socket.c_str(), F_OK)) << "socket left after revoke";
  EXPECT_FALSE(orvrpc::ConnectUnix(socket).Valid());
  LONG pid = 0;
  EXPECT_EQ(S_OK, p->get_Pid(&pid));
  p->Release();
  cf->Release();
  first->Close();
  second->Close();
  EXPECT_TRUE(first->WaitClosed(5s));
  EXPECT_TRUE(second->WaitClosed(5s));
}

TEST_F(TransportProcessTest, BadRegistrationsFailWithClearErrors) {
  const CLSID unknown = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
  IUnknown* u = nullptr;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(unknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                                  reinterpret_cast<void**>(&u)));
  Register(dir_ + "/no such program");
  auto start = std::chrono::steady_clock::now();
  Create(CO_E_SERVER_EXEC_FAILURE);
  // A program that ends without listening is noticed, not waited out.
  Register("/bin/false");
  Create(CO_E_SERVER_EXEC_FAILURE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(orvrpc::LaunchTimeout()));
}

}  // namespace
