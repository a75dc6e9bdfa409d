#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/ui/clock.h"
#include "platform/ui/winuser.h"
#include "platform/win/thread.h"

namespace {

struct Seen {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
};
thread_local std::vector<Seen> t_seen;

LRESULT RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  if (message != WM_CREATE && message != WM_DESTROY) t_seen.push_back({hwnd, message, wParam});
  return 0;
}

class MessageLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool registered = [] {
      WNDCLASSA wc{};
      wc.lpfnWndProc = RecordingProc;
      wc.lpszClassName = "LoopTestWindow";
      return RegisterClassA(&wc) != 0;
    }();
    ASSERT_TRUE(registered);
    orvui::SetClock(&clock_);
    hwnd_ = CreateWindowExA(0, "looptestwindow", "w", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                            nullptr, nullptr);
    ASSERT_NE(hwnd_, nullptr) << "class names are matched without case";
    t_seen.clear();
  }
  void TearDown() override {
    if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
    orvui::SetClock(nullptr);
  }
  // Dispatches what is ready now, without waiting.
  void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  size_t Timers(UINT_PTR id) {
    size_t n = 0;
    for (const Seen& s : t_seen) n += s.message == WM_TIMER && s.wParam == id;
    return n;
  }

  orvui::ManualClock clock_{1000};
  HWND hwnd_ = nullptr;
};

TEST_F(MessageLoop, TimersFireOnTheInjectedClockOnly) {
  ASSERT_EQ(SetTimer(hwnd_, 7, 5000, nullptr), 7u);
  Pump();
  EXPECT_EQ(Timers(7), 0u);
  clock_.Advance(4999);
  Pump();
  EXPECT_EQ(Timers(7), 0u);
  clock_.Advance(1);
  Pump();
  EXPECT_EQ(Timers(7), 1u);
  Pump();
  EXPECT_EQ(Timers(7), 1u) << "one message per period";
  // Missed periods collapse into one message.
  clock_.Advance(20000);
  Pump();
  EXPECT_EQ(Timers(7), 2u);
  ASSERT_TRUE(KillTimer(hwnd_, 7));
  clock_.Advance(10000);
  Pump();
  EXPECT_EQ(Timers(7), 2u);
  EXPECT_FALSE(KillTimer(hwnd_, 7));
}

TEST_F(MessageLoop, PostedMessagesComeFirstAndInOrder) {
  SetTimer(hwnd_, 1, 10, nullptr);
  clock_.Advance(10);
  PostMessageA(hwnd_, WM_COMMAND, 32769, 0);
  PostMessageA(hwnd_, WM_USER + 1, 2, 0);
  Pump();
  ASSERT_EQ(t_seen.size(), 3u);
  EXPECT_EQ(t_seen[0].message, UINT(WM_COMMAND));
  EXPECT_EQ(t_seen[0].wParam, 32769u);
  EXPECT_EQ(t_seen[1].message, UINT(WM_USER + 1));
  EXPECT_EQ(t_seen[2].message, UINT(WM_TIMER));
}

TEST_F(MessageLoop, QuitEndsGetMessageWithItsCode) {
  PostMessageA(hwnd_, WM_USER, 0, 0);
  PostQuitMessage(3);
  MSG msg;
  ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, UINT(WM_USER)) << "messages posted before the quit are still delivered";
  EXPECT_FALSE(GetMessageA(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, UINT(WM_QUIT));
  EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(MessageLoop, AnotherThreadWakesAWaitingLoop) {
  const DWORD self = GetCurrentThreadId();
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostMessageA(hwnd_, WM_USER + 5, 1, 0);
    PostThreadMessageA(self, WM_QUIT, 0, 0);
  });
  MSG msg;
  int dispatched = 0;
  while (GetMessageA(&msg, nullptr, 0, 0)) {
    DispatchMessageA(&msg);
    ++dispatched;
  }
  poster.join();
  EXPECT_EQ(dispatched, 1);
  ASSERT_EQ(t_seen.size(), 1u);
  EXPECT_EQ(t_seen[0].message, UINT(WM_USER + 5));
}

TEST_F(MessageLoop, AdvancingTheClockWakesAWaitingLoopForItsTimer) {
  SetTimer(hwnd_, 9, 1000, nullptr);
  std::atomic<bool> got{false};
  std::thread driver([&] {
    while (!got) {
      clock_.Advance(250);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  MSG msg;
  ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
  got = true;
  driver.join();
  EXPECT_EQ(msg.message, UINT(WM_TIMER));
  EXPECT_EQ(msg.wParam, 9u);
}

TEST_F(MessageLoop, ADestroyedWindowGetsNothingMore) {
  SetTimer(hwnd_, 1, 10, nullptr);
  PostMessageA(hwnd_, WM_USER, 0, 0);
  ASSERT_TRUE(DestroyWindow(hwnd_));
  clock_.Advance(100);
  Pump();
  EXPECT_TRUE(t_seen.empty());
  EXPECT_FALSE(PostMessageA(hwnd_, WM_USER, 0, 0));
  EXPECT_FALSE(IsWindow(hwnd_));
  MSG stale{hwnd_, WM_USER, 0, 0, 0, {0, 0}};
  EXPECT_EQ(DispatchMessageA(&stale), 0) << "a stale handle is refused, not followed";
}

TEST_F(MessageLoop, ThreadMessagesNeedAQueue) {
  DWORD id = 0;
  std::thread([&] { id = GetCurrentThreadId(); }).join();
  EXPECT_FALSE(PostThreadMessageA(id, WM_QUIT, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
}

TEST_F(MessageLoop, WindowsAndTimersBelongToTheirThread) {
  BOOL destroyed = TRUE;
  UINT_PTR timer = 1;
  LRESULT sent = 1;
  std::thread([&] {
    destroyed = DestroyWindow(hwnd_);
    timer = SetTimer(hwnd_, 4, 100, nullptr);
    sent = SendMessageA(hwnd_, WM_USER, 0, 0);
  }).join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(timer, 0u);
  EXPECT_EQ(sent, 0);
  EXPECT_TRUE(IsWindow(hwnd_));
  EXPECT_TRUE(t_seen.empty());
}

TEST(WindowClass, UnknownClassAndDuplicatesAreRefused) {
  EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                            nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CANNOT_FIND_WND_CLASS));
  static int run = 0;  // a class lives as long as the process
  const std::string name = "TwiceClass" + std::to_string(run++);
  std::string upper = name;
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = name.c_str();
  EXPECT_NE(RegisterClassA(&wc), 0);
  wc.lpszClassName = upper.c_str();
  EXPECT_EQ(RegisterClassA(&wc), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_ALREADY_EXISTS));
}

}  // namespace
