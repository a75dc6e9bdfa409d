// The server program run as users and COM run it, each copy in a private
// home, registry and runtime folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/windows.h"

extern char** environ;

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class OrveProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "orve-XXXXXX").string();
    ASSERT_NE(::mkdtemp(&templ[0]), nullptr);
    root_ = templ;
    ::mkdir((root_ + "/home").c_str(), 0700);
    ::mkdir((root_ + "/run").c_str(), 0700);
  }
  void TearDown() override {
    for (pid_t pid : running_) Stop(pid);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  std::string Registry() const { return registry_.empty() ? root_ + "/registry.reg" : registry_; }
  std::string DataFolder() const { return root_ + "/home/Application Data/Orv/"; }
  std::string Log() const { return DataFolder() + "ORVE.log"; }

  pid_t Start(const std::vector<std::string>& args, const std::string& home = "") {
    std::vector<std::string> env = {"USERPROFILE=" + (home.empty() ? root_ + "/home" : home),
                                    "ORV_REGISTRY=" + Registry(),
                                    "XDG_RUNTIME_DIR=" + root_ + "/run",
                                    "HOME=" + root_ + "/home"};
    for (char** e = environ; *e; ++e) {
      std::string v = *e;
      if (v.rfind("USERPROFILE=", 0) && v.rfind("ORV_REGISTRY=", 0) &&
          v.rfind("XDG_RUNTIME_DIR=", 0) && v.rfind("HOME=", 0))
        env.push_back(v);
    }
    std::vector<std::string> argv = {ORVE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> a, e;
    for (auto& s : argv) a.push_back(&s[0]);
    a.push_back(nullptr);
    for (auto& s : env) e.push_back(&s[0]);
    e.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, ORVE_PATH, nullptr, nullptr, a.data(), e.data()) != 0) return -1;
    running_.push_back(pid);
    return pid;
  }

  // The exit status once the process ended within the limit, else -1.
  int WaitExit(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
      pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        running_.erase(std::remove(running_.begin(), running_.end(), pid), running_.end());
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  bool WaitForLog(const std::string& text, size_t count = 1) {
    for (int i = 0; i < 2000; ++i) {
      std::string log = Read(Log());
      size_t seen = 0;
      for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++seen;
      if (seen >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Whether some copy holds the server's single-instance mutex.
  bool WaitForMutex(bool held) {
    ::setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    for (int i = 0; i < 2000; ++i) {
      HANDLE m = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "9491CBDC-6FEC-465b-A4BE-C8CA68414653");
      if (m) CloseHandle(m);
      if ((m != nullptr) == held) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void Stop(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }

  std::string root_;
  std::string registry_;
  std::vector<pid_t> running_;
};

TEST_F(OrveProgram, RegServerWritesTheRegistryAndUnregServerTakesItOut) {
  int status = WaitExit(Start({"-RegServer"}));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string reg = Read(Registry());
  EXPECT_NE(reg.find("[HKEY_CLASSES_ROOT\\AppID\\{816C5AED-5B36-4c36-BE13-686C018F5879}]"),
            std::string::npos)
      << reg;
  EXPECT_NE(reg.find("[HKEY_CLASSES_ROOT\\CLSID\\{FA944FE7-AEB8-4B5B-8315-11D19B1F6264}\\LocalServer32]\n@=\"" +
                     std::string(ORVE_PATH) + "\""),
            std::string::npos);
  EXPECT_NE(reg.find("[HKEY_CLASSES_ROOT\\ORVE.StocksEnt]"), std::string::npos);
  EXPECT_EQ(reg.find("OrvEnterprise.HVEnt"), std::string::npos) << "its script belongs to no map entry";
  EXPECT_NE(reg.find("[HKEY_CLASSES_ROOT\\TypeLib\\"), std::string::npos);

  status = WaitExit(Start({"/unregserver"}));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  reg = Read(Registry());
  EXPECT_EQ(reg.find("816C5AED"), std::string::npos) << reg;
  EXPECT_EQ(reg.find("FA944FE7"), std::string::npos);
  EXPECT_EQ(reg.find("ORVE.ZmOrvEnt"), std::string::npos);
}

TEST_F(OrveProgram, RegistrationEndedAtAnyPointLeavesTheRegistryAsItWasOrComplete) {
  const std::string before =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv]\n\"ConnString\"=\"iiop:127.0.0.1:1\"\n";
  std::ofstream(Registry()) << before;
  ASSERT_EQ(WaitExit(Start({"-RegServer"})), 0);
  const std::string complete = Read(Registry());
  ASSERT_NE(complete.find("ORVE.StocksEnt"), std::string::npos);

  // Killed a little later each time, from before its first write to after
  // its last.
  for (int delayUs = 0, finished = 0; finished < 2 && delayUs < 400000; delayUs += 500) {
    std::ofstream(Registry(), std::ios::trunc) << before;
    pid_t pid = Start({"-RegServer"});
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    ::kill(pid, SIGKILL);
    const int status = WaitExit(pid);
    if (WIFEXITED(status)) ++finished;
    const std::string after = Read(Registry());
    ASSERT_TRUE(after == before || after == complete)
        << "killed after " << delayUs << " us:\n" << after;
  }
}

TEST_F(OrveProgram, ACopyStartedWhileAnotherRegistersLetsItFinish) {
  ASSERT_EQ(WaitExit(Start({"-RegServer"})), 0);
  const std::string complete = Read(Registry());
  for (int round = 0; round < 5; ++round) {
    Start({"-Embedding"});
    ASSERT_TRUE(WaitForMutex(true));
    std::ofstream(Registry(), std::ios::trunc) << "";
    pid_t registering = Start({"-RegServer"});
    // A client that lost its server starts a serving copy at the same time.
    Start({"-Embedding"});
    const int status = WaitExit(registering);
    ASSERT_TRUE(WIFEXITED(status)) << "round " << round << ": the registering copy was ended";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Read(Registry()), complete) << "round " << round;
    for (pid_t pid : running_) Stop(pid);
    running_.clear();
  }
}

TEST_F(OrveProgram, StartUpMakesTheDataFolderAndTheLogAndServes) {
  ASSERT_FALSE(std::filesystem::exists(DataFolder()));
  // A switch followed by more text registers nothing: the copy serves.
  pid_t server = Start({"/RegServer", "now"});
  ASSERT_TRUE(WaitForLog("Param line\t: /RegServer now"));
  struct stat st {};
  ASSERT_EQ(::stat(DataFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::string log = Read(Log());
  EXPECT_NE(log.find("Service\t\t: " + std::string(ORVE_PATH)), std::string::npos) << log;
  EXPECT_NE(log.find("Version\t\t: 1, 0, 2, 1"), std::string::npos);
  ASSERT_TRUE(WaitForMutex(true));
  EXPECT_EQ(WaitExit(server, std::chrono::milliseconds(300)), -1);
  EXPECT_EQ(Read(Registry()).find("LocalServer32"), std::string::npos);
}

TEST_F(OrveProgram, ASecondCopyEndsTheFirst) {
  pid_t first = Start({"-Embedding"});
  ASSERT_TRUE(WaitForMutex(true));
  pid_t second = Start({"-Embedding"});
  EXPECT_NE(WaitExit(first), -1) << "the first copy is gone";
  ASSERT_TRUE(WaitForLog("ERROR DESCR : Only one copy of the service may be run."));
  EXPECT_EQ(WaitExit(second, std::chrono::milliseconds(300)), -1) << "the new copy goes on";
  ASSERT_TRUE(WaitForMutex(true)) << "and holds the mutex";
}

TEST_F(OrveProgram, RegistrationThatCannotWriteFailsWithItsResult) {
  // The registry file would have to live under a plain file.
  std::ofstream(root_ + "/blocked") << "x";
  registry_ = root_ + "/blocked/registry.reg";
  int status = WaitExit(Start({"-RegServer"}));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
}

TEST_F(OrveProgram, SettingsAreCorrectedBeforeServing) {
  const std::string rootCa = root_ + "/ca.pem";
  std::ofstream(rootCa) << "ca";
  std::ofstream(Registry()) << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv]\n"
                            << "\"LogLevel\"=dword:00000001\n"
                            << "\"ProtocolVersion\"=dword:00000001\n"
                            << "\"UseSSL\"=dword:00000001\n"
                            << "\"RootCertificateFile\"=\"" << rootCa << "\"\n"
                            << "\"CertificateFile\"=\"" << root_ << "/missing.pem\"\n"
                            << "\"KeyPass\"=\"secret\"\n";
  Start({"-Embedding"});
  ASSERT_TRUE(WaitForLog("Invalid protocol version: 1. Protocol version reset to default value"));
  ASSERT_TRUE(WaitForLog("WARN DESCR: Cannot open key file: " + root_ + "/missing.pem"));
  EXPECT_EQ(Read(Log()).find("Cannot open certificate file"), std::string::npos);
}

TEST_F(OrveProgram, AUserDataFolderThatCannotBeMadeIsTheExitCode) {
  // A file where the home folder should be.
  std::ofstream(root_ + "/blocked") << "x";
  int status = WaitExit(Start({"-Embedding"}, root_ + "/blocked"));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_FALSE(std::filesystem::exists(Log()));
}

}  // namespace
