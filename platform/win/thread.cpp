#include "platform/win/thread.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <system_error>
#include <thread>

#include "platform/win/internal.h"
#include "platform/win/sync.h"

namespace {

using orvwin::detail::WaitLock;

class Thread : public orvwin::detail::KernelObject {
 public:
  bool Waitable() const override { return true; }
  bool IsSignalled() const override { return ended_; }

  // Runs on the new thread: publishes its id, runs the body, then signals
  // every waiter. The thread keeps its own reference, so the object lives
  // on after an early CloseHandle.
  void Run(std::shared_ptr<Thread> self, std::function<DWORD()> body) {
    {
      std::lock_guard<std::mutex> lock(WaitLock());
      id_ = GetCurrentThreadId();
      started_ = true;
      startedCv_.notify_all();
    }
    DWORD code = body();
    std::lock_guard<std::mutex> lock(WaitLock());
    exitCode_ = code;
    ended_ = true;
    WakeWaiters();
    self.reset();  // may destroy this object, whose thread is then detached
  }

  DWORD WaitStarted() {
    std::unique_lock<std::mutex> lock(WaitLock());
    startedCv_.wait(lock, [this] { return started_; });
    return id_;
  }

  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(WaitLock());
    return ended_ ? exitCode_ : STILL_ACTIVE;
  }

  void OnClose() override {
    bool ended;
    {
      std::lock_guard<std::mutex> lock(WaitLock());
      ended = ended_;
    }
    // A thread that has ended only has its return left to do: join it.
    // One still running goes on alone, and nobody can wait for it now.
    if (thread_.joinable()) {
      if (ended && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
      else
        thread_.detach();
    }
  }

  ~Thread() override {
    if (thread_.joinable()) thread_.detach();
  }

  std::thread thread_;

 private:
  std::condition_variable startedCv_;
  bool started_ = false;
  bool ended_ = false;
  DWORD id_ = 0;
  DWORD exitCode_ = STILL_ACTIVE;
};

HANDLE Start(std::function<DWORD()> body, DWORD flags, DWORD* id) {
  if (flags & CREATE_SUSPENDED) {
    // Nothing in the system starts threads suspended; refuse rather than
    // run the thread at once.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  try {
    thread->thread_ = std::thread(&Thread::Run, thread.get(), thread, std::move(body));
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  DWORD tid = thread->WaitStarted();
  if (id) *id = tid;
  return orvwin::detail::InsertHandle(std::move(thread));
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return Start([start, parameter] { return start(parameter); }, creationFlags, threadId);
}

uintptr_t _beginthreadex(void*, unsigned, unsigned (*start)(void*), void* arglist,
                         unsigned initflag, unsigned* thrdaddr) {
  if (start == nullptr) {
    errno = EINVAL;
    return 0;
  }
  DWORD id = 0;
  HANDLE h = Start([start, arglist] { return static_cast<DWORD>(start(arglist)); }, initflag,
                   &id);
  if (h == nullptr) {
    errno = GetLastError() == ERROR_NOT_SUPPORTED ? EINVAL : EAGAIN;
    return 0;
  }
  if (thrdaddr) *thrdaddr = id;
  return reinterpret_cast<uintptr_t>(h);
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  auto thread = orvwin::detail::LookupAs<Thread>(handle);
  if (!thread || exitCode == nullptr) {
    SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = thread->ExitCode();
  return TRUE;
}

DWORD GetCurrentThreadId() {
  thread_local DWORD id = static_cast<DWORD>(::syscall(SYS_gettid));
  return id;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

void Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

ULONGLONG GetTickCount64() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 1000u + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }
