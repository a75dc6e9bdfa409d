#include "dde/ZmDDEShell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <future>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "../ui/PtyTerminal.h"
#include "platform/com/oleauto.h"
#include "platform/ui/clock.h"
#include "platform/win/profile.h"
#include "platform/win/resource.h"

using namespace zmdde;

namespace {

const auto kWait = std::chrono::seconds(10);

// What the shell asked of the server object, in order.
struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> calls;
  // The next sign-ins fail with this error when hr is set.
  HRESULT failHr = S_OK;
  std::string failDescription, failSource;
  BOOL startResult = TRUE;
  // The server-lost notice the shell gave, and how many tries at a new
  // server fail before one succeeds.
  std::function<void()> lostNotice;
  int reconnectFailures = 0;

  void Add(const std::string& call) {
    std::lock_guard<std::mutex> g(lock);
    calls.push_back(call);
    changed.notify_all();
  }
  size_t Count(const std::string& call) {
    std::lock_guard<std::mutex> g(lock);
    size_t n = 0;
    for (const std::string& c : calls) n += c == call;
    return n;
  }
  bool WaitCount(const std::string& call, size_t n) {
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, kWait, [&] {
      size_t seen = 0;
      for (const std::string& c : calls) seen += c == call;
      return seen >= n;
    });
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> g(lock);
    return calls;
  }
};

[[noreturn]] void RaiseWithText(HRESULT hr, const std::string& description,
                                const std::string& source) {
  ICreateErrorInfo* create = nullptr;
  CreateErrorInfo(&create);
  if (!description.empty()) create->SetDescription(_bstr_t(description.c_str()));
  if (!source.empty()) create->SetSource(_bstr_t(source.c_str()));
  IErrorInfo* info = nullptr;
  create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
  create->Release();
  _com_raise_error(hr, info);
}

class FakeServer : public IShellServer {
 public:
  explicit FakeServer(Recorder* r) : r_(r) {}
  ~FakeServer() override { r_->Add("destroyed"); }
  void ConnectToServer(_bstr_t user, _bstr_t password) override {
    r_->Add("connect " + std::string(static_cast<const char*>(user)) + "/" +
            static_cast<const char*>(password));
    HRESULT hr;
    std::string description, source;
    {
      std::lock_guard<std::mutex> g(r_->lock);
      hr = r_->failHr;
      description = r_->failDescription;
      source = r_->failSource;
    }
    if (FAILED(hr)) RaiseWithText(hr, description, source);
  }
  void DisconnectServer() override { r_->Add("disconnect"); }
  BOOL StartDde() override {
    r_->Add("start");
    return r_->startResult;
  }
  void PostAdvises() override { r_->Add("advise"); }
  void RefreshAll() override { r_->Add("refresh"); }
  void SetServerLostNotice(std::function<void()> notice) override {
    std::lock_guard<std::mutex> g(r_->lock);
    r_->lostNotice = std::move(notice);
  }
  bool Reconnect() override {
    bool ok;
    {
      std::lock_guard<std::mutex> g(r_->lock);
      ok = r_->reconnectFailures == 0;
      if (!ok) --r_->reconnectFailures;
    }
    r_->Add("reconnect");
    return ok;
  }

 private:
  Recorder* r_;
};

class Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zmdde-shell-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::string runtime = root_ + "/run";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    setenv("USERPROFILE", root_.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ini_ = root_ + "/Application Data/Orv/orv.ini";
    std::string folder = root_ + "/Application Data";
    mkdir(folder.c_str(), 0700);
    mkdir((folder + "/Orv").c_str(), 0700);

    RegisterZmDDEResources(GetModuleHandleA(nullptr));
    SetShellServerFactory([this](CSystemTray*) { return std::make_unique<FakeServer>(&rec_); });
    SetLoginTerminal("/nonexistent/tty");
    orvui::SetClock(&clock_);
  }
  void TearDown() override {
    if (program_.valid()) {
      Exit();
    }
    orvui::SetClock(nullptr);
    SetLoginTerminal(nullptr);
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  void WriteIni(const char* key, const char* value) {
    ASSERT_TRUE(WritePrivateProfileStringA("Main", key, value, ini_.c_str()));
  }
  std::string ReadIni(const char* key) {
    char value[256] = "";
    GetPrivateProfileStringA("Main", key, "", value, sizeof value, ini_.c_str());
    return value;
  }

  void Start() {
    size_t started = rec_.Count("start");
    program_ = std::async(std::launch::async, [] {
      return ZmDDEWinMain(GetModuleHandleA(nullptr), nullptr, const_cast<char*>(""), 0);
    });
    ASSERT_TRUE(rec_.WaitCount("start", started + 1)) << "the DDE service was never started";
    Sync();
  }
  // Returns once the message loop has run everything posted so far (and so
  // the timers are set).
  void Sync() {
    size_t before = rec_.Count("advise");
    HWND hwnd = ZmDDEMainWindow();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(PostMessageA(hwnd, WM_TIMER, kAdviseTimer, 0));
    ASSERT_TRUE(rec_.WaitCount("advise", before + 1));
  }
  void Command(UINT id) { ASSERT_TRUE(PostMessageA(ZmDDEMainWindow(), WM_COMMAND, id, 0)); }
  int Exit() {
    Command(ID_APP_EXIT);
    EXPECT_EQ(program_.wait_for(kWait), std::future_status::ready);
    return program_.get();
  }
  std::string Tooltip() {
    orvui::TrayIconState state{};
    EXPECT_TRUE(orvui::FindTrayIcon(ZmDDEMainWindow(), IDM_TRAY_MENU, &state));
    return state.tip;
  }

  std::string root_, ini_;
  Recorder rec_;
  orvui::ManualClock clock_{1000};
  std::future<int> program_;
};

TEST_F(Shell, SignsInFromTheIniThenStartsTheServiceAndItsTimers) {
  WriteIni("Username", "alice");
  WriteIni("Password", "pw");
  Start();
  std::vector<std::string> calls = rec_.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], "connect alice/pw");
  EXPECT_EQ(calls[1], "start");
  EXPECT_TRUE(TheSystemTray().m_bConnected);
  EXPECT_EQ(Tooltip(), "DDE server. Status: connected.");

  size_t advises = rec_.Count("advise");
  clock_.Advance(5000);
  ASSERT_TRUE(rec_.WaitCount("advise", advises + 1));
  for (size_t i = 2; i <= 5; ++i) {
    clock_.Advance(5000);
    ASSERT_TRUE(rec_.WaitCount("advise", advises + i));
  }
  EXPECT_EQ(rec_.Count("refresh"), 0u);
  clock_.Advance(500);
  ASSERT_TRUE(rec_.WaitCount("refresh", 1));

  EXPECT_EQ(Exit(), 0);
  EXPECT_EQ(rec_.Calls().back(), "destroyed");
  EXPECT_EQ(ZmDDEMainWindow(), nullptr);
  EXPECT_EQ(ReadIni("Username"), "alice");
  EXPECT_EQ(ReadIni("Password"), "pw");
}

// A lost server is shown once, then a new one is tried at once and again
// after pauses of 1 s doubling to 30 s, on the program's clock, until one
// answers; nothing is asked of the user.
TEST_F(Shell, ALostServerIsShownOnceAndTriedAgainWithAGrowingPause) {
  WriteIni("Username", "alice");
  WriteIni("Password", "pw");
  Start();
  std::function<void()> notice;
  {
    std::lock_guard<std::mutex> g(rec_.lock);
    notice = rec_.lostNotice;
    rec_.reconnectFailures = 8;
  }
  ASSERT_TRUE(notice) << "the shell gave the server no notice to call";
  notice();  // as the transport's thread does
  ASSERT_TRUE(rec_.WaitCount("reconnect", 1)) << "no try at once";
  EXPECT_FALSE(TheSystemTray().m_bConnected);
  EXPECT_EQ(Tooltip(), "DDE server. Status: not connected.");
  orvui::TrayIconState state{};
  ASSERT_TRUE(orvui::FindTrayIcon(ZmDDEMainWindow(), IDM_TRAY_MENU, &state));
  const std::string balloon = state.lastBalloon;
  EXPECT_FALSE(balloon.empty());

  size_t tries = 1;
  for (unsigned pause : {1000u, 2000u, 4000u, 8000u, 16000u, 30000u, 30000u, 30000u}) {
    SCOPED_TRACE(pause);
    Sync();  // the failed try has set its timer
    clock_.Advance(pause - 1);
    Sync();
    EXPECT_EQ(rec_.Count("reconnect"), tries) << "tried before its pause was out";
    clock_.Advance(1);
    ASSERT_TRUE(rec_.WaitCount("reconnect", ++tries));
  }
  Sync();
  EXPECT_TRUE(TheSystemTray().m_bConnected);
  EXPECT_EQ(Tooltip(), "DDE server. Status: connected.");
  ASSERT_TRUE(orvui::FindTrayIcon(ZmDDEMainWindow(), IDM_TRAY_MENU, &state));
  EXPECT_EQ(state.lastBalloon, balloon) << "the tries showed balloons of their own";
  clock_.Advance(60000);
  Sync();
  EXPECT_EQ(rec_.Count("reconnect"), tries) << "tries went on once connected";
  EXPECT_EQ(rec_.Count("connect alice/pw"), 1u) << "the user's sign-in is not repeated";
}

TEST_F(Shell, FuturesCredentialsServeBothSignInsAndAreWrittenBack) {
  WriteIni("FutUsername", "fut");
  WriteIni("FutPassword", "fpw");
  Start();
  EXPECT_EQ(rec_.Calls().front(), "connect fut/fpw");
  EXPECT_EQ(ReadIni("Username"), "fut");
  EXPECT_EQ(ReadIni("Password"), "fpw");
  EXPECT_EQ(ReadIni("FutUsername"), "fut");
}

TEST_F(Shell, AFailedSignInIsReportedAndTheProgramRunsOnUnconnected) {
  struct Case {
    const char* description;
    const char* source;
    std::string wantText;
  };
  const Case cases[] = {
      {"All Data Providers are unavailable.", "ZmDDE",
       "\nAll Data Providers are unavailable.\nZmDDE"},
      {"Failed advise to ZmOrvEvents interface", "",
       "\nFailed advise to ZmOrvEvents interface"},
      {"", "", std::string("\n") + _com_error(E_FAIL).ErrorMessage()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wantText);
    rec_.calls.clear();
    rec_.failHr = E_FAIL;
    rec_.failDescription = c.description;
    rec_.failSource = c.source;
    WriteIni("Username", "alice");
    WriteIni("Password", "wrong");
    testing::internal::CaptureStderr();
    Start();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[Unable connect to Orv] " + c.wantText + "\n"), std::string::npos) << err;
    EXPECT_FALSE(TheSystemTray().m_bConnected);
    EXPECT_EQ(Tooltip(), "DDE server. Status: not connected.");
    size_t advises = rec_.Count("advise");
    clock_.Advance(5000);
    EXPECT_TRUE(rec_.WaitCount("advise", advises + 1)) << "timers run while not connected";
    EXPECT_EQ(Exit(), 0);
  }
}

TEST_F(Shell, WithoutCredentialsOrATerminalItStaysUnconnected) {
  Start();
  EXPECT_EQ(rec_.Calls().front(), "start") << "a cancelled dialog signs nobody in";
  Command(ID_APP_CONNECT);
  Sync();
  EXPECT_EQ(rec_.Count("connect /"), 0u);
  EXPECT_EQ(Tooltip(), "DDE server. Status: not connected.");
  EXPECT_EQ(ReadIni("Username"), "");
}

TEST_F(Shell, ConnectAsksWithTheLastValuesAndWritesThemBack) {
  PtyTerminal tty;
  ASSERT_TRUE(tty.ok());
  SetLoginTerminal(tty.path());
  WriteIni("Username", "alice");
  WriteIni("Password", "pw");
  Start();
  ASSERT_EQ(rec_.Count("connect alice/pw"), 1u);
  ASSERT_EQ(unlink(ini_.c_str()), 0);

  // The same values again: written back, since "Connect" forgot the stored ones.
  Command(ID_APP_CONNECT);
  ASSERT_TRUE(tty.WaitFor("User name: [alice]"));
  tty.Type("\n");
  ASSERT_TRUE(tty.WaitFor("Password:"));
  tty.Type("\n");
  ASSERT_TRUE(rec_.WaitCount("connect alice/pw", 2));
  Sync();
  EXPECT_EQ(ReadIni("Username"), "alice");
  EXPECT_EQ(ReadIni("Password"), "pw");
  EXPECT_EQ(Tooltip(), "DDE server. Status: connected.");

  // A typed password of 30 or more characters is cut to 29.
  Command(ID_APP_CONNECT);
  ASSERT_TRUE(tty.WaitFor("User name: [alice]"));
  tty.Type("bob\n");
  ASSERT_TRUE(tty.WaitFor("Password:"));
  tty.Type(std::string(35, 'p') + "\n");
  const std::string cut(29, 'p');
  ASSERT_TRUE(rec_.WaitCount("connect bob/" + cut, 1));
  Sync();
  EXPECT_EQ(ReadIni("Username"), "bob");
  EXPECT_EQ(ReadIni("Password"), cut);
}

TEST_F(Shell, TheTrayMenuDisconnectsAndADoubleClickAsksToConnect) {
  PtyTerminal tty;
  ASSERT_TRUE(tty.ok());
  SetLoginTerminal(tty.path());
  WriteIni("Username", "alice");
  WriteIni("Password", "pw");
  Start();
  HWND hwnd = ZmDDEMainWindow();

  orvui::QueueMenuChoice(ID_APP_DISCONNECT);
  ASSERT_TRUE(orvui::ClickTrayIcon(hwnd, IDM_TRAY_MENU, WM_RBUTTONUP));
  ASSERT_TRUE(rec_.WaitCount("disconnect", 1));
  Sync();
  EXPECT_FALSE(TheSystemTray().m_bConnected);
  EXPECT_EQ(Tooltip(), "DDE server. Status: disconnected.");

  // Disconnect is greyed now: choosing it again does nothing.
  orvui::QueueMenuChoice(ID_APP_DISCONNECT);
  ASSERT_TRUE(orvui::ClickTrayIcon(hwnd, IDM_TRAY_MENU, WM_RBUTTONUP));
  Sync();
  Sync();
  EXPECT_EQ(rec_.Count("disconnect"), 1u);

  // A cancelled dialog changes nothing.
  ASSERT_TRUE(orvui::ClickTrayIcon(hwnd, IDM_TRAY_MENU, WM_LBUTTONDBLCLK));
  ASSERT_TRUE(tty.WaitFor("User name:"));
  tty.Type("\x04");
  Sync();
  EXPECT_EQ(rec_.Count("connect alice/pw"), 1u);
  EXPECT_EQ(Tooltip(), "DDE server. Status: disconnected.");
}

TEST_F(Shell, ASecondCopyIsRefusedAndTheFirstRunsOn) {
  Start();
  testing::internal::CaptureStderr();
  EXPECT_EQ(ZmDDEWinMain(GetModuleHandleA(nullptr), nullptr, const_cast<char*>(""), 0), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[Error] Another instance of ZmDDE.exe is already running."),
            std::string::npos)
      << err;
  Sync();
  EXPECT_EQ(rec_.Count("start"), 1u);
  EXPECT_EQ(Exit(), 0);
}

TEST_F(Shell, ADdeServiceThatFailsToStartEndsStartUpAndReleasesTheProgram) {
  rec_.startResult = FALSE;
  int result = ZmDDEWinMain(GetModuleHandleA(nullptr), nullptr, const_cast<char*>(""), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(rec_.Calls().back(), "destroyed");

  // Nothing of the failed start is left holding the single-instance lock.
  rec_.startResult = TRUE;
  Start();
  EXPECT_EQ(Exit(), 0);
}

}  // namespace
