// Shared by the implementation files of this folder only: the handle table
// and the waitable objects behind the handles.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win/types.h"

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

#include <string>

namespace orvwin::detail {

DWORD Win32FromErrno(int error, DWORD fallback);

// The lock file behind a named mutex, in this process's runtime folder;
// empty when there is no runtime folder.
std::string MutexLockPath(const std::string& name);

// Creates every missing level of a folder path with `mode`; levels that
// exist are left as they are.
DWORD MakeFolders(const std::string& path, unsigned mode);

// Reads a whole file; ERROR_FILE_NOT_FOUND when it does not exist.
DWORD ReadWholeFile(const std::string& path, std::string& out);

// Replaces a file in one step: the content goes to a temporary file in the
// same folder, is flushed, and is renamed over the old one, so a reader or
// a crash sees the old or the new file and never half of one. An existing
// file keeps its mode; a new one gets newFileMode.
DWORD ReplaceFile(const std::string& path, const std::string& content, unsigned newFileMode);

// An exclusive lock shared by every process of this user that writes the
// given file, held until destruction. The lock file sits in the runtime
// folder, named after the file's path.
class FileWriteLock {
 public:
  explicit FileWriteLock(const std::string& path);
  ~FileWriteLock();
  FileWriteLock(const FileWriteLock&) = delete;
  FileWriteLock& operator=(const FileWriteLock&) = delete;
  // ERROR_SUCCESS once the lock is held.
  DWORD Error() const { return error_; }

 private:
  int fd_ = -1;
  DWORD error_ = 0;
};

std::string ToLower(std::string s);
bool EqualNoCase(const std::string& a, const std::string& b);

}  // namespace orvwin::detail
