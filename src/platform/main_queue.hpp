#pragma once

#include <functional>

namespace zp::platform {

// The hand-off to the main thread. post() may be called from any thread; the work runs later
// on the main thread, one item at a time, in the order posted. Posting after the loop has
// ended is harmless: the work is dropped (and destroyed) without running.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  virtual void post(std::function<void()> work) = 0;
};

}  // namespace zp::platform
