// orvsim driven over loopback through the generated stubs, in its own
// process: sign-in, fields, subscriptions, pulls, snapshots and faults.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <set>
#include <thread>

#include "OrvSimClient.h"

namespace orvtest {
namespace {

constexpr int T_EQUITY_BASE = 1, T_OPTION_BASE = 2, T_EQUITY_QUOTE = 3, T_OPTION_QUOTE = 4,
              T_OPTION_AD = 5, T_IVINDEX = 6, T_INTEREST_RATE = 8, T_HV = 9, T_FUTURE_BASE = 13,
              T_FUTURE_QUOTE = 14, T_FUTURE_OPTION = 16, T_NSTDOPTION_QUOTE = 24;

using Ids = std::vector<uint8_t>;

// Pulls until a reply with a value arrives (orvsim answers at once when data
// is queued; the wait only bounds a broken server).
std::vector<uint8_t> PullData(Orv::ZmDataManager_ptr m) {
  CORBA::Any_var a = m->pull(20000);
  return Octets(&a.in());
}

class Service : public OrvSimTest {};

TEST_F(Service, SignInChecksCredentialsOnBothServices) {
  struct Case {
    const char* user;
    const char* password;
    int status;
  } cases[] = {{"alice", "secret", 0}, {"bob", "pw2", 0},   {"alice", "pw2", 3},
               {"nobody", "secret", 3}, {"", "", 3},        {"orvsim", "orvsim", 3}};
  for (Orv::ZmDataService_ptr svc : {equities_.in(), futures_.in()})
    for (const Case& c : cases) {
      Orv::ZmDataManager_var m = svc->GetZmDataManager();
      EXPECT_EQ(m->Connect(c.user, c.password), c.status) << c.user << "/" << c.password;
    }
  Orv::ZmDataManager_var m = SignIn(equities_);
  EXPECT_EQ(m->Connect("alice", "secret"), 2) << "already connected";
  // Every call gets a manager of its own.
  Orv::ZmDataManager_var other = equities_->GetZmDataManager();
  EXPECT_FALSE(m->_is_equivalent(other));
  EXPECT_EQ(other->Subscribe("X", 1, T_EQUITY_QUOTE), 4) << "not connected";
  EXPECT_THROW(CORBA::Any_var a = other->pull(0), CORBA::NO_PERMISSION);
  // An object key that names no service.
  const std::string bad = "corbaloc:iiop:127.0.0.1:" + sim_->Get("port") + "/NoSuchService";
  CORBA::Object_var o = Orb()->string_to_object(bad.c_str());
  EXPECT_THROW(o->_non_existent() ? throw CORBA::OBJECT_NOT_EXIST() : (void)0,
               CORBA::OBJECT_NOT_EXIST);
}

TEST_F(Service, RegisterFieldsAnswersWithStatusCodes) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  CORBA::Any text;
  text <<= "not a field list";
  struct Case {
    const char* what;
    int type;
    CORBA::Any fields;
    int status;
  } cases[] = {
      {"the client's list", T_EQUITY_QUOTE,
       orvidl::FieldListAny({2, 6, 8, 7, 9, 10, 12, 11, 13, 14, 16, 15, 17, 18}), 0},
      {"any subset in any order", T_EQUITY_QUOTE, orvidl::FieldListAny({10, 2}), 0},
      {"unknown id", T_EQUITY_QUOTE, orvidl::FieldListAny({2, 99}), 7},
      {"id of another type", T_EQUITY_QUOTE, orvidl::FieldListAny({2, 44}), 7},
      {"empty list", T_EQUITY_QUOTE, orvidl::FieldListAny({}), 7},
      {"unknown type", 12, orvidl::FieldListAny({2}), 12},
      {"futures type on the equities service", T_FUTURE_QUOTE, orvidl::FieldListAny({75}), 12},
      {"not a ZmData", T_EQUITY_QUOTE, text, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(m->RegisterFields(c.type, c.fields), c.status) << c.what;
}

TEST_F(Service, SubscribeDeliversCurrentDataThenUpdatesInRegisteredFields) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  const std::string stock = Symbols(m, T_EQUITY_BASE, 2).at(0);
  ASSERT_EQ(m->RegisterFields(T_EQUITY_BASE, orvidl::FieldListAny({19, 2})), 0);
  ASSERT_EQ(m->RegisterFields(T_EQUITY_QUOTE, orvidl::FieldListAny({2, 10, 6, 14})), 0);
  ASSERT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_BASE), 0);
  ASSERT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_QUOTE), 0);

  std::vector<Block> blocks = Decode(PullData(m));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].type, T_EQUITY_BASE);
  EXPECT_EQ(blocks[0].ids, (Ids{19, 2}));
  EXPECT_EQ(blocks[0].isLast, 0);
  ASSERT_EQ(blocks[0].count, 1u);
  EXPECT_EQ(Text(blocks[0].records[0][1]), stock);
  EXPECT_TRUE(blocks[0].records[0][0] == "S" || blocks[0].records[0][0] == "I");
  EXPECT_EQ(blocks[1].type, T_EQUITY_QUOTE);
  EXPECT_EQ(blocks[1].ids, (Ids{2, 10, 6, 14}));
  EXPECT_EQ(blocks[1].isLast, 1);
  const float ask = Float(blocks[1].records[0][1]), bid = Float(blocks[1].records[0][2]);
  EXPECT_GT(bid, 0);
  EXPECT_LT(bid, ask);

  // Idle: a pull without data answers an any without a value.
  CORBA::Any_var idle = m->pull(0);
  EXPECT_FALSE(HasValue(idle.in()));

  // A tick moves quotes (base data stays put).
  control_->PublishNow(1);
  blocks = Decode(PullData(m));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].type, T_EQUITY_QUOTE);
  EXPECT_EQ(Text(blocks[0].records[0][0]), stock);

  // Several ticks before a pull come as one update with the latest values.
  control_->PublishNow(3);
  blocks = Decode(PullData(m));
  ASSERT_EQ(blocks.size(), 1u);
  idle = m->pull(0);
  EXPECT_FALSE(HasValue(idle.in()));
}

TEST_F(Service, OptionChainArrivesBaseQuotesAnalyticsWithBothSymbolWidths) {
  for (int protocol : {0, 2}) {
    Orv::ZmDataManager_var m = SignIn(equities_);
    ASSERT_EQ(m->SetProtocolVersion(static_cast<CORBA::Short>(protocol)), 0);
    EXPECT_EQ(m->GetProtocolVersion(), protocol);
    const std::string stock = Symbols(m, T_EQUITY_BASE, 2).at(1);
    ASSERT_EQ(m->RegisterFields(T_OPTION_BASE, orvidl::FieldListAny({1, 2, 40, 44, 5, 39, 47})), 0);
    ASSERT_EQ(m->RegisterFields(T_OPTION_QUOTE, orvidl::FieldListAny({1, 6, 10})), 0);
    ASSERT_EQ(m->RegisterFields(T_OPTION_AD, orvidl::FieldListAny({1, 2, 26, 27})), 0);
    for (int t : {T_OPTION_BASE, T_OPTION_QUOTE, T_OPTION_AD})
      ASSERT_EQ(m->Subscribe(stock.c_str(), 1, static_cast<CORBA::Short>(t)), 0);
    const std::vector<Block> blocks = Decode(PullData(m), protocol);
    ASSERT_EQ(blocks.size(), 3u);
    std::set<std::string> bySymbol[3];
    const int order[] = {T_OPTION_BASE, T_OPTION_QUOTE, T_OPTION_AD};
    for (int b = 0; b < 3; ++b) {
      EXPECT_EQ(blocks[b].type, order[b]);
      EXPECT_GE(blocks[b].count, 50u);
      for (const auto& rec : blocks[b].records) {
        EXPECT_EQ(rec[0].size(), protocol == 2 ? 64u : 12u);
        bySymbol[b].insert(Text(rec[0]));
      }
    }
    EXPECT_EQ(bySymbol[0], bySymbol[1]);
    EXPECT_EQ(bySymbol[0], bySymbol[2]);
    for (const auto& rec : blocks[0].records) {
      EXPECT_EQ(Text(rec[1]), stock);
      EXPECT_TRUE(rec[4] == "C" || rec[4] == "P");
      EXPECT_TRUE(rec[5] == "A" || rec[5] == "E");
    }
    for (const auto& rec : blocks[1].records) EXPECT_GT(Float(rec[1]), 0) << "bid";
    // One option by its own symbol (symbol type 2).
    Orv::ZmDataManager_var one = SignIn(equities_);
    one->SetProtocolVersion(static_cast<CORBA::Short>(protocol));
    const std::string option = *bySymbol[0].begin();
    ASSERT_EQ(one->Subscribe(option.c_str(), 2, T_OPTION_QUOTE), 0);
    const std::vector<Block> single = Decode(PullData(one), protocol);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].count, 1u);
  }
  Orv::ZmDataManager_var m = SignIn(equities_);
  EXPECT_EQ(m->SetProtocolVersion(1), 1) << "only 0 and 2 are protocol versions";
}

TEST_F(Service, CompressedRepliesAreZipArchivesOfTheMessage) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  ASSERT_EQ(m->SetCompressionMode(1), 0);
  EXPECT_EQ(m->GetCompressionMode(), 1);
  CORBA::Any_var snap = m->GetMarketDataAll(T_EQUITY_BASE, orvidl::FieldListAny({2}));
  const std::vector<uint8_t> z = Octets(&snap.in());
  ASSERT_GE(z.size(), 4u);
  EXPECT_EQ(z[0], 'P');
  EXPECT_EQ(z[1], 'K');
  const std::vector<Block> blocks = Decode(z, 0, true);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].count, 5u);

  const std::string stock = Text(blocks[0].records[0][0]);
  ASSERT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_QUOTE), 0);
  const std::vector<Block> pulled = Decode(PullData(m), 0, true);
  ASSERT_EQ(pulled.size(), 1u);
  EXPECT_EQ(Text(pulled[0].records[0][0]), stock);
  EXPECT_EQ(m->SetCompressionMode(7), 1);
}

TEST_F(Service, SnapshotsAnswerOneBlockInRequestOrder) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  const std::vector<std::string> stocks = Symbols(m, T_EQUITY_BASE, 2);
  ASSERT_EQ(stocks.size(), 5u);
  struct Case {
    const char* what;
    std::string symbol;
    int stype, type;
    Ids ids;
    size_t records;
  } cases[] = {
      {"stock base, ids reordered", stocks[0], 1, T_EQUITY_BASE, {21, 2, 23}, 1},
      {"stock quote", stocks[0], 1, T_EQUITY_QUOTE, {2, 6, 7}, 1},
      {"unknown symbol", "NOSUCH", 1, T_EQUITY_QUOTE, {2, 6}, 0},
      {"empty symbol names nothing", "", 1, T_EQUITY_QUOTE, {2, 6}, 0},
      {"options by underlying", stocks[0], 1, T_OPTION_QUOTE, {1, 6}, 56},
      {"IV index", stocks[0], 1, T_IVINDEX, {2, 3, 37, 38}, 5},
      {"non-standard quotes by underlying", stocks[1], 1, T_NSTDOPTION_QUOTE, {1, 6, 87}, 12},
      {"historical volatility", stocks[0], 1, T_HV, {2, 3, 62}, 8},
      {"interest rates of a currency", "EUR", 1, T_INTEREST_RATE, {23, 42, 41}, 6},
  };
  for (const Case& c : cases) {
    CORBA::Any_var a = m->GetMarketData(c.symbol.c_str(), static_cast<CORBA::Short>(c.stype),
                                        static_cast<CORBA::Short>(c.type),
                                        orvidl::FieldListAny(c.ids));
    const std::vector<Block> b = Decode(Octets(&a.in()));
    ASSERT_EQ(b.size(), 1u) << c.what;
    EXPECT_EQ(b[0].type, c.type) << c.what;
    EXPECT_EQ(b[0].ids, c.ids) << c.what;
    EXPECT_EQ(b[0].count, c.records) << c.what;
    EXPECT_EQ(b[0].isLast, 1) << c.what;
  }
  CORBA::Any_var rates = m->GetMarketDataAll(T_INTEREST_RATE, orvidl::FieldListAny({23, 42, 41}));
  EXPECT_EQ(Decode(Octets(&rates.in()))[0].count, 36u);

  // Bad requests are refused with an exception and the service goes on.
  EXPECT_THROW(CORBA::Any_var a = m->GetMarketDataAll(12, orvidl::FieldListAny({2})),
               CORBA::BAD_PARAM);
  EXPECT_THROW(CORBA::Any_var a = m->GetMarketDataAll(T_EQUITY_QUOTE, orvidl::FieldListAny({99})),
               CORBA::BAD_PARAM);
  EXPECT_THROW(CORBA::Any_var a = m->GetMarketDataAll(T_FUTURE_BASE, orvidl::FieldListAny({75})),
               CORBA::BAD_PARAM);
  EXPECT_THROW(CORBA::Any_var a = m->GetMarketData("ABC", 1, T_EQUITY_QUOTE, CORBA::Any()),
               CORBA::BAD_PARAM);
  CORBA::Any_var again = m->GetMarketData(stocks[1].c_str(), 1, T_EQUITY_QUOTE,
                                          orvidl::FieldListAny({2}));
  EXPECT_EQ(Decode(Octets(&again.in()))[0].count, 1u);
}

TEST_F(Service, SubscriptionErrorsAndBounds) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  const std::string stock = Symbols(m, T_EQUITY_BASE, 2).at(0);
  struct Case {
    const char* what;
    std::string symbol;
    int stype, type, status;
  } cases[] = {
      {"unknown symbol", "NOSUCH", 1, T_EQUITY_QUOTE, 5},
      {"empty symbol", "", 1, T_EQUITY_QUOTE, 5},
      {"unknown type", stock, 1, 12, 12},
      {"snapshot-only type", stock, 1, T_INTEREST_RATE, 12},
      {"futures type on the equities service", stock, 1, T_FUTURE_QUOTE, 12},
      {"symbol type 7", stock, 7, T_EQUITY_QUOTE, 1},
      {"an underlying named as one option", stock, 2, T_OPTION_QUOTE, 5},
      {"a good one", stock, 1, T_EQUITY_QUOTE, 0},
      {"the same again", stock, 1, T_EQUITY_QUOTE, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(m->Subscribe(c.symbol.c_str(), static_cast<CORBA::Short>(c.stype),
                           static_cast<CORBA::Short>(c.type)),
              c.status)
        << c.what;

  // A symbol over its bound never reaches the service.
  const std::string tooLong(33, 'A');
  EXPECT_THROW(m->Subscribe(tooLong.c_str(), 1, T_EQUITY_QUOTE), CORBA::SystemException);

  // The limit (60 keys for this server): one key is held already.
  Orv::ZmDataManager_var opts = SignIn(equities_);
  CORBA::Any_var chain = opts->GetMarketDataAll(T_OPTION_BASE, orvidl::FieldListAny({1}));
  const std::vector<Block> all = Decode(Octets(&chain.in()));
  ASSERT_GT(all[0].count, 61u);
  for (int i = 0; i < 60; ++i)
    ASSERT_EQ(opts->Subscribe(Text(all[0].records[i][0]).c_str(), 2, T_OPTION_QUOTE), 0) << i;
  EXPECT_EQ(opts->Subscribe(Text(all[0].records[60][0]).c_str(), 2, T_OPTION_QUOTE), 13);
  // Other managers are not affected.
  EXPECT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_BASE), 0);
}

// Calls through the dynamic interface, which does not know the IDL's bounds,
// so over-long strings do reach the service. True when the call was refused
// with a system exception.
bool RefusedDynamically(CORBA::Object_ptr target, const char* op,
                        const std::vector<std::string>& strings, std::vector<CORBA::Short> shorts) {
  CORBA::Request_var req = target->_request(op);
  for (const std::string& s : strings) req->add_in_arg() <<= s.c_str();
  for (CORBA::Short v : shorts) req->add_in_arg() <<= v;
  req->set_return_type(CORBA::_tc_short);
  try {
    req->invoke();
  } catch (const CORBA::SystemException&) {
    return true;
  }
  return req->env()->exception() != nullptr;
}

// A SymbolsGroup any holding more symbols than its bound of 1000, which the
// generated sequence type would never let us build.
void MarshalOverfullGroup(cdrStream& s, void*) {
  const CORBA::ULong n = 1001;
  n >>= s;
  for (CORBA::ULong i = 0; i < n; ++i) s.marshalString(("S" + std::to_string(i)).c_str());
}

TEST_F(Service, ArgumentsOverTheirBoundsAreRefusedAndServiceGoesOn) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  const std::string stock = Symbols(m, T_EQUITY_BASE, 2).at(0);
  struct Case {
    const char* what;
    const char* op;
    std::vector<std::string> strings;
    std::vector<CORBA::Short> shorts;
    bool refused;
  } cases[] = {
      {"symbol of 32 characters", "Subscribe", {std::string(32, 'A')}, {1, T_EQUITY_QUOTE}, false},
      {"symbol of 33 characters", "Subscribe", {std::string(33, 'A')}, {1, T_EQUITY_QUOTE}, true},
      {"snapshot symbol of 200 characters", "UnSubscribe", {std::string(200, 'A')}, {1, 3}, true},
      {"user name of 65 characters", "Connect", {std::string(65, 'u'), "pw"}, {}, true},
      {"password of 1000 characters", "Connect", {"alice", std::string(1000, 'p')}, {}, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RefusedDynamically(m, c.op, c.strings, c.shorts), c.refused) << c.what;

  CORBA::Any overfull;
  overfull.PR_insert(Orv::_tc_SymbolsGroup, MarshalOverfullGroup, nullptr);
  CORBA::Short status = 0;
  bool refused = false;
  try {
    status = m->SubscribeGroup(overfull, 1, T_EQUITY_QUOTE);
  } catch (const CORBA::SystemException&) {
    refused = true;
  }
  EXPECT_TRUE(refused || status != 0) << "a group of 1001 symbols is not taken";

  // The same manager, and others, are served as before.
  EXPECT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_QUOTE), 0);
  EXPECT_EQ(Decode(PullData(m))[0].count, 1u);
  Orv::ZmDataManager_var other = SignIn(equities_);
  EXPECT_EQ(other->Subscribe(stock.c_str(), 1, T_EQUITY_BASE), 0);
}

TEST_F(Service, GroupsSubscribeTheSymbolsTheyName) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  const std::vector<std::string> stocks = Symbols(m, T_EQUITY_BASE, 2);
  ASSERT_EQ(m->SubscribeGroup(orvidl::SymbolGroupAny({stocks[0], "NOSUCH", stocks[2]}), 1,
                              T_EQUITY_QUOTE),
            0);
  const std::vector<Block> b = Decode(PullData(m));
  ASSERT_EQ(b.size(), 1u);
  std::set<std::string> got;
  for (const auto& rec : b[0].records) got.insert(Text(rec[0]));
  EXPECT_EQ(got, (std::set<std::string>{stocks[0], stocks[2]}));

  EXPECT_EQ(m->SubscribeGroup(orvidl::SymbolGroupAny({"NOSUCH"}), 1, T_EQUITY_QUOTE), 5);
  CORBA::Any notGroup;
  notGroup <<= static_cast<CORBA::Long>(5);
  EXPECT_EQ(m->SubscribeGroup(notGroup, 1, T_EQUITY_QUOTE), 1);
  // A symbol over the group's element bound gets a status, not a crash.
  EXPECT_EQ(m->SubscribeGroup(orvidl::SymbolGroupAny({std::string(40, 'X')}), 1, T_EQUITY_QUOTE),
            5);
  EXPECT_EQ(m->UnSubscribeGroup(orvidl::SymbolGroupAny({stocks[0], stocks[2]}), 1, T_EQUITY_QUOTE),
            0);
  control_->PublishNow(1);
  CORBA::Any_var idle = m->pull(0);
  EXPECT_FALSE(HasValue(idle.in()));
}

TEST_F(Service, UnsubscribeStopsUpdates) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  const std::vector<std::string> stocks = Symbols(m, T_EQUITY_BASE, 2);
  ASSERT_EQ(m->Subscribe(stocks[0].c_str(), 1, T_EQUITY_QUOTE), 0);
  ASSERT_EQ(m->Subscribe(stocks[1].c_str(), 1, T_EQUITY_QUOTE), 0);
  control_->PublishNow(1);  // queued, not yet pulled
  ASSERT_EQ(m->UnSubscribe(stocks[0].c_str(), 1, T_EQUITY_QUOTE), 0);
  for (const Block& b : Decode(PullData(m)))
    for (const auto& rec : b.records) EXPECT_EQ(Text(rec[0]), stocks[1]) << "nothing after leaving";
  // Unsubscribing what was never subscribed succeeds (clients unsubscribe
  // every type of a kind).
  EXPECT_EQ(m->UnSubscribe(stocks[3].c_str(), 1, T_EQUITY_BASE), 0);
  EXPECT_EQ(m->UnSubscribeAll(T_EQUITY_QUOTE), 0);
  control_->PublishNow(1);
  CORBA::Any_var idle = m->pull(0);
  EXPECT_FALSE(HasValue(idle.in()));

  ASSERT_EQ(m->SubscribeAll(T_EQUITY_QUOTE), 0);
  EXPECT_EQ(Decode(PullData(m))[0].count, 5u);
  EXPECT_EQ(m->SubscribeAll(T_HV), 12);
}

TEST_F(Service, FuturesServiceServesRootsFuturesAndTheirOptions) {
  Orv::ZmDataManager_var m = SignIn(futures_);
  const std::vector<std::string> futs = Symbols(m, T_FUTURE_BASE, 75);
  ASSERT_EQ(futs.size(), 8u);
  CORBA::Any_var base = m->GetMarketDataAll(T_FUTURE_BASE, orvidl::FieldListAny({74}));
  const std::string root = Text(Decode(Octets(&base.in()))[0].records[0][0]);
  ASSERT_EQ(m->Subscribe(root.c_str(), 1, T_FUTURE_QUOTE), 0);
  std::vector<Block> b = Decode(PullData(m));
  EXPECT_EQ(b[0].type, T_FUTURE_QUOTE);
  EXPECT_EQ(b[0].count, 4u);
  ASSERT_EQ(m->Subscribe(futs[0].c_str(), 1, T_FUTURE_OPTION), 0);
  b = Decode(PullData(m));
  EXPECT_EQ(b[0].type, T_FUTURE_OPTION);
  EXPECT_GT(b[0].count, 0u);
  for (const auto& rec : b[0].records) EXPECT_EQ(Text(rec[1]), futs[0]);
  EXPECT_EQ(m->Subscribe(root.c_str(), 1, T_EQUITY_QUOTE), 12) << "equities type on futures";
}

TEST_F(Service, InjectedStatusesAnswerTheNamedCalls) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  const std::string stock = Symbols(m, T_EQUITY_BASE, 2).at(0);
  const CORBA::Any fields = orvidl::FieldListAny({2, 6});
  struct Case {
    const char* op;
    int type, status;
    std::function<int()> call;
  } cases[] = {
      {"Subscribe", T_EQUITY_BASE, 13, [&] { return m->Subscribe(stock.c_str(), 1, T_EQUITY_BASE); }},
      {"Subscribe", -1, 6, [&] { return m->Subscribe(stock.c_str(), 1, T_EQUITY_QUOTE); }},
      {"SubscribeGroup", T_EQUITY_QUOTE, 1,
       [&] { return m->SubscribeGroup(orvidl::SymbolGroupAny({stock}), 1, T_EQUITY_QUOTE); }},
      {"SubscribeAll", T_EQUITY_QUOTE, 4, [&] { return m->SubscribeAll(T_EQUITY_QUOTE); }},
      {"UnSubscribe", T_EQUITY_QUOTE, 6, [&] { return m->UnSubscribe(stock.c_str(), 1, T_EQUITY_QUOTE); }},
      {"UnSubscribeGroup", T_EQUITY_QUOTE, 5,
       [&] { return m->UnSubscribeGroup(orvidl::SymbolGroupAny({stock}), 1, T_EQUITY_QUOTE); }},
      {"UnSubscribeAll", T_EQUITY_QUOTE, 1, [&] { return m->UnSubscribeAll(T_EQUITY_QUOTE); }},
      {"RegisterFields", T_EQUITY_QUOTE, 8, [&] { return m->RegisterFields(T_EQUITY_QUOTE, fields); }},
      {"SetCompressionMode", -1, 1, [&] { return m->SetCompressionMode(0); }},
      {"SetProtocolVersion", -1, 1, [&] { return m->SetProtocolVersion(0); }},
      {"Connect", -1, 3,
       [&] {
         Orv::ZmDataManager_var n = equities_->GetZmDataManager();
         return n->Connect("alice", "secret");
       }},
  };
  for (const Case& c : cases) {
    control_->InjectStatus(c.op, static_cast<CORBA::Short>(c.type),
                           static_cast<CORBA::Short>(c.status), 1);
    EXPECT_EQ(c.call(), c.status) << c.op << " injected";
    EXPECT_EQ(c.call(), 0) << c.op << " after the one injected answer";
  }
  // Until cleared; and only for the named type.
  control_->InjectStatus("Subscribe", T_EQUITY_QUOTE, 13, 0);
  EXPECT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_QUOTE), 13);
  EXPECT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_QUOTE), 13);
  EXPECT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_BASE), 0);
  control_->ClearInjections();
  EXPECT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_QUOTE), 0);
  EXPECT_THROW(control_->InjectStatus("pull", -1, 1, 1), CORBA::BAD_PARAM);
}

TEST_F(Service, RawRepliesComeOutExactlyAsQueued) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  Orv::ZmDataManager_var other = SignIn(equities_);
  const std::vector<uint8_t> garbage = {0x03, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'x'};
  OrvSim::Bytes bytes;
  bytes.length(static_cast<CORBA::ULong>(garbage.size()));
  std::copy(garbage.begin(), garbage.end(), bytes.get_buffer());

  control_->EnqueueRaw(0, bytes, false);
  EXPECT_EQ(PullData(m), garbage);
  control_->EnqueueRaw(0, bytes, true);
  const std::vector<uint8_t> z = PullData(other);
  EXPECT_EQ(ReadZip(z).data, garbage);

  // To one manager: the journal names the number GetZmDataManager gave it.
  OrvSim::Journal_var j = control_->ReadJournal(0);
  long otherId = 0;
  for (CORBA::ULong i = 0; i < j->length(); ++i)
    if (std::string(j[i].operation.in()) == "GetZmDataManager")
      otherId = std::stol(std::string(j[i].result.in()).substr(8));  // the later one
  ASSERT_NE(otherId, 0);
  control_->EnqueueRaw(static_cast<CORBA::Long>(otherId), bytes, false);
  CORBA::Any_var none = m->pull(0);
  EXPECT_FALSE(HasValue(none.in())) << "the raw reply is for the other manager";
  EXPECT_EQ(PullData(other), garbage);
  EXPECT_THROW(control_->EnqueueRaw(99999, bytes, false), CORBA::BAD_PARAM);
  // An empty octet sequence is a reply too.
  control_->EnqueueRaw(0, OrvSim::Bytes(), false);
  CORBA::Any_var empty = m->pull(20000);
  EXPECT_TRUE(HasValue(empty.in()));
  EXPECT_TRUE(Octets(&empty.in()).empty());
}

TEST_F(Service, StalledPullsTimeOutAndLoseNothing) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  const std::string stock = Symbols(m, T_EQUITY_BASE, 2).at(0);
  ASSERT_EQ(m->Subscribe(stock.c_str(), 1, T_EQUITY_QUOTE), 0);  // data queued
  control_->StallPulls(true);
  Orv::ZmDataManager_var impatient = Orv::ZmDataManager::_duplicate(m);
  omniORB::setClientCallTimeout(impatient, 300);
  EXPECT_THROW(CORBA::Any_var a = impatient->pull(0), CORBA::TIMEOUT);
  control_->StallPulls(false);
  const std::vector<Block> b = Decode(PullData(m));
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(Text(b[0].records[0][0]), stock);
}

TEST_F(Service, DroppedConnectionsFailOldManagersOnly) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  std::atomic<int> outcome{0};
  std::thread waiting([&] {
    try {
      CORBA::Any_var a = m->pull(20000);
      outcome = 1;
    } catch (const CORBA::TRANSIENT&) {
      outcome = 2;
    } catch (const CORBA::Exception&) {
      outcome = 3;
    }
  });
  // Drop once the pull is inside the service.
  for (int i = 0; i < 2000 && control_->GetStats().pulls_in_progress == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(control_->DropConnections(), 1);
  waiting.join();
  EXPECT_EQ(outcome.load(), 2) << "the waiting pull fails with TRANSIENT";
  EXPECT_THROW(m->Subscribe("X", 1, T_EQUITY_QUOTE), CORBA::OBJECT_NOT_EXIST);
  Orv::ZmDataManager_var fresh = SignIn(equities_);
  EXPECT_EQ(Symbols(fresh, T_EQUITY_BASE, 2).size(), 5u);
}

TEST_F(Service, JournalRecordsCallsWithArgumentsAndResults) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  m->Subscribe("NOSUCH", 1, T_EQUITY_QUOTE);
  m->SubscribeGroup(orvidl::SymbolGroupAny({"NOSUCH", std::string(40, 'L')}), 2, T_OPTION_QUOTE);
  CORBA::Any_var snap = m->GetMarketData("NOSUCH", 1, T_EQUITY_QUOTE, orvidl::FieldListAny({2, 6}));
  OrvSim::Journal_var j = control_->ReadJournal(0);
  bool connect = false, subscribe = false, group = false, snapshot = false;
  CORBA::ULong last = 0;
  for (CORBA::ULong i = 0; i < j->length(); ++i) {
    const OrvSim::JournalEntry& e = j[i];
    EXPECT_GT(e.seq, last);
    last = e.seq;
    EXPECT_GT(e.time, 1.5e9);
    const std::string op = e.operation.in(), args = e.args.in(), result = e.result.in();
    if (op == "Connect") {
      connect = true;
      EXPECT_EQ(args.find("secret"), std::string::npos) << "passwords stay out";
      EXPECT_EQ(result, "0");
    }
    if (op == "Subscribe") {
      subscribe = true;
      EXPECT_EQ(args, "symbol=NOSUCH symbol_type=1 data_type=3");
      EXPECT_EQ(result, "S_ERR_NOT_FOUND");
      EXPECT_EQ(std::string(e.service.in()), "ZmDataService");
    }
    if (op == "SubscribeGroup") {
      group = true;
      EXPECT_EQ(args, "symbols=2 symbol_type=2 data_type=4 names=NOSUCH," + std::string(40, 'L'))
          << "every symbol as it arrived, the long one uncut";
    }
    if (op == "GetMarketData") {
      snapshot = true;
      EXPECT_EQ(args, "symbol=NOSUCH symbol_type=1 data_type=3 fields=2,6");
      EXPECT_EQ(result, "0 records");
    }
  }
  EXPECT_TRUE(connect);
  EXPECT_TRUE(subscribe);
  EXPECT_TRUE(group);
  EXPECT_TRUE(snapshot);
  OrvSim::Journal_var later = control_->ReadJournal(last + 1);
  EXPECT_EQ(later->length(), 0u);
}

// Every listening socket of the orvsim process, from /proc: the inodes of its
// socket descriptors matched against the kernel's TCP tables.
std::vector<std::string> ListeningAddresses(pid_t pid) {
  std::set<std::string> inodes;
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* d = ::opendir(fdDir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      char target[256];
      const ssize_t n = ::readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = 0;
      const std::string t = target;
      if (t.rfind("socket:[", 0) == 0) inodes.insert(t.substr(8, t.size() - 9));
    }
    ::closedir(d);
  }
  std::vector<std::string> out;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream f(table);
    std::string line;
    std::getline(f, line);  // heading
    while (std::getline(f, line)) {
      std::istringstream in(line);
      std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
      in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
      if (state == "0A" && inodes.count(inode)) out.push_back(local);
    }
  }
  return out;
}

TEST_F(Service, ListensOnLoopbackOnly) {
  const std::vector<std::string> listening = ListeningAddresses(sim_->Pid());
  ASSERT_FALSE(listening.empty());
  char port[8];
  std::snprintf(port, sizeof port, "%04X", std::stoi(sim_->Get("port")));
  for (const std::string& addr : listening)
    EXPECT_EQ(addr, std::string("0100007F:") + port) << "127.0.0.1 on the published port only";
}

TEST_F(Service, TermEndsTheServiceCleanlyDuringAPull) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  std::thread waiting([&] {
    try {
      CORBA::Any_var a = m->pull(20000);
    } catch (const CORBA::Exception&) {
    }
  });
  for (int i = 0; i < 2000 && control_->GetStats().pulls_in_progress == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const int status = sim_->Stop();
  waiting.join();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A bounded load check: this many clients, each with a manager of its own,
// wait in pull at the same time and are all served by one tick.
TEST_F(Service, ManyManagersPullAtOnce) {
  constexpr int kManagers = 250;
  Orv::ZmDataManager_var probe = SignIn(equities_);
  const std::vector<std::string> stocks = Symbols(probe, T_EQUITY_BASE, 2);
  std::vector<Orv::ZmDataManager_var> managers;
  for (int i = 0; i < kManagers; ++i) {
    managers.push_back(SignIn(equities_, i % 2 ? "bob" : "alice", i % 2 ? "pw2" : "secret"));
    ASSERT_EQ(managers.back()->Subscribe(stocks[i % 5].c_str(), 1, T_OPTION_QUOTE), 0);
    CORBA::Any_var initial = managers.back()->pull(20000);  // the chain's current data
  }
  std::atomic<int> updated{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kManagers; ++i)
    threads.emplace_back([&, i] {
      CORBA::Any_var a = managers[i]->pull(20000);
      if (!Decode(Octets(&a.in())).empty()) ++updated;
    });
  // Every manager waits inside the service before the market moves.
  for (int i = 0; i < 4000 && control_->GetStats().pulls_in_progress < kManagers; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const OrvSim::Stats before = control_->GetStats();
  control_->PublishNow(1);
  for (auto& t : threads) t.join();
  EXPECT_EQ(before.pulls_in_progress, static_cast<CORBA::ULong>(kManagers));
  EXPECT_EQ(updated.load(), kManagers);
  EXPECT_GE(control_->GetStats().peak_concurrent_pulls, static_cast<CORBA::ULong>(kManagers));
}

}  // namespace
}  // namespace orvtest

namespace orvtest {
namespace {

class SmallReplies : public OrvSimTest {
 protected:
  void SetUp() override {
    std::vector<std::string> args = DefaultArgs();
    args.push_back("--max-reply-bytes");
    args.push_back("1024");
    Start(args);
  }
};

TEST_F(SmallReplies, LargeDeliveriesAreCutIntoWholeMessages) {
  Orv::ZmDataManager_var m = SignIn(equities_);
  ASSERT_EQ(m->RegisterFields(4, orvidl::FieldListAny({1, 6, 10})), 0);  // 20-byte records
  ASSERT_EQ(m->SubscribeAll(4), 0);
  std::set<std::string> seen;
  size_t replies = 0;
  for (;;) {
    CORBA::Any_var a = m->pull(0);
    const std::vector<uint8_t> bytes = Octets(&a.in());
    if (bytes.empty()) break;
    ++replies;
    EXPECT_LE(bytes.size(), 1024u + 20u);
    for (const Block& b : Decode(bytes))  // each reply is a message of its own
      for (const auto& rec : b.records) EXPECT_TRUE(seen.insert(Text(rec[0])).second);
  }
  EXPECT_EQ(seen.size(), 5u * 56u) << "every option exactly once";
  EXPECT_GT(replies, 5u);
}

}  // namespace
}  // namespace orvtest
