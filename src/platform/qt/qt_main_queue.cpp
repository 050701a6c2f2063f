#include "platform/qt/qt_main_queue.hpp"

#include <QCoreApplication>
#include <QEvent>

#include <utility>

namespace zp::platform::qt {
namespace {

QEvent::Type wakeUpType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

}  // namespace

bool MainQueueReceiver::event(QEvent* event) { return queue_.handle(event) || QObject::event(event); }

QtMainQueue::QtMainQueue() : receiver_(std::make_unique<MainQueueReceiver>(*this)) { wakeUpType(); }

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(std::function<void()> work) {
  std::unique_lock lock(mutex_);
  if (closed_) {
    lock.unlock();
    return;  // `work` is destroyed here, on the caller's thread, without running
  }
  work_.push_back(std::move(work));
  work = nullptr;  // a moved-from std::function may still hold its callable (libc++)
  // Under the lock, so close() cannot delete the receiver meanwhile.
  QCoreApplication::postEvent(receiver_.get(), new QEvent(wakeUpType()));
}

void QtMainQueue::close() {
  std::deque<std::function<void()>> dropped;
  std::unique_ptr<MainQueueReceiver> receiver;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(work_);
    receiver.swap(receiver_);
  }
  // Deleting the receiver discards its pending wake-ups; the dropped work dies here.
}

bool QtMainQueue::handle(QEvent* event) {
  std::function<void()> work;
  {
    // Locked before the event is even read: the event was made on the posting thread, and
    // this lock is what orders its making before this reading.
    std::lock_guard lock(mutex_);
    if (event->type() != wakeUpType()) return false;
    if (closed_ || work_.empty()) return true;
    work = std::move(work_.front());
    work_.pop_front();
  }
  if (work) work();
  return true;
}

}  // namespace zp::platform::qt
