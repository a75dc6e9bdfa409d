// Seeded random walks over real processes, checked after every step, and
// the shrinking of a failing walk to the shortest sequence of steps that
// still fails.
//
// A walk program supplies a Walk: it starts a fresh system, makes up the
// next step from a random source and its own picture of the system, carries
// a step out and checks the invariants after it. WalkMain does the rest:
// every walk runs in a child process of its own (a fresh system, no state
// left from an earlier run, and a hang or crash is a failure like any
// other), a failing walk is replayed with fewer and fewer of its steps, and
// the shortest sequence found is printed in the form --replay reads, so
// that it can become a fixed test.
//
// A step is one line of words. A replayed step must make sense on its own:
// a step that names what is not there (closing a link that was never
// opened) does nothing, since shrinking drops the steps around it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Set in a sanitizer build, where the walks' real pace is slower.
#if defined(__SANITIZE_ADDRESS__)
#define ORV_WALK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORV_WALK_SANITIZED 1
#endif
#endif

namespace orvwalk {

// A loopback port that nothing listens on now, for a process a walk starts.
std::string FreePort();


// Small, fast and the same on every platform: splitmix64.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // lo to hi, both included.
  int Int(int lo, int hi);
  bool Chance(double p);
  template <class T>
  const T& Pick(const std::vector<T>& items) {
    return items[static_cast<size_t>(Int(0, static_cast<int>(items.size()) - 1))];
  }

 private:
  uint64_t state_;
};

class Walk {
 public:
  virtual ~Walk() = default;
  // Starts a fresh system in `root`, a new empty folder of this run's own.
  // Throws std::exception when it cannot.
  virtual void Start(const std::string& root) = 0;
  // The next step, made up from the random source and what the walk knows
  // of the system now.
  virtual std::string Next(Rng& rng) = 0;
  // Carries the step out and checks every invariant after it: empty when
  // they hold, else what is wrong. The text up to its first ':' names the
  // kind of failure, which a shrunk sequence must still show.
  virtual std::string Apply(const std::string& step) = 0;
  // The checks of a system left alone after the last step.
  virtual std::string Quiesce() = 0;
  // Stops what Start started; also called after a failure.
  virtual void Stop() = 0;
};

// The outcome of one run of a sequence of steps.
struct RunResult {
  bool passed = false;
  std::vector<std::string> steps;  // the steps carried out, the failing one last
  std::string failure;             // empty when passed
};

// The kind of a failure: its text up to the first ':'.
std::string FailureKind(const std::string& failure);

// The shortest subsequence of `steps` for which `fails` still answers true,
// found by delta debugging within `budget` calls of `fails`. `steps` itself
// must fail.
std::vector<std::string> Shrink(const std::vector<std::string>& steps,
                                const std::function<bool(const std::vector<std::string>&)>& fails,
                                int budget);

// The program's main: parses the command line, runs walks in child
// processes and shrinks failures. `make` gives a new walk in the child.
//
//   --seed N [--steps K]      one walk (K steps, 40 by default)
//   --seeds A-B [--steps K]   a walk for every seed from A to B
//   --minutes M [--seed N]    walks of seeds N, N+1, ... until M minutes are up
//   --replay FILE             the steps of FILE (one a line; '#' starts a comment)
//   --no-shrink               report a failure without shrinking it
//   --shrink-runs N           at most N replays while shrinking (default 80)
//   --keep                    keep the folders of failed runs
//   --run-timeout S           a run longer than S seconds is a failure (default 900)
//
// Exit status 0 when every walk passed, 1 when one failed, 2 for bad usage.
int WalkMain(int argc, char** argv, const std::function<std::unique_ptr<Walk>()>& make);

}  // namespace orvwalk
