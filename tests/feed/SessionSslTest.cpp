// A session reaching its services over IIOP over SSL only.
#include <gtest/gtest.h>

#include "tests/feed/SessionServiceSupport.h"
#include "tests/feed/TestClient.h"

namespace orvtest {
namespace {

TEST(SessionSsl, SignsInSubscribesAndReceivesOverSsl) {
  // Every endpoint the ORB was given is an SSL one (but the dead first).
  for (const auto& e : CSettings::InitRef) {
    if (e.first == "Endpoint0") continue;
    EXPECT_NE(e.second.find("corbaloc:ssliop:"), std::string::npos) << e.second;
  }
  auto session = OpenSession("secure", true);
  std::vector<StockRecord> all;
  session->GetStocks(u"", all, false);
  ASSERT_EQ(all.size(), 5u);
  const char* symbol = static_cast<const char*>(all[0].Symbol);
  CZmOrvEnt client;
  session->Subscribe(client.Handle(), U16(symbol), enStockData, enEquity);
  EXPECT_TRUE(client.WaitFor([&](const std::vector<CZmOrvEnt::Event>& ev) {
    for (const auto& e : ev)
      for (const auto& r : e.rows)
        if (r.symbol == symbol) return true;
    return false;
  }));
}

}  // namespace
}  // namespace orvtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvtest::SimOptions options;
  options.ssl = true;
  orvtest::Env() = new orvtest::SimEnvironment(options);
  ::testing::AddGlobalTestEnvironment(orvtest::Env());
  return RUN_ALL_TESTS();
}
