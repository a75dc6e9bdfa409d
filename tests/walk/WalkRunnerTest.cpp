#include "tests/walk/WalkRunner.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using orvwalk::Shrink;

// Fails when every one of `needed` is there, in that order.
std::function<bool(const std::vector<std::string>&)> NeedsInOrder(std::vector<std::string> needed,
                                                                  int* calls = nullptr) {
  return [needed, calls](const std::vector<std::string>& steps) {
    if (calls) ++*calls;
    size_t next = 0;
    for (const std::string& s : steps)
      if (next < needed.size() && s == needed[next]) ++next;
    return next == needed.size();
  };
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

TEST(Shrink, FindsTheFewStepsAFailureNeedsInTheirOrder) {
  struct Case {
    const char* steps;
    const char* needed;
  };
  const Case cases[] = {
      {"a b x c d e f y g", "x y"},
      {"x", "x"},
      {"q w e r t y u i o p a s d f g h j k l", "e t o"},
      {"open open close open close close refresh open", "close open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.steps);
    EXPECT_EQ(Shrink(Words(c.steps), NeedsInOrder(Words(c.needed)), 1000), Words(c.needed));
  }
}

TEST(Shrink, StopsWithinItsBudgetWithAShorterSequenceThatStillFails) {
  std::vector<std::string> steps;
  for (int i = 0; i < 200; ++i) steps.push_back("s" + std::to_string(i));
  int calls = 0;
  const auto fails = NeedsInOrder({"s3", "s77", "s150"}, &calls);
  const std::vector<std::string> shrunk = Shrink(steps, fails, 12);
  EXPECT_LE(calls, 12);
  EXPECT_TRUE(fails(shrunk));
  EXPECT_LT(shrunk.size(), steps.size());
}

TEST(Rng, TheSameSeedMakesTheSameWalk) {
  orvwalk::Rng a(7), b(7), c(8);
  std::vector<int> x, y, z;
  for (int i = 0; i < 20; ++i) {
    x.push_back(a.Int(0, 1000));
    y.push_back(b.Int(0, 1000));
    z.push_back(c.Int(0, 1000));
  }
  EXPECT_EQ(x, y);
  EXPECT_NE(x, z);
}

// The toy walk program, run as a user runs a walk.
std::string RunToy(const std::string& args, int* status) {
  const std::string command = std::string(TOY_WALK_PATH) + " " + args + " 2>&1";
  FILE* p = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  *status = ::pclose(p);
  return out;
}

TEST(WalkMain, AFailingSeedIsShrunkToTheStepsThatMakeItFailAndPrintedForReplay) {
  int status = 0;
  const std::string out = RunToy("--seeds 1-50 --steps 30", &status);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << out;
  const size_t at = out.find("shortest failing sequence (2 of");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_NE(out.find("order: y came after x\n  x\n  y\n", at), std::string::npos) << out.substr(at);

  // The printed sequence replays to the same failure.
  char name[] = "/tmp/toy-walk-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(name) << "# from the shrink\nx\n  y   # the second\n";
  const std::string replayed = RunToy(std::string("--replay ") + name, &status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(replayed.find("FAILED at step 2"), std::string::npos) << replayed;
  std::ofstream(name) << "y\nx\n";
  EXPECT_NE(RunToy(std::string("--replay ") + name, &status).find("passed 2 steps"), std::string::npos);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::unlink(name);
}

// What the toy's hung run left behind must be gone, and a crash is a failure.
TEST(WalkMain, AHungRunIsEndedWithWhatItStartedAndACrashIsAFailure) {
  char name[] = "/tmp/toy-walk-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(name) << "a\nh\n";
  int status = 0;
  std::string out = RunToy(std::string("--replay ") + name + " --run-timeout 2 --no-shrink", &status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(out.find("FAILED at step 2 after"), std::string::npos) << out;
  EXPECT_NE(out.find("hang: the run took more than 2 s"), std::string::npos) << out;
  // No process of a walk is left: every one carries its run's root.
  bool left = false;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream env(entry.path() / "environ", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(env)), std::istreambuf_iterator<char>());
    std::ifstream cmd(entry.path() / "cmdline", std::ios::binary);
    std::string line((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
    if (text.find("ORV_WALK_ROOT=") != std::string::npos && line.find("sleep") == 0) left = true;
  }
  EXPECT_FALSE(left) << "the hung run's helper outlived it";

  std::ofstream(name) << "a\nc\n";
  out = RunToy(std::string("--replay ") + name + " --no-shrink", &status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(out.find("crash: signal 11"), std::string::npos) << out;
  ::unlink(name);
}

TEST(WalkMain, BadUsageSaysWhatIsWrong) {
  int status = 0;
  EXPECT_NE(RunToy("--steps", &status).find("walk: --steps needs a value"), std::string::npos);
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(RunToy("--seeds 5-2", &status).find("--seeds needs a number"), std::string::npos);
  EXPECT_NE(RunToy("--bogus", &status).find("unknown option '--bogus'"), std::string::npos);
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
