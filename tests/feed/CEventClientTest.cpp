// The client handle's delivery order: events run in the order their tasks
// were made, one at a time, on whichever thread finds the next one ready;
// nobody waits on a busy client, and a client that lets itself go inside
// its own event does not wait for that event.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feed/CEventClient.h"

using namespace std::chrono_literals;

namespace {

CZmOrvEventSource* FakeClient(int n) { return reinterpret_cast<CZmOrvEventSource*>(static_cast<uintptr_t>(0x1000 * n)); }

// A latch the test opens; waits are bounded so that a fault fails the test
// instead of hanging it.
struct Latch {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  void Open() {
    {
      std::lock_guard<std::mutex> l(m);
      open = true;
    }
    cv.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, 10s, [&] { return open; });
  }
};

TEST(EventClient, EventsRunInTicketOrderWhateverOrderTheyAreHandedIn) {
  CEventClientPtr client = CEventClient::Create(FakeClient(1));
  std::vector<int> ran;
  std::vector<uint64_t> tickets;
  for (int i = 0; i < 5; ++i) tickets.push_back(client->TakeTicket());
  // Handed in as five pool threads might: 3, 1, 5, 2, 4 (1-based).
  for (int i : {2, 0, 4, 1, 3}) client->Deliver(tickets[i], [&ran, i] { ran.push_back(i); });
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(client->QueuedEvents(), 0u);
}

TEST(EventClient, ATaskDroppedUnrunStepsAsideWithoutRunningOthersOnItsThread) {
  CEventClientPtr client = CEventClient::Create(FakeClient(1));
  std::vector<int> ran;
  std::thread::id ranOn;
  const uint64_t dropped = client->TakeTicket();
  const uint64_t second = client->TakeTicket();
  const uint64_t third = client->TakeTicket();
  client->Deliver(second, [&] {
    ran.push_back(2);
    ranOn = std::this_thread::get_id();
  });
  // The drop comes from the producer's thread: it must not fire there.
  std::thread([&] { client->Deliver(dropped, nullptr); }).join();
  EXPECT_TRUE(ran.empty());
  client->Deliver(third, [&] { ran.push_back(3); });
  EXPECT_EQ(ran, (std::vector<int>{2, 3}));
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // The ticket of a task destroyed unrun is given back by itself.
  std::vector<int> later;
  { CEventTicket unused(client); }
  CEventTicket next(client);
  next.Deliver([&] { later.push_back(1); });
  EXPECT_EQ(later, (std::vector<int>{1}));
}

// One thread holds a slow event; the client's next events, handed in on
// other threads, queue behind it and those threads return at once.
TEST(EventClient, ABusyClientHoldsOneThreadAndOthersReturnAtOnce) {
  CEventClientPtr slow = CEventClient::Create(FakeClient(1));
  Latch entered, release;
  std::atomic<int> running{0}, most{0}, done{0};
  auto job = [&](bool first) {
    return [&, first] {
      const int now = ++running;
      if (now > most) most = now;
      if (first) {
        entered.Open();
        release.Wait();
      }
      --running;
      ++done;
    };
  };
  std::vector<uint64_t> t;
  for (int i = 0; i < 4; ++i) t.push_back(slow->TakeTicket());
  auto holder = std::async(std::launch::async, [&] { slow->Deliver(t[0], job(true)); });
  ASSERT_TRUE(entered.Wait());
  std::vector<std::future<void>> others;
  for (int i = 1; i < 4; ++i) others.push_back(std::async(std::launch::async, [&, i] { slow->Deliver(t[i], job(false)); }));
  for (auto& f : others) ASSERT_EQ(f.wait_for(10s), std::future_status::ready) << "a thread waited on a busy client";
  EXPECT_EQ(done.load(), 0);
  EXPECT_EQ(slow->QueuedEvents(), 3u);
  release.Open();
  holder.get();
  EXPECT_EQ(done.load(), 4) << "the holding thread runs what queued behind it";
  EXPECT_EQ(most.load(), 1);
}

// The client's final release can come from inside its own event (its
// handler let go of it): detaching then must not wait for that event.
// WithClient holds no lock while its function runs, so the detach of
// another thread's event waits only for that event's end.
TEST(EventClient, DetachInsideTheClientsOwnEventDoesNotWaitForIt) {
  CEventClientPtr client = CEventClient::Create(FakeClient(1));
  auto f = std::async(std::launch::async, [&] {
    return client->WithClient([&](CZmOrvEventSource*) { client->Detach(); });
  });
  ASSERT_EQ(f.wait_for(10s), std::future_status::ready) << "detach waited for its own event";
  EXPECT_TRUE(f.get());
  EXPECT_FALSE(client->IsAttached());
  EXPECT_FALSE(client->WithClient([](CZmOrvEventSource*) { ADD_FAILURE() << "ran on a detached client"; }));

  // Events queued for a client that detaches are dropped, not run.
  CEventClientPtr other = CEventClient::Create(FakeClient(2));
  const uint64_t gap = other->TakeTicket();
  CEventTicket queued(other);
  bool ran = false;
  queued.Deliver([&] { ran = true; });
  EXPECT_EQ(other->QueuedEvents(), 1u);
  other->Detach();
  EXPECT_EQ(other->QueuedEvents(), 0u);
  other->Deliver(gap, nullptr);
  EXPECT_FALSE(ran);
}

// The keep-alive reference is what makes a client safe to call without a
// lock: an event takes one or runs nothing, and gives it back afterwards.
struct Refs {
  static std::atomic<int>& Count() {
    static std::atomic<int> n{0};
    return n;
  }
  static std::atomic<int>& CutOffs() {
    static std::atomic<int> n{0};
    return n;
  }
  static bool Hold(CZmOrvEventSource*) {
    int n = Count().load();
    while (n > 0)
      if (Count().compare_exchange_weak(n, n + 1)) return true;
    return false;
  }
  static void Release(CZmOrvEventSource*) { --Count(); }
  static void CutOff(CZmOrvEventSource*) { ++CutOffs(); }
};

TEST(EventClient, AnEventHoldsItsClientAndAClientGoingRunsNone) {
  Refs::Count() = 1;
  CEventClientPtr client = CEventClient::Create(FakeClient(1), {&Refs::Hold, &Refs::Release, &Refs::CutOff});
  int during = 0;
  EXPECT_TRUE(client->WithClient([&](CZmOrvEventSource*) { during = Refs::Count().load(); }));
  EXPECT_EQ(during, 2);
  EXPECT_EQ(Refs::Count().load(), 1);
  Refs::Count() = 0;  // its final release has begun
  EXPECT_FALSE(client->WithClient([](CZmOrvEventSource*) { ADD_FAILURE() << "ran on a client that is going"; }));
  EXPECT_EQ(Refs::Count().load(), 0);
}

// What waits is bounded by memory, not by a count: a burst of small events
// far past ten thousand (the current data of thousands of keys another
// client holds, made faster than any client takes them) waits whole; only
// past the bound of memory is the client cut off, once, everything queued
// dropped and nothing queued after.
TEST(EventClient, WaitingEventsAreBoundedByTheirMemoryNotByTheirCount) {
  Refs::Count() = 1;
  Refs::CutOffs() = 0;
  CEventClientPtr client = CEventClient::Create(FakeClient(1), {&Refs::Hold, &Refs::Release, &Refs::CutOff});
  const uint64_t stuck = client->TakeTicket();  // an event that comes in last
  int ran = 0;
  constexpr size_t kBurst = 30000;
  for (size_t i = 0; i < kBurst; ++i) {
    CEventTicket t(client);
    t.Describe({200, std::string()});
    t.Deliver([&] { ++ran; });
  }
  EXPECT_EQ(Refs::CutOffs().load(), 0) << "a burst of small events cut the client off";
  const CEventClient::QueueStats burst = client->Stats();
  EXPECT_EQ(burst.events, kBurst);
  EXPECT_EQ(burst.bytes, kBurst * (200 + CEventClient::kEntryBytes));
  client->Deliver(stuck, [&] { ++ran; });
  EXPECT_EQ(ran, static_cast<int>(kBurst + 1));
  const CEventClient::QueueStats after = client->Stats();
  EXPECT_EQ(after.events, 0u);
  EXPECT_EQ(after.bytes, 0u);
  // The last one waits too, for the moment it takes to come to its turn.
  EXPECT_EQ(after.peakEvents, kBurst + 1);
  EXPECT_EQ(after.peakBytes, burst.bytes + CEventClient::kEntryBytes);

  // Past the bound of memory.
  client->SetMaxQueuedBytes(10 * (1000 + CEventClient::kEntryBytes));
  const uint64_t gap = client->TakeTicket();
  for (int i = 0; i < 10; ++i) {
    CEventTicket t(client);
    t.Describe({1000, std::string()});
    t.Deliver([&] { ++ran; });
  }
  EXPECT_EQ(Refs::CutOffs().load(), 0);
  {
    CEventTicket over(client);
    over.Describe({1000, std::string()});
    over.Deliver([&] { ++ran; });
  }
  EXPECT_EQ(Refs::CutOffs().load(), 1);
  EXPECT_EQ(client->QueuedEvents(), 0u);
  EXPECT_EQ(client->Stats().bytes, 0u);
  client->Deliver(gap, [&] { ++ran; });
  EXPECT_EQ(ran, static_cast<int>(kBurst + 1));
  EXPECT_EQ(Refs::CutOffs().load(), 1);
}

// An event of the same rows as a waiting one makes that one needless: of
// the two, the later ticket is delivered, in its own place, whatever order
// they are handed in; other events keep their order; an event already
// running, or one without a name, is never replaced.
TEST(EventClient, ALaterEventOfTheSameRowsReplacesAWaitingOneAndTheOrderStays) {
  struct Case {
    const char* what;
    // Names of the events in ticket order ("" for none), and the order
    // (indexes) they are handed in behind a held first ticket.
    std::vector<std::string> names;
    std::vector<int> handedIn;
    std::vector<int> expected;  // what runs, in order
  };
  const Case cases[] = {
      {"in order", {"a", "b", "a"}, {0, 1, 2}, {1, 2}},
      {"the later one first", {"a", "b", "a"}, {2, 1, 0}, {1, 2}},
      {"three of a key", {"a", "a", "b", "a"}, {0, 1, 2, 3}, {2, 3}},
      {"two keys, each replaced", {"a", "b", "b", "a", "c"}, {4, 3, 0, 2, 1}, {2, 3, 4}},
      {"no name, no replacing", {"", "", "a"}, {0, 1, 2}, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CEventClientPtr client = CEventClient::Create(FakeClient(1));
    const uint64_t held = client->TakeTicket();
    std::vector<uint64_t> tickets;
    for (size_t i = 0; i < c.names.size(); ++i) tickets.push_back(client->TakeTicket());
    std::vector<int> ran;
    for (int i : c.handedIn) client->Deliver(tickets[i], [&ran, i] { ran.push_back(i); }, {100, c.names[i]});
    EXPECT_TRUE(ran.empty());
    client->Deliver(held, [] {});
    EXPECT_EQ(ran, c.expected);
    const CEventClient::QueueStats stats = client->Stats();
    EXPECT_EQ(stats.replaced, c.names.size() - c.expected.size());
    EXPECT_EQ(stats.bytes, 0u);
  }

  // A needless one that is next in turn still runs what waits behind it.
  {
    CEventClientPtr client = CEventClient::Create(FakeClient(1));
    const uint64_t first = client->TakeTicket();
    const uint64_t second = client->TakeTicket();
    std::vector<int> ran;
    client->Deliver(second, [&] { ran.push_back(2); }, {100, "a"});
    client->Deliver(first, [&] { ran.push_back(1); }, {100, "a"});
    EXPECT_EQ(ran, (std::vector<int>{2}));
    EXPECT_EQ(client->QueuedEvents(), 0u);
  }

  // The one running when its later one comes in has been seen: the later
  // one runs after it.
  CEventClientPtr client = CEventClient::Create(FakeClient(1));
  Latch entered, release;
  std::vector<int> ran;
  const uint64_t first = client->TakeTicket();
  const uint64_t second = client->TakeTicket();
  auto running = std::async(std::launch::async, [&] {
    client->Deliver(first, [&] {
      entered.Open();
      release.Wait();
      ran.push_back(1);
    }, {100, "a"});
  });
  ASSERT_TRUE(entered.Wait());
  client->Deliver(second, [&] { ran.push_back(2); }, {100, "a"});
  release.Open();
  running.get();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

// Identity is the handle: two handles of one address are two clients.
TEST(EventClient, ClientsCompareByHandleNotByAddress) {
  CEventClientPtr first = CEventClient::Create(FakeClient(7));
  CEventClientPtr reused = CEventClient::Create(FakeClient(7));
  LessEventClient less;
  EXPECT_TRUE(less(first, reused) || less(reused, first));
  EXPECT_FALSE(less(first, first));
}

}  // namespace
