// Runs orvsim as a child process for a test: on free loopback ports, with the
// endpoints read back from the file orvsim writes once it serves; stopped
// with SIGTERM by Stop() or the destructor.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace orvsim {

class OrvSimProcess {
 public:
  // `args` are added to "--port 0 --endpoints-file <dir>/endpoints"; its
  // output goes to <dir>/orvsim.out. `dir`
  // must exist (a per-test temporary folder). Throws std::runtime_error when
  // orvsim exits or does not come up within `startTimeoutMs`.
  OrvSimProcess(const std::string& dir, const std::vector<std::string>& args = {},
                int startTimeoutMs = 60000);
  ~OrvSimProcess();
  OrvSimProcess(const OrvSimProcess&) = delete;
  OrvSimProcess& operator=(const OrvSimProcess&) = delete;

  // SIGTERM and wait (SIGKILL after 20 s); returns the exit status as
  // waitpid gives it, or -1 when already stopped.
  int Stop();

  // Keys of the endpoints file: port, ssl_port, ConnString, FutConnString,
  // SslConnString, SslFutConnString, equities, futures, control, pid.
  const std::string& Get(const std::string& key) const;
  const std::map<std::string, std::string>& Endpoints() const { return endpoints_; }
  pid_t Pid() const { return pid_; }

  static std::string ProgramPath();

 private:
  pid_t pid_ = -1;
  std::map<std::string, std::string> endpoints_;
};

}  // namespace orvsim
