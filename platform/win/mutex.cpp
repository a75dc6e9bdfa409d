#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/win/folders.h"
#include "platform/win/internal.h"
#include "platform/win/sync.h"
#include "platform/win/thread.h"

namespace {

class Mutex : public orvwin::detail::KernelObject {
 public:
  Mutex(int fd, bool owned) : fd_(fd), owner_(owned ? GetCurrentThreadId() : 0) {}
  ~Mutex() override {
    if (fd_ >= 0) ::close(fd_);  // lets go of the shared lock
  }
  bool Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (owner_ == 0 || owner_ != GetCurrentThreadId()) return false;
    owner_ = 0;
    return true;
  }

 private:
  int fd_;
  std::mutex mutex_;
  DWORD owner_;
};

// Mutex names may hold any character; file names get the safe ones as
// they are and the others as %XX, so distinct names stay distinct.
std::string FileName(const std::string& name) {
  std::string out = "mutex-";
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '{' || c == '}') {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

int Flock(int fd, int op) {
  int r;
  do r = ::flock(fd, op);
  while (r != 0 && errno == EINTR);
  return r;
}

// Held around the test-and-take of a mutex's lock, so that no other
// process probes it while this one briefly holds it exclusively.
class Guard {
 public:
  explicit Guard(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && Flock(fd_, LOCK_EX) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Guard() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Opens (or creates) the lock file and takes the shared lock. `existed`
// tells whether another handle held it already.
int OpenShared(const std::string& name, bool create, bool& existed) {
  std::string folder = orvwin::RuntimeFolder();
  if (folder.empty()) return -1;
  std::string base = folder + FileName(name);
  Guard guard(base + ".guard");
  if (!guard.Held()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  int fd = ::open((base + ".lock").c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
  if (fd < 0) {
    SetLastError(orvwin::detail::Win32FromErrno(errno, ERROR_ACCESS_DENIED));
    return -1;
  }
  existed = Flock(fd, LOCK_EX | LOCK_NB) != 0;
  if (!existed && !create) {
    ::close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return -1;
  }
  if (Flock(fd, LOCK_SH) != 0) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return fd;
}

bool BadName(LPCSTR name) { return std::string(name).size() > MAX_PATH; }

}  // namespace

std::string orvwin::detail::MutexLockPath(const std::string& name) {
  std::string folder = orvwin::RuntimeFolder();
  return folder.empty() ? std::string() : folder + FileName(name) + ".lock";
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_SUCCESS);
    return orvwin::detail::InsertHandle(std::make_shared<Mutex>(-1, initialOwner != FALSE));
  }
  if (BadName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  bool existed = false;
  int fd = OpenShared(name, true, existed);
  if (fd < 0) return nullptr;
  HANDLE h = orvwin::detail::InsertHandle(
      std::make_shared<Mutex>(fd, !existed && initialOwner != FALSE));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (BadName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  bool existed = false;
  int fd = OpenShared(name, false, existed);
  if (fd < 0) return nullptr;
  SetLastError(ERROR_SUCCESS);
  return orvwin::detail::InsertHandle(std::make_shared<Mutex>(fd, false));
}

BOOL ReleaseMutex(HANDLE handle) {
  auto mutex = orvwin::detail::LookupAs<Mutex>(handle);
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!mutex->Release()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}
