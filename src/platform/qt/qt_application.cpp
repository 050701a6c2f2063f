#include "platform/qt/qt_application.hpp"

#include <QApplication>
#include <QPixmapCache>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <array>
#include <string>

#include "platform/qt/qt_alerts.hpp"
#include "platform/qt/qt_main_queue.hpp"
#include "platform/qt/qt_toolkit.hpp"
#include "platform/qt/signal_pipe.hpp"

namespace zp::platform::qt {
namespace {

// AppKit's "has visible windows": a minimised window does not count.
bool anyWindowVisible() {
  const QWidgetList windows = QApplication::topLevelWidgets();
  return std::any_of(windows.begin(), windows.end(),
                     [](const QWidget* w) { return w->isWindow() && w->isVisible() && !w->isMinimized(); });
}

// A notifier that runs `handle` once per readiness and stays off meanwhile, so that a handler
// showing a modal alert is not entered again from the alert's loop. Qt's notifiers are
// level-triggered: what is still waiting fires again on the next pass.
template <class Handler>
std::unique_ptr<QSocketNotifier> watch(int fd, Handler handle) {
  auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QSocketNotifier* n = notifier.get();
  QObject::connect(n, &QSocketNotifier::activated, n, [guard = QPointer<QSocketNotifier>(n), handle] {
    guard->setEnabled(false);
    handle();
    if (guard) guard->setEnabled(true);
  });
  return notifier;
}

}  // namespace

struct QtApplication::Impl {
  explicit Impl(QtApplication& owner) : toolkit([&owner] { owner.terminate(); }) {
    // A window this small gains nothing from Qt's pixmap cache, and a cache with entries wakes
    // the idle launcher every 30 s to age them.
    QPixmapCache::setCacheLimit(0);
  }
  ~Impl() {
    reopenNotifier.reset();
    signalNotifier.reset();
    queue->close();  // background threads may keep the queue; from now on it drops their work
    toolkit.destroyWidgets();
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // QApplication keeps references to argc and argv. Only a program name: no command-line
  // option may change what the launcher does.
  int argc = 1;
  std::string programName{"ZorvikPellwyn"};
  std::array<char*, 2> argv{programName.data(), nullptr};
  QApplication app{argc, argv.data()};

  SignalPipe signalPipe;
  std::shared_ptr<QtMainQueue> queue = std::make_shared<QtMainQueue>();
  QtToolkit toolkit;
  QtAlerts alerts;
  QtBrowser browser;
  std::unique_ptr<QSocketNotifier> signalNotifier;
  std::unique_ptr<QSocketNotifier> reopenNotifier;

  ApplicationDelegate* delegate = nullptr;
  bool launched = false;
  bool exitGranted = false;
};

QtApplication::QtApplication() : impl_(std::make_unique<Impl>(*this)) {
  QGuiApplication::setQuitOnLastWindowClosed(false);  // only a granted terminate request ends it
  if (const int fd = impl_->signalPipe.readDescriptor(); fd >= 0) {
    impl_->signalNotifier = watch(fd, [this] {
      if (impl_->signalPipe.takeOne()) terminate();
    });
  }
}

QtApplication::~QtApplication() = default;

void QtApplication::setDelegate(ApplicationDelegate* delegate) { impl_->delegate = delegate; }

void QtApplication::watchReopenRequests(SingleInstance& instance) {
  impl_->reopenNotifier.reset();
  const int fd = instance.listeningDescriptor();
  if (fd < 0) return;
  // One connection per readiness: acceptReopen takes exactly one, and false says nothing
  // about whether more are waiting.
  impl_->reopenNotifier = watch(fd, [this, &instance] {
    if (instance.acceptReopen() && impl_->delegate) impl_->delegate->applicationShouldHandleReopen(anyWindowVisible());
  });
}

int QtApplication::run() {
  if (!impl_->exitGranted) {
    QTimer::singleShot(0, &impl_->app, [impl = impl_.get()] {
      if (impl->launched) return;
      impl->launched = true;
      if (impl->delegate) impl->delegate->applicationDidFinishLaunching();
    });
  }
  // A request granted before the loop ran ends it at once.
  const int status = impl_->exitGranted ? 0 : QApplication::exec();
  impl_->queue->close();
  return status;
}

void QtApplication::terminate() {
  if (impl_->delegate && impl_->delegate->applicationShouldTerminate() != TerminateReply::Now) return;
  impl_->exitGranted = true;
  // Not quit(): it first closes every window, and our windows refuse.
  QCoreApplication::exit(0);
}

std::shared_ptr<MainQueue> QtApplication::mainQueue() const { return impl_->queue; }
Toolkit& QtApplication::toolkit() { return impl_->toolkit; }
Alerts& QtApplication::alerts() { return impl_->alerts; }
Browser& QtApplication::browser() { return impl_->browser; }

}  // namespace zp::platform::qt
