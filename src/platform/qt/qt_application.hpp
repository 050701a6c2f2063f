#pragma once

#include <memory>

#include "platform/desktop.hpp"
#include "platform/main_queue.hpp"
#include "platform/single_instance.hpp"

namespace zp::platform::qt {

// The application object on Qt 6 Widgets: the event loop, and every desktop stand-in the
// Launcher uses. Create it on the main thread before anything else of Qt; it ignores the
// command line (no Qt option may change what the launcher does).
class QtApplication final : public Application {
 public:
  QtApplication();
  ~QtApplication() override;
  QtApplication(const QtApplication&) = delete;
  QtApplication& operator=(const QtApplication&) = delete;

  // Not owned. Its applicationDidFinishLaunching runs once the loop runs.
  void setDelegate(ApplicationDelegate* delegate);

  // Re-open requests from later starts of the same bundle reach the delegate through this
  // instance's socket. Not owned; outlives run().
  void watchReopenRequests(SingleInstance& instance);

  // Runs the event loop until a terminate request is granted; returns its exit code.
  int run();

  // The terminate request: asks the delegate, and ends the loop with status 0 on Now.
  void terminate() override;

  std::shared_ptr<MainQueue> mainQueue() const;
  Toolkit& toolkit();
  Alerts& alerts();
  Browser& browser();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zp::platform::qt
