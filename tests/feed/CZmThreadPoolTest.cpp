#include "feed/CZmThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/com/com.h"

namespace {

std::atomic<int> g_ran{0};
std::atomic<int> g_deleted{0};
std::atomic<int> g_inApartment{0};

class Task : public CWorkerInterface {
 public:
  explicit Task(bool fail) : m_fail(fail) {}
  ~Task() override { ++g_deleted; }
  void DoTask() override {
    ++g_ran;
    // The pool thread is in the apartment already: a second entry is S_FALSE.
    if (CoInitializeEx(nullptr, COINIT_MULTITHREADED) == S_FALSE) ++g_inApartment;
    CoUninitialize();
    if (m_fail) throw std::runtime_error("event lost");
  }

 private:
  bool m_fail;
};

TEST(CZmThreadPoolTest, EachTaskRunsOnceThrowsNothingOutAndIsDeleted) {
  g_ran = 0;
  g_deleted = 0;
  CEventPool pool;
  ASSERT_TRUE(pool.Initialize(nullptr, 5));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(pool.QueueRequest(new Task(i % 2 == 0)));
  EXPECT_TRUE(pool.Shutdown(orvpool::kInfinite).empty());
  EXPECT_EQ(g_ran, 50);
  EXPECT_EQ(g_deleted, 50);
  EXPECT_EQ(g_inApartment, 50);
  // A refused task stays the caller's.
  Task* late = new Task(false);
  EXPECT_FALSE(pool.QueueRequest(late));
  delete late;
}

// Holds the pool's one thread until released, so that what stays queued is
// decided by the test.
struct Hold {
  std::mutex m;
  std::condition_variable cv;
  bool started = false;
  bool released = false;
};

class HoldingTask : public CWorkerInterface {
 public:
  explicit HoldingTask(Hold* hold) : m_hold(hold) {}
  ~HoldingTask() override { ++g_deleted; }
  void DoTask() override {
    std::unique_lock<std::mutex> l(m_hold->m);
    m_hold->started = true;
    m_hold->cv.notify_all();
    m_hold->cv.wait(l, [&] { return m_hold->released; });
  }

 private:
  Hold* m_hold;
};

TEST(CZmThreadPoolTest, ShutdownStopsAcceptingLetsTheRunningTaskEndAndHandsBackTheQueuedOnesUnrun) {
  g_ran = 0;
  g_deleted = 0;
  Hold hold;
  CEventPool pool;
  ASSERT_TRUE(pool.Initialize(nullptr, 1));
  ASSERT_TRUE(pool.QueueRequest(new HoldingTask(&hold)));
  {
    std::unique_lock<std::mutex> l(hold.m);
    hold.cv.wait(l, [&] { return hold.started; });
  }
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.QueueRequest(new Task(false)));

  std::vector<CWorkerInterface*> left;
  std::thread stopper([&] { left = pool.Shutdown(20); });
  // The threads are given up once the wait is over; only then is the held
  // task let go, so the queued ones can no longer be taken.
  while (pool.ThreadCount() != 0) std::this_thread::yield();
  Task* late = new Task(false);
  EXPECT_FALSE(pool.QueueRequest(late)) << "no new task once shutting down";
  delete late;
  {
    std::lock_guard<std::mutex> l(hold.m);
    hold.released = true;
  }
  hold.cv.notify_all();
  stopper.join();

  EXPECT_EQ(left.size(), 3u);
  EXPECT_EQ(g_ran, 0) << "queued tasks are never run";
  for (CWorkerInterface* task : left) CZmThreadPool::Discard(task);
  EXPECT_EQ(g_deleted, 1 + 3 + 1) << "the held task by its thread, the rest by whoever took them back";
}

}  // namespace
