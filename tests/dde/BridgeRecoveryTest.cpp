// The whole road as a user runs it: orvsim, ORVE started by COM, ZmDDE and
// a spreadsheet's advise link shown by ddeclient. Whatever restarts on the
// road (the service, or ORVE killed under the bridge), the link goes on
// printing fresh values without anybody restarting the rest.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OrvSimProcess.h"
#include "tests/server/OrveProcessSupport.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

using orveprocess::Eventually;
using orveprocess::OrvePids;
using orveprocess::ReadFile;

std::string FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return std::to_string(port);
}

// A program of the system, its standard output read line by line.
class Program {
 public:
  // `env` holds NAME=value pairs that replace those of this process.
  Program(const std::string& path, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {}) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> all = {path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const std::string& r : env) replaced |= entry.compare(0, r.find('=') + 1, r, 0, r.find('=') + 1) == 0;
      if (!replaced) entries.push_back(entry);
    }
    entries.insert(entries.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : entries) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    if (::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
  }
  ~Program() {
    Stop(SIGTERM);
    if (out_ >= 0) ::close(out_);
  }
  pid_t Pid() const { return pid_; }
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    return true;
  }
  void Stop(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    // Bounded: one that does not end is killed.
    if (!Eventually([&] { return !Running(); }, 10s)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  // The lines it has printed so far.
  const std::vector<std::string>& Lines() {
    for (;;) {
      pollfd p = {out_, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) break;
      char buffer[1024];
      const ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == '\n') {
          lines_.push_back(partial_);
          partial_.clear();
        } else {
          partial_ += buffer[i];
        }
      }
    }
    return lines_;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
};

int RunToEnd(const std::string& path, const std::vector<std::string>& args) {
  Program p(path, args);
  int status = -1;
  if (!Eventually([&] { return ::waitpid(p.Pid(), &status, WNOHANG) == p.Pid(); }, 30s)) return -1;
  return status;
}

// orvsim on a port of its own, ORVE registered with its settings pointing
// there, the user's credentials in the ini file, and ZmDDE running.
class BridgeRecovery : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "orv-road-XXXXXX").string();
    ASSERT_NE(::mkdtemp(&templ[0]), nullptr);
    root_ = templ;
    runtime_ = root_ + "/run";
    std::filesystem::create_directories(root_ + "/home/Application Data/Orv");
    ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
    ::setenv("ORV_REGISTRY", (root_ + "/registry.reg").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    ::setenv("USERPROFILE", (root_ + "/home").c_str(), 1);
    ::setenv("HOME", (root_ + "/home").c_str(), 1);

    port_ = FreePort();
    StartService();
    ASSERT_EQ(RunToEnd(ORVE_PATH, {"-RegServer"}), 0);
    std::ofstream(root_ + "/registry.reg", std::ios::app)
        << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brask\\Orv]\n"
        << "\"ConnString\"=\"iiop:127.0.0.1:" << port_ << "\"\n"
        << "\"FutConnString\"=\"iiop:127.0.0.1:" << port_ << "\"\n"
        << "\"LogLevel\"=dword:00000002\n"
        << "\"ServerTimeout\"=dword:00000bb8\n"
        << "\"PullTimeout\"=dword:000001f4\n";
    std::ofstream(root_ + "/home/Application Data/Orv/orv.ini") << "[Main]\nUsername=alice\nPassword=secret\n";
    bridge_ = std::make_unique<Program>(ZMDDE_PATH, std::vector<std::string>{});
    ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(runtime_ + "/orv/dde-zmdde.sock"); }, 30s));
  }

  void TearDown() override {
    link_.reset();
    bridge_.reset();
    Eventually([&] { return OrvePids(runtime_).empty(); }, 10s);
    for (pid_t pid : OrvePids(runtime_)) ::kill(pid, SIGKILL);
    sim_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  void StartService() {
    sim_ = std::make_unique<orvsim::OrvSimProcess>(
        root_, std::vector<std::string>{"--rate", "20", "--stocks", "3", "--future-roots", "1", "--user",
                                        "alice:secret", "--log-level", "info", "--port", port_});
  }
  void KillService() {
    ::kill(sim_->Pid(), SIGKILL);
    sim_->Stop();
    sim_.reset();
  }

  // An advise link on the first stock's price, woken by a request as a
  // spreadsheet's first look at a cell wakes it.
  void OpenLink() {
    symbol_ = FirstStock();
    ASSERT_FALSE(symbol_.empty());
    link_ = std::make_unique<Program>(DDECLIENT_PATH,
                                      std::vector<std::string>{"advise", "ZmDDE", symbol_, "StckPrice", "--time", "600000"});
    RunToEnd(DDECLIENT_PATH, {"request", "ZmDDE", symbol_, "StckPrice"});
    ASSERT_TRUE(Eventually([&] { return !link_->Lines().empty(); }, 60s)) << "no value on the link";
  }
  // The link prints fresh values again: more lines than it had.
  bool LinkGoesOn() {
    const size_t before = link_->Lines().size();
    return Eventually([&] { return link_->Lines().size() >= before + 2; }, 90s);
  }
  std::string FirstStock() {
    // orvsim names its first symbols in its output.
    std::string out = ReadFile(root_ + "/orvsim.out");
    const std::string mark = "stocks: ";
    size_t at = out.find(mark);
    if (at == std::string::npos) return "";
    at += mark.size();
    size_t end = at;
    while (end < out.size() && std::isupper(static_cast<unsigned char>(out[end]))) ++end;
    return out.substr(at, end - at);
  }
  std::string OrveLog() { return ReadFile(root_ + "/home/Application Data/Orv/ORVE.log"); }

  std::string root_, runtime_, port_, symbol_;
  std::unique_ptr<orvsim::OrvSimProcess> sim_;
  std::unique_ptr<Program> bridge_;
  std::unique_ptr<Program> link_;
};

TEST_F(BridgeRecovery, ALinkGoesOnAfterTheServiceIsKilledAndStartedAgain) {
  OpenLink();
  const std::vector<pid_t> orve = OrvePids(runtime_);
  ASSERT_EQ(orve.size(), 1u);
  KillService();
  StartService();
  EXPECT_TRUE(LinkGoesOn()) << OrveLog();
  EXPECT_EQ(OrvePids(runtime_), orve) << "ORVE was not restarted";
  EXPECT_TRUE(bridge_->Running());
  EXPECT_NE(OrveLog().find("session rebuilt"), std::string::npos);
}

TEST_F(BridgeRecovery, ALinkGoesOnAfterOrveIsKilledUnderTheBridge) {
  OpenLink();
  const std::vector<pid_t> orve = OrvePids(runtime_);
  ASSERT_EQ(orve.size(), 1u);
  ::kill(orve[0], SIGKILL);
  EXPECT_TRUE(LinkGoesOn());
  const std::vector<pid_t> now = OrvePids(runtime_);
  ASSERT_EQ(now.size(), 1u) << "the bridge started a new ORVE";
  EXPECT_NE(now[0], orve[0]);
  EXPECT_TRUE(bridge_->Running());
}

// A copy of ORVE started for another runtime folder ends the copy it
// finds there, and only that one: the ORVE serving this folder's bridge
// runs on, and so does the link.
TEST_F(BridgeRecovery, ACopyOfOrveInAnotherRuntimeFolderLeavesThisOneRunning) {
  OpenLink();
  const std::vector<pid_t> orve = OrvePids(runtime_);
  ASSERT_EQ(orve.size(), 1u);
  const std::string other = root_ + "/other";
  std::filesystem::create_directories(other + "/home/Application Data/Orv");
  ASSERT_EQ(::mkdir((other + "/run").c_str(), 0700), 0);
  const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + other + "/run", "USERPROFILE=" + other + "/home",
                                        "HOME=" + other + "/home"};
  Program first(ORVE_PATH, {"-Embedding"}, env);
  ASSERT_TRUE(Eventually([&] { return OrvePids(other + "/run").size() == 1; }, 30s));
  // Its single-instance lock, which the second finds.
  ASSERT_TRUE(Eventually(
      [&] { return std::filesystem::exists(other + "/run/orv/mutex-9491CBDC-6FEC-465b-A4BE-C8CA68414653.lock"); },
      30s));
  Program second(ORVE_PATH, {"-Embedding"}, env);
  // The second ends the first of its own folder...
  EXPECT_TRUE(Eventually([&] { return !first.Running(); }, 30s)) << "the copy of the same folder was left";
  EXPECT_TRUE(second.Running());
  // ...and nothing of this one.
  EXPECT_EQ(OrvePids(runtime_), orve);
  EXPECT_TRUE(LinkGoesOn());
  second.Stop(SIGKILL);
}

}  // namespace
