#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/dde/DdeInstance.h"
#include "platform/dde/DdeWire.h"
#include "DdeFixture.h"
#include "../feed/LogCapture.h"

using namespace ddetest;

namespace {

RuntimeFolder g_folder;

HDDEDATA CALLBACK Ignore(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  return nullptr;
}

std::vector<UINT> Types(const std::vector<Seen>& log) {
  std::vector<UINT> out;
  for (const Seen& s : log) out.push_back(s.type);
  return out;
}

// ---- string handles ----

TEST(DdeStringHandles, OneAtomPerTextInAnyCaseCountedPerReference) {
  DWORD inst = 0;
  ASSERT_EQ(DMLERR_NO_ERROR, DdeInitializeA(&inst, Ignore, APPCMD_CLIENTONLY, 0));
  HSZ a = DdeCreateStringHandleA(inst, "StckPrice", CP_WINANSI);
  HSZ b = DdeCreateStringHandleA(inst, "STCKPRICE", CP_WINANSI);
  HSZ other = DdeCreateStringHandleA(inst, "Price", 0);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(a, b);
  EXPECT_EQ(0, DdeCmpStringHandles(a, b));
  EXPECT_NE(0, DdeCmpStringHandles(a, other));
  EXPECT_EQ(-DdeCmpStringHandles(a, other), DdeCmpStringHandles(other, a));
  EXPECT_EQ("StckPrice", QueryString(inst, b));  // the first spelling stays

  // Two references: one free leaves the handle alive, the second ends it.
  EXPECT_TRUE(DdeFreeStringHandle(inst, b));
  EXPECT_EQ("StckPrice", QueryString(inst, a));
  EXPECT_TRUE(DdeKeepStringHandle(inst, a));
  EXPECT_TRUE(DdeFreeStringHandle(inst, a));
  EXPECT_EQ(9u, DdeQueryStringA(inst, a, nullptr, 0, CP_WINANSI));
  EXPECT_TRUE(DdeFreeStringHandle(inst, a));
  EXPECT_EQ(0u, DdeQueryStringA(inst, a, nullptr, 0, CP_WINANSI));
  EXPECT_EQ(DMLERR_INVALIDPARAMETER, DdeGetLastError(inst));
  EXPECT_FALSE(DdeFreeStringHandle(inst, a));

  // A new text gets a new spelling.
  HSZ again = DdeCreateStringHandleA(inst, "stckprice", CP_WINANSI);
  EXPECT_EQ("stckprice", QueryString(inst, again));
  EXPECT_TRUE(DdeUninitialize(inst));
  (void)other;
}

TEST(DdeStringHandles, InstancesHoldTheirOwnReferences) {
  DWORD one = 0, two = 0;
  ASSERT_EQ(DMLERR_NO_ERROR, DdeInitializeA(&one, Ignore, APPCMD_CLIENTONLY, 0));
  ASSERT_EQ(DMLERR_NO_ERROR, DdeInitializeA(&two, Ignore, APPCMD_CLIENTONLY, 0));
  HSZ mine = DdeCreateStringHandleA(one, "Shared", CP_WINANSI);
  // An instance that holds no reference cannot free another's.
  EXPECT_FALSE(DdeFreeStringHandle(two, mine));
  EXPECT_EQ("Shared", QueryString(one, mine));
  HSZ theirs = DdeCreateStringHandleA(two, "SHARED", CP_WINANSI);
  EXPECT_EQ(mine, theirs);
  // Ending an instance gives back what it held, and only that.
  EXPECT_TRUE(DdeUninitialize(one));
  EXPECT_EQ("Shared", QueryString(two, theirs));
  EXPECT_TRUE(DdeUninitialize(two));
  DWORD three = 0;
  ASSERT_EQ(DMLERR_NO_ERROR, DdeInitializeA(&three, Ignore, APPCMD_CLIENTONLY, 0));
  EXPECT_EQ(0u, DdeQueryStringA(three, mine, nullptr, 0, CP_WINANSI));
  DdeUninitialize(three);
}

TEST(DdeStringHandles, BadTextsAndShortBuffers) {
  DWORD inst = 0;
  ASSERT_EQ(DMLERR_NO_ERROR, DdeInitializeA(&inst, Ignore, APPCMD_CLIENTONLY, 0));
  EXPECT_EQ(nullptr, DdeCreateStringHandleA(inst, "", CP_WINANSI));
  EXPECT_EQ(nullptr, DdeCreateStringHandleA(inst, nullptr, CP_WINANSI));
  EXPECT_EQ(nullptr, DdeCreateStringHandleA(inst, std::string(256, 'x').c_str(), CP_WINANSI));
  EXPECT_EQ(nullptr, DdeCreateStringHandleA(inst, "Price", CP_WINUNICODE));
  EXPECT_EQ(DMLERR_INVALIDPARAMETER, DdeGetLastError(inst));
  EXPECT_EQ(DMLERR_NO_ERROR, DdeGetLastError(inst));  // reading clears it
  EXPECT_NE(nullptr, DdeCreateStringHandleA(inst, std::string(255, 'x').c_str(), CP_WINANSI));
  EXPECT_EQ(nullptr, DdeCreateStringHandleA(inst + 1000, "Price", CP_WINANSI));

  HSZ h = DdeCreateStringHandleA(inst, "InterestRate", CP_WINANSI);
  char small[5];
  std::memset(small, 'Z', sizeof small);
  EXPECT_EQ(4u, DdeQueryStringA(inst, h, small, sizeof small, CP_WINANSI));
  EXPECT_STREQ("Inte", small);
  DdeUninitialize(inst);
}

TEST(DdeDataHandles, CopyOffsetAccessAndFree) {
  DWORD inst = 0;
  ASSERT_EQ(DMLERR_NO_ERROR, DdeInitializeA(&inst, Ignore, APPCMD_CLIENTONLY, 0));
  BYTE text[] = "12.5000";
  HDDEDATA h = DdeCreateDataHandle(inst, text, sizeof text, 2, nullptr, CF_TEXT, 0);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(sizeof text + 2, DdeGetData(h, nullptr, 0, 0));
  BYTE out[16] = {};
  EXPECT_EQ(4u, DdeGetData(h, out, 4, 2));
  EXPECT_EQ(0, std::memcmp(out, "12.5", 4));
  EXPECT_EQ(0u, DdeGetData(h, out, sizeof out, 100));  // past the end: nothing, no overrun
  DWORD size = 0;
  LPBYTE bytes = DdeAccessData(h, &size);
  ASSERT_NE(nullptr, bytes);
  EXPECT_EQ(sizeof text + 2, size);
  EXPECT_STREQ("12.5000", reinterpret_cast<char*>(bytes + 2));
  EXPECT_TRUE(DdeUnaccessData(h));
  EXPECT_TRUE(DdeFreeDataHandle(h));
  EXPECT_FALSE(DdeFreeDataHandle(h));
  EXPECT_EQ(nullptr, DdeAccessData(h, &size));
  EXPECT_EQ(nullptr, DdeCreateDataHandle(inst, text, sizeof text, 0, nullptr, CF_TEXT, 0x80));
  DdeUninitialize(inst);
}

// ---- conversations ----

TEST(DdeConversation, ConnectMatchesServiceInAnyCaseAndAsksTheServer) {
  Server server;
  ASSERT_TRUE(server.Registered());
  Client client;
  HCONV conv = client.Connect("IBM", "ORVTEST");
  ASSERT_NE(nullptr, conv);
  auto connects = server.Log(XTYP_CONNECT);
  ASSERT_EQ(1u, connects.size());
  EXPECT_EQ("IBM", connects[0].hsz1);
  EXPECT_EQ("OrvTest", connects[0].hsz2);
  EXPECT_EQ(server.ThreadId(), connects[0].thread);
  // CBF_SKIP_CONNECT_CONFIRMS: no confirmation follows.
  EXPECT_TRUE(server.Log(XTYP_CONNECT_CONFIRM).empty());

  EXPECT_EQ(nullptr, client.Connect("Refused"));
  EXPECT_EQ(DMLERR_NO_CONV_ESTABLISHED, DdeGetLastError(client.Instance()));
  EXPECT_EQ(nullptr, client.Connect("IBM", "NoSuchService"));
  EXPECT_EQ(DMLERR_NO_CONV_ESTABLISHED, DdeGetLastError(client.Instance()));
  EXPECT_TRUE(DdeDisconnect(conv));
  EXPECT_FALSE(DdeDisconnect(conv));
}

TEST(DdeConversation, ConfirmsAndRefusalsFollowTheInstanceFlags) {
  {
    Server confirming(0);
    Client client;
    ASSERT_NE(nullptr, client.Connect("IBM"));
    ASSERT_TRUE(confirming.WaitFor(XTYP_CONNECT_CONFIRM, 1));
    EXPECT_EQ("IBM", confirming.Log(XTYP_CONNECT_CONFIRM)[0].hsz1);
  }
  Server refusing(CBF_FAIL_CONNECTIONS);
  Client client;
  EXPECT_EQ(nullptr, client.Connect("IBM"));
  EXPECT_TRUE(refusing.Log(XTYP_CONNECT).empty());
}

TEST(DdeConversation, RequestPokeAndExecute) {
  Server server;
  server.SetValue("Price", "101.2500");
  Client client;
  HCONV conv = client.Connect("IBM");
  ASSERT_NE(nullptr, conv);

  EXPECT_EQ("101.2500", client.Request(conv, "Price"));
  auto requests = server.Log(XTYP_REQUEST);
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(UINT(CF_TEXT), requests[0].format);
  EXPECT_EQ("IBM", requests[0].hsz1);
  EXPECT_EQ(server.ThreadId(), requests[0].thread);

  // No data, or a format the server does not offer: refused.
  EXPECT_EQ("<none " + std::to_string(DMLERR_NOTPROCESSED) + ">", client.Request(conv, "Bid"));
  EXPECT_EQ("<none " + std::to_string(DMLERR_NOTPROCESSED) + ">",
            client.Request(conv, "Price", CF_UNICODETEXT));

  DWORD ack = 0;
  EXPECT_TRUE(client.Transact(conv, "Price", XTYP_POKE, CF_TEXT, std::string("99", 3), &ack));
  EXPECT_EQ(DWORD(DDE_FACK), ack);
  EXPECT_EQ("99", client.Request(conv, "Price"));

  // Executes are refused by the instance without asking the callback.
  EXPECT_FALSE(client.Transact(conv, "", XTYP_EXECUTE, 0, "[Open]"));
  EXPECT_EQ(DMLERR_NOTPROCESSED, DdeGetLastError(client.Instance()));
  EXPECT_TRUE(server.Log(XTYP_EXECUTE).empty());

  // Malformed calls never reach the server.
  EXPECT_EQ(nullptr, DdeClientTransaction(nullptr, 0, conv, nullptr, CF_TEXT, XTYP_REQUEST, 1000,
                                          nullptr));
  EXPECT_EQ(nullptr, DdeClientTransaction(nullptr, 0, conv, client.Name("Price"), CF_TEXT,
                                          XTYP_REQUEST, TIMEOUT_ASYNC, nullptr));
  EXPECT_EQ(nullptr, DdeClientTransaction(nullptr, 0, conv, client.Name("Price"), CF_TEXT,
                                          XTYP_CONNECT, 1000, nullptr));
  EXPECT_EQ(DMLERR_INVALIDPARAMETER, DdeGetLastError(client.Instance()));
  EXPECT_EQ(4u, server.Log(XTYP_REQUEST).size());
}

TEST(DdeConversation, NothingArrivesWhileTheServerThreadRunsNoLoop) {
  Server server;
  server.SetValue("Price", "1");
  std::promise<void> release;
  auto released = release.get_future().share();
  std::promise<void> holding;
  std::thread hold([&] {
    server.Run([&holding, released] {
      holding.set_value();
      released.wait();
    });
  });
  holding.get_future().wait();
  Client client;
  std::promise<HCONV> connected;
  std::thread connecting([&] { connected.set_value(client.Connect("IBM")); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(server.Log(XTYP_CONNECT).empty());  // queued, not run on the I/O thread
  release.set_value();
  connecting.join();
  hold.join();
  HCONV conv = connected.get_future().get();
  EXPECT_NE(nullptr, conv);
  EXPECT_EQ(server.ThreadId(), server.Log(XTYP_CONNECT).at(0).thread);
}

// ---- advise links ----

TEST(DdeAdvise, LinksDeliverPostedValuesThroughTheServerLoop) {
  Server server;
  server.SetValue("Price", "1.0000");
  Client client;
  HCONV conv = client.Connect("IBM");
  ASSERT_NE(nullptr, conv);
  ASSERT_TRUE(client.Transact(conv, "Price", XTYP_ADVSTART));
  ASSERT_TRUE(client.Transact(conv, "Bid", XTYP_ADVSTART));
  EXPECT_FALSE(client.Transact(conv, "NoLink", XTYP_ADVSTART));
  auto starts = server.Log(XTYP_ADVSTART);
  ASSERT_EQ(3u, starts.size());
  EXPECT_EQ("Price", starts[0].hsz2);
  EXPECT_EQ(UINT(CF_TEXT), starts[0].format);
  EXPECT_EQ(server.ThreadId(), starts[0].thread);

  server.Post("ibm", "PRICE", "2.0000");  // any letter case finds the link
  ASSERT_TRUE(client.PumpUntil([&] { return client.Values().size() == 1; }));
  EXPECT_EQ("Price=2.0000", client.Values()[0]);
  EXPECT_EQ(XTYP_ADVDATA, client.Log().back().type);
  EXPECT_EQ("IBM", client.Log().back().hsz1);
  auto advreqs = server.Log(XTYP_ADVREQ);
  ASSERT_EQ(1u, advreqs.size());
  EXPECT_EQ(server.ThreadId(), advreqs[0].thread);

  // A null item asks every link of the topic; Bid has no value yet, so
  // only Price is sent. Another topic's post reaches nobody.
  server.Post("MSFT", "Price", "7");
  server.SetValue("Price", "3.0000");
  server.Post("IBM", "", "");
  EXPECT_EQ(3u, server.Log(XTYP_ADVREQ).size());
  ASSERT_TRUE(client.PumpUntil([&] { return client.Values().size() == 2; }));
  EXPECT_EQ("Price=3.0000", client.Values()[1]);

  // After the stop, posts ask nothing.
  ASSERT_TRUE(client.Transact(conv, "price", XTYP_ADVSTOP));
  EXPECT_FALSE(client.Transact(conv, "Price", XTYP_ADVSTOP));  // no such link any more
  ASSERT_EQ(1u, server.Log(XTYP_ADVSTOP).size());
  server.Post("IBM", "Price", "4.0000");
  EXPECT_EQ(3u, server.Log(XTYP_ADVREQ).size());
}

// A post finds the links of its topic in every conversation on it, and
// none of a conversation that ended or of another topic, also after the
// conversations of a topic come and go.
TEST(DdeAdvise, PostsReachTheLinksOfTheirTopicInEveryConversation) {
  Server server;
  server.SetValue("Price", "1");
  Client client;
  HCONV a = client.Connect("IBM");
  HCONV b = client.Connect("ibm");
  HCONV c = client.Connect("MSFT");
  ASSERT_TRUE(a && b && c);
  ASSERT_TRUE(client.Transact(a, "Price", XTYP_ADVSTART));
  ASSERT_TRUE(client.Transact(b, "Price", XTYP_ADVSTART));
  ASSERT_TRUE(client.Transact(b, "Bid", XTYP_ADVSTART));
  ASSERT_TRUE(client.Transact(c, "Price", XTYP_ADVSTART));

  server.Post("IBM", "Price", "2");
  ASSERT_TRUE(client.PumpUntil([&] { return client.Values().size() == 2; }));
  EXPECT_EQ(std::vector<std::string>({"Price=2", "Price=2"}), client.Values());
  EXPECT_EQ(2u, server.Log(XTYP_ADVREQ).size());  // not MSFT's, not Bid

  // The first conversation ends and a new one on the topic links Bid.
  ASSERT_TRUE(DdeDisconnect(a));
  ASSERT_TRUE(server.WaitFor(XTYP_DISCONNECT, 1));
  HCONV d = client.Connect("IBM");
  ASSERT_NE(nullptr, d);
  ASSERT_TRUE(client.Transact(d, "Bid", XTYP_ADVSTART));
  server.ClearLog();
  server.Post("IBM", "Bid", "9");
  ASSERT_TRUE(client.PumpUntil([&] { return client.Values().size() == 4; }));
  EXPECT_EQ("Bid=9", client.Values()[2]);
  EXPECT_EQ("Bid=9", client.Values()[3]);
  EXPECT_EQ(2u, server.Log(XTYP_ADVREQ).size());
  server.Post("IBM", "Price", "3");  // only b's Price link is left on IBM
  ASSERT_TRUE(client.PumpUntil([&] { return client.Values().size() == 5; }));
  EXPECT_EQ("Price=3", client.Values()[4]);
  EXPECT_EQ(3u, server.Log(XTYP_ADVREQ).size());
}

TEST(DdeAdvise, WarmLinksGetNoticesWithoutAskingForData) {
  Server server;
  server.SetValue("Price", "5");
  Client client;
  HCONV conv = client.Connect("IBM");
  ASSERT_TRUE(client.Transact(conv, "Price", XTYP_ADVSTART | XTYPF_NODATA));
  server.Post("IBM", "Price", "6");
  ASSERT_TRUE(client.PumpUntil([&] { return client.Values().size() == 1; }));
  EXPECT_EQ("Price=", client.Values()[0]);
  EXPECT_TRUE(server.Log(XTYP_ADVREQ).empty());
}

TEST(DdeAdvise, ClientLeavingStopsEachLinkBeforeTheDisconnect) {
  Server server;
  {
    Client client;
    HCONV conv = client.Connect("IBM");
    ASSERT_TRUE(client.Transact(conv, "Price", XTYP_ADVSTART));
    ASSERT_TRUE(client.Transact(conv, "Bid", XTYP_ADVSTART));
    HCONV other = client.Connect("MSFT");
    ASSERT_TRUE(client.Transact(other, "Ask", XTYP_ADVSTART));
    server.ClearLog();
    ASSERT_TRUE(DdeDisconnect(conv));
    ASSERT_TRUE(server.WaitFor(XTYP_DISCONNECT, 1));
    std::vector<UINT> expected{XTYP_ADVSTOP, XTYP_ADVSTOP, XTYP_DISCONNECT};
    EXPECT_EQ(expected, Types(server.Log()));
    std::set<std::string> stopped;
    for (const Seen& s : server.Log(XTYP_ADVSTOP)) {
      EXPECT_EQ("IBM", s.hsz1);
      EXPECT_EQ(server.ThreadId(), s.thread);
      stopped.insert(s.hsz2);
    }
    EXPECT_EQ((std::set<std::string>{"Bid", "Price"}), stopped);
    server.ClearLog();
  }  // the instance ends with the MSFT link still open
  ASSERT_TRUE(server.WaitFor(XTYP_DISCONNECT, 1));
  std::vector<UINT> expected{XTYP_ADVSTOP, XTYP_DISCONNECT};
  EXPECT_EQ(expected, Types(server.Log()));
  EXPECT_EQ("Ask", server.Log(XTYP_ADVSTOP)[0].hsz2);
}

TEST(DdeAdvise, ServerLeavingTellsTheClient) {
  auto server = std::make_unique<Server>();
  Client client;
  HCONV conv = client.Connect("IBM");
  ASSERT_TRUE(client.Transact(conv, "Price", XTYP_ADVSTART));
  server.reset();
  ASSERT_TRUE(client.PumpUntil([&] { return client.Disconnected(); }));
  EXPECT_EQ("<none " + std::to_string(DMLERR_NO_CONV_ESTABLISHED) + ">",
            client.Request(conv, "Price"));
}

// ---- the socket side ----

class RawPeer {
 public:
  explicit RawPeer(const std::string& service) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = orvdde::ServiceSocketPath(service);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~RawPeer() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool Connected() const { return connected_; }
  void Write(const std::string& bytes) {
    ASSERT_EQ(ssize_t(bytes.size()), ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }
  void Send(const orvdde::Frame& f) { Write(orvdde::EncodeFrame(f)); }
  // The next frame, or false at the end of the stream (or after 10 s).
  bool Next(orvdde::Frame* f, bool wait = true) {
    for (;;) {
      size_t used = 0;
      if (!in_.empty()) {
        auto r = orvdde::DecodeFrame(reinterpret_cast<const uint8_t*>(in_.data()), in_.size(), f,
                                     &used);
        if (r == orvdde::DecodeResult::kMalformed) return false;
        if (r == orvdde::DecodeResult::kFrame) {
          in_.erase(0, used);
          return true;
        }
      }
      char buffer[65536];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, wait ? 0 : MSG_DONTWAIT);
      if (n <= 0) return false;
      in_.append(buffer, size_t(n));
    }
  }
  // Connects to a topic and starts a link on an item.
  void Open(const std::string& topic, const std::string& item) {
    orvdde::Frame f;
    f.type = orvdde::kConnect;
    f.seq = 1;
    f.name1 = "OrvTest";
    f.name2 = topic;
    Send(f);
    orvdde::Frame reply;
    ASSERT_TRUE(Next(&reply));
    ASSERT_EQ(1u, reply.status);
    f = orvdde::Frame();
    f.type = orvdde::kTransaction;
    f.seq = 2;
    f.xtyp = XTYP_ADVSTART;
    f.format = CF_TEXT;
    f.name1 = item;
    Send(f);
    ASSERT_TRUE(Next(&reply));
    ASSERT_EQ(1u, reply.status);
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string in_;
};

TEST(DdeSocket, SlowClientNeverHoldsThePostUpAndGetsTheNewestValue) {
  Server server;
  RawPeer slow("OrvTest");
  ASSERT_TRUE(slow.Connected());
  slow.Open("IBM", "Big");
  // Far more than the socket can buffer while nobody reads.
  const int kPosts = 200;
  std::string filler(64 * 1024, 'x');
  bool posted = server.Run([&] {
    HSZ topic = DdeCreateStringHandleA(server.Instance(), "IBM", CP_WINANSI);
    HSZ item = DdeCreateStringHandleA(server.Instance(), "Big", CP_WINANSI);
    for (int i = 1; i <= kPosts; ++i) {
      server.SetValue("Big", std::to_string(i) + ":" + filler);
      DdePostAdvise(server.Instance(), topic, item);
    }
  });
  ASSERT_TRUE(posted) << "DdePostAdvise blocked on a client that does not read";
  EXPECT_EQ(size_t(kPosts), server.Log(XTYP_ADVREQ).size());

  std::vector<int> seen;
  orvdde::Frame f;
  while (seen.empty() || seen.back() != kPosts) {
    ASSERT_TRUE(slow.Next(&f)) << "the newest value never came";
    ASSERT_EQ(orvdde::kAdviseData, f.type);
    EXPECT_EQ("Big", f.name1);
    seen.push_back(std::stoi(f.data));
  }
  EXPECT_LT(seen.size(), size_t(kPosts));  // older values were replaced, not queued
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST(DdeSocket, MalformedFrameClosesOnlyItsConnection) {
  Server server;
  server.SetValue("Price", "8");
  Client client;
  HCONV good = client.Connect("IBM");
  ASSERT_NE(nullptr, good);

  struct Case {
    const char* name;
    std::string bytes;
  };
  orvdde::Frame reply;
  reply.type = orvdde::kResult;  // a server's frame, sent the wrong way
  std::string wrongVersion = orvdde::EncodeFrame(reply);
  wrongVersion[4] = 9;
  std::vector<Case> cases = {
      {"garbage", "GET / HTTP/1.0\r\n\r\n"},
      {"wrong direction", orvdde::EncodeFrame(reply)},
      {"other version", wrongVersion},
      {"huge length", std::string("ORVD\x01\x03\x00\x00\xff\xff\xff\xff", 12)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.ClearLog();
    RawPeer bad("OrvTest");
    ASSERT_TRUE(bad.Connected());
    bad.Open("MSFT", "Price");
    bad.Write(c.bytes);
    orvdde::Frame f;
    EXPECT_FALSE(bad.Next(&f));  // closed by the server
    ASSERT_TRUE(server.WaitFor(XTYP_DISCONNECT, 1));
    std::vector<UINT> expected{XTYP_CONNECT, XTYP_ADVSTART, XTYP_ADVSTOP, XTYP_DISCONNECT};
    EXPECT_EQ(expected, Types(server.Log()));
    EXPECT_EQ("8", client.Request(good, "Price"));
  }

  // A transaction before any connect is no conversation at all.
  RawPeer early("OrvTest");
  orvdde::Frame t;
  t.type = orvdde::kTransaction;
  t.xtyp = XTYP_REQUEST;
  t.format = CF_TEXT;
  t.name1 = "Price";
  early.Send(t);
  orvdde::Frame f;
  EXPECT_FALSE(early.Next(&f));
  EXPECT_EQ("8", client.Request(good, "Price"));
}

// Out of descriptors, a listener takes the waiting connection with the
// one it holds in reserve and closes it: its client hears at once that it
// was refused, rather than waiting out its time-out with nothing said, and
// the service's callback is told. With descriptors back it serves again.
TEST(DdeSocket, AListenerOutOfDescriptorsRefusesTheWaitingClientAtOnceAndServesAgainLater) {
  Server server;
  ASSERT_TRUE(server.Registered());
  LogCapture log(orvlog::kWarn);
  // The sanitizers check a type the first time they meet it, with a pipe of
  // their own: the log's path and the listener's are walked once while
  // descriptors are still there.
  ORV_LOG(orvlog::kWarn, "before the descriptors run out");
  {
    Client warm;
    EXPECT_NE(nullptr, warm.Connect("IBM"));
  }
  // A low soft limit, then every descriptor but one taken: the client's
  // socket gets that one and the server's accept none.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = ::dup(0);
  ASSERT_GE(highest, 0);
  ::close(highest);
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(saved.rlim_max, rlim_t(highest) + 64);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::dup(0)) >= 0;) fillers.push_back(fd);
  ASSERT_FALSE(fillers.empty());
  ::close(fillers.back());
  fillers.pop_back();
  auto peer = std::make_unique<RawPeer>("OrvTest");
  const bool connected = peer->Connected();
  // Closed by the service, not left waiting: the read ends before its
  // ten-second limit with the end of the stream.
  orvdde::Frame f;
  const bool frame = connected && peer->Next(&f);
  const bool told = server.WaitFor(XTYP_ERROR, 1);
  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(connected);
  EXPECT_FALSE(frame);
  EXPECT_TRUE(told) << "the callback heard nothing of the refusal";
  EXPECT_TRUE(log.Contains("dde: refused a conversation to service \"OrvTest\""));
  EXPECT_FALSE(log.Contains("dde: accept on service")) << "the listener rested instead";

  Client client;
  HCONV conv = client.Connect("IBM");
  EXPECT_NE(nullptr, conv);
  EXPECT_TRUE(server.Log(XTYP_CONNECT).size() >= 2u);
}

TEST(DdeSocket, ServiceNamesOwnTheirSocketUntilUnregistered) {
  auto server = std::make_unique<Server>();
  ASSERT_TRUE(server->Registered());
  std::string path = orvdde::ServiceSocketPath("OrvTest");
  EXPECT_EQ(path, orvdde::ServiceSocketPath("orvtest"));
  EXPECT_NE(std::string::npos, path.find("/orv/"));
  struct stat st {};
  ASSERT_EQ(0, ::stat((g_folder.path + "/orv").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);

  // A second server cannot take a live name.
  Server second(CBF_FAIL_EXECUTES, "ORVTEST");
  EXPECT_FALSE(second.Registered());
  Client client;
  EXPECT_NE(nullptr, client.Connect("IBM"));

  ASSERT_TRUE(server->Run([&] {
    HSZ name = DdeCreateStringHandleA(server->Instance(), "orvtest", CP_WINANSI);
    EXPECT_NE(nullptr, DdeNameService(server->Instance(), name, nullptr, DNS_UNREGISTER));
    EXPECT_EQ(nullptr, DdeNameService(server->Instance(), name, nullptr, DNS_UNREGISTER));
  }));
  EXPECT_NE(0, ::access(path.c_str(), F_OK));
  EXPECT_EQ(nullptr, client.Connect("IBM"));

  // A socket file left behind by a server that died is taken over.
  int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(0, ::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ::close(stale);
  Server third;
  EXPECT_TRUE(third.Registered());
  EXPECT_NE(nullptr, client.Connect("IBM"));
}

TEST(DdeInstances, ClientOnlyAndMonitorInstancesServeNothing) {
  DWORD client = 0, monitor = 0;
  ASSERT_EQ(DMLERR_NO_ERROR, DdeInitializeA(&client, Ignore, APPCMD_CLIENTONLY, 0));
  ASSERT_EQ(DMLERR_NO_ERROR,
            DdeInitializeA(&monitor, Ignore, APPCLASS_MONITOR | MF_ERRORS, 0));
  HSZ name = DdeCreateStringHandleA(client, "Nobody", CP_WINANSI);
  EXPECT_EQ(nullptr, DdeNameService(client, name, nullptr, DNS_REGISTER));
  EXPECT_EQ(DMLERR_DLL_USAGE, DdeGetLastError(client));
  EXPECT_EQ(nullptr, DdeNameService(monitor, name, nullptr, DNS_REGISTER));
  EXPECT_EQ(DMLERR_DLL_USAGE, DdeGetLastError(monitor));

  DWORD again = client;
  EXPECT_EQ(UINT(DMLERR_INVALIDPARAMETER), DdeInitializeA(&again, Ignore, 0, 0));
  EXPECT_TRUE(DdeUninitialize(monitor));
  EXPECT_TRUE(DdeUninitialize(client));
  EXPECT_FALSE(DdeUninitialize(client));
  EXPECT_EQ(UINT(DMLERR_INVALIDPARAMETER), DdeGetLastError(client));
}

}  // namespace
