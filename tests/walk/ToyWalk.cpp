// A walk over a toy system for the runner's own tests: each step is a
// letter. The walk fails once it has seen "x" and later "y"; "h" hangs,
// leaving a process of its own behind; "c" crashes.
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <string>

#include "tests/walk/WalkRunner.h"

extern char** environ;

namespace {

class ToyWalk : public orvwalk::Walk {
 public:
  void Start(const std::string&) override {}
  std::string Next(orvwalk::Rng& rng) override {
    static const std::vector<std::string> letters = {"a", "b", "x", "y", "z"};
    return rng.Pick(letters);
  }
  std::string Apply(const std::string& step) override {
    if (step == "x") seenX_ = true;
    if (step == "y" && seenX_) return "order: y came after x";
    if (step == "h") {
      // A helper that would outlive the hung run if nothing ended it.
      pid_t pid = 0;
      char sleepPath[] = "/bin/sleep";
      char arg[] = "1000";
      char* argv[] = {sleepPath, arg, nullptr};
      posix_spawn(&pid, sleepPath, nullptr, nullptr, argv, environ);
      for (;;) pause();
    }
    if (step == "c") {
      // The default action, also under a sanitizer that would catch the
      // signal and end the process its own way.
      signal(SIGSEGV, SIG_DFL);
      raise(SIGSEGV);
    }
    return "";
  }
  std::string Quiesce() override { return ""; }
  void Stop() override {}

 private:
  bool seenX_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  return orvwalk::WalkMain(argc, argv, [] { return std::make_unique<ToyWalk>(); });
}
