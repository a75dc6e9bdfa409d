// The subscription queue against a stand-in server that records what it was
// asked: whatever the order of links, worker runs and refresh passes, the
// server ends up holding exactly the keys that have links, and never gets a
// request that would not change what it holds.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "dde/SubscriptionQueue.h"

using namespace zmdde;

namespace {

std::string Text(const _bstr_t& b) {
  const char* s = static_cast<const char*>(b);
  return s ? s : "";
}

SubscriptionRequest Request(const char* symbol, DataTypeEnum kind, BYTE subscribe = 1) {
  SubscriptionRequest r;
  r.symbol = symbol;
  r.kind = kind;
  r.subscribe = subscribe;
  return r;
}

// The worker's part, with a server that holds a set of keys.
struct Server {
  std::set<std::string> held;
  std::string calls;  // "+ABC -ABC ..." in the order received
  bool refuse = false;

  static std::string Name(const SubscriptionRequest& r) {
    return Text(r.symbol) + "/" + std::to_string(r.kind);
  }
  // Carries out one request, as the subscription routines do.
  void Run(SubscriptionQueue& q, const SubscriptionRequest& r) {
    calls += (calls.empty() ? "" : " ") + std::string(r.subscribe ? "+" : "-") + Text(r.symbol);
    const SubscriptionKey key = SubscriptionKey::Of(r);
    if (!r.subscribe) {
      held.erase(Name(r));
      return;
    }
    if (refuse) {
      q.Refused(key, r);
      return;
    }
    held.insert(Name(r));
    q.Accepted(key);
  }
  void Drain(SubscriptionQueue& q) {
    SubscriptionRequest r;
    while (q.Pop(r)) Run(q, r);
  }
};

std::string Directions(const SubscriptionQueue& q) {
  std::string out;
  for (const SubscriptionRequest& r : q.Queued()) out += r.subscribe ? '+' : '-';
  return out;
}

TEST(SubscriptionQueue, LinkSequencesLeaveTheServerHoldingExactlyTheLinkedKeys) {
  // o open, O open by a link whose entry still needs its first values,
  // c close, w the worker drains the queue, p the worker takes one request,
  // a it carries that request out, x the server refuses from now on,
  // y it accepts again, f a refresh pass.
  struct Case {
    const char* steps;
    const char* queued;  // the queue afterwards, before a last drain
    const char* calls;   // what the server was asked, after a last drain
    LONG count;
  };
  const Case cases[] = {
      {"o", "+", "+ABC", 1},
      {"ow", "", "+ABC", 1},
      {"oc", "", "", 0},                       // opened and closed before the worker ran
      {"owc", "-", "+ABC -ABC", 0},
      {"owco", "", "+ABC", 1},                 // reopened while the unsubscribe waits
      {"owcwo", "+", "+ABC -ABC +ABC", 1},     // reopened after it ran
      {"ooc", "+", "+ABC", 1},                 // two links, one closed
      {"owooc", "", "+ABC", 2},
      {"occ", "", "", 0},                      // a stop without a link changes nothing
      {"c", "", "", 0},
      {"owO", "+", "+ABC +ABC", 2},            // a new entry needs its values fetched
      {"owcO", "+", "+ABC +ABC", 1},           // ... and gets them although the key is held
      {"opca", "-", "+ABC -ABC", 0},            // closed while the subscription was on its way
      {"opcoa", "+", "+ABC +ABC", 1},          // a second subscription does no harm
      {"xow", "", "+ABC", 1},                  // refused: not held, nothing to take back
      {"xowc", "", "+ABC", 0},
      {"xowfyw", "", "+ABC +ABC", 1},          // tried again by the refresh pass
      {"xowfwfyw", "", "+ABC +ABC +ABC", 1},
      {"xowcf", "", "+ABC", 0},                // no link, no retry
      {"owf", "", "+ABC", 1},
      {"owcwf", "", "+ABC -ABC", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.steps);
    SubscriptionQueue q;
    Server server;
    const SubscriptionKey key(enStockData, "ABC");
    SubscriptionRequest inFlight;
    for (const char* s = c.steps; *s; ++s) {
      switch (*s) {
        case 'o': q.Open(key, Request("ABC", enStockData), false); break;
        case 'O': q.Open(key, Request("ABC", enStockData), true); break;
        case 'c': q.Close(key); break;
        case 'w': server.Drain(q); break;
        case 'p': ASSERT_TRUE(q.Pop(inFlight)); break;
        case 'a': server.Run(q, inFlight); break;
        case 'x': server.refuse = true; break;
        case 'y': server.refuse = false; break;
        case 'f': q.Refresh(); break;
      }
    }
    EXPECT_EQ(Directions(q), c.queued);
    server.Drain(q);
    EXPECT_EQ(server.calls, c.calls);
    EXPECT_EQ(q.Count(key), c.count);
    EXPECT_EQ(server.held.count("ABC/0") != 0, c.count > 0 && !server.refuse);
    // Every link closed: the server lets go of the key, whatever came before.
    while (q.Count(key) > 0) q.Close(key);
    q.Refresh();
    server.Drain(q);
    EXPECT_TRUE(server.held.empty());
  }
}

TEST(SubscriptionQueue, ARefusalIsReportedOnceUntilTheKeyIsHeld) {
  SubscriptionQueue q;
  const SubscriptionKey key(enIVIndexData, "ABC");
  const SubscriptionRequest request = Request("ABC", enIVIndexData);
  q.Open(key, request, true);
  SubscriptionRequest r;
  ASSERT_TRUE(q.Pop(r));
  EXPECT_TRUE(q.Refused(key, r));
  for (int pass = 0; pass < 3; ++pass) {
    EXPECT_EQ(q.Refresh(), 1u);
    EXPECT_EQ(q.Refresh(), 0u);  // one retry at a time
    ASSERT_TRUE(q.Pop(r));
    EXPECT_EQ(r.subscribe, 1);
    EXPECT_FALSE(q.Refused(key, r));
  }
  EXPECT_EQ(q.Refresh(), 1u);
  ASSERT_TRUE(q.Pop(r));
  q.Accepted(key);
  EXPECT_EQ(q.Refresh(), 0u);
  // Held again, then refused again: that one is news.
  q.Close(key);
  ASSERT_TRUE(q.Pop(r));
  EXPECT_EQ(r.subscribe, 0);
  q.Open(key, request, false);
  ASSERT_TRUE(q.Pop(r));
  EXPECT_TRUE(q.Refused(key, r));
}

TEST(SubscriptionQueue, AFailedSnapshotOfAHeldKeyIsTriedAgainAndStillLetGo) {
  SubscriptionQueue q;
  const SubscriptionKey key(enStockData, "ABC");
  q.Open(key, Request("ABC", enStockData), true);
  SubscriptionRequest r;
  ASSERT_TRUE(q.Pop(r));
  q.Refused(key, r, true);  // subscribed, but no values came
  EXPECT_EQ(q.Refresh(), 1u);
  ASSERT_TRUE(q.Pop(r));
  EXPECT_EQ(r.subscribe, 1);
  q.Refused(key, r, true);
  q.Close(key);
  ASSERT_TRUE(q.Pop(r));
  EXPECT_EQ(r.subscribe, 0);
}

// An option's links count on the option until its chain's snapshot names
// the underlying, and on the chain from then on.
TEST(SubscriptionQueue, LinksMovedToTheChainTakeTheirRequestsAlong) {
  const SubscriptionKey a(enOptionData, "ABC A"), b(enOptionData, "ABC B"),
      chain(enOptionData, "ABC");
  {
    // The worker takes A's request; B's waits and goes with B's links.
    SubscriptionQueue q;
    q.Open(a, Request("ABC A", enOptionData), true);
    q.Open(b, Request("ABC B", enOptionData), true);
    q.Open(b, Request("ABC B", enOptionData), true);
    SubscriptionRequest r;
    ASSERT_TRUE(q.Pop(r));
    q.Transfer(a, chain);
    q.Transfer(b, chain);
    EXPECT_EQ(q.Count(chain), 3);
    EXPECT_EQ(q.Count(a), 0);
    EXPECT_EQ(q.Count(b), 0);
    q.Accepted(chain);
    ASSERT_EQ(q.Queued().size(), 1u);
    EXPECT_EQ(Text(q.Queued()[0].symbol), "ABC B");
    // The last of the chain's links takes it back and unsubscribes the chain.
    q.Close(chain);
    q.Close(chain);
    q.Close(chain);
    ASSERT_EQ(q.Queued().size(), 1u);
    EXPECT_EQ(Text(q.Queued()[0].symbol), "ABC");
    EXPECT_EQ(q.Queued()[0].subscribe, 0);
  }
  {
    // Links back on a chain whose unsubscription still waits keep it.
    SubscriptionQueue q;
    q.Open(chain, Request("ABC A", enOptionData), false);
    q.Accepted(chain);
    q.Close(chain);
    ASSERT_EQ(q.Queued().size(), 1u);
    q.Open(b, Request("ABC B", enOptionData), true);
    ASSERT_TRUE(q.Queued().back().subscribe);
    q.Transfer(b, chain);
    ASSERT_EQ(q.Queued().size(), 1u);
    EXPECT_EQ(q.Queued()[0].subscribe, 1);  // B's, for its values
    EXPECT_EQ(q.Count(chain), 1);
  }
  {
    // Links gone before the chain was known: nothing moves, nothing queued.
    SubscriptionQueue q;
    q.Open(a, Request("ABC A", enOptionData), true);
    SubscriptionRequest r;
    ASSERT_TRUE(q.Pop(r));
    q.Close(a);
    q.Transfer(a, chain);
    EXPECT_EQ(q.Count(chain), 0);
    EXPECT_TRUE(q.Queued().empty());
  }
}

// An option carried on its own takes over the links its chain counts
// already: it is subscribed once, let go with its last link, and a chain
// unsubscribed outside the queue is not unsubscribed again.
TEST(SubscriptionQueue, AnOptionCarriedAloneIsLetGoWithItsLastLink) {
  SubscriptionQueue q;
  Server server;
  const SubscriptionKey chain(enOptionData, "ABC");
  ASSERT_EQ(q.Open(chain, Request("ABC", enOptionData), false), 1);
  ASSERT_EQ(q.Open(chain, Request("ABC", enOptionData), false), 2);
  server.Drain(q);
  ASSERT_EQ(server.calls, "+ABC");

  SubscriptionRequest alone = Request("ABC A", enOptionData);
  alone.symbolType = enOption;
  const SubscriptionKey single = SubscriptionKey::Of(alone);
  EXPECT_TRUE(single.single);
  q.Adopt(single, alone, 2);
  q.Adopt(single, alone, 2);  // once queued, not again
  EXPECT_EQ(Directions(q), "+");
  q.Released(chain);
  server.Drain(q);
  EXPECT_EQ(q.Count(single), 2);

  EXPECT_EQ(q.Close(single), 1);
  EXPECT_EQ(q.Close(chain), 1);
  EXPECT_EQ(Directions(q), "");
  EXPECT_EQ(q.Close(single), 0);
  EXPECT_EQ(q.Close(chain), 0);
  server.Drain(q);
  // The chain went at the server when it was released: only the option's
  // own subscription is taken back.
  EXPECT_EQ(server.calls, "+ABC +ABC A -ABC A");
  q.Refresh();
  EXPECT_TRUE(q.Queued().empty());
}

// An option carried alone whose last link goes while its subscription is
// on its way, with a refresh pass in between: the subscription's success
// still lets it go, as the option it was, not as a chain.
TEST(SubscriptionQueue, AnOptionLetGoWhileItsSubscriptionIsOnItsWayIsStillUnsubscribedAlone) {
  SubscriptionQueue q;
  SubscriptionRequest alone = Request("ABC A", enOptionData);
  alone.symbolType = enOption;
  const SubscriptionKey single = SubscriptionKey::Of(alone);
  q.Adopt(single, alone, 1);
  SubscriptionRequest taken;
  ASSERT_TRUE(q.Pop(taken));
  EXPECT_EQ(q.Close(single), 0);
  EXPECT_TRUE(q.Queued().empty());
  q.Refresh();
  q.Accepted(single);
  const std::vector<SubscriptionRequest> queued = q.Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].subscribe, 0);
  EXPECT_EQ(Text(queued[0].symbol), "ABC A");
  EXPECT_EQ(queued[0].symbolType, enOption);
  EXPECT_TRUE(SubscriptionKey::Of(queued[0]).single);
}

// A new server holds nothing: every key that still has links is asked for
// again, an option carried alone included, and a key whose last link went
// is not, nor is its unsubscription still queued.
TEST(SubscriptionQueue, ANewServerIsAskedForEveryLinkedKeyAndNothingElse) {
  SubscriptionQueue q;
  Server server;
  const SubscriptionKey stock(enStockData, "ABC");
  const SubscriptionKey gone(enStockData, "XYZ");
  q.Open(stock, Request("ABC", enStockData), false);
  q.Open(gone, Request("XYZ", enStockData), false);
  SubscriptionRequest alone = Request("DEF A", enOptionData);
  alone.symbolType = enOption;
  q.Adopt(SubscriptionKey::Of(alone), alone, 1);
  server.Drain(q);
  EXPECT_EQ(q.Close(gone), 0);
  EXPECT_EQ(Directions(q), "-");

  server = Server();
  EXPECT_EQ(q.ServerReplaced(), 2u);
  server.Drain(q);
  EXPECT_EQ(server.held, (std::set<std::string>{"ABC/" + std::to_string(enStockData),
                                                 "DEF A/" + std::to_string(enOptionData)}));
  EXPECT_EQ(server.calls.find("XYZ"), std::string::npos) << server.calls;
  q.Refresh();
  EXPECT_TRUE(q.Queued().empty());
}

// A chain that its links reached only through an option (the underlying
// was learnt from the option's snapshot) is asked for again as it was
// first: through that option, of the chain's own kind.
TEST(SubscriptionQueue, ANewServerIsAskedForAChainItsLinksReachedThroughAnOption) {
  SubscriptionQueue q;
  const SubscriptionKey option(enOptionData, "ABC A"), chain(enOptionData, "ABC");
  q.Open(option, Request("ABC A", enOptionData), true);
  SubscriptionRequest r;
  ASSERT_TRUE(q.Pop(r));
  q.Transfer(option, chain);
  q.Accepted(chain);
  ASSERT_EQ(q.ServerReplaced(), 1u);
  ASSERT_EQ(q.Queued().size(), 1u);
  EXPECT_EQ(Text(q.Queued()[0].symbol), "ABC A");
  EXPECT_EQ(q.Queued()[0].kind, enOptionData);
  EXPECT_EQ(q.Queued()[0].subscribe, 1);
  ASSERT_TRUE(q.Pop(r));
  // Refused by the new server, the refresh pass tries the same again.
  q.Refused(chain, r);
  q.Refresh();
  ASSERT_EQ(q.Queued().size(), 1u);
  EXPECT_EQ(Text(q.Queued()[0].symbol), "ABC A");
}

TEST(SubscriptionQueue, PlainRequestsReplaceTheOtherDirectionAndWakeTheWorker) {
  SubscriptionQueue q;
  ASSERT_TRUE(q.MakeWakeUp());
  struct Case {
    const char* symbol;
    DataTypeEnum kind;
    SymbolTypeEnum type;
    BYTE subscribe;
    bool added;
  };
  const Case cases[] = {
      {"ABC", enStockData, enEquity, 1, true},
      {"ABC", enStockData, enEquity, 1, false},    // the same again
      {"ABC", enStockData, enEquity, 0, true},     // the other way round replaces it
      {"ABC", enOptionData, enEquity, 1, true},    // another kind
      {"ABC", enOptionData, enFuture, 1, false},   // the symbol type is not compared
      {"ABC", enOptionData, enOption, 1, true},    // but an option carried alone is a key of its own
      {"ABD", enStockData, enEquity, 0, true},
  };
  for (const Case& c : cases) {
    SubscriptionRequest r = Request(c.symbol, c.kind, c.subscribe);
    r.symbolType = c.type;
    EXPECT_EQ(q.Enqueue(r), c.added) << c.symbol << " kind " << c.kind;
  }
  EXPECT_EQ(Directions(q), "-++-");
  EXPECT_EQ(WaitForSingleObject(q.WakeUp(), 0), WAIT_OBJECT_0);

  // Held, the worker finds nothing and is not woken; released, it is.
  q.Hold(true);
  SubscriptionRequest r;
  EXPECT_FALSE(q.Pop(r));
  q.Wake();
  EXPECT_EQ(WaitForSingleObject(q.WakeUp(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  q.Hold(false);
  EXPECT_EQ(WaitForSingleObject(q.WakeUp(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(q.Pop(r));

  // Parked requests come back once nothing blocks them, each once.
  bool blocked = true;
  const SubscriptionRequest option = Request("ABC A", enOptionData);
  EXPECT_FALSE(q.Defer(option, [] { return false; }));
  EXPECT_TRUE(q.Defer(option, [&] { return blocked; }));
  EXPECT_TRUE(q.Defer(option, [&] { return blocked; }));
  EXPECT_EQ(q.Deferred().size(), 1u);
  EXPECT_EQ(q.RequeueDeferred([&] { return blocked; }), 0u);
  blocked = false;
  EXPECT_EQ(q.RequeueDeferred([&] { return blocked; }), 1u);
  EXPECT_TRUE(q.Deferred().empty());
  EXPECT_EQ(Text(q.Queued().back().symbol), "ABC A");
}

}  // namespace
