// orvsim's command line: help, and clear refusals of bad options.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <stdlib.h>

#include <array>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
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
  EXPECT_EQ(r.output.rfind("usage: orvsim", 0), 0u) << r.output;
  for (const char* opt : {"--list-symbols", "--port", "--ssl-port", "--user", "--seed", "--rate", "--endpoints-file",
                          "--log-file"})
    EXPECT_NE(r.output.find(opt), std::string::npos) << opt;
}

TEST(OrvSimCommandLine, BadOptionsAreRefusedWithAReason) {
  struct Case {
    const char* args;
    const char* says;
  } cases[] = {
      {"--bogus 1", "unknown option '--bogus'"},
      {"--bogus", "unknown option '--bogus'"},
      {"--rate 1001", "--rate needs a number from 0 to 1000, not '1001'"},
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

TEST(OrvSimCommandLine, ListsEveryInstrumentOfTheMarketItsOptionsMake) {
  const RunResult all = RunOrvSim("--list-symbols");
  ASSERT_EQ(all.status, 0) << all.output;
  std::map<std::string, int> kinds;
  std::set<std::string> symbols;
  std::istringstream lines(all.output);
  for (std::string line; std::getline(lines, line);) {
    const std::string kind = line.substr(0, line.find('\t'));
    const std::string symbol = line.substr(kind.size() + 1, line.find('\t', kind.size() + 1) - kind.size() - 1);
    ++kinds[kind];
    EXPECT_TRUE(symbols.insert(symbol).second) << "listed twice: " << line;
  }
  // The defaults: 20 stocks and indexes of 56 options each, 4 futures roots
  // of 4 contracts.
  EXPECT_EQ(kinds["stock"] + kinds["index"], 20);
  EXPECT_EQ(kinds["option"], 20 * 56);
  EXPECT_EQ(kinds["future-root"], 4);
  EXPECT_EQ(kinds["future"], 16);
  EXPECT_GT(kinds["future-option"], 0);
  EXPECT_EQ(all.output.rfind("stock\tTODF\n", 0), 0u) << "the first stock the log names";

  const RunResult small = RunOrvSim("--list-symbols --stocks 3 --options-per-stock 2 --future-roots 0 --seed 7");
  ASSERT_EQ(small.status, 0);
  EXPECT_EQ(small.output.find("future"), std::string::npos);
  EXPECT_EQ(small.output, RunOrvSim("--seed 7 --future-roots 0 --options-per-stock 2 --stocks 3 --list-symbols").output);
  EXPECT_NE(small.output, all.output);
  EXPECT_EQ(RunOrvSim("--list-symbols --stocks 0").status, 2);
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
