#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <vector>
#include <thread>

#include "platform/com/com.h"
#include "platform/log/Log.h"
#include "server/CExeModule.h"
#include "server/OrveProcess.h"
#include "platform/ui/winuser.h"
#include "platform/win/resource.h"
#include "platform/win/version.h"

namespace {

// The monitor ends the loop of the thread that owns the module; here that
// is the test's thread, which waits for the quit with a bounded look.
class IdleShutdown : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.dwTimeOut = 50;
    module_.dwThreadID = GetCurrentThreadId();
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(module_.StartMonitor());
  }
  void TearDown() override {
    // A monitor still waiting must not outlive the module it watches.
    if (!quit_) {
      module_.Lock();
      module_.Unlock();
      EXPECT_TRUE(WaitForQuit(std::chrono::seconds(10)));
    }
  }
  bool WaitForQuit(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    MSG msg;
    while (std::chrono::steady_clock::now() < until) {
      if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) && msg.message == WM_QUIT) {
        quit_ = true;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  CExeModule module_;
  bool quit_ = false;
};

TEST_F(IdleShutdown, TheLastUnlockEndsTheLoopAfterAQuietPeriod) {
  EXPECT_EQ(module_.Lock(), 1);
  EXPECT_EQ(module_.Lock(), 2);
  EXPECT_EQ(module_.Unlock(), 1);
  EXPECT_FALSE(WaitForQuit(std::chrono::milliseconds(200))) << "a lock is still held";
  EXPECT_EQ(module_.Unlock(), 0);
  EXPECT_TRUE(WaitForQuit(std::chrono::seconds(10)));
  EXPECT_EQ(module_.hEventShutdown, nullptr);
}

TEST_F(IdleShutdown, ALockTakenAgainKeepsTheServerRunning) {
  module_.Lock();
  module_.Unlock();
  module_.Lock();  // a client came back within the quiet period
  EXPECT_FALSE(WaitForQuit(std::chrono::milliseconds(300)));
  module_.Unlock();
  EXPECT_TRUE(WaitForQuit(std::chrono::seconds(10)));
}

// Stands in for a client that arrives just as the monitor suspends the
// class objects: it takes a lock from inside the suspension.
class ArrivingClient : public orvcom::LocalServerHook {
 public:
  explicit ArrivingClient(CExeModule& module) : module_(module) {}
  HRESULT GetClassObject(REFCLSID, DWORD, REFIID, void**) override { return REGDB_E_CLASSNOTREG; }
  void ClassObjectChanged(REFCLSID, IUnknown*, ClassState state) override {
    std::lock_guard<std::mutex> g(lock_);
    states_.push_back(state);
    if (state == ClassState::kSuspended && !arrived_) {
      arrived_ = true;
      module_.Lock();
    }
  }
  std::vector<ClassState> States() {
    std::lock_guard<std::mutex> g(lock_);
    return states_;
  }

 private:
  CExeModule& module_;
  std::mutex lock_;
  std::vector<ClassState> states_;
  bool arrived_ = false;
};

TEST_F(IdleShutdown, AClientArrivingDuringTheSuspensionFindsTheClassObjectsResumed) {
  using State = orvcom::LocalServerHook::ClassState;
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  ArrivingClient client(module_);
  orvcom::LocalServerHook* previous = orvcom::SetLocalServerHook(&client);
  static const CLSID kClass = {0x1d0c2f6e, 0x4f0a, 0x4c55, {1, 2, 3, 4, 5, 6, 7, 8}};
  auto* factory = new CComObjectNoLock<CComClassFactory>();
  factory->AddRef();
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kClass, factory, CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie),
            S_OK);
  ASSERT_EQ(CoResumeClassObjects(), S_OK);

  module_.Lock();
  module_.Unlock();  // idle: the monitor suspends, and the client comes in
  // After registration and resumption: the suspension, then what follows it.
  std::vector<State> states;
  for (int i = 0; i < 2000 && states.size() < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    states = client.States();
  }
  ASSERT_EQ(states.size(), 4u);
  EXPECT_EQ(states[2], State::kSuspended);
  EXPECT_EQ(states[3], State::kResumed) << "the returning client must be able to create objects";
  EXPECT_FALSE(WaitForQuit(std::chrono::milliseconds(200)));

  module_.Unlock();
  EXPECT_TRUE(WaitForQuit(std::chrono::seconds(10)));
  CoRevokeClassObject(cookie);
  factory->Release();
  orvcom::SetLocalServerHook(previous);
  CoUninitialize();
}

TEST(ServerSwitch, OnlyASwitchThatEndsTheCommandLineCounts) {
  struct Case {
    const char* line;
    ServerSwitch expected;
  };
  const Case cases[] = {
      {"/opt/orv/ORVE /RegServer", ServerSwitch::kRegServer},
      {"/opt/orv/ORVE -regserver", ServerSwitch::kRegServer},
      {"/opt/orv/ORVE -UNREGSERVER", ServerSwitch::kUnregServer},
      {"/opt/orv/ORVE /RegServer extra", ServerSwitch::kNone},
      {"/opt/orv/ORVE /RegServer ", ServerSwitch::kNone},
      {"/opt/orv/ORVE -Embedding", ServerSwitch::kNone},
      {"/opt/orv/ORVE", ServerSwitch::kNone},
      {"", ServerSwitch::kNone},
      // The program's own path is scanned too: "/RegServer" there counts
      // only when nothing follows it.
      {"/home/u/-/RegServer", ServerSwitch::kRegServer},
      {"/RegServer/ORVE", ServerSwitch::kNone},
      {"ORVE --RegServer", ServerSwitch::kRegServer},
  };
  for (const Case& c : cases) EXPECT_EQ(FindServerSwitch(c.line), c.expected) << c.line;
}

TEST(ModuleVersion, FourPartsOrNothing) {
  orvwin::RegisterFileVersion(orvwin::ThisModule(), 1, 0, 2, 1);
  char path[4096];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(GetModuleVersionString(path), "1, 0, 2, 1");
  EXPECT_EQ(GetModuleVersionString("/no/such/file"), "");
}

TEST(OnTerminateDeathTest, LogsAndAborts) {
  EXPECT_DEATH(
      {
        orvlog::InitConsole();
        std::set_terminate(&OnTerminate);
        std::terminate();
      },
      "Critical error: application terminated");
}

TEST(KillProcessByName, LeavesProgramsOfAnotherNameAlone) {
  // Neither call may end this test program.
  KillProcessByName("ORVE.exe", false);
  KillProcessByName(nullptr, false);
  SUCCEED();
}

}  // namespace
