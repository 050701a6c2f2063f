#include "platform/run_loop.hpp"

#include <utility>

namespace zp::platform {

// Work always runs, and dropped work is always destroyed, outside the lock: either may post,
// stop or release what another thread waits for.

void RunLoop::post(std::function<void()> work) {
  std::unique_lock lock(mutex_);
  if (stopped_) {
    lock.unlock();
    work = nullptr;
    return;
  }
  queue_.push_back(std::move(work));
  // A moved-from std::function may still hold its callable (libc++ copies small ones): drop
  // that copy while the queued one keeps the captures alive, so the queue is their only owner.
  work = nullptr;
  lock.unlock();
  wake_.notify_one();
}

bool RunLoop::runOne(std::unique_lock<std::mutex>& lock) {
  if (stopped_ || queue_.empty()) return false;
  std::function<void()> work = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  work();
  work = nullptr;
  lock.lock();
  return true;
}

void RunLoop::run() {
  std::unique_lock lock(mutex_);
  while (!stopped_) {
    if (!runOne(lock)) wake_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
  }
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  std::unique_lock lock(mutex_);
  for (;;) {
    lock.unlock();
    if (done()) return true;
    lock.lock();
    if (stopped_ || std::chrono::steady_clock::now() >= end) return false;
    if (!runOne(lock)) wake_.wait_until(lock, end, [this] { return stopped_ || !queue_.empty(); });
  }
}

void RunLoop::runPending() {
  std::unique_lock lock(mutex_);
  // Only what is queued now: work posted by this work waits for the next turn.
  for (std::size_t left = queue_.size(); left > 0 && runOne(lock); --left) {
  }
}

void RunLoop::stop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    dropped.swap(queue_);  // queued work is dropped like later posts, so nothing waits on it
  }
  wake_.notify_all();
}

bool RunLoop::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

}  // namespace zp::platform
