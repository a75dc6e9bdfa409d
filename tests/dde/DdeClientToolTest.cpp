// ddeclient, run as its own process against a server of this process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "DdeFixture.h"

using namespace ddetest;

namespace {

RuntimeFolder g_folder;

struct ToolRun {
  int status = -1;
  std::string out;
};

// Runs ddeclient with the arguments (a shell word list), stdout captured,
// or standard error instead.
ToolRun Tool(const std::string& arguments, bool errors = false) {
  ToolRun r;
  std::string command = std::string(DDECLIENT_PATH) + " " + arguments +
                        (errors ? " 2>&1 >/dev/null" : " 2>/dev/null");
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
  int raw = ::pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

TEST(DdeClientTool, RequestPokeAndExecute) {
  Server server;
  server.SetValue("Price", "101.2500");
  ToolRun r = Tool("request orvtest IBM price");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("101.2500\n", r.out);
  EXPECT_EQ("price", server.Log(XTYP_REQUEST).at(0).hsz2);

  EXPECT_EQ(1, Tool("request OrvTest IBM Bid").status);        // no data
  EXPECT_EQ(1, Tool("request OrvTest Refused Price").status);  // no conversation
  EXPECT_EQ(1, Tool("request Nobody IBM Price").status);

  EXPECT_EQ(0, Tool("poke OrvTest IBM Price 99.5").status);
  EXPECT_EQ("99.5\n", Tool("request OrvTest IBM Price").out);
  EXPECT_EQ(1, Tool("execute OrvTest IBM '[Quit]'").status);  // refused by the server
}

TEST(DdeClientTool, AdvisePrintsUpdatesUntilItsBound) {
  Server server;
  server.SetValue("Price", "1");
  ToolRun r;
  std::thread tool([&] { r = Tool("advise OrvTest IBM Price --count 2"); });
  ASSERT_TRUE(server.WaitFor(XTYP_ADVSTART, 1));
  server.Post("IBM", "Price", "2");
  server.Post("IBM", "Price", "3");
  tool.join();
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("2\n3\n", r.out);
  // It ended its link and its conversation on the way out.
  ASSERT_TRUE(server.WaitFor(XTYP_DISCONNECT, 1));
  EXPECT_EQ(1u, server.Log(XTYP_ADVSTOP).size());

  // Bounded by time: no updates, a clean end.
  ToolRun quiet = Tool("advise OrvTest IBM Price --time 50");
  EXPECT_EQ(0, quiet.status);
  EXPECT_EQ("", quiet.out);
}

TEST(DdeClientTool, AdviseEndsWhenTheServerGoes) {
  auto server = std::make_unique<Server>();
  ToolRun r;
  std::thread tool([&] { r = Tool("advise OrvTest IBM Price"); });
  ASSERT_TRUE(server->WaitFor(XTYP_ADVSTART, 1));
  server.reset();
  tool.join();
  EXPECT_EQ(1, r.status);
}

TEST(DdeClientTool, ARefusalSaysWhatWasRefusedAndWhereTheServiceWasLookedFor) {
  Server server;
  server.SetValue("Price", "1");
  const std::string folder = g_folder.path + "/orv/";
  struct Case {
    const char* args;
    int status;
    std::string says;
  } cases[] = {
      {"request Nobody IBM Price", 1,
       "ddeclient: no service \"Nobody\" in " + folder + " (is it running, and with this XDG_RUNTIME_DIR?)\n"},
      {"request OrvTest Refused Price", 1, "refused a conversation on topic \"Refused\""},
      {"request OrvTest IBM Bid", 1,
       "ddeclient: request of item \"Bid\" on topic \"IBM\" of \"OrvTest\": the server refused the transaction\n"},
      {"execute OrvTest IBM '[Quit]'", 1, "execute on topic \"IBM\" of \"OrvTest\": the server refused"},
      {"advise OrvTest IBM Price --count 2 --time 50", 1,
       "ddeclient: advise of item \"Price\" on topic \"IBM\" of \"OrvTest\": 0 of 2 updates in 50 ms\n"},
      {"advise OrvTest IBM Price --time 50", 0, "no update in 50 ms"},
  };
  for (const Case& c : cases) {
    const ToolRun r = Tool(c.args, true);
    EXPECT_EQ(c.status, r.status) << c.args;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << ": " << r.out;
  }
}

TEST(DdeClientTool, BadCommandLines) {
  for (const char* args : {"", "fetch A B C", "request A B", "poke A B C", "advise A B C --count",
                           "advise A B C --count -1", "request A B C --time 5"}) {
    EXPECT_EQ(2, Tool(args).status) << args;
  }
}

}  // namespace
