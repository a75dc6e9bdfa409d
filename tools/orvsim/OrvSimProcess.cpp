#include "OrvSimProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace orvsim {

std::string OrvSimProcess::ProgramPath() { return ORVSIM_PROGRAM; }

OrvSimProcess::OrvSimProcess(const std::string& dir, const std::vector<std::string>& args,
                             int startTimeoutMs) {
  const std::string file = dir + "/endpoints";
  std::remove(file.c_str());
  std::vector<std::string> all = {ProgramPath(), "--port", "0", "--endpoints-file", file};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  // orvsim's own output goes to a file beside the endpoints, for the test's
  // post-mortem, instead of into the test's output. Named here: the child of
  // a process with threads (the ORB's) may only make async-signal-safe calls
  // until it execs, and an allocation there can hang on a lock that another
  // thread held at the fork.
  const std::string log = dir + "/orvsim.out";
  const pid_t parent = ::getpid();

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // A test that dies (a crash, a time-out kill) takes its orvsim with it,
    // also when it died before the request was made.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close(fd);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  // orvsim writes the file (by rename) only once it serves; until then poll,
  // and give up early if it has exited.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(startTimeoutMs);
  for (;;) {
    std::ifstream f(file);
    if (f) {
      std::string line;
      while (std::getline(f, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) endpoints_[line.substr(0, eq)] = line.substr(eq + 1);
      }
      if (endpoints_.count("control")) return;
      endpoints_.clear();
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("orvsim exited before serving (status " + std::to_string(status) +
                               ")");
    }
    if (std::chrono::steady_clock::now() > deadline) {
      Stop();
      throw std::runtime_error("orvsim did not come up");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

OrvSimProcess::~OrvSimProcess() { Stop(); }

int OrvSimProcess::Stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  // A service that hangs on its way out must not hang the test with it: after
  // a generous grace period it is killed, and the status says so.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  return status;
}

const std::string& OrvSimProcess::Get(const std::string& key) const {
  auto it = endpoints_.find(key);
  if (it == endpoints_.end()) throw std::runtime_error("orvsim endpoint '" + key + "' not known");
  return it->second;
}

}  // namespace orvsim
