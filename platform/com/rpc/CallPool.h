// The call threads of the object transport: a queue of incoming calls run
// by threads that are added whenever no thread is free, so that a call that
// waits on a nested call never waits for a thread held by its own chain.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvrpc {

class CallPool {
 public:
  using Task = std::function<void()>;

  // `threadStart` and `threadEnd` run on each call thread around its life
  // (joining and leaving the apartment). `maxThreads` only guards against
  // a runaway peer; calls past it queue.
  explicit CallPool(std::string name, Task threadStart = nullptr, Task threadEnd = nullptr,
                    size_t maxThreads = 1024);
  ~CallPool() { Stop(); }
  CallPool(const CallPool&) = delete;
  CallPool& operator=(const CallPool&) = delete;

  // False once stopped.
  bool Post(Task task);
  // Runs the queued tasks, then joins every thread.
  void Stop();

  size_t ThreadCount() const;

 private:
  void Run();
  std::string name_;
  Task threadStart_, threadEnd_;
  size_t maxThreads_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
  std::vector<std::thread> threads_;
  size_t idle_ = 0;
  bool stopping_ = false;
  bool warned_ = false;
};

}  // namespace orvrpc
