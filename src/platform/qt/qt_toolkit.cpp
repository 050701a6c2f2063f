#include "platform/qt/qt_toolkit.hpp"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <utility>

namespace zp::platform::qt {
namespace {

int toPixels(double value) { return static_cast<int>(std::lround(value)); }

QString fromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Titles are shown as given: '&' would otherwise mark a mnemonic and vanish.
QString literalTitle(const std::string& title) { return fromUtf8(title).replace(u'&', QStringLiteral("&&")); }

// A key equivalent under the platform's default modifier (Qt's CTRL is Command on macOS); an
// upper-case letter adds Shift, as it does for a macOS key equivalent.
QKeySequence shortcutFor(const std::string& keyEquivalent) {
  const QString key = fromUtf8(keyEquivalent);
  if (key.isEmpty()) return {};
  const bool shifted = key.size() == 1 && key.front().isUpper();
  return QKeySequence::fromString((shifted ? QStringLiteral("Ctrl+Shift+") : QStringLiteral("Ctrl+")) + key.toUpper(),
                                  QKeySequence::PortableText);
}

// The Qt side of a view: its widget and its frame in our coordinates (origin at the lower left
// of the content area). Until a window takes it, the frame is only remembered.
class ViewWidget {
 public:
  explicit ViewWidget(QWidget* widget) : widget_(widget) {}
  ~ViewWidget() { delete widget_.data(); }
  ViewWidget(const ViewWidget&) = delete;
  ViewWidget& operator=(const ViewWidget&) = delete;

  void attach(QWidget* content) {
    if (!widget_) return;
    widget_->setParent(content);
    place();
    widget_->show();  // shown with the window
  }

 protected:
  void setFrameRect(const Rect& frame) {
    frame_ = frame;
    place();
  }
  Rect frameRect() const { return frame_; }
  QPointer<QWidget> widget_;

 private:
  void place() {
    if (!widget_ || !widget_->parentWidget()) return;
    const double contentHeight = widget_->parentWidget()->height();
    widget_->setGeometry(toPixels(frame_.x), toPixels(contentHeight - frame_.y - frame_.height), toPixels(frame_.width),
                         toPixels(frame_.height));
  }

  Rect frame_;
};

class QtLabel final : public Label, public ViewWidget {
 public:
  explicit QtLabel(QLabel* label) : ViewWidget(label), label_(label) {}
  void setFrame(const Rect& frame) override { setFrameRect(frame); }
  Rect frame() const override { return frameRect(); }
  void setText(const std::string& text) override {
    if (label_) label_->setText(fromUtf8(text));
  }
  std::string text() const override { return label_ ? label_->text().toStdString() : std::string(); }

 private:
  QPointer<QLabel> label_;
};

class QtButton final : public Button, public ViewWidget {
 public:
  QtButton(QPushButton* button, std::string title) : ViewWidget(button), title_(std::move(title)) {}
  void setFrame(const Rect& frame) override { setFrameRect(frame); }
  Rect frame() const override { return frameRect(); }
  std::string title() const override { return title_; }

 private:
  std::string title_;
};

// A window's close request (a close button the window manager draws anyway, or Qt closing
// every window on a platform quit) never closes it: it becomes a terminate request.
class WindowWidget final : public QWidget {
 public:
  WindowWidget(Qt::WindowFlags flags, std::function<void()> closeRequest)
      : QWidget(nullptr, flags), closeRequest_(std::move(closeRequest)) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    const auto request = closeRequest_;  // the request may drop this window
    if (request) request();
  }

 private:
  std::function<void()> closeRequest_;
};

class QtWindow final : public Window {
 public:
  explicit QtWindow(WindowWidget* widget) : widget_(widget) {}
  ~QtWindow() override { delete widget_.data(); }
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  void setTitle(const std::string& title) override {
    if (widget_) widget_->setWindowTitle(fromUtf8(title));
  }

  void addSubview(std::shared_ptr<View> view) override {
    if (auto* part = dynamic_cast<ViewWidget*>(view.get()); part && widget_) part->attach(widget_);
    views_.push_back(std::move(view));
  }

  void center() override {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!widget_ || !screen) return;
    // Made now, so that the platform window can tell the frame it will have (offscreen and
    // some window managers can; otherwise the content area is what gets centred).
    widget_->winId();
    const QMargins margins = widget_->windowHandle() ? widget_->windowHandle()->frameMargins() : QMargins();
    QRect frame(QPoint(), widget_->size().grownBy(margins));
    frame.moveCenter(screen->availableGeometry().center());
    widget_->move(frame.topLeft());  // a window's position is its frame's
  }

  void makeKeyAndOrderFront() override {
    if (!widget_) return;
    if (widget_->isMinimized()) widget_->setWindowState(widget_->windowState() & ~Qt::WindowMinimized);
    widget_->show();
    widget_->raise();
    widget_->activateWindow();
  }

 private:
  QPointer<WindowWidget> widget_;
  std::vector<std::shared_ptr<View>> views_;
};

Qt::WindowFlags flagsFor(unsigned styleMask) {
  if ((styleMask & kWindowTitled) == 0) return Qt::Window | Qt::FramelessWindowHint;
  Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if ((styleMask & kWindowMiniaturizable) != 0) flags |= Qt::WindowMinimizeButtonHint;
  if ((styleMask & kWindowClosable) != 0) flags |= Qt::WindowCloseButtonHint;
  if ((styleMask & kWindowResizable) != 0) flags |= Qt::WindowMaximizeButtonHint;
  return flags;
}

}  // namespace

QtToolkit::QtToolkit(std::function<void()> terminateRequest) : terminateRequest_(std::move(terminateRequest)) {}

QtToolkit::~QtToolkit() { destroyWidgets(); }

template <class W, class... Args>
W* QtToolkit::make(Args&&... args) {
  std::erase_if(widgets_, [](const QPointer<QWidget>& w) { return w.isNull(); });
  W* widget = new W(std::forward<Args>(args)...);
  widgets_.emplace_back(widget);
  return widget;
}

std::shared_ptr<Window> QtToolkit::createWindow(const Rect& contentRect, unsigned styleMask) {
  auto* widget = make<WindowWidget>(flagsFor(styleMask), terminateRequest_);
  // The content rectangle is in screen points from the primary screen's lower left.
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double screenBottom = screen ? screen->geometry().y() + screen->geometry().height() : contentRect.height;
  const QRect geometry(toPixels(contentRect.x), toPixels(screenBottom - contentRect.y - contentRect.height),
                       toPixels(contentRect.width), toPixels(contentRect.height));
  widget->setGeometry(geometry);
  if ((styleMask & kWindowResizable) == 0) widget->setFixedSize(geometry.size());
#ifndef Q_OS_MACOS
  for (const auto& action : menuActions_) widget->addAction(action.get());
#endif
  std::erase_if(windows_, [](const QPointer<QWidget>& w) { return w.isNull(); });
  windows_.emplace_back(widget);
  return std::make_shared<QtWindow>(widget);
}

std::shared_ptr<Label> QtToolkit::createWrappingLabel(const std::string& text) {
  auto* label = make<QLabel>();
  label->setTextFormat(Qt::PlainText);  // service texts are never markup
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setTextInteractionFlags(Qt::NoTextInteraction);
  label->setText(fromUtf8(text));
  return std::make_shared<QtLabel>(label);
}

std::shared_ptr<Button> QtToolkit::createButton(const std::string& title, std::function<void()> action) {
  auto* button = make<QPushButton>(literalTitle(title));
  QObject::connect(button, &QPushButton::clicked, button, [action = std::move(action)] {
    if (action) action();
  });
  return std::make_shared<QtButton>(button, title);
}

void QtToolkit::clearMenu() {
  menuActions_.clear();  // deleting an action takes it off every window
  delete menuBar_.data();
}

void QtToolkit::setMainMenu(MainMenu menu) {
  clearMenu();
#ifdef Q_OS_MACOS
  // Parentless, it is the global menu bar; its one untitled menu holds the items.
  menuBar_ = make<QMenuBar>(nullptr);
  QMenu* items = menuBar_->addMenu(QString());
#endif
  for (MenuItem& item : menu.items) {
    auto action = std::make_unique<QAction>(literalTitle(item.title));
    action->setShortcut(shortcutFor(item.keyEquivalent));
    QObject::connect(action.get(), &QAction::triggered, action.get(), [run = std::move(item.action)] {
      if (run) run();
    });
#ifdef Q_OS_MACOS
    action->setMenuRole(QAction::NoRole);  // kept where it is, with its own title
    items->addAction(action.get());
#else
    // No menu bar is drawn here; the key equivalent works application-wide. Qt matches a
    // shortcut only through a visible widget that holds it, so each window holds the action.
    action->setShortcutContext(Qt::ApplicationShortcut);
    for (const auto& window : windows_) {
      if (window) window->addAction(action.get());
    }
#endif
    menuActions_.push_back(std::move(action));
  }
}

void QtToolkit::activateIgnoringOtherApps() {
  QWidget* window = QApplication::activeWindow();
  for (auto it = windows_.rbegin(); !window && it != windows_.rend(); ++it) {
    if (*it && (*it)->isVisible()) window = *it;
  }
  if (!window) return;
  if (window->isMinimized()) window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->raise();
  window->activateWindow();
}

void QtToolkit::destroyWidgets() {
  clearMenu();
  for (const auto& widget : widgets_) delete widget.data();  // a window takes its views along
  widgets_.clear();
  windows_.clear();
}

}  // namespace zp::platform::qt
