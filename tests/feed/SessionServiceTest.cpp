// A session signed in to orvsim: sign-in, field registration, subscriptions
// and the events they bring, queries, server statuses, and a service that
// stalls, drops its connections or sends malformed messages.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <set>

#include "OrvPayload.h"
#include "platform/com/comdef.h"
#include "feed/CDatabaseLock.h"
#include "feed/ServerStatus.h"
#include "tests/feed/LogCapture.h"
#include "tests/feed/MessageBuilder.h"
#include "tests/feed/SessionServiceSupport.h"
#include "tests/feed/TestClient.h"

namespace orvtest {
namespace {

std::string ErrorText(const _com_error& e) {
  const _bstr_t description = e.Description();
  const char* d = static_cast<const char*>(description);
  return d != nullptr ? d : "";
}

std::string Sym(const StockRecord& r) {
  const char* s = static_cast<const char*>(r.Symbol);
  return s != nullptr ? s : "";
}

size_t RowCount(const std::string& path, const std::string& symbol, const char* table = "stocks",
                const char* column = "symbol") {
  // Under the database lock, as every reader in the program: a pull thread
  // may be writing the file.
  CDatabaseLockGuard lock;
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  size_t n = 0;
  const std::string sql = std::string("SELECT count(*) FROM ") + table + " WHERE " + column + " = ?";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(st, 1, symbol.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) == SQLITE_ROW) n = static_cast<size_t>(sqlite3_column_int(st, 0));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

bool HasSymbol(const std::vector<CZmOrvEnt::Event>& events, const std::string& symbol, size_t atLeast = 1) {
  size_t n = 0;
  for (const auto& e : events)
    for (const auto& r : e.rows)
      if (r.symbol == symbol) {
        ++n;
        break;
      }
  return n >= atLeast;
}

class SessionService : public ::testing::Test {
 protected:
  void SetUp() override {
    CSettings::PullTimeout = 2000;
    CSettings::UseCompression = 0;
    CSettings::ProtocolVersion = 0;
    Env()->Control()->ClearInjections();
    Env()->Control()->StallPulls(false);
  }
  void TearDown() override { Env()->Control()->ClearInjections(); }

  // The stock symbols of the service, from a snapshot.
  std::vector<std::string> Stocks(CDataHolder& session) {
    std::vector<StockRecord> records;
    session.GetStocks(u"", records, false);
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(Sym(r));
    return out;
  }
};

TEST_F(SessionService, SignInAcceptsGoodCredentialsOnly) {
  Orv::ZmDataService_var root = ResolveDataService(CSettings::InitRef);
  ASSERT_FALSE(CORBA::is_nil(root));
  struct Case {
    const char* user;
    const char* password;
    bool ok;
  } cases[] = {{"alice", "secret", true}, {"bob", "pw2", true}, {"alice", "wrong", false},
               {"nobody", "secret", false}, {"", "", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + "/" + c.password);
    Journal journal;
    bool signedIn = false;
    try {
      // Told before the modes are set, once the service has taken the user.
      Orv::ZmDataManager_var m = SignInToService(root, c.user, c.password, true, [&] {
        signedIn = true;
        EXPECT_EQ(journal.Calls("Connect").size(), 1u);
        EXPECT_TRUE(journal.Calls("SetCompressionMode").empty());
      });
      EXPECT_TRUE(signedIn);
      EXPECT_TRUE(c.ok);
      EXPECT_TRUE(m->IsConnected());
      EXPECT_EQ(journal.Calls("SetCompressionMode"), std::vector<std::string>{"mode=0 -> 0"});
      EXPECT_EQ(journal.Calls("SetProtocolVersion").size(), 1u);
    } catch (const _com_error& e) {
      EXPECT_FALSE(c.ok);
      EXPECT_EQ(ErrorText(e), "Invalid user id or password");
      EXPECT_TRUE(journal.Calls("SetCompressionMode").empty());
      EXPECT_FALSE(signedIn);
    }
  }
  // The futures service is not told a protocol version.
  Orv::ZmDataService_var futRoot = ResolveDataService(CSettings::InitFutRef);
  Journal journal;
  Orv::ZmDataManager_var m = SignInToService(futRoot, "alice", "secret", false);
  EXPECT_EQ(journal.Calls("SetCompressionMode").size(), 1u);
  EXPECT_TRUE(journal.Calls("SetProtocolVersion").empty());
}

TEST_F(SessionService, WithoutSslTheOrbSaysNothingAboutItWhenItStarts) {
  EXPECT_EQ(CSettings::UseSSL, 0);
  EXPECT_EQ(Env()->OrbStartOutput().find("SSL"), std::string::npos) << Env()->OrbStartOutput();
}

TEST_F(SessionService, ResolutionGoesOnPastAnEndpointThatFails) {
  LogCapture log;
  Orv::ZmDataService_var root = ResolveDataService(CSettings::InitRef);
  ASSERT_FALSE(CORBA::is_nil(root));
  EXPECT_TRUE(log.Contains("Connecting to Endpoint0 - Endpoint0=corbaloc:iiop:127.0.0.1:1/ZmDataService"));
  EXPECT_TRUE(log.Contains("Connection failed error: "));
  EXPECT_THROW(ResolveDataService({CSettings::InitRef.front()}), CORBA::SystemException);
  EXPECT_TRUE(CORBA::is_nil(Orv::ZmDataService_var(ResolveDataService({}))));
}

TEST_F(SessionService, RegistersTheFieldsOfEachSide) {
  Journal journal;
  auto session = OpenSession("reg", true);
  const std::vector<std::string> calls = journal.Calls("RegisterFields");
  std::vector<std::string> types;
  for (const std::string& c : calls) {
    types.push_back(c.substr(0, c.find(' ')));
    const size_t ids = std::count(c.begin(), c.end(), ',') + 1;
    const int type = std::stoi(c.substr(c.find('=') + 1));
    const size_t expected = FieldListFor(static_cast<uint8_t>(type == 20 ? 6 : type == 21 ? 7 : type)).count;
    EXPECT_EQ(ids, expected) << c;
    EXPECT_NE(c.find("-> 0"), std::string::npos) << c;
  }
  EXPECT_EQ(types, (std::vector<std::string>{"data_type=1", "data_type=3", "data_type=2", "data_type=4",
                                             "data_type=5", "data_type=23", "data_type=24", "data_type=25",
                                             "data_type=6", "data_type=7", "data_type=13", "data_type=14",
                                             "data_type=15", "data_type=16", "data_type=20", "data_type=21"}));

  // A refused registration is only a warning.
  LogCapture log;
  Env()->Control()->InjectStatus("RegisterFields", 3, 7, 1);
  auto second = OpenSession("reg2");
  EXPECT_TRUE(log.Contains("RegisterFields (type: T_EQUITY_QUOTE) completed with status 7"));
}

// Sign-in, subscription, first data and quote events, with and without
// compression and under both protocol versions.
class SessionData : public SessionService, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(SessionData, SubscribedClientsGetFirstDataThenQuotes) {
  CSettings::UseCompression = static_cast<DWORD>(GetParam().first);
  CSettings::ProtocolVersion = static_cast<DWORD>(GetParam().second);
  auto session = OpenSession("data");
  const std::vector<std::string> stocks = Stocks(*session);  // the table is empty: a snapshot
  ASSERT_EQ(stocks.size(), 5u);
  const std::string symbol = stocks[1];

  Journal journal;
  CZmOrvEnt first, second;
  session->Subscribe(first.Handle(), U16(symbol), enStockData, enEquity);
  EXPECT_EQ(journal.Calls("Subscribe"),
            (std::vector<std::string>{"symbol=" + symbol + " symbol_type=1 data_type=1 -> 0",
                                      "symbol=" + symbol + " symbol_type=1 data_type=3 -> 0"}));
  ASSERT_TRUE(first.WaitFor([&](const auto& ev) { return HasSymbol(ev, symbol); })) << "no first data";
  EXPECT_TRUE(session->IsSymbolSubscribed(first.Handle(), U16(symbol), enStockData, enEquity));

  // The next tick brings a quote event.
  const size_t before = first.Events().size();
  Env()->Control()->PublishNow(1);
  ASSERT_TRUE(first.WaitFor([&](const auto& ev) { return ev.size() > before && HasSymbol(ev, symbol, 2); }));
  for (const auto& e : first.Events()) {
    EXPECT_FALSE(e.direct);
    for (const auto& r : e.rows) EXPECT_EQ(r.symbol, symbol) << "an event for a symbol not subscribed";
  }

  // Now the table answers, without asking the service.
  journal.Skip();
  std::vector<StockRecord> rows;
  session->GetStocks(U16(symbol), rows, false);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Sym(rows[0]), symbol);
  EXPECT_GT(rows[0].LastPrice, 0.0f);
  EXPECT_TRUE(journal.Calls("GetMarketData").empty());

  // A second client on the key: no server call, the cached rows at once.
  session->Subscribe(second.Handle(), U16(symbol), enStockData, enEquity);
  EXPECT_TRUE(journal.Calls("Subscribe").empty());
  ASSERT_TRUE(second.WaitFor([&](const auto& ev) { return HasSymbol(ev, symbol); }, 2000));

  // The last client leaving unsubscribes every type and deletes the rows.
  session->UnSubscribe(first.Handle(), U16(symbol), enStockData, enEquity);
  EXPECT_TRUE(journal.Calls("UnSubscribe").empty());
  EXPECT_EQ(RowCount(session->DatabasePath(), symbol), 1u);
  session->UnSubscribe(second.Handle(), U16(symbol), enStockData, enEquity);
  EXPECT_EQ(journal.Calls("UnSubscribe"),
            (std::vector<std::string>{"symbol=" + symbol + " symbol_type=1 data_type=1 -> 0",
                                      "symbol=" + symbol + " symbol_type=1 data_type=3 -> 0"}));
  EXPECT_EQ(RowCount(session->DatabasePath(), symbol), 0u);
}

INSTANTIATE_TEST_SUITE_P(CompressionAndProtocol, SessionData,
                         ::testing::Values(std::make_pair(0, 0), std::make_pair(1, 0), std::make_pair(0, 2),
                                           std::make_pair(1, 2)));

TEST_F(SessionService, EveryServerStatusReachesTheCallerWithItsText) {
  auto session = OpenSession("status");
  const std::string symbol = Stocks(*session).at(0);
  CZmOrvEnt client;
  const char* const texts[] = {
      "Operation failed (S_ERR_FAILED)",
      "Already connected (S_ERR_ALREADY_CONNECTED)",
      "Not authorised (S_ERR_NOT_AUTHORIZED)",
      "Not connected (S_ERR_NOT_CONNECTED)",
      "Not found (S_ERR_NOT_FOUND)",
      "Subscribe failed (S_ERR_NOT_SUBSCRIBED)",
      "Invalid field (S_ERR_INVALID_FIELD)",
      "Field already registered (S_ERR_FIELD_ALREADY_REGISTERED)",
      "Calback not registered (S_ERR_REGISTER_CALLBACK)",
      "Calback already registered (S_ERR_CALLBACK_ALREADY_REGISTERED)",
      "Calback not registered (S_ERR_CALLBACK_NOT_REGISTERED)",
      "Invalid type (S_ERR_INVALID_TYPE)",
      "Subscription limit exceeded (S_ERR_SUBSCRIPTION_LIMIT)",
  };
  for (int code = 1; code <= 13; ++code) {
    SCOPED_TRACE(code);
    Env()->Control()->InjectStatus("Subscribe", 1, static_cast<CORBA::Short>(code), 1);
    Journal journal;
    try {
      session->Subscribe(client.Handle(), U16(symbol), enStockData, enEquity);
      ADD_FAILURE() << "no error";
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Error(), E_FAIL);
      EXPECT_EQ(ErrorText(e), std::string("Error: ") + texts[code - 1] + " code " + std::to_string(code) +
                                  ". Can't subscribe (type: T_EQUITY_BASE) to symbol " + symbol);
    }
    EXPECT_EQ(journal.Calls("Subscribe").size(), 1u) << "the quote type was subscribed after a failure";
    EXPECT_FALSE(session->IsSymbolSubscribed(client.Handle(), U16(symbol), enStockData, enEquity));
  }
}

// Refused part way, over the user's limit say: the types the service took
// go back, or they would stay there for a key nobody holds and count against
// that limit for the rest of the session.
TEST_F(SessionService, AKeyRefusedPartWayGivesBackTheTypesTheServiceTook) {
  auto session = OpenSession("partway");
  const std::string symbol = Stocks(*session).at(3);
  CZmOrvEnt client;
  struct Case {
    int kind;
    int refusedType;
    std::vector<std::string> givenBack;
  };
  const Case cases[] = {
      {enStockData, 3, {"symbol=" + symbol + " symbol_type=1 data_type=1 -> 0"}},
      {enOptionData, 5,
       {"symbol=" + symbol + " symbol_type=1 data_type=2 -> 0", "symbol=" + symbol + " symbol_type=1 data_type=4 -> 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    Env()->Control()->InjectStatus("Subscribe", static_cast<CORBA::Short>(c.refusedType), 13 /* the limit */, 1);
    Journal journal;
    EXPECT_THROW(session->Subscribe(client.Handle(), U16(symbol), c.kind, enEquity), _com_error);
    EXPECT_EQ(journal.Calls("UnSubscribe"), c.givenBack);
    EXPECT_FALSE(session->IsSymbolSubscribed(client.Handle(), U16(symbol), c.kind, enEquity));
  }
}

TEST_F(SessionService, UnsubscribingGoesOnPastAFailingType) {
  auto session = OpenSession("unsub");
  const std::string symbol = Stocks(*session).at(2);
  CZmOrvEnt client;
  session->Subscribe(client.Handle(), U16(symbol), enStockData, enEquity);
  ASSERT_TRUE(client.WaitFor([&](const auto& ev) { return HasSymbol(ev, symbol); }));
  ASSERT_EQ(RowCount(session->DatabasePath(), symbol), 1u);

  Env()->Control()->InjectStatus("UnSubscribe", 1, S_ERR_NOT_SUBSCRIBED, 1);
  Journal journal;
  try {
    session->UnSubscribe(client.Handle(), U16(symbol), enStockData, enEquity);
    ADD_FAILURE() << "no error";
  } catch (const _com_error& e) {
    EXPECT_EQ(ErrorText(e), "Error: Subscribe failed (S_ERR_NOT_SUBSCRIBED) code 6. Can't unsubscribe (type: "
                            "T_EQUITY_BASE) to symbol " + symbol);
  }
  EXPECT_EQ(journal.Calls("UnSubscribe").size(), 2u) << "the quote type stayed subscribed";
  EXPECT_EQ(RowCount(session->DatabasePath(), symbol), 0u) << "the rows stayed behind";
}

TEST_F(SessionService, ReleasedClientLeavesItsSymbolsInGroupsOfAtMostAThousand) {
  auto session = OpenSession("group");
  // The symbols are made up: the service takes them all the same.
  Env()->Control()->InjectStatus("SubscribeGroup", -1, 0, 0);
  Env()->Control()->InjectStatus("UnSubscribeGroup", -1, 0, 0);
  CZmOrvEnt client;
  std::vector<std::string> many;
  for (int i = 0; i < 1001; ++i) many.push_back("G" + std::to_string(i));
  Journal journal;
  EXPECT_THROW(session->SubscribeGroup(client.Handle(), many, enStockData, enEquity), CORBA::BAD_PARAM);
  EXPECT_TRUE(journal.Calls("SubscribeGroup").empty());
  EXPECT_FALSE(session->IsSymbolSubscribed(client.Handle(), u"G0", enStockData, enEquity))
      << "a refused group was recorded";

  // A client can still come to hold more than a thousand symbols, one group
  // at a time; its release unsubscribes every one of them.
  many.pop_back();
  session->SubscribeGroup(client.Handle(), many, enStockData, enEquity);
  session->SubscribeGroup(client.Handle(), {"H0", "H1"}, enStockData, enEquity);
  EXPECT_EQ(journal.Calls("SubscribeGroup").size(), 4u);
  journal.Skip();
  session->UnSubscribeAll(client.Handle(), enStockData);
  const std::vector<std::string> calls = journal.Calls("UnSubscribeGroup");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].substr(0, calls[0].find(' ')), "symbols=1000");
  EXPECT_EQ(calls[2].substr(0, calls[2].find(' ')), "symbols=2");
  EXPECT_FALSE(session->IsSymbolSubscribed(client.Handle(), u"H1", enStockData, enEquity));
}

TEST_F(SessionService, ARefusedGroupTakesBackOnlyWhatItRecorded) {
  auto session = OpenSession("groupfail");
  const std::vector<std::string> stocks = Stocks(*session);
  CZmOrvEnt client;
  session->Subscribe(client.Handle(), U16(stocks.at(0)), enStockData, enEquity);
  Env()->Control()->InjectStatus("SubscribeGroup", 1, S_ERR_FAILED, 1);
  EXPECT_THROW(session->SubscribeGroup(client.Handle(), {stocks.at(0), stocks.at(1)}, enStockData, enEquity),
               _com_error);
  EXPECT_TRUE(session->IsSymbolSubscribed(client.Handle(), U16(stocks.at(0)), enStockData, enEquity))
      << "a key the client held before the group was dropped";
  EXPECT_FALSE(session->IsSymbolSubscribed(client.Handle(), U16(stocks.at(1)), enStockData, enEquity))
      << "a refused group left its client recorded";
}

TEST_F(SessionService, SubscribeAllTakesEveryStockAndReleaseGivesThemBack) {
  auto session = OpenSession("all");
  CZmOrvEnt client;
  Journal journal;
  session->SubscribeAll(client.Handle(), enStockData);
  EXPECT_EQ(journal.Calls("SubscribeAll"), (std::vector<std::string>{"data_type=1 -> 0", "data_type=3 -> 0"}));
  const std::vector<std::string> stocks = Stocks(*session);
  for (const std::string& s : stocks) {
    EXPECT_TRUE(session->IsSymbolSubscribed(client.Handle(), U16(s), enStockData, enEquity)) << s;
  }
  ASSERT_TRUE(client.WaitFor([&](const auto& ev) { return HasSymbol(ev, stocks.back()); }));

  journal.Skip();
  session->UnSubscribeAll(client.Handle(), enStockData);
  std::string names;
  for (const std::string& s : stocks) names += (names.empty() ? "" : ",") + s;
  EXPECT_EQ(journal.Calls("UnSubscribeGroup"),
            (std::vector<std::string>{"symbols=5 symbol_type=1 data_type=1 names=" + names + " -> 0",
                                      "symbols=5 symbol_type=1 data_type=3 names=" + names + " -> 0"}));
  EXPECT_EQ(RowCount(session->DatabasePath(), stocks.front()), 0u);
  // A kind without a table: nothing, and no error.
  session->UnSubscribeAll(client.Handle(), enFutureData);
}

TEST_F(SessionService, FuturesAndOptionsSubscribeTheTypesOfTheirKind) {
  auto session = OpenSession("kinds", true);
  std::vector<FutureRecord> futures;
  session->GetFutures(u"", futures);
  ASSERT_FALSE(futures.empty());
  const char* f = static_cast<const char*>(futures[0].Symbol);
  const std::string future = f != nullptr ? f : "";
  CZmOrvEnt client;

  Journal journal;
  session->Subscribe(client.Handle(), U16(future), enFutureData, enFuture);
  EXPECT_EQ(journal.Calls("Subscribe"),
            std::vector<std::string>{"symbol=" + future + " symbol_type=2 data_type=14 -> 0"});
  EXPECT_EQ(RowCount(session->DatabasePath(), future, "futures"), 1u) << "the base snapshot was not stored";
  journal.Skip();
  session->UnSubscribe(client.Handle(), U16(future), enFutureData, enFuture);
  EXPECT_EQ(journal.Calls("UnSubscribe"),
            std::vector<std::string>{"symbol=" + future + " symbol_type=2 data_type=14 -> 0"});
  EXPECT_EQ(RowCount(session->DatabasePath(), future, "futures"), 0u);

  // A group holds the same types as one symbol: the group unsubscription
  // sends the quote type alone, so nothing else may have been subscribed.
  journal.Skip();
  session->SubscribeGroup(client.Handle(), {future}, enFutureData, enFuture);
  EXPECT_EQ(journal.Calls("SubscribeGroup"),
            std::vector<std::string>{"symbols=1 symbol_type=2 data_type=14 names=" + future + " -> 0"});
  EXPECT_EQ(RowCount(session->DatabasePath(), future, "futures"), 1u) << "the base snapshot was not stored";
  journal.Skip();
  session->UnSubscribeAll(client.Handle(), enFutureData);
  EXPECT_EQ(journal.Calls("UnSubscribe"),
            std::vector<std::string>{"symbol=" + future + " symbol_type=2 data_type=14 -> 0"});

  const std::string stock = Stocks(*session).at(0);
  journal.Skip();
  session->Subscribe(client.Handle(), U16(stock), enOptionData, enEquity);
  EXPECT_EQ(journal.Calls("Subscribe"),
            (std::vector<std::string>{"symbol=" + stock + " symbol_type=1 data_type=2 -> 0",
                                      "symbol=" + stock + " symbol_type=1 data_type=4 -> 0",
                                      "symbol=" + stock + " symbol_type=1 data_type=5 -> 0"}));
  // Non-standard options as options: a chain by its underlying, one option
  // by its own symbol, each let go with its last client.
  const std::string adjusted = Stocks(*session).at(1);  // has an adjusted root
  std::vector<NstdOptionRecord> chain;
  session->GetNstdOptions(U16(adjusted), enEquity, chain);
  ASSERT_FALSE(chain.empty());
  const char* n = static_cast<const char*>(chain[0].Symbol);
  const std::string one = n != nullptr ? n : "";
  for (const auto& [symbolName, symbolType, serverTypeOf] :
       {std::make_tuple(adjusted, enEquity, 1), std::make_tuple(one, enNstdOption, 2)}) {
    // Named copies: a lambda may not capture a structured binding in C++17.
    const std::string symbol = symbolName;
    const int serverType = serverTypeOf;
    SCOPED_TRACE(symbol);
    auto calls = [&] {
      std::vector<std::string> out;
      for (int type : {23, 24, 25})
        out.push_back("symbol=" + symbol + " symbol_type=" + std::to_string(serverType) +
                      " data_type=" + std::to_string(type) + " -> 0");
      return out;
    };
    journal.Skip();
    session->Subscribe(client.Handle(), U16(symbol), enNstdOptionData, symbolType);
    EXPECT_EQ(journal.Calls("Subscribe"), calls());
    EXPECT_TRUE(session->IsSymbolSubscribed(client.Handle(), U16(symbol), enNstdOptionData, symbolType));
    journal.Skip();
    session->UnSubscribe(client.Handle(), U16(symbol), enNstdOptionData, symbolType);
    EXPECT_EQ(journal.Calls("UnSubscribe"), calls());
  }
}

TEST_F(SessionService, DirectStocksLeaveTheSharedBaseTypeToTheOrdinaryTable) {
  auto session = OpenSession("direct");
  const std::string symbol = Stocks(*session).at(3);
  CZmOrvEnt client;
  session->Subscribe(client.Handle(), U16(symbol), enStockData, enEquity);
  Journal journal;
  session->Subscribe(client.Handle(), U16(symbol), enStockData_Direct, enEquity);
  EXPECT_EQ(journal.Calls("GetMarketData").size(), 1u) << "no base snapshot for the direct table";
  EXPECT_EQ(RowCount(session->DatabasePath(), symbol, "stocks_direct"), 1u);
  ASSERT_TRUE(client.WaitFor([&](const auto& ev) {
    return std::any_of(ev.begin(), ev.end(), [](const CZmOrvEnt::Event& e) { return e.direct; });
  }));

  journal.Skip();
  session->UnSubscribe(client.Handle(), U16(symbol), enStockData_Direct, enEquity);
  EXPECT_EQ(journal.Calls("UnSubscribe"),
            std::vector<std::string>{"symbol=" + symbol + " symbol_type=1 data_type=10 -> 0"});
  session->UnSubscribe(client.Handle(), U16(symbol), enStockData, enEquity);
  EXPECT_EQ(journal.Calls("UnSubscribe").size(), 3u);
}

// Direct keys have their base rows from a snapshot alone: taken in a group,
// or held while the service is lost and subscribed again by the rebuild,
// they get one all the same, and their clients see the direct quotes.
TEST_F(SessionService, DirectKeysGetTheirBaseRowsInAGroupAndInTheRebuild) {
  CDataHolder::SetRebuildPauses(20, 200);
  for (bool lost : {false, true}) {
    SCOPED_TRACE(lost ? "taken while the service is lost" : "taken in a group");
    auto session = OpenSession(lost ? "directlost" : "directgroup");
    // A stock that has direct options.
    std::string symbol;
    for (const std::string& s : Stocks(*session)) {
      std::vector<OptionRecord> options;
      session->GetOptions(U16(s), enEquity, options, true);
      if (!options.empty() && symbol.empty()) symbol = s;
    }
    ASSERT_FALSE(symbol.empty());
    CZmOrvEnt client;
    LogCapture log;
    if (lost) {
      Env()->StopService();
      ASSERT_TRUE(Eventually([&] { return session->IsRebuilding(false); }));
      session->Subscribe(client.Handle(), U16(symbol), enStockData_Direct, enEquity);
      session->Subscribe(client.Handle(), U16(symbol), enOptionData_Direct, enEquity);
      Env()->StartServiceAgain();
      ASSERT_TRUE(Eventually([&] { return !session->IsRebuilding(false); }, 30000));
    } else {
      session->SubscribeGroup(client.Handle(), {symbol}, enStockData_Direct, enEquity);
      session->SubscribeGroup(client.Handle(), {symbol}, enOptionData_Direct, enEquity);
    }
    EXPECT_EQ(RowCount(session->DatabasePath(), symbol, "stocks_direct"), 1u) << "no base row for the direct stock";
    EXPECT_GT(RowCount(session->DatabasePath(), symbol, "options_direct", "stock_symbol"), 0u)
        << "no base rows for the direct chain";
    // Direct option quotes carry no underlying and send no events: the
    // stock's quotes show that the direct rows move.
    Env()->Control()->PublishNow(3);
    EXPECT_TRUE(client.WaitFor([&](const std::vector<CZmOrvEnt::Event>& ev) {
      return std::any_of(ev.begin(), ev.end(),
                         [&](const CZmOrvEnt::Event& e) { return e.direct && e.type == "stocks" && !e.rows.empty(); });
    })) << "no direct stock event";
    session.reset();
  }
  CDataHolder::SetRebuildPauses(1000, 30000);
}

TEST_F(SessionService, GetStocksReadsTheTableOrElseASnapshot) {
  auto session = OpenSession("query");
  Journal journal;
  const std::vector<std::string> all = Stocks(*session);
  EXPECT_EQ(all.size(), 5u);
  EXPECT_FALSE(journal.Calls("GetMarketDataAll").empty());

  journal.Skip();
  std::vector<StockRecord> one;
  session->GetStocks(U16(all[4]), one, false);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(Sym(one[0]), all[4]);
  EXPECT_FALSE(journal.Calls("GetMarketData").empty()) << "an empty table answered";
  EXPECT_EQ(RowCount(session->DatabasePath(), all[4]), 0u) << "a snapshot was stored";

  std::vector<StockRecord> none;
  session->GetStocks(u"NOSUCH", none, false);
  EXPECT_TRUE(none.empty());
}

TEST_F(SessionService, IdlePullOutlastsTheOrdinaryCallTimeOut) {
  ASSERT_GT(CSettings::PullTimeout, CSettings::ServerTimeout);
  LogCapture log;
  auto session = OpenSession("idle");
  ASSERT_TRUE(Eventually([&] { return log.Contains("Server response is empty"); }, 8000));
  EXPECT_FALSE(log.Contains("TIMEOUT"));
  // The ordinary calls keep their own time-out meanwhile.
  EXPECT_EQ(Stocks(*session).size(), 5u);
}

TEST_F(SessionService, StalledServiceTimesOutThePullAndRecovers) {
  CSettings::PullTimeout = 300;
  const DWORD serverTimeout = CSettings::ServerTimeout;
  CSettings::ServerTimeout = 300;  // the pull's own time-out only: the ORB took its own at start
  auto session = OpenSession("stall");
  const std::string symbol = Stocks(*session).at(0);
  LogCapture log;
  Env()->Control()->StallPulls(true);
  ASSERT_TRUE(Eventually([&] { return log.Contains("CODE IDL:omg.org/CORBA/TIMEOUT:1.0 in CDataHolder::_PullThread()"); }));
  // The session answers while its pull waits, and does not spin.
  CZmOrvEnt client;
  session->Subscribe(client.Handle(), U16(symbol), enStockData, enEquity);
  log.Clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_LE(log.Count("Send request to server"), 3u);
  Env()->Control()->StallPulls(false);
  EXPECT_TRUE(client.WaitFor([&](const auto& ev) { return HasSymbol(ev, symbol); }));
  CSettings::ServerTimeout = serverTimeout;
  session.reset();
}

// The service forgets the session's manager (as a restart does) or really
// restarts on its port: the session signs in again by itself, registers its
// fields, subscribes every key its clients hold (one taken while the service
// was gone too), and the same clients get fresh data; cached rows stay
// meanwhile, and the retries don't spin.
TEST_F(SessionService, ALostServiceIsRebuiltAndEveryHeldKeyGetsDataAgain) {
  CDataHolder::SetRebuildPauses(20, 200);
  for (bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "restart" : "managers dropped");
    auto session = OpenSession(restart ? "restart" : "drop", true);
    const std::vector<std::string> symbols = Stocks(*session);
    ASSERT_GE(symbols.size(), 3u);
    std::vector<FutureRecord> futures;
    session->GetFutures(u"", futures);
    ASSERT_FALSE(futures.empty());
    const std::string future = static_cast<const char*>(futures[0].Symbol);
    CZmOrvEnt held, late;
    session->Subscribe(held.Handle(), U16(symbols[0]), enStockData, enEquity);
    session->Subscribe(held.Handle(), U16(symbols[1]), enStockData, enEquity);
    session->Subscribe(held.Handle(), U16(future), enFutureData, enFuture);
    ASSERT_TRUE(held.WaitFor([&](const auto& ev) { return HasSymbol(ev, symbols[0]) && HasSymbol(ev, symbols[1]); }));

    auto updates = [](const std::vector<CZmOrvEnt::Event>& events, const std::string& symbol) {
      size_t n = 0;
      for (const auto& e : events)
        for (const auto& r : e.rows) n += r.symbol == symbol;
      return n;
    };
    const size_t before = updates(held.Events(), symbols[0]);  // the market stands still: no more come on their own
    LogCapture log;
    std::unique_ptr<Journal> journal;
    if (restart) {
      Env()->StopService();
    } else {
      journal.reset(new Journal);
      Env()->Control()->DropConnections();
    }
    // Both sides: the futures side alone noticing first would let the wait
    // for the end of the rebuild pass before the equities side has begun.
    for (const char* side : {"equities", "futures"})
      ASSERT_TRUE(Eventually([&] {
        return log.Contains(std::string("The ") + side + " service of user " + (restart ? "restart" : "drop") +
                            " is lost; the session will be rebuilt");
      }));
    // While the service is down for good: kept for the rebuild, not refused.
    if (restart) {
      EXPECT_TRUE(session->IsRebuilding(false));
    }
    EXPECT_NO_THROW(session->Subscribe(late.Handle(), U16(symbols[2]), enStockData, enEquity));
    EXPECT_EQ(RowCount(session->DatabasePath(), symbols[0]), 1u) << "cached rows stay";
    if (restart) {
      ASSERT_TRUE(Eventually([&] { return log.Count("; next try in ") >= 2; }, 30000));
      Env()->StartServiceAgain();
      journal.reset(new Journal(0));
    }
    ASSERT_TRUE(Eventually([&] { return !session->IsRebuilding(false) && !session->IsRebuilding(true); }, 30000));
    const std::string user = restart ? "restart" : "drop";
    EXPECT_TRUE(log.Contains("The equities service of user " + user + " is back; session rebuilt"));
    EXPECT_TRUE(log.Contains("The futures service of user " + user + " is back; session rebuilt"));
    EXPECT_EQ(journal->Calls("Connect").size(), 2u) << "one sign-in per side";
    EXPECT_FALSE(journal->Calls("RegisterFields").empty());
    bool allKeys = false;
    for (const std::string& c : journal->Calls("SubscribeGroup"))
      if (c.find("data_type=3 ") != std::string::npos && c.find(symbols[0]) != std::string::npos &&
          c.find(symbols[1]) != std::string::npos && (!restart || c.find(symbols[2]) != std::string::npos))
        allKeys = true;
    EXPECT_TRUE(allKeys) << "every held key in one group";
    bool futureKey = false;
    for (const std::string& c : journal->Calls("SubscribeGroup"))
      futureKey |= c.find("data_type=14 ") != std::string::npos && c.find(future) != std::string::npos;
    EXPECT_TRUE(futureKey) << "the futures side's keys too";
    Env()->Control()->PublishNow(1);
    EXPECT_TRUE(held.WaitFor([&](const auto& ev) { return updates(ev, symbols[0]) > before; }));
    EXPECT_TRUE(late.WaitFor([&](const auto& ev) { return HasSymbol(ev, symbols[2]); }));
    // Failed tries wait out their pause; a pull or rebuild never spins.
    EXPECT_LE(log.Count("Send request to server"), 40u);
    session.reset();
  }
  CDataHolder::SetRebuildPauses(1000, 30000);
}

// The service's connected managers that hold a key naming symbol.
std::vector<std::string> HoldersAtService(const std::string& symbol) {
  OrvSim::Subscriptions_var all = Env()->Control()->ReadSubscriptions();
  std::vector<std::string> out;
  for (CORBA::ULong i = 0; i < all->length(); ++i) {
    if (!all[i].connected) continue;
    for (CORBA::ULong k = 0; k < all[i].keys.length(); ++k)
      if (std::string(all[i].keys[k].in()).find(" " + symbol + " ") != std::string::npos)
        out.push_back(std::to_string(all[i].manager) + ": " + all[i].keys[k].in());
  }
  return out;
}

// A side found lost while its service stays up (a connection failure, a
// call that ran out of time) is rebuilt on a new manager; the old one is
// signed off, so that the service does not keep it and what it subscribed.
TEST_F(SessionService, AReplacedManagerIsSignedOffAtTheService) {
  CDataHolder::SetRebuildPauses(20, 200);
  auto session = OpenSession("signoff", true);
  const std::string stock = Stocks(*session).at(0);
  std::vector<FutureRecord> futures;
  session->GetFutures(u"", futures);
  ASSERT_FALSE(futures.empty());
  const std::string future = static_cast<const char*>(futures[0].Symbol);
  CZmOrvEnt client;
  session->Subscribe(client.Handle(), U16(stock), enStockData, enEquity);
  session->Subscribe(client.Handle(), U16(future), enFutureData, enFuture);
  // Managers of other tests' sessions may hold the same keys.
  const size_t stockHolders = HoldersAtService(stock).size(), futureHolders = HoldersAtService(future).size();
  ASSERT_GE(stockHolders, 2u) << "the base and the quote type";
  Journal journal;
  session->NoteServiceLost(false);
  session->NoteServiceLost(true);
  ASSERT_TRUE(Eventually([&] { return !session->IsRebuilding(false) && !session->IsRebuilding(true); }));
  EXPECT_TRUE(Eventually([&] { return journal.Calls("Disconnect").size() == 2u; })) << "one manager a side";
  // One manager of each side holds the keys: the new one.
  EXPECT_TRUE(Eventually([&] {
    return HoldersAtService(stock).size() == stockHolders && HoldersAtService(future).size() == futureHolders;
  }))
      << testing::PrintToString(HoldersAtService(stock)) << testing::PrintToString(HoldersAtService(future));
  session.reset();
  CDataHolder::SetRebuildPauses(1000, 30000);
}

// The rebuild subscribes each held key with the server symbol type that its
// own subscription sent, also where the client's symbol type says more than
// the key's flag (enNstdOption on an underlying, enFuture on a chain).
TEST_F(SessionService, TheRebuildSendsEachKeyTheServerSymbolTypeItsSubscriptionSent) {
  CDataHolder::SetRebuildPauses(20, 200);
  auto session = OpenSession("symboltypes", true);
  const std::vector<std::string> stocks = Stocks(*session);
  std::vector<FutureRecord> futures;
  session->GetFutures(u"", futures);
  ASSERT_GE(futures.size(), 2u);
  // One option and one future option, each named by its own symbol.
  std::vector<OptionRecord> options, futureOptions;
  session->GetOptions(U16(stocks.at(1)), enEquity, options, false);
  session->GetFutOptions(U16(static_cast<const char*>(futures[0].Symbol)), enFuture, futureOptions);
  ASSERT_FALSE(options.empty());
  ASSERT_FALSE(futureOptions.empty());
  struct Case {
    int kind;
    std::string symbol;
    int symbolType;
    int dataType;  // one of the types the kind's keys are subscribed with
  } cases[] = {
      {enStockData, stocks.at(0), enNstdOption, T_EQUITY_QUOTE},
      {enOptionData, static_cast<const char*>(options[0].Symbol), enNstdOption, T_OPTION_QUOTE},
      {enOptionData, stocks.at(2), enFuture, T_OPTION_QUOTE},
      {enStockData, stocks.at(3), enEquity, T_EQUITY_QUOTE},
      {enFutureOptionData, static_cast<const char*>(futureOptions[0].Symbol), enNstdOption, T_FUTURE_OPTION},
      {enFutureOptionData, static_cast<const char*>(futures[1].Symbol), enFuture, T_FUTURE_OPTION},
  };
  // symbol_type=N of a journal entry.
  auto symbolTypeIn = [](const std::string& call) {
    const size_t at = call.find("symbol_type=");
    return at == std::string::npos ? -1 : std::atoi(call.c_str() + at + 12);
  };
  CZmOrvEnt client;
  std::vector<int> sent;
  for (const Case& c : cases) {
    Journal journal;
    try {
      session->Subscribe(client.Handle(), U16(c.symbol), c.kind, c.symbolType);
    } catch (const _com_error& e) {
      FAIL() << c.symbol << ": " << ErrorText(e);
    }
    const std::vector<std::string> calls = journal.Calls("Subscribe");
    ASSERT_FALSE(calls.empty()) << c.symbol;
    sent.push_back(symbolTypeIn(calls.front()));
  }
  Journal rebuild;
  session->NoteServiceLost(false);
  session->NoteServiceLost(true);
  ASSERT_TRUE(Eventually([&] { return !session->IsRebuilding(false) && !session->IsRebuilding(true); }));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("kind " + std::to_string(c.kind) + " symbol type " + std::to_string(c.symbolType));
    std::vector<int> again;
    for (const std::string& call : rebuild.Calls("SubscribeGroup")) {
      if (call.find(" data_type=" + std::to_string(c.dataType) + " ") == std::string::npos) continue;
      const size_t names = call.find("names=");
      // Symbols may hold blanks: the list runs to the result.
      const std::string list = "," + call.substr(names + 6, call.rfind(" -> ") - names - 6) + ",";
      if (list.find("," + c.symbol + ",") != std::string::npos) again.push_back(symbolTypeIn(call));
    }
    EXPECT_EQ(again, std::vector<int>{sent[i]}) << c.symbol;
  }
  session.reset();
  CDataHolder::SetRebuildPauses(1000, 30000);
}

// A released client's keys, and a client's UnSubscribeAll, go at the
// service under the server symbol type they were subscribed with,
// enNstdOption ones too.
TEST_F(SessionService, AReleaseUnsubscribesEachKeyAsItWasSubscribed) {
  for (bool release : {true, false}) {
    SCOPED_TRACE(release ? "release" : "UnSubscribeAll");
    auto session = OpenSession("releasetypes");
    const std::vector<std::string> stocks = Stocks(*session);
    std::vector<OptionRecord> options;
    session->GetOptions(U16(stocks.at(1)), enEquity, options, false);
    ASSERT_FALSE(options.empty());
    const std::string option = static_cast<const char*>(options[0].Symbol);
    const size_t stockHolders = HoldersAtService(stocks.at(0)).size();
    const size_t optionHolders = HoldersAtService(option).size();
    CZmOrvEnt client;
    session->Subscribe(client.Handle(), U16(stocks.at(0)), enStockData, enNstdOption);
    session->Subscribe(client.Handle(), U16(option), enOptionData, enNstdOption);
    ASSERT_GT(HoldersAtService(stocks.at(0)).size(), stockHolders);
    ASSERT_GT(HoldersAtService(option).size(), optionHolders);
    if (release) {
      session->ReleaseClient(client.Handle(), {enStockData, enOptionData});
    } else {
      session->UnSubscribeAll(client.Handle(), enStockData);
      session->UnSubscribeAll(client.Handle(), enOptionData);
    }
    EXPECT_EQ(HoldersAtService(stocks.at(0)).size(), stockHolders)
        << testing::PrintToString(HoldersAtService(stocks.at(0)));
    EXPECT_EQ(HoldersAtService(option).size(), optionHolders) << testing::PrintToString(HoldersAtService(option));
  }
}

// A rebuild that a joining sign-in finished (RebuildNow) wakes the pull
// thread from its pause between tries: data flows at once, not after the
// longest pause.
TEST_F(SessionService, ARebuildFinishedByASignInWakesThePullThread) {
  CDataHolder::SetRebuildPauses(60000, 60000);
  auto session = OpenSession("woken");
  const std::string symbol = Stocks(*session).at(1);
  CZmOrvEnt client;
  session->Subscribe(client.Handle(), U16(symbol), enStockData, enEquity);
  ASSERT_TRUE(client.WaitFor([&](const auto& ev) { return HasSymbol(ev, symbol); }));
  LogCapture log;
  Env()->StopService();
  ASSERT_TRUE(Eventually([&] { return log.Contains("; next try in 60000 ms"); }, 30000)) << "no failed try";
  Env()->StartServiceAgain();
  // The first call may meet a connection from before the restart.
  ASSERT_TRUE(Eventually([&] {
    try {
      session->RebuildNow(false);
    } catch (...) {
    }
    return !session->IsRebuilding(false);
  }));
  const size_t before = client.Events().size();
  Env()->Control()->PublishNow(1);
  EXPECT_TRUE(client.WaitFor([&](const auto& ev) { return ev.size() > before && HasSymbol(ev, symbol); }, 10000))
      << "the pull thread still sleeps in its pause";
  CDataHolder::SetRebuildPauses(1000, 30000);
  session.reset();
}

// A session that ends while its rebuild waits for a stalled service ends
// once the call in progress has run out, without a try after it; its
// threads are joined, never reported killed.
TEST_F(SessionService, ASessionEndingInARebuildAgainstAStalledServiceEndsAfterTheCallInProgress) {
  CDataHolder::SetRebuildPauses(20, 200);
  LogCapture log;
  auto session = OpenSession("stalledend", true);
  ASSERT_EQ(::kill(Env()->ServicePid(), SIGSTOP), 0);
  session->NoteServiceLost(false);
  session->NoteServiceLost(true);
  ASSERT_TRUE(Eventually([&] { return log.Count("resolving the service") >= 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  session.reset();
  const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  ::kill(Env()->ServicePid(), SIGCONT);
  std::printf("a session ending in a rebuild against a stalled service took %.0f ms (ServerTimeout %lu ms)\n", took,
              static_cast<unsigned long>(CSettings::ServerTimeout));
  EXPECT_FALSE(log.Contains("Pull thread terminated")) << "a joined thread reported killed";
  EXPECT_TRUE(log.Contains("_PullThread completed user: stalledend"));
  EXPECT_TRUE(log.Contains("_FutPullThread completed user: stalledend"));
  EXPECT_FALSE(log.Contains("ERROR: Pull thread did not end"));
  CDataHolder::SetRebuildPauses(1000, 30000);
}

TEST_F(SessionService, MalformedMessagesAreLoggedAndTheSessionGoesOn) {
  for (int compression : {0, 1}) {
    SCOPED_TRACE(compression);
    CSettings::UseCompression = static_cast<DWORD>(compression);
    Journal signIn;
    auto session = OpenSession("bad");
    const std::string manager = signIn.Calls("GetZmDataManager").at(0);
    const CORBA::Long id = std::stoi(manager.substr(manager.rfind(' ') + 1));
    const std::string symbol = Stocks(*session).at(4);
    CZmOrvEnt client;
    session->Subscribe(client.Handle(), U16(symbol), enStockData, enEquity);
    ASSERT_TRUE(client.WaitFor([&](const auto& ev) { return HasSymbol(ev, symbol); }));

    LogCapture log;
    Journal pulls;
    MessageBuilder huge;
    huge.Block(T_EQUITY_QUOTE, 0xFFFFFFFFu, {F_SYMBOL, F_LAST}, 1).Text(symbol, 12).Float(1.0f);
    MessageBuilder unknown;
    unknown.Block(T_EQUITY_QUOTE, 1, {F_SYMBOL, 250}, 1).Text(symbol, 12).Float(1.0f);
    // (bytes, zipped by the service)
    std::vector<std::pair<std::vector<uint8_t>, bool>> bad;
    if (compression == 0) {
      bad = {{std::vector<uint8_t>(300, 0xFF), false}, {huge.bytes, false}, {unknown.bytes, false}};
    } else {
      bad = {{huge.bytes, true}, {std::vector<uint8_t>(300, 0xFF), false}};  // the second is no archive
    }
    for (const auto& b : bad) {
      OrvSim::Bytes seq(static_cast<CORBA::ULong>(b.first.size()));
      seq.length(static_cast<CORBA::ULong>(b.first.size()));
      for (size_t i = 0; i < b.first.size(); ++i) seq[static_cast<CORBA::ULong>(i)] = b.first[i];
      Env()->Control()->EnqueueRaw(id, seq, b.second);
    }
    ASSERT_TRUE(Eventually([&] {
      const auto calls = pulls.Calls("pull");
      return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [](const std::string& c) {
               return c.find("-> raw") != std::string::npos;
             })) >= bad.size();
    }, 15000));
    // The last one is handled on the pull thread after the service answered:
    // a loaded machine may take its time over it.
    ASSERT_TRUE(Eventually([&] {
      size_t received = 0, handled = 0;
      for (const std::string& line : log.Lines()) {
        if (line.find("Message size ") != std::string::npos) ++received;
        if (received != 0 && line.find("Update local cache completed") != std::string::npos) ++handled;
      }
      return received >= bad.size() && handled >= received;
    }, 15000));
    EXPECT_TRUE(log.Contains(compression ? "Unzip error" : "ERROR: CDataHolder::_UpdateLocalStorage unknown type 255"));
    EXPECT_EQ(RowCount(session->DatabasePath(), symbol), 1u);
    // And data still flows.
    const size_t before = client.Events().size();
    Env()->Control()->PublishNow(1);
    EXPECT_TRUE(client.WaitFor([&](const auto& ev) { return ev.size() > before; }));
  }
}

TEST_F(SessionService, DeletingTheSessionEndsBothWaitingPullsInAboutASecond) {
  CSettings::PullTimeout = 30000;
  LogCapture log;
  auto session = OpenSession("end", true);
  ASSERT_TRUE(Eventually([&] { return log.Count("Send request to futures server") >= 1 &&
                                      log.Count("Send request to server") >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // both are waiting in pull now
  const auto start = std::chrono::steady_clock::now();
  session.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  // Far below the 30 s that the service holds each pull for: a thread that
  // waited for its reply instead of its stop would take all of that. The
  // margin is for a loaded machine, not for the session.
  EXPECT_LT(took, std::chrono::milliseconds(5000));
  EXPECT_TRUE(log.Contains("_PullThread completed user: end"));
  EXPECT_TRUE(log.Contains("_FutPullThread completed user: end"));
}

}  // namespace
}  // namespace orvtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvtest::Env() = new orvtest::SimEnvironment();
  ::testing::AddGlobalTestEnvironment(orvtest::Env());
  return RUN_ALL_TESTS();
}
