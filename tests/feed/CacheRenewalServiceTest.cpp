// A session whose cache file is changed under it (deleted, replaced with
// junk, truncated) opens a fresh one, says so once, and the road goes on:
// held keys get their data again and new subscriptions get theirs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iostream>

#include "tests/feed/LogCapture.h"
#include "tests/feed/SessionServiceSupport.h"
#include "tests/feed/TestClient.h"

namespace orvtest {
namespace {

std::vector<std::string> StockSymbols(CDataHolder& session) {
  std::vector<StockRecord> records;
  session.GetStocks(u"", records, false);
  std::vector<std::string> out;
  for (const auto& r : records) {
    const char* s = static_cast<const char*>(r.Symbol);
    out.push_back(s != nullptr ? s : "");
  }
  return out;
}

size_t EventsOf(const std::vector<CZmOrvEnt::Event>& events, const std::string& symbol) {
  size_t n = 0;
  for (const auto& e : events)
    for (const auto& r : e.rows)
      if (r.symbol == symbol) {
        ++n;
        break;
      }
  return n;
}

// Ticks the market until the client has an event of symbol beyond `before`.
bool TicksReach(CZmOrvEnt& client, const std::string& symbol, size_t before) {
  for (int i = 0; i < 20; ++i) {
    Env()->Control()->PublishNow(1);
    if (client.WaitFor([&](const auto& events) { return EventsOf(events, symbol) > before; }, 1000)) return true;
  }
  return false;
}

struct Change {
  const char* name;
  std::function<void(const std::string& path)> apply;
};

class CacheRenewal : public ::testing::TestWithParam<Change> {
 protected:
  void SetUp() override {
    CSettings::PullTimeout = 2000;
    CSettings::UseCompression = 0;
    CSettings::ProtocolVersion = 0;
  }
};

TEST_P(CacheRenewal, AChangedCacheIsReplacedOnceAndDataFlowsAgain) {
  LogCapture log(orvlog::kError);
  auto session = OpenSession(std::string("cache_") + GetParam().name);
  const std::vector<std::string> stocks = StockSymbols(*session);
  ASSERT_GE(stocks.size(), 2u);
  CZmOrvEnt held, late;
  session->Subscribe(held.Handle(), U16(stocks[0]), enStockData, enEquity);
  ASSERT_TRUE(TicksReach(held, stocks[0], 0)) << "no data before the change";

  GetParam().apply(session->DatabasePath());
  const size_t before = EventsOf(held.Events(), stocks[0]);
  EXPECT_TRUE(TicksReach(held, stocks[0], before)) << "the held key's data stopped for good";
  session->Subscribe(late.Handle(), U16(stocks[1]), enStockData, enEquity);
  EXPECT_TRUE(TicksReach(late, stocks[1], 0)) << "a new subscription got nothing";
  // More ticks on the fresh cache add no more lines about it.
  EXPECT_TRUE(TicksReach(held, stocks[0], EventsOf(held.Events(), stocks[0])));
  EXPECT_EQ(log.Count("was changed under the program and can no longer be used"), 1u);
  if (HasFailure())
    for (const std::string& l : log.Lines()) std::cout << l << "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Changes, CacheRenewal,
    ::testing::Values(Change{"deleted", [](const std::string& path) { ASSERT_EQ(::unlink(path.c_str()), 0); }},
                      Change{"junk",
                             [](const std::string& path) {
                               const std::string other = path + ".junk";
                               std::ofstream(other) << std::string(8192, 'x');
                               ASSERT_EQ(::rename(other.c_str(), path.c_str()), 0);
                             }},
                      Change{"truncated", [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 0), 0); }},
                      Change{"cut_after_its_first_page",
                             [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 4096), 0); }}),
    [](const ::testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvtest::Env() = new orvtest::SimEnvironment();
  ::testing::AddGlobalTestEnvironment(orvtest::Env());
  return RUN_ALL_TESTS();
}
