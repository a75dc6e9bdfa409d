// orvsim's command line: help, and clear refusals of bad options.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <stdlib.h>

#include <array>
#include <cstdio>
#include <string>

#include "OrvSimProcess.h"

namespace {

struct RunResult {
  int status;
  std::string output;
};

RunResult RunOrvSim(const std::string& args) {
  const std::string cmd = orvsim::OrvSimProcess::ProgramPath() + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  std::array<char, 512> buf;
  while (p && fgets(buf.data(), buf.size(), p)) out += buf.data();
  const int st = p ? pclose(p) : -1;
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

TEST(OrvSimCommandLine, HelpDescribesTheOptions) {
  const RunResult r = RunOrvSim("--help");
  EXPECT_EQ(r.status, 0);
  for (const char* opt : {"--port", "--ssl-port", "--user", "--seed", "--rate", "--endpoints-file",
                          "--log-file"})
    EXPECT_NE(r.output.find(opt), std::string::npos) << opt;
}

TEST(OrvSimCommandLine, BadOptionsAreRefusedWithAReason) {
  struct Case {
    const char* args;
    const char* says;
  } cases[] = {
      {"--bogus 1", "unknown option '--bogus'"},
      {"--port 70000", "--port needs a whole number from 0 to 65535"},
      {"--port", "--port needs a value"},
      {"--rate -1", "--rate needs a number"},
      {"--stocks 0", "--stocks needs a whole number"},
      {"--options-per-stock 0", "--options-per-stock needs a whole number from 1 to 20000"},
      {"--stocks 200 --options-per-stock 20000", "--stocks x --options-per-stock is at most 2000000"},
      {"--user nopassword", "--user needs NAME:PASSWORD"},
      {"--start-date 2024-13-01", "--start-date needs YYYY-MM-DD"},
      {"--ssl-port 0", "--ssl-port needs --ssl-cert and --ssl-key"},
      {"--ssl-port 0 --ssl-cert /nonexistent --ssl-key /nonexistent", "cannot read SSL file"},
      {"--log-level loud", "--log-level needs trace"},
      {"extra", "unexpected argument 'extra'"},
      {"--log-file /nonexistent/orvsim.log", "cannot write the log file"},
      {"--endpoints-file /nonexistent/endpoints", "cannot write the endpoints file"},
  };
  for (const Case& c : cases) {
    const RunResult r = RunOrvSim(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << c.args << ": " << r.output;
  }
}

TEST(OrvSimCommandLine, APortInUseIsReportedAndEndsTheProgram) {
  char tmpl[] = "/tmp/orvsim-cli-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  {
    orvsim::OrvSimProcess first(dir, {"--rate", "0", "--log-level", "warn"});
    const RunResult r = RunOrvSim("--rate 0 --port " + first.Get("port"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("cannot start the services"), std::string::npos) << r.output;
    EXPECT_EQ(first.Stop(), 0) << "the first one kept serving";
  }
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
