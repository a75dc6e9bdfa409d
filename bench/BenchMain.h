// The main of the benchmark programs: the library's options read from the
// command line, any other argument refused, then the registered runs.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>

#include "platform/log/Log.h"

namespace orvbench {

// `beforeRuns` runs once the options are read and before any run: a
// program's own checks, or benchmarks registered from what it measured.
inline int RunBenchmarks(int argc, char** argv, const std::function<void()>& beforeRuns = nullptr) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (beforeRuns) beforeRuns();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// For code that logs: lines go to standard error at the level the programs
// run at by default, so that trace and debug lines are not composed and what
// is timed is what a user's copy spends.
inline int RunLoggingBenchmarks(int argc, char** argv) {
  orvlog::InitConsole();
  orvlog::SetLevel(orvlog::kInfo);
  return RunBenchmarks(argc, argv);
}

}  // namespace orvbench
