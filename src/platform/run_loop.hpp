#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/main_queue.hpp"

namespace zp::platform {

// A main queue of our own for headless use and tests: the thread that calls run() or
// runUntil() is the main thread.
class RunLoop final : public MainQueue {
 public:
  void post(std::function<void()> work) override;

  // Runs posted work until stop() is called.
  void run();
  // Runs posted work until `done()` holds (checked before each item and after it) or the
  // deadline passes; true when `done()` held. The deadline is for tests only.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline);
  // Runs what is queued now, without waiting.
  void runPending();
  // Ends run(); later posts are dropped.
  void stop();
  bool stopped() const;

 private:
  bool runOne(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopped_ = false;
};

}  // namespace zp::platform
