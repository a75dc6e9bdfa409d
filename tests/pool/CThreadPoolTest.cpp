#include "platform/pool/CThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

// A latch the tests open by hand, so nothing depends on timing.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> l(m_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [this] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

struct Task {
  std::function<void()> body;
};

struct Counters {
  std::atomic<int> initialized{0};
  std::atomic<int> terminated{0};
  std::atomic<int> executed{0};
  // How many of the threads still to set up fail to.
  std::atomic<int> failInitialize{0};
  std::mutex m;
  std::set<std::thread::id> threads;
};

struct TestWorker {
  typedef Task* RequestType;
  Counters* c = nullptr;
  bool Initialize(void* param) {
    c = static_cast<Counters*>(param);
    ++c->initialized;
    int failing = c->failInitialize.load();
    while (failing > 0 && !c->failInitialize.compare_exchange_weak(failing, failing - 1)) {
    }
    return failing <= 0;
  }
  void Execute(Task* t, void* param, void* overlapped) {
    EXPECT_EQ(param, c);
    EXPECT_EQ(overlapped, nullptr);
    {
      std::lock_guard<std::mutex> l(c->m);
      c->threads.insert(std::this_thread::get_id());
    }
    t->body();
    ++c->executed;
    delete t;
  }
  void Terminate(void* param) { ++static_cast<Counters*>(param)->terminated; }
  static std::atomic<int> discarded;
  static void Discard(Task* t) {
    ++discarded;
    delete t;
  }
};
std::atomic<int> TestWorker::discarded{0};

TEST(CThreadPoolTest, EveryThreadInitialisesOnceRunsRequestsAndTerminates) {
  Counters c;
  CThreadPool<TestWorker> pool;
  ASSERT_TRUE(pool.Initialize(&c, 5));
  EXPECT_EQ(pool.ThreadCount(), 5u);
  EXPECT_FALSE(pool.Initialize(&c, 5)) << "a running pool is not started twice";
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(pool.QueueRequest(new Task{[] {}}));
  EXPECT_TRUE(pool.Shutdown(orvpool::kInfinite).empty());
  EXPECT_EQ(c.executed, 100);
  EXPECT_EQ(c.initialized, 5);
  EXPECT_EQ(c.terminated, 5);
  EXPECT_EQ(pool.ThreadCount(), 0u);
}

TEST(CThreadPoolTest, RequestsRunConcurrentlyOnSeveralThreads) {
  Counters c;
  CThreadPool<TestWorker> pool;
  ASSERT_TRUE(pool.Initialize(&c, 3));
  // Three tasks that each wait until all three are running: only finishes
  // when three threads take them at once.
  std::atomic<int> running{0};
  Gate all;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(pool.QueueRequest(new Task{[&] {
      if (++running == 3) all.Open();
      all.Wait();
    }}));
  }
  pool.Shutdown(orvpool::kInfinite);
  EXPECT_EQ(c.executed, 3);
  EXPECT_EQ(c.threads.size(), 3u);
}

TEST(CThreadPoolTest, ShutdownRefusesNewRequestsFinishesTheRunningOneAndHandsBackTheRest) {
  Counters c;
  CThreadPool<TestWorker> pool;
  ASSERT_TRUE(pool.Initialize(&c, 1));
  Gate started;
  std::atomic<bool> refusedWhileRunning{false};
  // The running task holds its thread until the pool refuses requests, which
  // happens only once Shutdown(0) has also told the threads to stop.
  ASSERT_TRUE(pool.QueueRequest(new Task{[&] {
    // Queued before Shutdown can start: it must come back unrun.
    EXPECT_TRUE(pool.QueueRequest(new Task{[] {}}));
    started.Open();
    for (;;) {
      Task* probe = new Task{[] {}};
      if (!pool.QueueRequest(probe)) {
        delete probe;
        refusedWhileRunning = true;
        return;
      }
      // Accepted before the stop: it stays queued behind us.
      std::this_thread::yield();
    }
  }}));
  started.Wait();
  std::vector<Task*> left = pool.Shutdown(0);
  EXPECT_TRUE(refusedWhileRunning);
  EXPECT_EQ(c.executed, 1) << "only the running task completes";
  EXPECT_FALSE(left.empty());
  for (Task* t : left) delete t;
  Task* late = new Task{[] {}};
  EXPECT_FALSE(pool.QueueRequest(late));
  delete late;
  EXPECT_EQ(c.terminated, 1);
}

// A request that works through a long list looks at StopRequested between
// steps, so the shutdown's join waits only for the step in progress. Off a
// pool thread nothing is ever asked to stop.
TEST(CThreadPoolTest, ARunningRequestSeesTheStopAndShutdownWaitsOnlyForIt) {
  EXPECT_FALSE(orvpool::StopRequested());
  Counters c;
  CThreadPool<TestWorker> pool;
  ASSERT_TRUE(pool.Initialize(&c, 1));
  Gate started;
  std::atomic<bool> sawStop{false};
  ASSERT_TRUE(pool.QueueRequest(new Task{[&] {
    started.Open();
    while (!orvpool::StopRequested()) std::this_thread::yield();
    sawStop = true;
  }}));
  started.Wait();
  EXPECT_TRUE(pool.Shutdown(0).empty());
  EXPECT_TRUE(sawStop);
  EXPECT_EQ(c.terminated, 1);
}

// A request that does not end (a call into a client that stopped) keeps
// the shutdown no longer than its bound: the pool goes, the thread finishes
// its request alone later and then leaves without touching it.
TEST(CThreadPoolTest, AShutdownLeavesAThreadStuckInItsRequestBehind) {
  Counters c;
  Gate started, release;
  auto pool = std::make_unique<CThreadPool<TestWorker>>();
  ASSERT_TRUE(pool->Initialize(&c, 2));
  ASSERT_TRUE(pool->QueueRequest(new Task{[&] {
    started.Open();
    release.Wait();
  }}));
  started.Wait();
  auto shutdown = std::async(std::launch::async, [&] { pool.reset(); });
  ASSERT_EQ(shutdown.wait_for(std::chrono::seconds(20)), std::future_status::ready)
      << "the pool's end waited for a request that does not end";
  EXPECT_EQ(c.terminated, 1) << "the idle thread ends with the pool";
  release.Open();
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (c.terminated != 2 && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
  EXPECT_EQ(c.terminated, 2) << "the thread left behind never ended";
  EXPECT_EQ(c.executed, 1);
}

TEST(CThreadPoolTest, DestructorDiscardsWhatIsStillQueued) {
  Counters c;
  TestWorker::discarded = 0;
  Gate release;
  Gate started;
  std::thread opener;
  {
    CThreadPool<TestWorker> pool;
    ASSERT_TRUE(pool.Initialize(&c, 1));
    ASSERT_TRUE(pool.QueueRequest(new Task{[&] {
      started.Open();
      release.Wait();
    }}));
    started.Wait();
    ASSERT_TRUE(pool.QueueRequest(new Task{[] {}}));
    ASSERT_TRUE(pool.QueueRequest(new Task{[] {}}));
    // Lets the blocked task go once the destructor's shutdown refuses
    // requests; the destructor then joins the thread and discards the rest.
    opener = std::thread([&] {
      for (;;) {
        Task* probe = new Task{[] {}};
        if (!pool.QueueRequest(probe)) {
          delete probe;
          break;
        }
        std::this_thread::yield();
      }
      release.Open();
    });
  }
  opener.join();
  EXPECT_EQ(c.executed, 1);
  EXPECT_GE(TestWorker::discarded, 2);
}

TEST(CThreadPoolTest, APoolWhoseThreadsAllFailToSetUpRefusesRequests) {
  Counters c;
  c.failInitialize = 2;
  CThreadPool<TestWorker> pool;
  EXPECT_FALSE(pool.Initialize(&c, 2));
  EXPECT_EQ(c.initialized, 2);
  EXPECT_EQ(pool.ThreadCount(), 0u);
  Task* t = new Task{[] {}};
  EXPECT_FALSE(pool.QueueRequest(t)) << "a request no thread will ever run was taken";
  delete t;
  EXPECT_TRUE(pool.Shutdown(0).empty());
  EXPECT_EQ(c.executed, 0);
  EXPECT_EQ(c.terminated, 0) << "a thread that never started has nothing to end";
  // It can be started again once set-up works.
  c.failInitialize = 0;
  ASSERT_TRUE(pool.Initialize(&c, 1));
  Gate ran;
  ASSERT_TRUE(pool.QueueRequest(new Task{[&] { ran.Open(); }}));
  ran.Wait();
}

TEST(CThreadPoolTest, ThreadsThatSetUpRunTheRequestsOfThoseThatDidNot) {
  Counters c;
  c.failInitialize = 2;
  CThreadPool<TestWorker> pool;
  ASSERT_TRUE(pool.Initialize(&c, 3));
  EXPECT_EQ(c.initialized, 3);
  Gate done;
  std::atomic<int> left{10};
  for (int i = 0; i < 10; ++i)
    ASSERT_TRUE(pool.QueueRequest(new Task{[&] {
      if (--left == 0) done.Open();
    }}));
  done.Wait();
  pool.Shutdown(orvpool::kInfinite);
  EXPECT_EQ(c.executed, 10);
  EXPECT_EQ(c.threads.size(), 1u);
  EXPECT_EQ(c.terminated, 1);
}

TEST(CThreadPoolTest, NotStartedPoolRefusesRequests) {
  CThreadPool<TestWorker> pool;
  Task* t = new Task{[] {}};
  EXPECT_FALSE(pool.QueueRequest(t));
  delete t;
  EXPECT_TRUE(pool.Shutdown(0).empty());
}

}  // namespace
