// What the tests that start ORVE as a real process share: a private root
// for the program with the service's settings, finding the copies of this
// test's runtime folder, waiting with a bound, and reading the caller's
// error information. ORVE_PATH names the program under test.
#pragma once

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "OrvSimProcess.h"
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

// A private root for the whole program, made from `pattern` (ending in
// XXXXXX) under the temporary folder, with its home and runtime folders;
// the registry file, the user's folders and the runtime folder of ORVE
// and its clients are then inside it.
inline void MakePrivateRoot(const std::string& pattern, std::string* root) {
  std::string templ = (std::filesystem::temp_directory_path() / pattern).string();
  ASSERT_NE(::mkdtemp(&templ[0]), nullptr);
  *root = templ;
  for (const char* d : {"/home", "/run"}) ASSERT_EQ(::mkdir((*root + d).c_str(), 0700), 0);
  ::setenv("ORV_REGISTRY", (*root + "/registry.reg").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (*root + "/run").c_str(), 1);
  ::setenv("USERPROFILE", (*root + "/home").c_str(), 1);
  ::setenv("HOME", (*root + "/home").c_str(), 1);
}

// ORVE's settings pointed at `sim`, with lines at `logLevel` and `more`
// beside them. Short pulls keep the server's stop, which waits for them,
// short.
inline void WriteServiceSettings(const orvsim::OrvSimProcess& sim, DWORD logLevel,
                                 const std::vector<std::pair<const char*, DWORD>>& more = {}) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brask\\Orv", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  SetSetting(key, "ConnString", sim.Get("ConnString"));
  SetSetting(key, "FutConnString", sim.Get("FutConnString"));
  SetSetting(key, "AppName", std::string("ZmDataService"));
  SetSetting(key, "FutAppName", std::string("ZmDataBroker"));
  SetSetting(key, "LogLevel", logLevel);
  SetSetting(key, "ServerTimeout", DWORD(3000));
  SetSetting(key, "PullTimeout", DWORD(500));
  SetSetting(key, "UseCompression", DWORD(0));
  for (const auto& [name, value] : more) SetSetting(key, name, value);
  RegCloseKey(key);
}

// Ends what the program started: a server left behind by a failed test
// must not outlive the program.
inline void EndPrivateRoot(std::unique_ptr<orvsim::OrvSimProcess>* sim, const std::string& root) {
  Eventually(NoOrve, std::chrono::seconds(8));
  for (pid_t pid : OrvePids()) ::kill(pid, SIGKILL);
  if (*sim) (*sim)->Stop();
  sim->reset();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

}  // namespace orveprocess
