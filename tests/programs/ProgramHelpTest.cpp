// Every program of the system answers --help with its usage on standard
// output and exit status 0, and starts nothing: the server and the bridge
// in particular neither register, log, show their tray icon nor sign in.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct HelpRun {
  int status = -1;
  std::string out, err;
};

HelpRun RunHelp(const std::string& program) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("program-help-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "home");
  const std::string errFile = (dir / "stderr").string();
  // A private home, registry and runtime folder: whatever a program would
  // touch by mistake lands here and shows below.
  const std::string command = "cd '" + dir.string() + "' && HOME='" + (dir / "home").string() + "' USERPROFILE='" +
                              (dir / "home").string() + "' ORV_REGISTRY='" + (dir / "registry.reg").string() +
                              "' XDG_RUNTIME_DIR='" + dir.string() + "' " + program + " --help 2>'" + errFile +
                              "' </dev/null";
  HelpRun run;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
    run.status = ::pclose(p);
  }
  std::ifstream in(errFile);
  std::stringstream ss;
  ss << in.rdbuf();
  run.err = ss.str();
  std::filesystem::remove(errFile);
  std::filesystem::remove(dir / "home");
  EXPECT_TRUE(std::filesystem::is_empty(dir)) << program << " left files behind";
  std::filesystem::remove_all(dir);
  return run;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST(ProgramHelp, EveryProgramAnswersWithItsUsageAndSucceeds) {
  const struct {
    const char* name;
    std::string command;
  } programs[] = {
      {"ORVE", ORVE_PATH},
      {"ZmDDE", ZMDDE_PATH},
      {"orvsim", ORVSIM_PATH},
      {"ddeclient", DDECLIENT_PATH},
      {"xllhost", XLLHOST_PATH},
      {"comgen.py", std::string("python3 ") + COMGEN_PATH},
  };
  for (const auto& p : programs) {
    SCOPED_TRACE(p.name);
    const HelpRun run = RunHelp(p.command);
    ASSERT_TRUE(WIFEXITED(run.status)) << run.status;
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
    EXPECT_EQ(Lower(run.out).rfind("usage: " + Lower(p.name), 0), 0u) << run.out;
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
