#include "platform/com/rpc/CallPool.h"

#include "platform/log/Log.h"

namespace orvrpc {

CallPool::CallPool(std::string name, Task threadStart, Task threadEnd, size_t maxThreads)
    : name_(std::move(name)),
      threadStart_(std::move(threadStart)),
      threadEnd_(std::move(threadEnd)),
      maxThreads_(maxThreads ? maxThreads : 1) {}

bool CallPool::Post(Task task) {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) return false;
  tasks_.push_back(std::move(task));
  // A thread already woken but not yet running still counts as idle, so
  // compare with the queue, not with zero: every queued task needs its own
  // free thread, or a nested call could wait behind the call waiting on it.
  if (tasks_.size() > idle_) {
    if (threads_.size() < maxThreads_) {
      threads_.emplace_back([this] { Run(); });
    } else if (!warned_) {
      warned_ = true;
      ORV_LOG(orvlog::kWarn, name_ << ": all " << maxThreads_ << " call threads busy; calls queue");
    }
  }
  cv_.notify_one();
  return true;
}

void CallPool::Run() {
  if (threadStart_) threadStart_();
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    ++idle_;
    cv_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    --idle_;
    if (tasks_.empty()) break;  // stopping, and nothing left to run
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    try {
      task();
    } catch (...) {
      // A call thread outlives whatever one call does.
      ORV_LOG(orvlog::kError, name_ << ": a call ended in an exception");
    }
    task = nullptr;
    lock.lock();
  }
  lock.unlock();
  if (threadEnd_) threadEnd_();
}

void CallPool::Stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    threads.swap(threads_);
  }
  cv_.notify_all();
  for (auto& t : threads) {
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();  // a task stopping its own pool; the thread ends by itself
    } else {
      t.join();
    }
  }
}

size_t CallPool::ThreadCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return threads_.size();
}

}  // namespace orvrpc
