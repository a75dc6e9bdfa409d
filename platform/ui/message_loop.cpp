#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ui/clock.h"
#include "platform/ui/winuser.h"
#include "platform/win/thread.h"

namespace {

// Windows' smallest timer period; shorter requests are raised to it.
const UINT kTimerMinimum = 10;

struct Timer {
  ULONGLONG due;
  UINT interval;
};

struct Queue {
  explicit Queue(DWORD thread) : threadId(thread) {
    wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    poll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake;
    if (wake >= 0 && poll >= 0) ::epoll_ctl(poll, EPOLL_CTL_ADD, wake, &ev);
  }
  ~Queue() {
    if (poll >= 0) ::close(poll);
    if (wake >= 0) ::close(wake);
  }
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  void Wake() {
    uint64_t one = 1;
    if (wake >= 0) {
      ssize_t n = ::write(wake, &one, sizeof one);
      (void)n;  // a full counter already means "wake up"
    }
  }
  void Drain() {
    uint64_t count;
    while (wake >= 0 && ::read(wake, &count, sizeof count) > 0) {
    }
  }

  const DWORD threadId;
  int wake = -1;
  int poll = -1;
  std::mutex lock;
  std::deque<MSG> posted;
  bool quit = false;
  int quitCode = 0;
  std::map<std::pair<HWND, UINT_PTR>, Timer> timers;
  UINT_PTR nextThreadTimer = 1;
};

struct Window {
  WNDPROC proc;
  DWORD threadId;
  LONG_PTR userData;
  std::string text;
};

struct Registry {
  std::mutex lock;
  std::map<DWORD, std::shared_ptr<Queue>> queues;
  std::map<HWND, Window> windows;
  std::map<std::string, WNDCLASSA> classes;
  std::map<std::string, std::string> classNames;  // keeps the copied names alive
  ULONG_PTR nextWindow = 0x1000;
  ATOM nextAtom = 0xC000;
};

Registry& Reg() {
  static Registry* registry = new Registry;  // outlives every thread's queue
  return *registry;
}

// The calling thread's queue; dropped from the table when the thread ends.
struct QueueHolder {
  std::shared_ptr<Queue> queue;
  ~QueueHolder() {
    if (!queue) return;
    std::lock_guard<std::mutex> g(Reg().lock);
    Reg().queues.erase(queue->threadId);
  }
};

Queue& OwnQueue() {
  thread_local QueueHolder holder;
  if (!holder.queue) {
    holder.queue = std::make_shared<Queue>(GetCurrentThreadId());
    std::lock_guard<std::mutex> g(Reg().lock);
    Reg().queues[holder.queue->threadId] = holder.queue;
  }
  return *holder.queue;
}

std::shared_ptr<Queue> QueueOf(DWORD threadId) {
  std::lock_guard<std::mutex> g(Reg().lock);
  auto it = Reg().queues.find(threadId);
  return it == Reg().queues.end() ? nullptr : it->second;
}

bool WindowThread(HWND hwnd, DWORD* threadId) {
  std::lock_guard<std::mutex> g(Reg().lock);
  auto it = Reg().windows.find(hwnd);
  if (it == Reg().windows.end()) return false;
  *threadId = it->second.threadId;
  return true;
}

WNDPROC ProcOf(HWND hwnd) {
  std::lock_guard<std::mutex> g(Reg().lock);
  auto it = Reg().windows.find(hwnd);
  return it == Reg().windows.end() ? nullptr : it->second.proc;
}

std::string Folded(LPCSTR name) {
  std::string s = name ? name : "";
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool Matches(const MSG& m, HWND hwnd, UINT low, UINT high) {
  if (hwnd && m.hwnd != hwnd) return false;
  if (low == 0 && high == 0) return true;
  return m.message >= low && m.message <= high;
}

MSG Make(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  MSG m{};
  m.hwnd = hwnd;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = GetTickCount();
  return m;
}

bool Post(const std::shared_ptr<Queue>& q, const MSG& m) {
  {
    std::lock_guard<std::mutex> g(q->lock);
    q->posted.push_back(m);
  }
  q->Wake();
  return true;
}

// One look at the queue: posted messages, then quit, then a due timer.
// Returns false when there is nothing; otherwise `*out` holds the message.
// `*waitMs` gets the time to the next timer (-1: none, or a driven clock).
bool Take(Queue& q, LPMSG out, HWND hwnd, UINT low, UINT high, bool remove, int* waitMs) {
  std::lock_guard<std::mutex> g(q.lock);
  for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
    if (!Matches(*it, hwnd, low, high)) continue;
    *out = *it;
    if (remove) q.posted.erase(it);
    return true;
  }
  if (q.quit) {
    *out = Make(nullptr, WM_QUIT, WPARAM(q.quitCode), 0);
    if (remove) q.quit = false;
    return true;
  }
  orvui::Clock& clock = orvui::CurrentClock();
  const ULONGLONG now = clock.NowMs();
  ULONGLONG next = ULLONG_MAX;
  for (auto& [key, timer] : q.timers) {
    MSG m = Make(key.first, WM_TIMER, key.second, 0);
    if (!Matches(m, hwnd, low, high)) continue;
    if (timer.due <= now) {
      *out = m;
      // Several missed periods give one message, as on Windows.
      if (remove) timer.due = now + timer.interval;
      return true;
    }
    next = std::min(next, timer.due);
  }
  if (next == ULLONG_MAX || clock.IsDriven())
    *waitMs = -1;
  else
    *waitMs = int(std::min<ULONGLONG>(next - now, INT_MAX));
  return false;
}

}  // namespace

namespace orvui {

void WakeAllMessageLoops() {
  std::lock_guard<std::mutex> g(Reg().lock);
  for (auto& entry : Reg().queues) entry.second->Wake();
}

}  // namespace orvui

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  Queue& q = OwnQueue();
  for (;;) {
    int waitMs = -1;
    if (Take(q, msg, hwnd, filterMin, filterMax, true, &waitMs)) return msg->message != WM_QUIT;
    epoll_event ev;
    int n = ::epoll_wait(q.poll, &ev, 1, waitMs);
    if (n > 0) q.Drain();
  }
}

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
  Queue& q = OwnQueue();
  if (!msg) return FALSE;
  int waitMs;
  q.Drain();
  return Take(q, msg, hwnd, filterMin, filterMax, (removeMsg & PM_REMOVE) != 0, &waitMs);
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  WNDPROC proc = ProcOf(msg->hwnd);
  if (!proc) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!hwnd) {
    OwnQueue();
    return Post(QueueOf(GetCurrentThreadId()), Make(nullptr, message, wParam, lParam));
  }
  DWORD thread = 0;
  std::shared_ptr<Queue> q;
  if (WindowThread(hwnd, &thread)) q = QueueOf(thread);
  if (!q) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return Post(q, Make(hwnd, message, wParam, lParam));
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Queue> q = QueueOf(threadId);
  if (!q) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  return Post(q, Make(nullptr, message, wParam, lParam));
}

void PostQuitMessage(int exitCode) {
  Queue& q = OwnQueue();
  {
    std::lock_guard<std::mutex> g(q.lock);
    q.quit = true;
    q.quitCode = exitCode;
  }
  q.Wake();
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD thread = 0;
  if (!WindowThread(hwnd, &thread)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (thread != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  WNDPROC proc = ProcOf(hwnd);
  return proc ? proc(hwnd, message, wParam, lParam) : 0;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, void* timerProc) {
  if (timerProc) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  std::shared_ptr<Queue> q;
  if (hwnd) {
    DWORD thread = 0;
    if (!WindowThread(hwnd, &thread) || thread != GetCurrentThreadId()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    q = QueueOf(thread);
  } else {
    OwnQueue();
    q = QueueOf(GetCurrentThreadId());
  }
  if (!q) return 0;
  const UINT interval = std::max(elapse, kTimerMinimum);
  {
    std::lock_guard<std::mutex> g(q->lock);
    if (!hwnd) id = q->nextThreadTimer++;
    q->timers[{hwnd, id}] = Timer{orvui::CurrentClock().NowMs() + interval, interval};
  }
  q->Wake();
  return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  Queue& q = OwnQueue();
  std::lock_guard<std::mutex> g(q.lock);
  if (!q.timers.erase({hwnd, id})) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A WM_TIMER already taken stays taken; none of this timer is queued.
  return TRUE;
}

ATOM RegisterClassA(const WNDCLASSA* windowClass) {
  if (!windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string key = Folded(windowClass->lpszClassName);
  std::lock_guard<std::mutex> g(Reg().lock);
  if (Reg().classes.count(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  Reg().classNames[key] = windowClass->lpszClassName;
  WNDCLASSA copy = *windowClass;
  copy.lpszClassName = Reg().classNames[key].c_str();
  copy.lpszMenuName = nullptr;
  Reg().classes[key] = copy;
  return Reg().nextAtom++;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  OwnQueue();
  HWND hwnd = nullptr;
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> g(Reg().lock);
    auto it = Reg().classes.find(Folded(className));
    if (it == Reg().classes.end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    proc = it->second.lpfnWndProc;
    hwnd = reinterpret_cast<HWND>(Reg().nextWindow);
    Reg().nextWindow += 4;
    Reg().windows[hwnd] = Window{proc, GetCurrentThreadId(), 0, windowName ? windowName : ""};
  }
  CREATESTRUCTA create{param,  instance, menu,      parent,    height,   width,
                       y,      x,        LONG(style), windowName, className, exStyle};
  if (proc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(hwnd);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  DWORD thread = 0;
  if (!WindowThread(hwnd, &thread)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (thread != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (WNDPROC proc = ProcOf(hwnd)) proc(hwnd, WM_DESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> g(Reg().lock);
    Reg().windows.erase(hwnd);
  }
  // Nothing that was meant for the window outlives it. Looked up rather
  // than taken from the thread: a window destroyed at process exit (by a
  // static object) may outlive the thread's own queue.
  std::shared_ptr<Queue> own = QueueOf(thread);
  if (!own) return TRUE;
  Queue& q = *own;
  std::lock_guard<std::mutex> g(q.lock);
  q.posted.erase(std::remove_if(q.posted.begin(), q.posted.end(),
                                [hwnd](const MSG& m) { return m.hwnd == hwnd; }),
                 q.posted.end());
  for (auto it = q.timers.begin(); it != q.timers.end();)
    it = it->first.first == hwnd ? q.timers.erase(it) : std::next(it);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  DWORD thread;
  return hwnd && WindowThread(hwnd, &thread);
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
  std::lock_guard<std::mutex> g(Reg().lock);
  auto it = Reg().windows.find(hwnd);
  if (it == Reg().windows.end() || index != GWLP_USERDATA) {
    SetLastError(it == Reg().windows.end() ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  LONG_PTR previous = it->second.userData;
  it->second.userData = value;
  return previous;
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
  std::lock_guard<std::mutex> g(Reg().lock);
  auto it = Reg().windows.find(hwnd);
  if (it == Reg().windows.end() || index != GWLP_USERDATA) {
    SetLastError(it == Reg().windows.end() ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  return it->second.userData;
}

int GetWindowTextA(HWND hwnd, LPSTR text, int maxCount) {
  if (!text || maxCount <= 0) return 0;
  std::lock_guard<std::mutex> g(Reg().lock);
  auto it = Reg().windows.find(hwnd);
  if (it == Reg().windows.end()) {
    text[0] = 0;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  size_t n = std::min(it->second.text.size(), size_t(maxCount - 1));
  std::memcpy(text, it->second.text.data(), n);
  text[n] = 0;
  return int(n);
}

BOOL SetForegroundWindow(HWND hwnd) { return IsWindow(hwnd); }

HWND GetActiveWindow() { return nullptr; }

BOOL GetCursorPos(LPPOINT point) {
  if (!point) return FALSE;
  point->x = 0;
  point->y = 0;
  return TRUE;
}

UINT RegisterWindowMessageA(LPCSTR name) {
  static std::mutex lock;
  static std::map<std::string, UINT> numbers;
  std::string key = Folded(name);
  if (key.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> g(lock);
  auto it = numbers.find(key);
  if (it != numbers.end()) return it->second;
  if (numbers.size() >= 0x4000) return 0;
  UINT number = UINT(0xC000 + numbers.size());
  numbers[key] = number;
  return number;
}
