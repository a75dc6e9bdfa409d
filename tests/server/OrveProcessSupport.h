// What the tests that start ORVE as a real process share: finding the
// copies of this test's runtime folder, waiting with a bound, and reading
// the caller's error information. ORVE_PATH names the program under test.
#pragma once

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/com/oleauto.h"
#include "platform/win/registry.h"

extern char** environ;

namespace orveprocess {

inline std::string Text(BSTR b) {
  std::string out;
  for (UINT i = 0; b != nullptr && i < SysStringLen(b); ++i) out += static_cast<char>(b[i]);
  return out;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool Eventually(const std::function<bool()>& pred,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The live ORVE processes whose runtime folder is `runtime`. Other copies
// of the program (other tests, other users' builds) run with other folders.
inline std::vector<pid_t> OrvePids(const std::string& runtime) {
  std::vector<pid_t> out;
  const std::string entryWanted = "XDG_RUNTIME_DIR=" + runtime;
  char program[PATH_MAX] = {};
  if (::realpath(ORVE_PATH, program) == nullptr) return out;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return out;
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    char exe[PATH_MAX] = {};
    const std::string base = std::string("/proc/") + e->d_name;
    const ssize_t n = ::readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
    if (n <= 0 || std::string(exe, static_cast<size_t>(n)) != program) continue;
    std::stringstream entries(ReadFile(base + "/environ"));
    std::string entry;
    while (std::getline(entries, entry, '\0'))
      if (entry == entryWanted) out.push_back(pid);
  }
  ::closedir(proc);
  return out;
}

// Those of this test's runtime folder, the one in the environment.
inline std::vector<pid_t> OrvePids() {
  const char* runtime = ::getenv("XDG_RUNTIME_DIR");
  return runtime == nullptr ? std::vector<pid_t>{} : OrvePids(runtime);
}

inline bool NoOrve() { return OrvePids().empty(); }

// The calling thread's error information, taken.
inline std::string TakeErrorDescription() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return "<none>";
  BSTR d = nullptr;
  info->GetDescription(&d);
  const std::string out = Text(d);
  SysFreeString(d);
  info->Release();
  return out;
}

// Runs ORVE with the switch and returns its exit status, -1 when it hangs.
inline int RunOrve(const char* option) {
  pid_t pid = 0;
  std::vector<std::string> args = {ORVE_PATH, option};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  if (::posix_spawn(&pid, ORVE_PATH, nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = -1;
  if (!Eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(20))) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return status;
}

inline void SetSetting(HKEY key, const char* name, const std::string& value) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS)
      << name;
}
inline void SetSetting(HKEY key, const char* name, DWORD value) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
            ERROR_SUCCESS)
      << name;
}

}  // namespace orveprocess
