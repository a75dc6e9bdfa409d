#include "platform/win/windows.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

struct Worker {
  HANDLE stop = nullptr;
  HANDLE done = nullptr;  // set as the thread's last action, when given
  std::atomic<DWORD> seenId{0};
  std::atomic<int> cycles{0};
};

// The shape of the system's pull threads: test the stop event at the top of
// every cycle and end when it is set.
unsigned Loop(void* arg) {
  auto* w = static_cast<Worker*>(arg);
  w->seenId = GetCurrentThreadId();
  while (WaitForSingleObject(w->stop, 1) == WAIT_TIMEOUT) ++w->cycles;
  if (w->done) SetEvent(w->done);
  return 42;
}

DWORD Quick(LPVOID arg) {
  static_cast<std::atomic<int>*>(arg)->fetch_add(1);
  return 7;
}

TEST(Thread, HandleIsSignalledWhenTheThreadEndsAndCarriesItsExitCode) {
  Worker w;
  w.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  unsigned id = 0;
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Loop, &w, 0, &id));
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());

  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(t, 10), WAIT_TIMEOUT) << "a timed join of a running thread";
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

  SetEvent(w.stop);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(w.seenId.load(), id) << "the id handed out is the thread's own";
  EXPECT_TRUE(CloseHandle(t));
  CloseHandle(w.stop);
}

TEST(Thread, WaitForMultipleOnThreadsAndEvents) {
  std::atomic<int> runs{0};
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, Quick, &runs, 0, &id);
  ASSERT_NE(t, nullptr);
  HANDLE both[2] = {never, t};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(runs.load(), 1);
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 7u);
  CloseHandle(t);
  CloseHandle(never);
}

TEST(Thread, ClosingTheHandleEarlyLetsTheThreadFinishAlone) {
  Worker w;
  w.stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  w.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Loop, &w, 0, nullptr));
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(CloseHandle(t));
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_FAILED);
  // The thread still runs and still sees the event.
  while (w.cycles.load() == 0) Sleep(1);
  SetEvent(w.stop);
  EXPECT_EQ(WaitForSingleObject(w.done, INFINITE), WAIT_OBJECT_0);
  CloseHandle(w.done);
  CloseHandle(w.stop);
}

TEST(Thread, RefusesWhatItCannotDo) {
  std::atomic<int> runs{0};
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateThread(nullptr, 0, Quick, &runs, CREATE_SUSPENDED, nullptr), nullptr);
  EXPECT_EQ(runs.load(), 0);
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeThread(ev, &code)) << "an event is not a thread";
  CloseHandle(ev);
}

TEST(Clock, TickCountAdvancesAcrossASleep) {
  DWORD before = GetTickCount();
  ULONGLONG before64 = GetTickCount64();
  Sleep(20);
  EXPECT_GE(static_cast<DWORD>(GetTickCount() - before), 20u);
  EXPECT_GE(GetTickCount64() - before64, 20u);
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(::getpid()));
}

}  // namespace
