#include "tests/walk/WalkRunner.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

extern char** environ;

namespace orvwalk {

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


uint64_t Rng::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int Rng::Int(int lo, int hi) {
  if (hi <= lo) return lo;
  return lo + static_cast<int>(Next() % static_cast<uint64_t>(hi - lo + 1));
}

bool Rng::Chance(double p) { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0) < p; }

std::string FailureKind(const std::string& failure) { return failure.substr(0, failure.find(':')); }

std::vector<std::string> Shrink(const std::vector<std::string>& start,
                                const std::function<bool(const std::vector<std::string>&)>& fails,
                                int budget) {
  std::vector<std::string> steps = start;
  size_t parts = 2;
  auto without = [](const std::vector<std::string>& all, size_t from, size_t to) {
    std::vector<std::string> rest(all.begin(), all.begin() + static_cast<long>(from));
    rest.insert(rest.end(), all.begin() + static_cast<long>(to), all.end());
    return rest;
  };
  while (steps.size() >= 2 && budget > 0) {
    const size_t chunk = (steps.size() + parts - 1) / parts;
    bool reduced = false;
    // A part alone, then everything but a part.
    for (size_t i = 0; i * chunk < steps.size() && budget > 0 && !reduced; ++i) {
      const size_t from = i * chunk, to = std::min(steps.size(), from + chunk);
      std::vector<std::string> part(steps.begin() + static_cast<long>(from),
                                    steps.begin() + static_cast<long>(to));
      if (part.size() == steps.size()) continue;
      --budget;
      if (fails(part)) {
        steps = part;
        parts = 2;
        reduced = true;
      }
    }
    for (size_t i = 0; i * chunk < steps.size() && budget > 0 && !reduced; ++i) {
      const size_t from = i * chunk, to = std::min(steps.size(), from + chunk);
      std::vector<std::string> rest = without(steps, from, to);
      if (rest.empty()) continue;
      --budget;
      if (fails(rest)) {
        steps = rest;
        parts = std::max<size_t>(parts - 1, 2);
        reduced = true;
      }
    }
    if (reduced) continue;
    if (parts >= steps.size()) break;
    parts = std::min(steps.size(), parts * 2);
  }
  return steps;
}

namespace {

const char kMark[] = "@@walk ";

struct Options {
  bool child = false;
  std::string root;
  long long seed = 1;
  long long lastSeed = -1;
  int steps = 40;
  double minutes = 0;
  std::string replay;
  bool shrink = true;
  int shrinkRuns = 80;
  bool keep = false;
  int runTimeout = 900;
};

const char kUsage[] =
    "usage: walk --seed N [--steps K] | --seeds A-B [--steps K] | --minutes M [--seed N]"
    " | --replay FILE\n"
    "            [--no-shrink] [--shrink-runs N] [--keep] [--run-timeout S]\n"
    "Runs seeded random walks over the system, each in a fresh child process, checks\n"
    "every step, and shrinks a failing walk to the shortest sequence of steps that\n"
    "still fails, printed as --replay reads it. K is 40 by default.\n";

[[noreturn]] void Usage(const std::string& why) {
  std::cerr << "walk: " << why << "\n" << kUsage;
  std::exit(2);
}

long long Number(const std::string& option, const char* text, long long lo, long long hi) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < lo || value > hi)
    Usage(option + " needs a number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return value;
}

Options Parse(int argc, char** argv) {
  Options o;
  bool seeds = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Usage(a + " needs a value");
      return argv[++i];
    };
    if (a == "--child") {
      o.child = true;
    } else if (a == "--root") {
      o.root = value();
    } else if (a == "--seed") {
      o.seed = Number(a, value(), 0, (1ll << 62));
    } else if (a == "--seeds") {
      const std::string range = value();
      const size_t dash = range.find('-');
      if (dash == std::string::npos) Usage("--seeds takes A-B");
      o.seed = Number(a, range.substr(0, dash).c_str(), 0, (1ll << 62));
      o.lastSeed = Number(a, range.substr(dash + 1).c_str(), o.seed, (1ll << 62));
      seeds = true;
    } else if (a == "--steps") {
      o.steps = static_cast<int>(Number(a, value(), 1, 1000000));
    } else if (a == "--minutes") {
      o.minutes = static_cast<double>(Number(a, value(), 1, 100000));
    } else if (a == "--replay") {
      o.replay = value();
    } else if (a == "--no-shrink") {
      o.shrink = false;
    } else if (a == "--shrink-runs") {
      o.shrinkRuns = static_cast<int>(Number(a, value(), 0, 100000));
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--run-timeout") {
      o.runTimeout = static_cast<int>(Number(a, value(), 1, 1000000));
    } else if (a == "--help") {
      std::cout << kUsage;
      std::exit(0);
    } else {
      Usage("unknown option '" + a + "'");
    }
  }
  if (!seeds) o.lastSeed = o.seed;
  if (!o.replay.empty() && (seeds || o.minutes > 0)) Usage("--replay runs one fixed sequence");
  return o;
}

std::vector<std::string> ReadSteps(const std::string& path) {
  std::ifstream in(path);
  if (!in) Usage("cannot read " + path);
  std::vector<std::string> steps;
  for (std::string line; std::getline(in, line);) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const size_t last = line.find_last_not_of(" \t\r");
    steps.push_back(line.substr(first, last - first + 1));
  }
  return steps;
}

void Report(const char* what, const std::string& text) {
  std::string line = text;
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::cout << kMark << what << " " << line << std::endl;
}

// In the child: the walk itself, reporting each step before it runs.
int RunChild(const Options& o, const std::function<std::unique_ptr<Walk>()>& make) {
  std::unique_ptr<Walk> walk = make();
  try {
    walk->Start(o.root);
  } catch (const std::exception& e) {
    Report("fail", std::string("start: ") + e.what());
    walk->Stop();
    return 1;
  }
  std::vector<std::string> fixed;
  if (!o.replay.empty()) fixed = ReadSteps(o.replay);
  Rng rng(static_cast<uint64_t>(o.seed));
  const size_t count = o.replay.empty() ? static_cast<size_t>(o.steps) : fixed.size();
  std::string failure;
  for (size_t i = 0; i < count && failure.empty(); ++i) {
    const std::string step = o.replay.empty() ? walk->Next(rng) : fixed[i];
    Report("step", step);
    try {
      failure = walk->Apply(step);
    } catch (const std::exception& e) {
      failure = std::string("exception: ") + e.what();
    }
  }
  if (failure.empty()) {
    Report("step", "quiesce");
    try {
      failure = walk->Quiesce();
    } catch (const std::exception& e) {
      failure = std::string("exception: ") + e.what();
    }
  }
  walk->Stop();
  if (!failure.empty()) {
    Report("fail", failure);
    return 1;
  }
  Report("pass", "");
  return 0;
}

// Every process started inside a run carries its root in its environment;
// whatever a failed or hung run left running goes with it.
void EndLeftovers(const std::string& root) {
  const std::string wanted = std::string("ORV_WALK_ROOT=") + root;
  for (int round = 0; round < 3; ++round) {
    bool found = false;
    DIR* proc = ::opendir("/proc");
    if (!proc) return;
    while (dirent* e = ::readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid <= 0 || pid == ::getpid()) continue;
      std::ifstream in(std::string("/proc/") + e->d_name + "/environ", std::ios::binary);
      std::string entry;
      while (std::getline(in, entry, '\0')) {
        if (entry == wanted) {
          ::kill(pid, SIGKILL);
          found = true;
          break;
        }
      }
    }
    ::closedir(proc);
    if (!found) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

std::string NewRoot() {
  std::string templ = (std::filesystem::temp_directory_path() / "orv-walk-XXXXXX").string();
  if (!::mkdtemp(&templ[0])) {
    std::cerr << "walk: no temporary folder: " << std::strerror(errno) << "\n";
    std::exit(1);
  }
  return templ;
}

std::string Tail(const std::string& path, size_t lines) {
  std::ifstream in(path);
  std::vector<std::string> all;
  for (std::string line; std::getline(in, line);) all.push_back(line);
  std::string out;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) out += "    " + all[i] + "\n";
  return out;
}

struct Runner {
  Options o;
  std::string self;

  // One run in a child process: the seed's own walk, or the fixed steps.
  RunResult Run(long long seed, const std::vector<std::string>* fixed, bool keep, std::string* rootOut) {
    RunResult result;
    const std::string root = NewRoot();
    if (rootOut) *rootOut = root;
    std::vector<std::string> args = {self, "--child", "--root", root};
    if (fixed) {
      std::ofstream(root + "/steps.walk") << [&] {
        std::string text;
        for (const std::string& s : *fixed) text += s + "\n";
        return text;
      }();
      args.insert(args.end(), {"--replay", root + "/steps.walk"});
    } else {
      args.insert(args.end(), {"--seed", std::to_string(seed), "--steps", std::to_string(o.steps)});
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      result.failure = "runner: no pipe";
      return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, (root + "/walk.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "ORV_WALK_ROOT=", 14) != 0) env.push_back(*e);
    env.push_back("ORV_WALK_ROOT=" + root);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
      ::close(out[0]);
      result.failure = "runner: cannot start " + self;
      return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.runTimeout);
    std::string partial;
    bool ended = false, timedOut = false;
    while (!ended) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        timedOut = true;
        break;
      }
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000))) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) {
        ended = true;
        break;
      }
      partial.append(buffer, static_cast<size_t>(n));
      for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
        const std::string line = partial.substr(0, nl);
        partial.erase(0, nl + 1);
        if (line.compare(0, sizeof kMark - 1, kMark) != 0) continue;
        const std::string rest = line.substr(sizeof kMark - 1);
        const size_t space = rest.find(' ');
        const std::string what = rest.substr(0, space);
        const std::string text = space == std::string::npos ? "" : rest.substr(space + 1);
        if (what == "step") {
          if (text != "quiesce") result.steps.push_back(text);
        } else if (what == "fail") {
          result.failure = text;
        } else if (what == "pass") {
          result.passed = true;
        }
      }
    }
    ::close(out[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EndLeftovers(root);
    if (timedOut) {
      result.passed = false;
      result.failure = "hang: the run took more than " + std::to_string(o.runTimeout) + " s";
    } else if (!result.passed && result.failure.empty()) {
      result.failure = WIFSIGNALED(status) ? "crash: signal " + std::to_string(WTERMSIG(status))
                                           : "crash: ended with status " + std::to_string(WEXITSTATUS(status)) +
                                                 " without a verdict";
    }
    if (result.passed || !keep) {
      std::error_code ec;
      std::filesystem::remove_all(root, ec);
    }
    return result;
  }

  void PrintSequence(const std::vector<std::string>& steps) {
    for (const std::string& s : steps) std::cout << "  " << s << "\n";
  }

  // Runs one walk (or the fixed steps); on a failure shrinks it. True when it passed.
  bool Walk(long long seed, const std::vector<std::string>* fixed) {
    const auto started = std::chrono::steady_clock::now();
    std::string root;
    const RunResult first = Run(seed, fixed, true, &root);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string name = fixed ? "replay " + o.replay : "seed " + std::to_string(seed);
    if (first.passed) {
      std::cout << name << ": passed " << first.steps.size() << " steps in " << static_cast<int>(seconds) << " s"
                << std::endl;
      return true;
    }
    std::cout << name << ": FAILED at step " << first.steps.size() << " after " << static_cast<int>(seconds)
              << " s: " << first.failure << "\n  steps:\n";
    PrintSequence(first.steps);
    std::cout << "  the run's log (" << root << "/walk.log), last lines:\n" << Tail(root + "/walk.log", 40);
    if (!o.keep) {
      std::error_code ec;
      std::filesystem::remove_all(root, ec);
    }
    if (!o.shrink || first.steps.size() < 2) return false;

    const std::string kind = FailureKind(first.failure);
    int runs = 0;
    std::string lastFailure = first.failure;
    const std::vector<std::string> shortest = Shrink(
        first.steps,
        [&](const std::vector<std::string>& candidate) {
          ++runs;
          const RunResult r = Run(0, &candidate, false, nullptr);
          const bool same = !r.passed && FailureKind(r.failure) == kind;
          std::cout << "  shrink run " << runs << ": " << candidate.size() << " steps, "
                    << (r.passed ? "passed" : same ? "fails the same way" : "fails otherwise: " + r.failure)
                    << std::endl;
          if (same) lastFailure = r.failure;
          return same;
        },
        o.shrinkRuns);
    std::cout << name << ": shortest failing sequence (" << shortest.size() << " of " << first.steps.size()
              << " steps, " << runs << " replays): " << lastFailure << "\n";
    std::cout << "# " << name << ": " << lastFailure << "\n";
    PrintSequence(shortest);
    std::cout << std::flush;
    return false;
  }
};

}  // namespace

int WalkMain(int argc, char** argv, const std::function<std::unique_ptr<Walk>()>& make) {
  const Options o = Parse(argc, argv);
  if (o.child) {
    if (o.root.empty()) Usage("--child needs --root");
    return RunChild(o, make);
  }
  Runner runner{o, "/proc/self/exe"};
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) runner.self.assign(self, static_cast<size_t>(n));

  if (!o.replay.empty()) {
    const std::vector<std::string> steps = ReadSteps(o.replay);
    return runner.Walk(0, &steps) ? 0 : 1;
  }
  const auto started = std::chrono::steady_clock::now();
  int passed = 0;
  for (long long seed = o.seed;; ++seed) {
    if (o.minutes > 0) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      if (elapsed >= o.minutes * 60) break;
    } else if (seed > o.lastSeed) {
      break;
    }
    if (!runner.Walk(seed, nullptr)) return 1;
    ++passed;
  }
  std::cout << "walk: " << passed << " walk(s) of " << o.steps << " steps passed" << std::endl;
  return 0;
}

}  // namespace orvwalk
