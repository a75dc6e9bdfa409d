// The DDEML's conversations over sockets that misbehave: writes and reads
// cut short, interrupted or told the socket is full, frames whose write
// fails half way, and connects interrupted by a signal.
#include <gtest/gtest.h>

#include <string>

#include "DdeFixture.h"
#include "platform/dde/DdeWire.h"
#include "tests/sys/FaultySyscalls.h"

using namespace ddetest;

namespace {

// The runtime folder of this test program is DdemlTest.cpp's.

TEST(DdeFaults, ShortInterruptedAndFullWritesStillCarryWholeFrames) {
  Server server;
  std::string big;
  for (int i = 0; i < 20000; ++i) big.push_back(char('a' + i % 26));
  server.SetValue("Big", big);
  Client client;
  faulty::Chopped chopped;
  HCONV conv = client.Connect("IBM");
  ASSERT_NE(nullptr, conv);
  EXPECT_EQ(big, client.Request(conv, "Big"));
  ASSERT_TRUE(client.Transact(conv, "Price", XTYP_ADVSTART));
  for (int i = 1; i <= 5; ++i) {
    server.Post("IBM", "Price", std::to_string(i));
    ASSERT_TRUE(client.PumpUntil([&] { return client.Values().size() == size_t(i); }));
    EXPECT_EQ("Price=" + std::to_string(i), client.Values().back());
  }
  EXPECT_GT(faulty::Now().interrupted.load(), 0u);
  EXPECT_GT(faulty::Now().shortened.load(), 0u);
  EXPECT_GT(faulty::Now().full.load(), 0u);
}

// A frame whose write fails after part of it went, on either end: the
// conversation ends as if the peer had gone. Each side hears it (the
// server stops the link first), the request fails as on a lost
// conversation instead of waiting out its timeout, and no half value is
// taken for a whole one, nor does a link stay open that no longer carries
// values.
TEST(DdeFaults, AFrameWhoseWriteFailsPartWayEndsTheConversationOnBothSides) {
  struct Case {
    const char* name;
    orvdde::FrameType kind;
  } cases[] = {
      {"the client's transaction", orvdde::kTransaction},
      {"the server's result", orvdde::kResult},
      {"the server's advise", orvdde::kAdviseData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Server server;
    server.SetValue("Price", "1");
    Client client;
    HCONV conv = client.Connect("IBM");
    ASSERT_NE(nullptr, conv);
    ASSERT_TRUE(client.Transact(conv, "Price", XTYP_ADVSTART));
    {
      faulty::BrokenFrame broken("ORVD", c.kind, EIO);
      if (c.kind == orvdde::kAdviseData)
        server.Post("IBM", "Price", "2");
      else
        EXPECT_EQ("<none " + std::to_string(DMLERR_NO_CONV_ESTABLISHED) + ">", client.Request(conv, "Price"));
      EXPECT_TRUE(broken.Happened());
    }
    ASSERT_TRUE(client.PumpUntil([&] { return client.Disconnected(); }));
    EXPECT_TRUE(client.Values().empty());
    ASSERT_TRUE(server.WaitFor(XTYP_DISCONNECT, 1));
    EXPECT_EQ(1u, server.Log(XTYP_ADVSTOP).size());
  }
}

// A signal that interrupts the client's connect, whichever way: the
// conversation still opens.
TEST(DdeFaults, AnInterruptedConnectStillOpensTheConversation) {
  for (const faulty::InterruptedConnectCase& c : faulty::kInterruptedConnects) {
    SCOPED_TRACE(c.name);
    Server server;
    server.SetValue("Price", "1");
    Client client;
    HCONV conv = nullptr;
    {
      faulty::InterruptedConnect interrupted(c.goesOn);
      conv = client.Connect("IBM");
      EXPECT_EQ(c.connects, interrupted.Connects());
    }
    ASSERT_NE(nullptr, conv) << DdeGetLastError(client.Instance());
    EXPECT_EQ("1", client.Request(conv, "Price"));
    EXPECT_EQ(1u, server.Log(XTYP_CONNECT).size());
  }
}

}  // namespace

