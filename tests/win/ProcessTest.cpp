#include "platform/win/windows.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"

extern char** environ;

namespace {

class NamedMutex : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("XDG_RUNTIME_DIR", tmp_.Path().c_str(), 1); }
  TempFolder tmp_;
};

TEST_F(NamedMutex, ExistsWhileAHandleIsOpen) {
  const char* name = "9491CBDC-6FEC-465b-A4BE-C8CA68414653";
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  HANDLE first = CreateMutexA(nullptr, TRUE, name);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  HANDLE second = CreateMutexA(nullptr, TRUE, name);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(ReleaseMutex(second)) << "opening an existing mutex grants no ownership";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  BOOL otherThread = TRUE;
  std::thread([&] { otherThread = ReleaseMutex(first); }).join();
  EXPECT_FALSE(otherThread) << "only the owning thread releases";
  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_FALSE(ReleaseMutex(first));

  HANDLE opened = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
  EXPECT_NE(opened, nullptr);
  // Names differ by case, and one that only differs in a character the
  // file name can't hold is still another mutex.
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "9491cbdc-6fec-465b-a4be-c8ca68414653"), nullptr);
  HANDLE slash = CreateMutexA(nullptr, FALSE, "a/b");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "a%2Fb"), nullptr);
  CloseHandle(slash);

  CloseHandle(first);
  CloseHandle(second);
  EXPECT_NE(opened, nullptr);
  CloseHandle(opened);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name), nullptr) << "gone with its last handle";
}

// A copy of the helper program with pipes on its standard input and output.
struct Helper {
  pid_t pid = -1;
  int in = -1;   // we write: closing it lets the helper end
  int out = -1;  // we read its one line

  // `runtimeFolder`, when given, is the helper's own runtime folder.
  Helper(const std::string& mode, const std::string& name, const std::string& runtimeFolder = "") {
    int toChild[2], fromChild[2];
    // Close-on-exec, so that a helper started later holds no copy of an
    // earlier one's input, which would keep that one from seeing it close.
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&fa, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&fa, toChild[1]);
    posix_spawn_file_actions_addclose(&fa, fromChild[0]);
    std::string exe = WIN_INSTANCE_HELPER;
    std::vector<char*> argv = {&exe[0], const_cast<char*>(mode.c_str()),
                               const_cast<char*>(name.c_str()), nullptr};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (runtimeFolder.empty() || std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0) env.push_back(*e);
    if (!runtimeFolder.empty()) env.push_back("XDG_RUNTIME_DIR=" + runtimeFolder);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in = toChild[1];
    out = fromChild[0];
  }
  std::string Line() {
    std::string line;
    char c;
    while (::read(out, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  // How the helper ended: its exit code, or 128 + the signal.
  int Finish() {
    if (in >= 0) ::close(in);
    in = -1;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
      pid = -1;
      return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    return -1;
  }
  ~Helper() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      Finish();
    }
    if (out >= 0) ::close(out);
  }
};

TEST_F(NamedMutex, NewCopyEndsTheRunningCopiesAndTakesOver) {
  const std::string name = "98FAA468-856C-47E7-A013-C4E46C9D5A8D";
  Helper a("hold", name);
  ASSERT_GT(a.pid, 0);
  EXPECT_EQ(a.Line(), "held 0");
  Helper b("hold", name);
  EXPECT_EQ(b.Line(), "held 1");

  HANDLE seen = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
  EXPECT_NE(seen, nullptr) << "the mutex of another process is visible here";
  CloseHandle(seen);

  Helper c("takeover", name);
  EXPECT_EQ(c.Line(), "exists=1 terminated=2 created=1");
  EXPECT_EQ(a.Finish(), 128 + SIGTERM);
  EXPECT_EQ(b.Finish(), 128 + SIGTERM);
  // This test program runs too, as the same user, and was left alone: only
  // copies of the same executable are ended.
  seen = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
  EXPECT_NE(seen, nullptr) << "the new copy holds the mutex";
  CloseHandle(seen);
  EXPECT_EQ(c.Finish(), 0);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
}

TEST_F(NamedMutex, CopiesServingAnotherFolderOrMutexAreLeftRunning) {
  const std::string name = "98FAA468-856C-47E7-A013-C4E46C9D5A8D";
  TempFolder otherFolder;
  Helper mine("hold", name);
  Helper elsewhere("hold", name, otherFolder.Path());
  Helper otherMutex("hold", "4C1A3B3E-0D51-4F0B-9E1C-2B6F7E3A9D10");
  ASSERT_EQ(mine.Line(), "held 0");
  ASSERT_EQ(elsewhere.Line(), "held 0") << "another folder's mutex is another mutex";
  ASSERT_EQ(otherMutex.Line(), "held 0");

  Helper c("takeover", name);
  EXPECT_EQ(c.Line(), "exists=1 terminated=1 created=1");
  EXPECT_EQ(mine.Finish(), 128 + SIGTERM);
  // Neither was signalled: each ends normally when its input closes.
  EXPECT_EQ(elsewhere.Finish(), 0);
  EXPECT_EQ(otherMutex.Finish(), 0);
  EXPECT_EQ(c.Finish(), 0);
}

TEST(OtherCopies, NeverListsThisProcessOrOtherPrograms) {
  // Another program of the same user, which must never count as a copy.
  pid_t other = -1;
  char sleepExe[] = "/bin/sleep";
  char seconds[] = "30";
  char* argv[] = {sleepExe, seconds, nullptr};
  ASSERT_EQ(posix_spawn(&other, sleepExe, nullptr, nullptr, argv, environ), 0);
  for (DWORD pid : orvwin::OtherCopies("98FAA468-856C-47E7-A013-C4E46C9D5A8D")) {
    EXPECT_NE(pid, GetCurrentProcessId());
    EXPECT_NE(pid, static_cast<DWORD>(other));
  }
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
}

TEST(Memory, CountersOfThisProcessAndTheMachine) {
  PROCESS_MEMORY_COUNTERS pmc{};
  ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc));
  EXPECT_EQ(pmc.cb, sizeof pmc);
  EXPECT_GT(pmc.WorkingSetSize, 0u);
  EXPECT_GE(pmc.PeakWorkingSetSize, pmc.WorkingSetSize);
  EXPECT_GT(pmc.PagefileUsage, 0u);
  EXPECT_GE(pmc.PeakPagefileUsage, pmc.PagefileUsage);
  EXPECT_FALSE(GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc - 1));
  EXPECT_FALSE(GetProcessMemoryInfo(nullptr, &pmc, sizeof pmc));

  MEMORYSTATUSEX ms{};
  EXPECT_FALSE(GlobalMemoryStatusEx(&ms)) << "dwLength must be set";
  ms.dwLength = sizeof ms;
  ASSERT_TRUE(GlobalMemoryStatusEx(&ms));
  EXPECT_GT(ms.ullTotalPhys, 0u);
  EXPECT_LE(ms.ullAvailPhys, ms.ullTotalPhys);
  EXPECT_GE(ms.ullTotalPageFile, ms.ullTotalPhys);
  EXPECT_LE(ms.ullAvailVirtual, ms.ullTotalVirtual);
  EXPECT_LE(ms.dwMemoryLoad, 100u);
}

}  // namespace

TEST(DescriptorLimit, TheSoftLimitIsRaisedToTheHardOne) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < 128) GTEST_SKIP() << "the hard limit leaves no room below it";
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  EXPECT_EQ(orvwin::RaiseDescriptorLimit(), static_cast<unsigned long>(saved.rlim_max));
  rlimit now{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, saved.rlim_max);
  EXPECT_EQ(now.rlim_max, saved.rlim_max) << "the hard limit is not touched";
  // Already at the hard limit: nothing changes.
  EXPECT_EQ(orvwin::RaiseDescriptorLimit(), static_cast<unsigned long>(saved.rlim_max));
  ::setrlimit(RLIMIT_NOFILE, &saved);
}
