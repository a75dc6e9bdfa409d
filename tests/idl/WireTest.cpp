// The stubs against a service double in another process, over loopback:
// what really goes on the wire, as the client sees it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopbackService.h"
#include "OrvPayload.h"

namespace {

LoopbackService g_service;
CORBA::ORB_var g_orb;

// The service is forked before this process starts its ORB, and the root is
// reached the way the program reaches it: an "Endpoint<n>" initial reference
// holding a corbaloc address.
class WireEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_service.Start();
    std::string initRef =
        "Endpoint1=corbaloc::127.0.0.1:" + std::to_string(g_service.port()) + "/ZmDataService";
    std::vector<std::string> args = {"test_idl_wire", "-ORBInitRef", initRef};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    g_orb = CORBA::ORB_init(argc, argv.data(), "omniORB4");
  }
  void TearDown() override {
    if (!CORBA::is_nil(g_orb)) g_orb->destroy();
    g_orb = CORBA::ORB::_nil();
    g_service.Stop();
  }
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new WireEnvironment);

class Wire : public ::testing::Test {
 protected:
  void SetUp() override {
    CORBA::Object_var obj = g_orb->resolve_initial_references("Endpoint1");
    root_ = Orv::ZmDataService::_narrow(obj);
    ASSERT_FALSE(CORBA::is_nil(root_));
    manager_ = root_->GetZmDataManager();
    ASSERT_FALSE(CORBA::is_nil(manager_));
  }

  Orv::ZmDataService_var root_;
  Orv::ZmDataManager_var manager_;
};

TEST_F(Wire, SignInWithNullTextsSendsEmptyStrings) {
  const char* user = nullptr;
  const char* password = nullptr;
  EXPECT_EQ(manager_->Connect(orvidl::SafeStr(user), orvidl::SafeStr(password)), 0);
  EXPECT_EQ(manager_->Connect("trader", "secret"), 6);
}

// Bounded strings are checked while marshalling: a text over its bound is
// refused with a system exception before the request leaves the client.
TEST_F(Wire, TextsOverTheirBoundAreRefusedBeforeSending) {
  const CORBA::Short before = manager_->GetProtocolVersion();
  CORBA::Short sent = 0;
  const struct {
    std::size_t length;
    bool accepted;
  } symbols[] = {{0, true}, {1, true}, {32, true}, {33, false}, {400, false}};
  for (const auto& c : symbols) {
    const std::string symbol(c.length, 'S');
    try {
      EXPECT_EQ(manager_->Subscribe(symbol.c_str(), 2, 0), static_cast<CORBA::Short>(c.length));
      ++sent;
      EXPECT_TRUE(c.accepted) << c.length << " characters sent";
    } catch (const CORBA::SystemException& ex) {
      EXPECT_FALSE(c.accepted) << c.length << ": " << orvidl::DescribeException(ex).Text();
      EXPECT_EQ(ex.completed(), CORBA::COMPLETED_NO);
    }
  }
  EXPECT_EQ(manager_->GetProtocolVersion() - before, sent) << "a refused call reached the service";

  EXPECT_EQ(manager_->Connect(std::string(64, 'u').c_str(), ""), 64);
  EXPECT_THROW(manager_->Connect(std::string(65, 'u').c_str(), ""), CORBA::SystemException);
  EXPECT_THROW(manager_->Connect("", std::string(65, 'p').c_str()), CORBA::SystemException);
}

TEST_F(Wire, FieldListsAndRepliesTravelAsZmData) {
  for (const std::vector<std::uint8_t>& ids :
       {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{1, 0, 200, 255, 7}}) {
    CORBA::Any_var reply = manager_->GetMarketData("IBM", 2, 0, orvidl::FieldListAny(ids));
    orvidl::ReplyOctets r = orvidl::ReplyData(&reply.in());
    EXPECT_EQ(std::vector<std::uint8_t>(r.data, r.data + r.size), ids);
  }
  // A reply with no value is empty, not an error.
  CORBA::Any_var nothing = manager_->GetMarketDataAll(0, orvidl::FieldListAny({1}));
  EXPECT_TRUE(orvidl::ReplyData(&nothing.in()).empty());
}

TEST_F(Wire, SymbolGroupsReachTheServiceUnchanged) {
  std::vector<std::string> thousand;
  for (int i = 0; i < 1000; ++i) thousand.push_back("S" + std::to_string(i));
  EXPECT_EQ(manager_->SubscribeGroup(orvidl::SymbolGroupAny(thousand), 1, 0), 1000);

  // The element bound lives in the typecode only; a longer symbol goes as it is.
  const std::string longSymbol(40, 'L');
  CORBA::Any_var reply = manager_->GetMarketDataGroup(
      orvidl::SymbolGroupAny({"IBM", longSymbol, "MSFT"}), 2, 0, orvidl::FieldListAny({}));
  orvidl::ReplyOctets r = orvidl::ReplyData(&reply.in());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data), r.size),
            "IBM\n" + longSymbol + "\nMSFT");
}

// The pull threads wait inside pull while the call threads use the same
// reference; the polled form lets a pull thread stay responsive to a stop.
TEST_F(Wire, PolledPullLeavesTheReferenceFreeForOtherCalls) {
  Orv::AMI_ZmDataManagerPoller_var poller = manager_->sendp_pull(0x01020304);
  ASSERT_NE(poller.in(), nullptr);
  EXPECT_FALSE(poller->is_ready(0));

  EXPECT_EQ(manager_->SubscribeAll(5), 5);  // also releases the waiting pull

  CORBA::Any_var reply;
  poller->pull(0xFFFFFFFF, reply.out());  // no time-out: the pull has been released
  orvidl::ReplyOctets r = orvidl::ReplyData(&reply.in());
  EXPECT_EQ(std::vector<std::uint8_t>(r.data, r.data + r.size),
            (std::vector<std::uint8_t>{0x04, 0x03, 0x02, 0x01}));
}

// A pull thread polls with a short time-out and checks its stop event in
// between; neither kind of "not yet" may lose the reply that follows.
TEST_F(Wire, PollerThatIsNotReadyRaisesAndStaysUsable) {
  Orv::AMI_ZmDataManagerPoller_var poller = manager_->sendp_pull(7);
  CORBA::Any_var reply;
  EXPECT_THROW(poller->pull(0, reply.out()), CORBA::NO_RESPONSE);
  EXPECT_THROW(poller->pull(1, reply.out()), CORBA::TIMEOUT);  // nothing can release it yet
  EXPECT_EQ(manager_->SubscribeAll(1), 1);
  poller->pull(0xFFFFFFFF, reply.out());
  EXPECT_EQ(orvidl::ReplyData(&reply.in()).size, 4u);
}

}  // namespace
