#include "platform/win/process.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "platform/log/Log.h"
#include "platform/win/internal.h"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

std::string ExeOf(const std::string& procDir) {
  char buf[PATH_MAX];
  ssize_t n = ::readlink((procDir + "/exe").c_str(), buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  // A program file replaced while it runs (a rebuild, an upgrade) is still
  // the same program.
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  return path;
}

// Real and effective user both ours.
bool SameUser(const std::string& procDir) {
  std::ifstream in(procDir + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 4, "Uid:") == 0) {
      std::istringstream fields(line.substr(4));
      unsigned long real = 0, effective = 0;
      fields >> real >> effective;
      return fields && real == ::getuid() && effective == ::getuid();
    }
  }
  return false;
}

// The file a process must hold open to count as a copy of this one: the
// lock behind the single-instance mutex of our own runtime folder. A copy
// started for another runtime folder holds another file and serves other
// clients, so it is none of our business.
struct LockId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool valid = false;
};

LockId LockOf(const std::string& mutexName) {
  LockId id;
  struct stat st;
  const std::string path = orvwin::detail::MutexLockPath(mutexName);
  if (!path.empty() && ::stat(path.c_str(), &st) == 0) {
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.valid = true;
  }
  return id;
}

bool HoldsLock(const std::string& procDir, const LockId& lock) {
  if (!lock.valid) return false;
  const std::string fdDir = procDir + "/fd";
  DIR* fds = ::opendir(fdDir.c_str());
  if (fds == nullptr) return false;
  bool found = false;
  while (dirent* e = ::readdir(fds)) {
    if (e->d_name[0] == '.') continue;
    struct stat st;
    if (::stat((fdDir + "/" + e->d_name).c_str(), &st) == 0 && st.st_dev == lock.dev &&
        st.st_ino == lock.ino) {
      found = true;
      break;
    }
  }
  ::closedir(fds);
  return found;
}

bool IsCopy(DWORD pid, const std::string& ownExe, const LockId& lock) {
  std::string dir = "/proc/" + std::to_string(pid);
  return SameUser(dir) && !ownExe.empty() && ExeOf(dir) == ownExe && HoldsLock(dir, lock);
}

std::map<std::string, unsigned long long> ReadKiB(const char* path) {
  std::map<std::string, unsigned long long> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    out[line.substr(0, colon)] = std::strtoull(line.c_str() + colon + 1, nullptr, 10);
  }
  return out;
}

}  // namespace

HANDLE GetCurrentProcess() { return kCurrentProcess; }

BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb) {
  if (process != kCurrentProcess) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (counters == nullptr || cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto status = ReadKiB("/proc/self/status");
  if (status.empty()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::memset(counters, 0, sizeof *counters);
  counters->cb = sizeof *counters;
  counters->WorkingSetSize = static_cast<SIZE_T>(status["VmRSS"] * 1024);
  counters->PeakWorkingSetSize = static_cast<SIZE_T>(status["VmHWM"] * 1024);
  counters->PagefileUsage = static_cast<SIZE_T>((status["VmData"] + status["VmStk"]) * 1024);
  counters->PeakPagefileUsage = static_cast<SIZE_T>(status["VmPeak"] * 1024);
  if (counters->PeakPagefileUsage < counters->PagefileUsage)
    counters->PeakPagefileUsage = counters->PagefileUsage;

  std::ifstream stat("/proc/self/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close != std::string::npos) {
    // After the command name: state, ppid, pgrp, session, tty, tpgid,
    // flags, minflt, cminflt, majflt.
    std::istringstream fields(all.substr(close + 2));
    std::string skip;
    unsigned long long minflt = 0, cminflt = 0, majflt = 0;
    for (int i = 0; i < 7; ++i) fields >> skip;
    fields >> minflt >> cminflt >> majflt;
    counters->PageFaultCount = static_cast<DWORD>(minflt + majflt);
  }
  return TRUE;
}

BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX buffer) {
  if (buffer == nullptr || buffer->dwLength != sizeof(MEMORYSTATUSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto mem = ReadKiB("/proc/meminfo");
  if (mem.empty()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const unsigned long long total = mem["MemTotal"] * 1024;
  const unsigned long long avail =
      (mem.count("MemAvailable") ? mem["MemAvailable"] : mem["MemFree"]) * 1024;
  buffer->ullTotalPhys = total;
  buffer->ullAvailPhys = avail;
  buffer->ullTotalPageFile = total + mem["SwapTotal"] * 1024;
  buffer->ullAvailPageFile = avail + mem["SwapFree"] * 1024;
  buffer->dwMemoryLoad = total ? static_cast<DWORD>((total - avail) * 100 / total) : 0;

  // The address space: the limit set on it, else the 47-bit user space.
  unsigned long long space = 1ull << 47;
  rlimit lim;
  if (::getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) space = lim.rlim_cur;
  const unsigned long long used = ReadKiB("/proc/self/status")["VmSize"] * 1024;
  buffer->ullTotalVirtual = space;
  buffer->ullAvailVirtual = used < space ? space - used : 0;
  buffer->ullAvailExtendedVirtual = 0;
  return TRUE;
}

namespace orvwin {

std::vector<DWORD> OtherCopies(const std::string& mutexName) {
  std::vector<DWORD> out;
  const std::string own = ExeOf("/proc/self");
  const LockId lock = LockOf(mutexName);
  if (!lock.valid) return out;
  const DWORD self = static_cast<DWORD>(::getpid());
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return out;
  while (dirent* e = ::readdir(proc)) {
    char* end = nullptr;
    unsigned long pid = std::strtoul(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid == 0 || pid == self) continue;
    if (IsCopy(static_cast<DWORD>(pid), own, lock)) out.push_back(static_cast<DWORD>(pid));
  }
  ::closedir(proc);
  return out;
}

DWORD TerminateOtherCopies(const std::string& mutexName, DWORD waitMilliseconds) {
  const std::string own = ExeOf("/proc/self");
  const LockId lock = LockOf(mutexName);
  struct Target {
    DWORD pid;
    int fd;
  };
  std::vector<Target> targets;
  for (DWORD pid : OtherCopies(mutexName)) {
    // A pidfd pins the process: checked once more after it is taken, it
    // can't be signalled by mistake once its number goes to a newcomer.
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) continue;
    if (!IsCopy(pid, own, lock) || ::syscall(SYS_pidfd_send_signal, fd, SIGTERM, nullptr, 0) != 0) {
      ::close(fd);
      continue;
    }
    ORV_LOG(orvlog::kInfo, "Terminating the other running copy, process " << pid);
    targets.push_back({pid, fd});
  }

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto killAt = start + std::chrono::milliseconds(waitMilliseconds / 2);
  const auto deadline = start + std::chrono::milliseconds(waitMilliseconds);
  bool killed = false;
  DWORD ended = 0;
  while (!targets.empty()) {
    std::vector<pollfd> fds;
    for (const auto& t : targets) fds.push_back({t.fd, POLLIN, 0});
    auto now = Clock::now();
    auto until = killed ? deadline : killAt;
    int timeout = now >= until ? 0
                               : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      until - now)
                                                      .count()) + 1;
    int n = ::poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) break;
    for (size_t i = fds.size(); i-- > 0;) {
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        ::close(targets[i].fd);
        targets.erase(targets.begin() + static_cast<long>(i));
        ++ended;
      }
    }
    if (targets.empty()) break;
    now = Clock::now();
    if (!killed && now >= killAt) {
      for (const auto& t : targets) {
        ORV_LOG(orvlog::kWarn, "Process " << t.pid << " did not end when asked; killing it");
        ::syscall(SYS_pidfd_send_signal, t.fd, SIGKILL, nullptr, 0);
      }
      killed = true;
    } else if (killed && now >= deadline) {
      break;
    }
  }
  for (const auto& t : targets) {
    ORV_LOG(orvlog::kError, "Process " << t.pid << " is still running after being killed");
    ::close(t.fd);
  }
  return ended;
}

unsigned long RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return static_cast<unsigned long>(raised.rlim_cur);
  }
  return static_cast<unsigned long>(limit.rlim_cur);
}

}  // namespace orvwin
