// Shared by the implementation files of this folder only: the handle table
// and the waitable objects behind the handles.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "win/types.h"

namespace orvwin::detail {

// One waiting thread. Objects keep a list of the waiters blocked on them
// and wake each one on its own condition variable.
struct Waiter {
  std::condition_variable cv;
};

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Whether waits may be made on the object; the state below is only read
  // or changed under WaitLock().
  virtual bool Waitable() const { return false; }
  virtual bool IsSignalled() const { return false; }
  // A satisfied wait takes what it was waiting for (an auto-reset event
  // resets).
  virtual void Consume() {}
  // Called once when the handle is closed, without WaitLock() held.
  virtual void OnClose() {}

  void WakeWaiters();
  std::vector<Waiter*> waiters;
};

// The one lock under which every waitable object changes state; one lock
// makes wait-all atomic across objects at no cost that matters here.
std::mutex& WaitLock();

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

}  // namespace orvwin::detail
