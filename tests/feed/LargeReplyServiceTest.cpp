// Replies of tens of MiB from orvsim in its own process: a pull reply that
// size is stored whole, and one past the largest reply the program takes is
// refused with a plain log line, while the session goes on.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <iostream>

#include "feed/CDatabaseLock.h"
#include "feed/ReplyLimit.h"
#include "tests/feed/LogCapture.h"
#include "tests/feed/SessionServiceSupport.h"
#include "tests/feed/TestClient.h"

namespace orvtest {
namespace {

constexpr size_t kOptionsPerStock = 20000;
constexpr size_t kStocks = 50;
constexpr size_t kChainsInLimit = 35;

size_t OptionRows(const std::string& path) {
  CDatabaseLockGuard lock;
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  size_t n = 0;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM options", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    n = static_cast<size_t>(sqlite3_column_int64(st, 0));
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

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

unsigned long long BytesSent() { return Env()->Control()->GetStats().bytes_sent; }

class LargeReply : public ::testing::Test {
 protected:
  void SetUp() override {
    // Far above the program's default: a service and a session in a
    // sanitizer build take their time over a million options.
    CSettings::ServerTimeout = 120000;
    omniORB::setClientCallTimeout(CSettings::ServerTimeout);
    CSettings::PullTimeout = 2000;
    CSettings::UseCompression = 0;
    CSettings::ProtocolVersion = 0;
  }
};

TEST_F(LargeReply, APullOfTensOfMiBIsStoredWhole) {
  auto session = OpenSession("large");
  const std::vector<std::string> stocks = StockSymbols(*session);
  ASSERT_GE(stocks.size(), kChainsInLimit);
  CZmOrvEnt client;
  Journal journal;
  const unsigned long long before = BytesSent();
  // The chains in one group: the service's first pull after it carries
  // the quotes and analytics of all of them in one reply.
  session->SubscribeGroup(client.Handle(), {stocks.begin(), stocks.begin() + kChainsInLimit}, enOptionData,
                          enEquity);
  ASSERT_TRUE(Eventually([&] { return OptionRows(session->DatabasePath()) == kChainsInLimit * kOptionsPerStock; },
                         60000))
      << OptionRows(session->DatabasePath()) << " options stored";
  const unsigned long long sent = BytesSent() - before;
  EXPECT_GT(sent, 20ull << 20) << "the replies were not that large";
  // One reply carried most of it.
  size_t largest = 0;
  for (const std::string& c : journal.Calls("pull")) {
    const size_t arrow = c.find("-> ");
    if (arrow != std::string::npos && c.find(" records", arrow) != std::string::npos)
      largest = std::max<size_t>(largest, std::stoul(c.substr(arrow + 3)));
  }
  EXPECT_GE(largest, kChainsInLimit * kOptionsPerStock) << "the records came in several replies";
  std::cout << "sent " << sent << " bytes, the largest reply " << largest << " records\n";
}

TEST_F(LargeReply, AReplyPastTheLimitIsRefusedInOneLogLineAndTheSessionGoesOn) {
  LogCapture log(orvlog::kError);
  auto session = OpenSession("huge");
  const std::vector<std::string> stocks = StockSymbols(*session);
  ASSERT_EQ(stocks.size(), kStocks);
  CZmOrvEnt client;
  session->SubscribeGroup(client.Handle(), stocks, enOptionData, enEquity);
  ASSERT_TRUE(Eventually([&] { return log.Contains("passed the limit of"); }, 60000));
  EXPECT_TRUE(log.Contains("ERROR: a reply of the service was refused: it passed the limit of " +
                           std::to_string(kMaxReplyBytes) + " bytes"));
  // The feed goes on: a quote for a stock is stored after that.
  session->Subscribe(client.Handle(), U16(stocks[0]), enStockData, enEquity);
  ASSERT_TRUE(client.WaitFor([&](const auto& ev) {
    for (const auto& e : ev)
      for (const auto& r : e.rows)
        if (r.symbol == stocks[0]) return true;
    return false;
  }, 60000));
}

}  // namespace
}  // namespace orvtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvtest::SimOptions options;
  options.extraArgs = {"--stocks", std::to_string(orvtest::kStocks), "--options-per-stock", std::to_string(orvtest::kOptionsPerStock),
                       "--max-reply-bytes", std::to_string(96 << 20)};
  orvtest::Env() = new orvtest::SimEnvironment(options);
  ::testing::AddGlobalTestEnvironment(orvtest::Env());
  return RUN_ALL_TESTS();
}
