// The main of the benchmark programs: the library's options read from the
// command line, any other argument refused, then the registered runs.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/log/Log.h"

namespace orvbench {

// A run of ours and the run of its reference in the same program: once all
// runs are done, the ratio of their wall times per iteration is printed, so
// that the figure compares two measurements taken side by side under the
// same load rather than two programs run at different times.
struct Comparison {
  std::string ours;       // a run's full name, e.g. "BM_Extract/1024"
  std::string reference;
  double goal = 0;        // printed beside the ratio when set
};

namespace detail {

// The console output as usual, and every run's wall time kept by name: the
// median of repetitions when they were run, else the run itself.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::vector<Comparison> comparisons)
      : benchmark::ConsoleReporter(OO_None), m_comparisons(std::move(comparisons)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const double seconds = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
      const std::string name = r.run_name.str();
      if (r.run_type == Run::RT_Aggregate) {
        if (r.aggregate_name == "median") m_medians[name] = seconds;
      } else {
        m_samples[name].push_back(seconds);
      }
    }
    benchmark::ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    benchmark::ConsoleReporter::Finalize();
    std::FILE* out = stdout;
    std::fflush(out);
    bool header = false;
    for (const Comparison& c : m_comparisons) {
      const double ours = Time(c.ours), reference = Time(c.reference);
      if (ours <= 0 || reference <= 0) continue;  // filtered out or failed
      if (!header) {
        std::fprintf(out, "\nWall time per iteration over the reference's, same run:\n");
        header = true;
      }
      std::fprintf(out, "  %-44s / %-40s %7.3g", c.ours.c_str(), c.reference.c_str(), ours / reference);
      if (c.goal > 0) std::fprintf(out, "  (goal %.2f: %s)", c.goal, ours / reference <= c.goal ? "met" : "NOT met");
      std::fprintf(out, "\n");
    }
    std::fflush(out);
  }

 private:
  double Time(const std::string& name) const {
    const auto m = m_medians.find(name);
    if (m != m_medians.end()) return m->second;
    const auto s = m_samples.find(name);
    if (s == m_samples.end() || s->second.empty()) return 0;
    std::vector<double> v = s->second;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  }

  std::vector<Comparison> m_comparisons;
  std::map<std::string, double> m_medians;
  std::map<std::string, std::vector<double>> m_samples;
};

}  // namespace detail

// `beforeRuns` runs once the options are read and before any run: a
// program's own checks, or benchmarks registered from what it measured.
// With comparisons, the console output ends with their ratios.
inline int RunBenchmarks(int argc, char** argv, const std::function<void()>& beforeRuns = nullptr,
                         std::vector<Comparison> comparisons = {}) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (beforeRuns) beforeRuns();
  if (comparisons.empty()) {
    benchmark::RunSpecifiedBenchmarks();
  } else {
    detail::RatioReporter reporter(std::move(comparisons));
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }
  benchmark::Shutdown();
  return 0;
}

// For code that logs: lines go to standard error at the level the programs
// run at by default, so that trace and debug lines are not composed and what
// is timed is what a user's copy spends.
inline int RunLoggingBenchmarks(int argc, char** argv, std::vector<Comparison> comparisons = {}) {
  orvlog::InitConsole();
  orvlog::SetLevel(orvlog::kInfo);
  return RunBenchmarks(argc, argv, nullptr, std::move(comparisons));
}

}  // namespace orvbench
