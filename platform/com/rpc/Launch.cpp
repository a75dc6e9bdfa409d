#include "platform/com/rpc/Launch.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/log/Log.h"

extern char** environ;

namespace orvrpc {

namespace {
constexpr auto kPollStep = std::chrono::milliseconds(5);

UniqueFd OpenLockFile(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
}
}  // namespace

bool FileLock::TryLock(const std::string& path) {
  Unlock();
  UniqueFd fd = OpenLockFile(path);
  if (!fd.Valid()) return false;
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
  fd_ = std::move(fd);
  return true;
}

bool FileLock::Lock(const std::string& path, std::chrono::milliseconds timeout) {
  Unlock();
  UniqueFd fd = OpenLockFile(path);
  if (!fd.Valid()) return false;
  // flock has no timed form; poll it, which also keeps the wait bounded.
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
      fd_ = std::move(fd);
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

void FileLock::Unlock() {
  if (fd_.Valid()) {
    ::flock(fd_.Get(), LOCK_UN);
    fd_.Reset();
  }
}

bool FileLock::IsHeld(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.Valid()) return false;  // never created: nobody holds it
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
    ::flock(fd.Get(), LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

std::string LaunchLockPath(const std::string& folder, const std::string& clsidText) {
  return folder + clsidText + ".launch";
}

std::string InstanceLockPath(const std::string& folder, const std::string& clsidText) {
  return folder + clsidText + ".instance";
}

struct ChildProcess::State {
  std::atomic<bool> exited{false};
  std::atomic<int> status{0};
};

std::shared_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& args,
                                                  std::string* why) {
  std::vector<std::string> argv0;
  argv0.push_back(program);
  argv0.insert(argv0.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv0) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    if (why) *why = "cannot start " + program + ": " + std::strerror(rc);
    return nullptr;
  }
  auto child = std::make_shared<ChildProcess>();
  child->pid_ = pid;
  child->state_ = std::make_shared<State>();
  std::thread([pid, state = child->state_] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    state->status = status;
    state->exited = true;
  }).detach();
  ORV_LOG(orvlog::kInfo, "started local server " << program << " (pid " << pid << ")");
  return child;
}

bool ChildProcess::Exited() const { return state_ && state_->exited.load(); }
int ChildProcess::Status() const { return state_ ? state_->status.load() : 0; }

std::string ProgramFromCommand(const std::string& command) {
  std::string s = command;
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  if (!s.empty() && s.front() == '"') {
    size_t end = s.find('"', 1);
    return s.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  struct stat st;
  if (::stat(s.c_str(), &st) == 0) return s;
  size_t sp = s.find(' ');
  return sp == std::string::npos ? s : s.substr(0, sp);
}

UniqueFd WaitForSocket(const std::string& path, std::chrono::steady_clock::time_point deadline,
                       const ChildProcess* child) {
  for (;;) {
    UniqueFd fd = ConnectUnix(path);
    if (fd.Valid()) return fd;
    if (child && child->Exited()) return UniqueFd();
    if (std::chrono::steady_clock::now() >= deadline) return UniqueFd();
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace orvrpc
