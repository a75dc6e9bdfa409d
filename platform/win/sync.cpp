#include "platform/win/sync.h"

#include <chrono>
#include <unordered_map>

#include "platform/win/internal.h"

namespace orvwin::detail {

namespace {

thread_local DWORD t_lastError = 0;

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
  // Values are never reused, so a stale handle can't reach a newer object.
  uintptr_t next = 0x100;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives static destructors
  return *table;
}

}  // namespace

void KernelObject::WakeWaiters() {
  for (Waiter* w : waiters) w->cv.notify_one();
}

std::mutex& WaitLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end()) return nullptr;
  std::shared_ptr<KernelObject> object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

}  // namespace orvwin::detail

using orvwin::detail::KernelObject;
using orvwin::detail::WaitLock;

DWORD GetLastError() { return orvwin::detail::t_lastError; }
void SetLastError(DWORD code) { orvwin::detail::t_lastError = code; }

// ---- critical sections ---------------------------------------------------

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(&cs->mutex); }
void EnterCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_lock(&cs->mutex); }
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  return pthread_mutex_trylock(&cs->mutex) == 0 ? TRUE : FALSE;
}
void LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(&cs->mutex); }

// ---- events -----------------------------------------------------------------

namespace {

class Event : public KernelObject {
 public:
  Event(bool manual, bool signalled) : manual_(manual), signalled_(signalled) {}
  bool Waitable() const override { return true; }
  bool IsSignalled() const override { return signalled_; }
  void Consume() override {
    if (!manual_) signalled_ = false;
  }
  void Set() {
    signalled_ = true;
    WakeWaiters();
  }
  void Reset() { signalled_ = false; }

 private:
  const bool manual_;
  bool signalled_;
};

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (name != nullptr && *name != '\0') {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return orvwin::detail::InsertHandle(
      std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE handle) {
  auto event = orvwin::detail::LookupAs<Event>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(WaitLock());
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto event = orvwin::detail::LookupAs<Event>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(WaitLock());
  event->Reset();
  return TRUE;
}

// ---- waits ------------------------------------------------------------------

namespace {

// Under WaitLock(): the index of the object that satisfies the wait (and
// consumes it), or -1.
int TryAcquire(const std::vector<std::shared_ptr<KernelObject>>& objects, bool all) {
  if (all) {
    for (const auto& o : objects)
      if (!o->IsSignalled()) return -1;
    for (const auto& o : objects) o->Consume();
    return 0;
  }
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i]->IsSignalled()) {
      objects[i]->Consume();
      return static_cast<int>(i);
    }
  }
  return -1;
}

DWORD Wait(const std::vector<std::shared_ptr<KernelObject>>& objects, bool all,
           DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(WaitLock());
  int index = TryAcquire(objects, all);
  if (index >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
  if (milliseconds == 0) return WAIT_TIMEOUT;

  orvwin::detail::Waiter self;
  for (const auto& o : objects) o->waiters.push_back(&self);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    bool timedOut = false;
    if (milliseconds == INFINITE) {
      self.cv.wait(lock);
    } else {
      timedOut = self.cv.wait_until(lock, deadline) == std::cv_status::timeout;
    }
    index = TryAcquire(objects, all);
    if (index >= 0 || timedOut) break;
  }
  for (const auto& o : objects) {
    auto& list = o->waiters;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (*it == &self) {
        list.erase(it);
        break;
      }
    }
  }
  return index >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(index) : WAIT_TIMEOUT;
}

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = orvwin::detail::LookupHandle(handle);
  if (!object || !object->Waitable()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return Wait({object}, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto object = orvwin::detail::LookupHandle(handles[i]);
    if (!object || !object->Waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    // Waiting for all of one object twice can't be satisfied consistently.
    if (waitAll) {
      for (const auto& seen : objects) {
        if (seen == object) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
      }
    }
    objects.push_back(std::move(object));
  }
  return Wait(objects, waitAll != FALSE, milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
  // The process's pseudo handle needs no closing, and closing it is no error.
  if (handle == INVALID_HANDLE_VALUE) return TRUE;
  auto object = orvwin::detail::RemoveHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->OnClose();
  return TRUE;
}
