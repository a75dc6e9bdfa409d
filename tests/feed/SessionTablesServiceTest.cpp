// Every kind of data through a session signed in to orvsim: the getters
// answer from the table once a subscription has filled it and from a
// snapshot before; IV points pulled from the services are stored and sent as
// events; ATM volatility, its synchronous refresh, interest rates and
// historical volatility.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <set>

#include "feed/CDatabaseLock.h"
#include "tests/feed/LogCapture.h"
#include "tests/feed/SessionServiceSupport.h"
#include "tests/feed/TestClient.h"

namespace orvtest {
namespace {

std::string Sym(const _bstr_t& s) {
  const char* p = static_cast<const char*>(s);
  return p != nullptr ? p : "";
}

size_t Rows(const std::string& path, const std::string& table, const std::string& where, const std::string& value) {
  CDatabaseLockGuard lock;
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  size_t n = 0;
  const std::string sql = "SELECT count(*) FROM " + table + " WHERE " + where + " = ?";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(st, 1, value.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) == SQLITE_ROW) n = static_cast<size_t>(sqlite3_column_int(st, 0));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

// Events of one type whose rows all name symbol (by prefix for options,
// whose symbols start with the underlying's or the future's).
size_t EventsOf(const std::vector<CZmOrvEnt::Event>& events, const std::string& type, const std::string& prefix) {
  size_t n = 0;
  for (const auto& e : events) {
    if (e.type != type || e.rows.empty()) continue;
    bool all = true;
    for (const auto& r : e.rows) all = all && r.symbol.compare(0, prefix.size(), prefix) == 0;
    if (all) ++n;
  }
  return n;
}

template <class R>
std::set<std::string> Symbols(const std::vector<R>& records) {
  std::set<std::string> out;
  for (const R& r : records) out.insert(Sym(r.Symbol));
  return out;
}

class SessionTables : public ::testing::Test {
 protected:
  void SetUp() override {
    CSettings::PullTimeout = 2000;
    CSettings::UseCompression = 0;
    CSettings::ProtocolVersion = 0;
    Env()->Control()->ClearInjections();
  }

  std::vector<std::string> Stocks(CDataHolder& session) {
    std::vector<StockRecord> records;
    session.GetStocks(u"", records, false);
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(Sym(r.Symbol));
    return out;
  }

  // The snapshot requests sent since the journal was started or skipped.
  static std::vector<std::string> Snapshots(Journal& journal) {
    std::vector<std::string> out = journal.Calls("GetMarketData");
    for (const std::string& c : journal.Calls("GetMarketDataAll")) out.push_back(c);
    return out;
  }
};

TEST_F(SessionTables, OptionsComeFromASnapshotUntilASubscriptionFillsTheTable) {
  auto session = OpenSession("options");
  const std::string stock = Stocks(*session).at(0);
  Journal journal;
  std::vector<OptionRecord> before;
  session->GetOptions(U16(stock), enEquity, before, false);
  ASSERT_GE(before.size(), 50u);
  for (const auto& r : before) EXPECT_EQ(Sym(r.StockSymbol), stock);
  EXPECT_EQ(Snapshots(journal).size(), 3u) << "base, quote and analytics snapshots";
  EXPECT_EQ(Rows(session->DatabasePath(), "options", "stock_symbol", stock), 0u) << "a snapshot was stored";

  CZmOrvEnt client;
  session->Subscribe(client.Handle(), U16(stock), enOptionData, enEquity);
  // Option events go out after the analytics block of the first data.
  ASSERT_TRUE(client.WaitFor([&](const auto& ev) { return EventsOf(ev, "options", stock) >= 1; }));
  EXPECT_EQ(Rows(session->DatabasePath(), "options", "stock_symbol", stock), before.size());

  journal.Skip();
  std::vector<OptionRecord> cached;
  session->GetOptions(U16(stock), enEquity, cached, false);
  EXPECT_TRUE(Snapshots(journal).empty()) << "the filled table did not answer";
  EXPECT_EQ(Symbols(cached), Symbols(before));

  // By its own symbol: one option is fewer rows than the table serves.
  const std::string option = Sym(cached.front().Symbol);
  std::vector<OptionRecord> one;
  session->GetOptions(U16(option), enOption, one, false);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(Sym(one[0].Symbol), option);

  // The direct table has its own rows: none yet, so a snapshot.
  journal.Skip();
  std::vector<OptionRecord> direct;
  session->GetOptions(U16(stock), enEquity, direct, true);
  EXPECT_EQ(Symbols(direct), Symbols(before));
  EXPECT_FALSE(Snapshots(journal).empty());
}

// An option held on its own keeps its row when its underlying's chain is
// let go: its quotes update the row and never insert one, so without it the
// option would stay as it was while its subscription lived on.
TEST_F(SessionTables, AnOptionHeldOnItsOwnKeepsItsRowWhenItsChainIsLetGo) {
  auto session = OpenSession("heldoption");
  const std::string stock = Stocks(*session).at(1);
  std::vector<OptionRecord> chain;
  session->GetOptions(U16(stock), enEquity, chain, false);
  ASSERT_GE(chain.size(), 2u);
  const std::string option = Sym(chain.front().Symbol);
  const std::string path = session->DatabasePath();

  CZmOrvEnt single;
  CZmOrvEnt whole;
  session->Subscribe(single.Handle(), U16(option), enOptionData, enOption);
  session->Subscribe(whole.Handle(), U16(stock), enOptionData, enEquity);
  // The held option's own data may reach the chain's client first, in an
  // event of that one row: the chain is stored once an event carries it.
  ASSERT_TRUE(whole.WaitFor([&](const auto& ev) {
    for (const auto& e : ev)
      if (e.type == "options" && e.rows.size() >= chain.size() && EventsOf({e}, "options", stock) == 1) return true;
    return false;
  }));
  ASSERT_EQ(Rows(path, "options", "stock_symbol", stock), chain.size());

  session->UnSubscribe(whole.Handle(), U16(stock), enOptionData, enEquity);
  EXPECT_EQ(Rows(path, "options", "stock_symbol", stock), 1u) << "only the held option stays";
  EXPECT_EQ(Rows(path, "options", "symbol", option), 1u);
  const size_t seen = single.Events().size();
  Env()->Control()->PublishNow(1);
  EXPECT_TRUE(single.WaitFor([&](const auto& ev) {
    return ev.size() > seen && EventsOf(std::vector<CZmOrvEnt::Event>(ev.begin() + seen, ev.end()), "options",
                                        option) >= 1;
  })) << "the held option's quotes still reach its client";

  session->UnSubscribe(single.Handle(), U16(option), enOptionData, enOption);
  EXPECT_EQ(Rows(path, "options", "stock_symbol", stock), 0u);
}

// The other way round: an option's own key let go leaves the row its
// underlying's chain still feeds, or the chain's client would stay on that
// option's last value while the chain lived on.
TEST_F(SessionTables, AChainKeepsTheRowOfAnOptionWhoseOwnKeyIsLetGo) {
  auto session = OpenSession("chainkeeps");
  const std::string stock = Stocks(*session).at(2);
  std::vector<OptionRecord> chain;
  session->GetOptions(U16(stock), enEquity, chain, false);
  ASSERT_GE(chain.size(), 2u);
  const std::string option = Sym(chain.front().Symbol);
  const std::string path = session->DatabasePath();

  CZmOrvEnt whole;
  CZmOrvEnt single;
  session->Subscribe(whole.Handle(), U16(stock), enOptionData, enEquity);
  session->Subscribe(single.Handle(), U16(option), enOptionData, enOption);
  ASSERT_TRUE(whole.WaitFor([&](const auto& ev) { return EventsOf(ev, "options", stock) >= 1; }));
  ASSERT_EQ(Rows(path, "options", "stock_symbol", stock), chain.size());

  session->UnSubscribe(single.Handle(), U16(option), enOptionData, enOption);
  EXPECT_EQ(Rows(path, "options", "symbol", option), 1u) << "the chain's row went with the option's own key";
  const size_t seen = whole.Events().size();
  Env()->Control()->PublishNow(1);
  EXPECT_TRUE(whole.WaitFor([&](const auto& ev) {
    for (size_t i = seen; i < ev.size(); ++i)
      if (ev[i].type == "options")
        for (const auto& row : ev[i].rows)
          if (row.symbol == option) return true;
    return false;
  })) << "the option's quotes no longer reach the chain's client";
  session->UnSubscribe(whole.Handle(), U16(stock), enOptionData, enEquity);
  EXPECT_EQ(Rows(path, "options", "stock_symbol", stock), 0u);
}

TEST_F(SessionTables, NonStandardOptionsAreSnapshotsOfTheirUnderlying) {
  auto session = OpenSession("nstd");
  const std::vector<std::string> stocks = Stocks(*session);
  std::vector<NstdOptionRecord> all;
  session->GetNstdOptions(u"", enEquity, all);
  ASSERT_FALSE(all.empty());
  const std::string stock = Sym(all.front().StockSymbol);
  std::vector<NstdOptionRecord> some;
  session->GetNstdOptions(U16(stock), enEquity, some);
  ASSERT_FALSE(some.empty());
  for (const auto& r : some) EXPECT_EQ(Sym(r.StockSymbol), stock);
  const std::string other = stocks.front() == stock ? stocks.back() : stocks.front();
  std::vector<NstdOptionRecord> none;
  session->GetNstdOptions(U16(other), enEquity, none);
  EXPECT_TRUE(none.empty());
}

TEST_F(SessionTables, FuturesByRootComeFromTheTableOnceTheRootIsSubscribed) {
  auto session = OpenSession("roots", true);
  std::vector<FutureRecord> all;
  session->GetFutures(u"", all);
  ASSERT_FALSE(all.empty());
  const std::string root = Sym(all.front().RootSymbol);

  Journal journal;
  std::vector<FutureRecord> before;
  session->GetFuturesByRoot(U16(root), enOption, before);
  ASSERT_FALSE(before.empty());
  for (const auto& r : before) EXPECT_EQ(Sym(r.RootSymbol), root);
  EXPECT_FALSE(Snapshots(journal).empty());

  CZmOrvEnt client;
  journal.Skip();
  session->Subscribe(client.Handle(), U16(root), enFutureData, enOption);
  // The root's base data is stored first; the root is subscribed as a group.
  ASSERT_EQ(journal.Calls("GetMarketData").size(), 1u);
  EXPECT_EQ(journal.Calls("GetMarketData")[0].rfind("symbol=" + root + " symbol_type=1 data_type=13 ", 0), 0u);
  EXPECT_EQ(journal.Calls("Subscribe"), std::vector<std::string>{"symbol=" + root + " symbol_type=1 data_type=14 -> 0"});
  EXPECT_EQ(Rows(session->DatabasePath(), "futures", "root_symbol", root), before.size());
  journal.Skip();
  std::vector<FutureRecord> cached;
  session->GetFuturesByRoot(U16(root), enOption, cached);
  EXPECT_TRUE(Snapshots(journal).empty()) << "the filled table did not answer";
  EXPECT_EQ(Symbols(cached), Symbols(before));
  // One future of the root, by its own symbol, from the table too.
  std::vector<FutureRecord> one;
  session->GetFuturesByRoot(U16(Sym(before.back().Symbol)), enFuture, one);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_TRUE(Snapshots(journal).empty());

  session->UnSubscribe(client.Handle(), U16(root), enFutureData, enOption);
  EXPECT_EQ(Rows(session->DatabasePath(), "futures", "root_symbol", root), 0u);
}

TEST_F(SessionTables, FuturesOptionsAreStoredAndSentToTheirSubscriber) {
  auto session = OpenSession("futopts", true);
  std::vector<FutureRecord> futures;
  session->GetFutures(u"", futures);
  ASSERT_FALSE(futures.empty());
  const std::string future = Sym(futures.front().Symbol);

  Journal journal;
  std::vector<OptionRecord> before;
  session->GetFutOptions(U16(future), enEquity, before);
  ASSERT_FALSE(before.empty());
  for (const auto& r : before) EXPECT_EQ(Sym(r.StockSymbol), future);
  EXPECT_FALSE(Snapshots(journal).empty());

  CZmOrvEnt client;
  journal.Skip();
  session->Subscribe(client.Handle(), U16(future), enFutureOptionData, enEquity);
  ASSERT_EQ(journal.Calls("GetMarketData").size(), 1u);
  EXPECT_EQ(journal.Calls("GetMarketData")[0].rfind("symbol=" + future + " symbol_type=1 data_type=15 ", 0), 0u);
  EXPECT_EQ(journal.Calls("Subscribe"),
            std::vector<std::string>{"symbol=" + future + " symbol_type=1 data_type=16 -> 0"});
  ASSERT_TRUE(client.WaitFor([&](const auto& ev) { return EventsOf(ev, "futoptions", future) >= 1; }));
  EXPECT_EQ(Rows(session->DatabasePath(), "futureoptions", "future_symbol", future), before.size());
  // A future's chain is shorter than the table serves: the answer stays a
  // snapshot, the same options as stored.
  std::vector<OptionRecord> after;
  session->GetFutOptions(U16(future), enEquity, after);
  EXPECT_EQ(Symbols(after), Symbols(before));

  // Quotes of the next tick reach the subscriber.
  const size_t seen = client.Events().size();
  Env()->Control()->PublishNow(1);
  EXPECT_TRUE(client.WaitFor([&](const auto& ev) {
    return ev.size() > seen && EventsOf(ev, "futoptions", future) >= 2;
  }));
}

// The four IV kinds: a snapshot before any subscription; the pulled points
// stored and sent to the subscribed client; then the table's answer.
struct IVKind {
  int kind;
  int type;
  const char* event;
  const char* table;
  void (*get)(CDataHolder&, const std::u16string&, std::multiset<std::string>&);
};

// Symbol and term of each point, so that a lost or doubled point shows.
template <class R, void (CDataHolder::*Get)(const std::u16string&, std::vector<R>&)>
void GetIV(CDataHolder& session, const std::u16string& symbol, std::multiset<std::string>& out) {
  std::vector<R> records;
  (session.*Get)(symbol, records);
  for (const R& r : records) out.insert(Sym(r.Symbol) + "/" + std::to_string(r.Term));
}

const IVKind kIVKinds[] = {
    {enIVIndexData, T_IVINDEX, "ivindex", "ivindex", &GetIV<IVIndexRecord, &CDataHolder::GetIVIndexes>},
    {enIVSurfaceData, T_IVSURFACE, "ivsurface", "ivsurface", &GetIV<IVSurfaceRecord, &CDataHolder::GetIVSurfaces>},
    {enFutIVIndexData, T_FUTURE_IVINDEX, "futivindex", "future_ivindex",
     &GetIV<IVIndexRecord, &CDataHolder::GetFutIVIndexes>},
    {enFutIVSurfaceData, T_FUTURE_IVSURFACE, "futivsurface", "future_ivsurface",
     &GetIV<IVSurfaceRecord, &CDataHolder::GetFutIVSurfaces>},
};

class SessionIV : public SessionTables, public ::testing::WithParamInterface<int> {};

TEST_P(SessionIV, PointsArePulledStoredAndSentToTheSubscriber) {
  const IVKind& k = kIVKinds[GetParam()];
  auto session = OpenSession(std::string("iv") + k.event, true);
  std::multiset<std::string> all;
  k.get(*session, u"", all);
  ASSERT_FALSE(all.empty());
  const std::string symbol = all.begin()->substr(0, all.begin()->find('/'));

  Journal journal;
  std::multiset<std::string> before;
  k.get(*session, U16(symbol), before);
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(Snapshots(journal).size(), 1u);

  const std::string call = "symbol=" + symbol + " symbol_type=1 data_type=" + std::to_string(k.type) + " -> 0";
  CZmOrvEnt client;
  journal.Skip();
  session->Subscribe(client.Handle(), U16(symbol), k.kind, enEquity);
  EXPECT_EQ(journal.Calls("Subscribe"), std::vector<std::string>{call});
  ASSERT_TRUE(client.WaitFor([&](const auto& ev) { return EventsOf(ev, k.event, symbol) >= 1; }));
  EXPECT_GT(Rows(session->DatabasePath(), k.table, "symbol", symbol), 0u);

  journal.Skip();
  std::multiset<std::string> cached;
  k.get(*session, U16(symbol), cached);
  EXPECT_TRUE(Snapshots(journal).empty()) << "the filled table did not answer";
  EXPECT_EQ(cached, before);

  // A later tick brings another event.
  const size_t seen = EventsOf(client.Events(), k.event, symbol);
  Env()->Control()->PublishNow(1);
  EXPECT_TRUE(client.WaitFor([&](const auto& ev) { return EventsOf(ev, k.event, symbol) > seen; }));

  // A second client gets the cached points at once, without a server call.
  CZmOrvEnt late;
  journal.Skip();
  session->Subscribe(late.Handle(), U16(symbol), k.kind, enEquity);
  EXPECT_TRUE(journal.Calls("Subscribe").empty());
  EXPECT_TRUE(late.WaitFor([&](const auto& ev) { return EventsOf(ev, k.event, symbol) >= 1; }));

  // The last client's release unsubscribes the symbol: the futures
  // service one symbol at a time, the equities service by group.
  session->UnSubscribeAll(client.Handle(), k.kind);
  journal.Skip();
  session->UnSubscribeAll(late.Handle(), k.kind);
  if (IsFuturesKind(k.kind)) {
    EXPECT_EQ(journal.Calls("UnSubscribe"), std::vector<std::string>{call});
  } else {
    EXPECT_EQ(journal.Calls("UnSubscribeGroup"),
              std::vector<std::string>{"symbols=1 symbol_type=1 data_type=" + std::to_string(k.type) +
                                       " names=" + symbol + " -> 0"});
  }
  EXPECT_EQ(Rows(session->DatabasePath(), k.table, "symbol", symbol), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SessionIV, ::testing::Range(0, 4),
                         [](const ::testing::TestParamInfo<int>& i) { return std::string(kIVKinds[i.param].event); });

TEST_F(SessionTables, ATMIsWorkedOutFromCachedStocksAndOptionsOrRefreshedFromTheService) {
  auto session = OpenSession("atm");
  const std::vector<std::string> stocks = Stocks(*session);
  const std::string refreshed = stocks.at(1), subscribed = stocks.at(2);

  // Nothing cached: no ATM; the refresh the main object makes then stores
  // the stock and its options, and the ATM follows.
  std::vector<IVATMRecord> atm;
  session->GetATM(U16(refreshed), atm, false);
  EXPECT_TRUE(atm.empty());
  Journal journal;
  EXPECT_TRUE(session->UpdateEquityBase(U16(refreshed)));
  EXPECT_TRUE(session->UpdateEquityQuote(U16(refreshed)));
  EXPECT_TRUE(session->UpdateOptionBase(U16(refreshed), false));
  EXPECT_TRUE(session->UpdateOptionQuote(U16(refreshed), false));
  EXPECT_TRUE(session->UpdateOptionAD(U16(refreshed), false));
  std::vector<std::string> types;
  for (const std::string& c : journal.Calls("GetMarketData")) {
    EXPECT_NE(c.find("symbol=" + refreshed + " symbol_type=1 "), std::string::npos) << c;
    types.push_back(c.substr(c.find("data_type="), c.find(' ', c.find("data_type=")) - c.find("data_type=")));
  }
  EXPECT_EQ(types, (std::vector<std::string>{"data_type=1", "data_type=3", "data_type=2", "data_type=4",
                                             "data_type=5"}));
  EXPECT_EQ(Rows(session->DatabasePath(), "stocks", "symbol", refreshed), 1u);
  EXPECT_GE(Rows(session->DatabasePath(), "options", "stock_symbol", refreshed), 50u);
  session->GetATM(U16(refreshed), atm, false);
  ASSERT_FALSE(atm.empty());
  std::set<LONG> expirations;
  for (const auto& r : atm) {
    EXPECT_EQ(Sym(r.Symbol), refreshed);
    EXPECT_GT(r.IV, 0.0f);
    EXPECT_TRUE(expirations.insert(r.Expiration).second) << "two records for one expiration";
  }

  // Subscribed data serves as well. The direct variant works on the same
  // ordinary tables: the computation names them whichever side asks.
  CZmOrvEnt client;
  session->Subscribe(client.Handle(), U16(subscribed), enStockData, enEquity);
  session->Subscribe(client.Handle(), U16(subscribed), enOptionData, enEquity);
  ASSERT_TRUE(client.WaitFor([&](const auto& ev) { return EventsOf(ev, "options", subscribed) >= 1; }));
  std::vector<IVATMRecord> fromSubscription, direct;
  session->GetATM(U16(subscribed), fromSubscription, false);
  EXPECT_EQ(fromSubscription.size(), expirations.size());
  session->GetATM(U16(subscribed), direct, true);
  EXPECT_EQ(direct.size(), fromSubscription.size());
}

TEST_F(SessionTables, InterestRatesAndHistoricalVolatilityAreAskedForEachTime) {
  auto session = OpenSession("rates");
  const std::string stock = Stocks(*session).at(0);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Journal journal;
    std::vector<InterestRateRecord> all, usd;
    session->GetInterestRates(u"", all);
    session->GetInterestRates(u"USD", usd);
    ASSERT_FALSE(usd.empty());
    EXPECT_GT(all.size(), usd.size());
    for (const auto& r : usd) {
      EXPECT_EQ(Sym(r.Currency), "USD");
      EXPECT_GT(r.Rate, 0.0f);
    }
    std::vector<HVRecord> hv;
    session->GetHV(U16(stock), hv);
    ASSERT_FALSE(hv.empty());
    for (const auto& r : hv) EXPECT_EQ(Sym(r.Symbol), stock);
    EXPECT_EQ(Snapshots(journal).size(), 3u) << "a query was answered from something stored";
  }
}

TEST_F(SessionTables, EverySnapshotPathTracesTheHeaderOfEachBlockItReads) {
  auto session = OpenSession("headers", true);
  const std::string stock = Stocks(*session).at(0);
  std::vector<FutureRecord> futures;
  session->GetFutures(u"", futures);
  ASSERT_FALSE(futures.empty());
  const std::u16string future = U16(Sym(futures.front().Symbol));
  const struct {
    const char* path;
    std::vector<int> types;
    std::function<void()> get;
  } cases[] = {
      {"stocks", {1, 3}, [&] { std::vector<StockRecord> r; session->GetStocks(U16(stock), r, false); }},
      {"options", {2, 4, 5}, [&] { std::vector<OptionRecord> r; session->GetOptions(U16(stock), enEquity, r, false); }},
      {"nstd options", {23, 24, 25}, [&] { std::vector<NstdOptionRecord> r; session->GetNstdOptions(u"", enEquity, r); }},
      {"futures", {13, 14}, [&] { std::vector<FutureRecord> r; session->GetFutures(u"", r); }},
      {"futures options", {15, 16}, [&] { std::vector<OptionRecord> r; session->GetFutOptions(future, enEquity, r); }},
      {"interest rates", {8}, [&] { std::vector<InterestRateRecord> r; session->GetInterestRates(u"", r); }},
      {"hv", {9}, [&] { std::vector<HVRecord> r; session->GetHV(U16(stock), r); }},
      {"iv index", {6}, [&] { std::vector<IVIndexRecord> r; session->GetIVIndexes(U16(stock), r); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    LogCapture log(orvlog::kTrace);
    c.get();
    for (const int type : c.types) {
      EXPECT_TRUE(log.Contains("Message header: type: " + std::to_string(type) + " is_delayed: ")) << type;
    }
  }
}

TEST_F(SessionTables, WithoutItsServerAGetterLeavesTheVectorAndAnUpdateReportsFalse) {
  CDataHolder session(u"nil", nullptr, nullptr);
  ASSERT_TRUE(session.Initialize());
  std::vector<OptionRecord> options;
  session.GetOptions(u"ANY", enEquity, options, false);
  std::vector<IVIndexRecord> ivx;
  session.GetIVIndexes(u"ANY", ivx);
  std::vector<InterestRateRecord> rates;
  session.GetInterestRates(u"", rates);
  std::vector<HVRecord> hv;
  session.GetHV(u"ANY", hv);
  std::vector<IVATMRecord> atm;
  session.GetATM(u"ANY", atm, false);
  EXPECT_TRUE(options.empty() && ivx.empty() && rates.empty() && hv.empty() && atm.empty());
  EXPECT_FALSE(session.UpdateOptionBase(u"ANY", false));
  EXPECT_FALSE(session.UpdateOptionQuote(u"ANY", false));
  EXPECT_FALSE(session.UpdateOptionAD(u"ANY", false));
  // The futures side is not signed in: its getters find no server either,
  // and its kinds have no table yet.
  std::vector<IVSurfaceRecord> surfaces;
  session.GetFutIVSurfaces(u"ANY", surfaces);
  EXPECT_TRUE(surfaces.empty());
  CZmOrvEnt client;
  EXPECT_THROW(session.Subscribe(client.Handle(), u"ANY", enFutIVIndexData, enEquity), _com_error);
}

TEST_F(SessionTables, ASignedInSessionWithoutItsTablesRefusesUpdatesAndANilServerLeavesIt) {
  Orv::ZmDataService_var root = ResolveDataService(CSettings::InitRef);
  Orv::ZmDataManager_var manager = SignInToService(root, "alice", "secret", true);
  CDataHolder session(u"notables", manager.in(), nullptr);
  const struct {
    const char* name;
    std::function<bool()> update;
    const char* text;
  } cases[] = {
      {"UpdateEquityBase", [&] { return session.UpdateEquityBase(u"ANY"); }, "Unknown message type 0."},
      {"UpdateEquityQuote", [&] { return session.UpdateEquityQuote(u"ANY"); }, "Unknown message type 0."},
      {"UpdateOptionBase", [&] { return session.UpdateOptionBase(u"ANY", false); }, "Unknown message type 1."},
      {"UpdateOptionQuote", [&] { return session.UpdateOptionQuote(u"ANY", true); }, "Unknown message type 1."},
      {"UpdateOptionAD", [&] { return session.UpdateOptionAD(u"ANY", false); }, "Unknown message type 1."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.update();
      ADD_FAILURE() << "no error";
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Error(), E_FAIL);
      const _bstr_t description = e.Description();
      EXPECT_STREQ(static_cast<const char*>(description), c.text);
    }
  }

  // Without the service the session is as one that never had it: no
  // request goes out and the updates answer false.
  session.SetDataServer(Orv::ZmDataManager::_nil());
  EXPECT_TRUE(CORBA::is_nil(session.GetDataServer()));
  for (const auto& c : cases) EXPECT_FALSE(c.update()) << c.name;
  session.SetDataServer(manager.in());
  EXPECT_FALSE(CORBA::is_nil(session.GetDataServer()));
}

}  // namespace
}  // namespace orvtest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvtest::Env() = new orvtest::SimEnvironment();
  ::testing::AddGlobalTestEnvironment(orvtest::Env());
  return RUN_ALL_TESTS();
}
