// A fixed set of threads that run posted requests, in the manner of a
// completion-port pool: QueueRequest posts, any idle thread runs.
//
// Worker is the class each thread runs:
//   typedef ... RequestType;
//   BOOL-like Initialize(void* param);         once per thread, before requests;
//                                              false ends the thread at once
//   void Execute(RequestType r, void* param, void* overlapped);  per request
//   void Terminate(void* param);               once per thread, at its end
//   static void Discard(RequestType r);        optional: a request never run
// Threads stop cooperatively: a running request always completes, nothing is
// killed. Requests still queued when the threads stop are handed back unrun.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvpool {

template <class W, class = void>
struct HasDiscard : std::false_type {};
template <class W>
struct HasDiscard<W, std::void_t<decltype(W::Discard(std::declval<typename W::RequestType>()))>>
    : std::true_type {};

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// How long a shutdown waits for a thread still running its request once the
// stop is given, before it leaves the thread to finish alone.
constexpr uint32_t kJoinWaitMs = 500;

// What a pool thread and its pool share, kept alive by both: the thread's
// stop flag, its end, and whether the pool has given up waiting for it.
struct ThreadControl {
  std::mutex mutex;
  std::condition_variable cv;
  bool ended = false;
  bool abandoned = false;
  std::atomic<bool> stop{false};
};

// The stop flag of the pool whose thread is calling, if any.
inline const std::atomic<bool>*& CurrentPoolStopping() {
  thread_local const std::atomic<bool>* stopping = nullptr;
  return stopping;
}

// True on a pool thread whose pool is shutting down: a request that works
// through a long list should leave the rest, so that the shutdown's join
// waits for no more than the step in progress.
inline bool StopRequested() {
  const std::atomic<bool>* stopping = CurrentPoolStopping();
  return stopping != nullptr && stopping->load();
}

}  // namespace orvpool

template <class Worker>
class CThreadPool {
 public:
  typedef typename Worker::RequestType RequestType;

  CThreadPool() = default;
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  // Discards what is still queued (Worker::Discard) after stopping the threads.
  ~CThreadPool() {
    std::vector<RequestType> left = Shutdown(0);
    if constexpr (orvpool::HasDiscard<Worker>::value) {
      for (RequestType& r : left) Worker::Discard(std::move(r));
    }
  }

  // Starts nThreads threads (at least one) and waits until each has set
  // itself up. Returns false when the pool is already running or no thread
  // could be started and set up; such a pool refuses every request.
  bool Initialize(void* workerParam = nullptr, int nThreads = 1) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_threads.empty()) return false;
    m_param = workerParam;
    m_accepting = false;
    m_stopping = false;
    m_settingUp = 0;
    m_ready = 0;
    const int n = nThreads > 0 ? nThreads : 1;
    m_threads.reserve(static_cast<size_t>(n));
    try {
      for (int i = 0; i < n; ++i) {
        auto control = std::make_shared<orvpool::ThreadControl>();
        m_threads.emplace_back([this, control] { Run(control); });
        m_controls.push_back(control);
        ++m_settingUp;
      }
    } catch (const std::system_error&) {
    }
    m_setUp.wait(lock, [this] { return m_settingUp == 0; });
    if (m_ready > 0) {
      m_accepting = true;
      return true;
    }
    // Every thread has returned already; nothing would ever run a request.
    std::vector<std::thread> threads;
    threads.swap(m_threads);
    m_controls.clear();
    lock.unlock();
    for (std::thread& t : threads) t.join();
    return false;
  }

  // Posts a request. False when the pool does not accept it (not started or
  // shutting down); the request then stays the caller's.
  bool QueueRequest(RequestType request) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_accepting) return false;
      m_queue.push_back(std::move(request));
    }
    m_wake.notify_one();
    return true;
  }

  // Stops accepting, lets the threads work through the queue for up to
  // waitMs (orvpool::kInfinite: until it is empty and nothing runs), then
  // stops and joins them; a request that is running completes first (one
  // that heeds orvpool::StopRequested ends at its next step). Unless the
  // wait is kInfinite, a thread still running its request kJoinWaitMs after
  // the stop is left to finish it alone: it touches the pool no more, and
  // the pool may go. Returns the requests that were never run; the caller
  // disposes of them.
  std::vector<RequestType> Shutdown(uint32_t waitMs) {
    std::vector<std::thread> threads;
    std::vector<std::shared_ptr<orvpool::ThreadControl>> controls;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_accepting = false;
      if (waitMs != 0) {
        // A request still running may be working through a list of its
        // own (a client's queued events): it counts as work not done.
        auto drained = [this] { return m_queue.empty() && m_running == 0; };
        if (waitMs == orvpool::kInfinite) {
          m_drained.wait(lock, drained);
        } else {
          m_drained.wait_for(lock, std::chrono::milliseconds(waitMs), drained);
        }
      }
      m_stopping = true;
      threads.swap(m_threads);
      controls.swap(m_controls);
    }
    for (auto& c : controls) c->stop = true;
    m_wake.notify_all();
    const auto joinBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(orvpool::kJoinWaitMs);
    for (size_t i = 0; i < threads.size(); ++i) {
      std::thread& t = threads[i];
      orvpool::ThreadControl& c = *controls[i];
      std::unique_lock<std::mutex> ended(c.mutex);
      const bool self = t.get_id() == std::this_thread::get_id();
      if (!self && (waitMs == orvpool::kInfinite ? (c.cv.wait(ended, [&] { return c.ended; }), true)
                                                 : c.cv.wait_until(ended, joinBy, [&] { return c.ended; }))) {
        ended.unlock();
        t.join();
        continue;
      }
      // Still in its request (or it is this very thread): it sees this when
      // the request returns and leaves without the pool.
      c.abandoned = true;
      ended.unlock();
      t.detach();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<RequestType> left(std::make_move_iterator(m_queue.begin()), std::make_move_iterator(m_queue.end()));
    m_queue.clear();
    return left;
  }

  size_t ThreadCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.size();
  }

 private:
  // The thread holds its control's lock whenever it touches the pool, so
  // that a shutdown that gives up on it cannot let the pool go under it.
  void Run(std::shared_ptr<orvpool::ThreadControl> control) {
    orvpool::CurrentPoolStopping() = &control->stop;
    std::unique_lock<std::mutex> own(control->mutex);
    void* const param = m_param;
    Worker worker;
    // A thread that cannot set itself up (for the event pool: join the COM
    // apartment) must not run requests that rely on it.
    const bool ready = worker.Initialize(param);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (ready) ++m_ready;
      if (--m_settingUp == 0) m_setUp.notify_all();
    }
    if (!ready) {
      orvpool::CurrentPoolStopping() = nullptr;
      control->ended = true;
      control->cv.notify_all();
      return;
    }
    for (;;) {
      RequestType request;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_stopping) break;
        request = std::move(m_queue.front());
        m_queue.pop_front();
        ++m_running;
      }
      own.unlock();
      worker.Execute(std::move(request), param, nullptr);
      own.lock();
      if (control->abandoned) {
        own.unlock();
        worker.Terminate(param);
        orvpool::CurrentPoolStopping() = nullptr;
        return;
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      if (--m_running == 0 && m_queue.empty()) m_drained.notify_all();
    }
    worker.Terminate(param);
    orvpool::CurrentPoolStopping() = nullptr;
    control->ended = true;
    control->cv.notify_all();
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  std::condition_variable m_drained;
  std::condition_variable m_setUp;
  int m_settingUp = 0;  // threads started whose set-up has not answered yet
  int m_ready = 0;      // threads that set themselves up
  std::deque<RequestType> m_queue;
  std::vector<std::thread> m_threads;
  void* m_param = nullptr;
  bool m_accepting = false;
  bool m_stopping = false;
  int m_running = 0;  // requests in Execute
  std::vector<std::shared_ptr<orvpool::ThreadControl>> m_controls;  // one per thread, in order
};
