#include "feed/CZmThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "com/com.h"

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

}  // namespace
