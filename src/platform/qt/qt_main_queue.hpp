#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/main_queue.hpp"

class QEvent;

namespace zp::platform::qt {

class QtMainQueue;

// The object in the main thread that Qt wakes once per posted item.
class MainQueueReceiver final : public QObject {
 public:
  explicit MainQueueReceiver(QtMainQueue& queue) : queue_(queue) {}
  bool event(QEvent* event) override;

 private:
  QtMainQueue& queue_;
};

// The main queue in the Qt event loop. The work waits here, in order, and each post() sends
// the receiver one payload-free wake-up event, which takes the oldest item. Keeping the work
// out of Qt's event queue means nothing but our own mutex passes it between threads, and a
// closed queue can drop it at once. Qt delivers posted events in nested loops too, so work
// runs while a modal alert is up.
class QtMainQueue final : public MainQueue {
 public:
  // Made on the main thread; that thread runs the work.
  QtMainQueue();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void post(std::function<void()> work) override;

  // Main thread: drops the waiting work and every later post. Once closed, it stays closed;
  // the queue may outlive the application in the hands of background threads.
  void close();

 private:
  friend class MainQueueReceiver;
  bool handle(QEvent* event);

  std::mutex mutex_;
  bool closed_ = false;
  std::deque<std::function<void()>> work_;
  std::unique_ptr<MainQueueReceiver> receiver_;  // gone once closed
};

}  // namespace zp::platform::qt
