#include "platform/qt/qt_application.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt/qt_alerts.hpp"
#include "support/test_support.hpp"

namespace zp::platform::qt {
namespace {

using namespace std::chrono_literals;

// A delegate whose answers each test chooses; it counts what it was asked.
struct TestDelegate final : ApplicationDelegate {
  std::function<void()> onLaunch;
  std::function<TerminateReply()> onTerminate = [] { return TerminateReply::Now; };
  std::function<void(bool)> onReopen;
  int launches = 0;
  int terminateRequests = 0;
  std::vector<bool> reopens;
  std::vector<int> loopLevelsAtLaunch;

  void applicationDidFinishLaunching() override {
    ++launches;
    loopLevelsAtLaunch.push_back(QThread::currentThread()->loopLevel());
    if (onLaunch) onLaunch();
  }
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override {
    reopens.push_back(hasVisibleWindows);
    if (onReopen) onReopen(hasVisibleWindows);
    return true;
  }
  TerminateReply applicationShouldTerminate() override {
    ++terminateRequests;
    return onTerminate();
  }
};

QWidget* windowTitled(const QString& title) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->windowTitle() == title) return w;
  }
  return nullptr;
}

// Button texts in the order they appear, left to right.
QStringList visualOrder(const QMessageBox* box) {
  QList<QAbstractButton*> buttons = box->buttons();
  std::sort(buttons.begin(), buttons.end(), [box](QAbstractButton* a, QAbstractButton* b) {
    return a->mapTo(box, QPoint()).x() < b->mapTo(box, QPoint()).x();
  });
  QStringList texts;
  for (const QAbstractButton* b : buttons) texts << b->text();
  return texts;
}

QStringList toQt(const std::vector<std::string>& texts) {
  QStringList list;
  for (const std::string& t : texts) list << QString::fromStdString(t);
  return list;
}

// Calls `act` on the alert once it is up, from inside its modal loop.
void whenAlertShows(std::function<void(QMessageBox*)> act) {
  auto* poll = new QTimer(qApp);
  QObject::connect(poll, &QTimer::timeout, poll, [poll, act = std::move(act)] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    poll->stop();
    poll->deleteLater();
    act(box);
  });
  poll->start(10);
}

class QtApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);  // CTest sets it; so does a direct run
    app_ = std::make_unique<QtApplication>();
    app_->setDelegate(&delegate_);
  }
  void TearDown() override {
    if (app_) app_->setDelegate(nullptr);
    app_.reset();
  }

  // Runs the loop, with a watchdog that fails a test that would otherwise hang.
  int runLoop() {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
      ADD_FAILURE() << "the loop did not end in time";
      QCoreApplication::exit(99);
    });
    watchdog.start(60000);
    return app_->run();
  }

  Toolkit& toolkit() { return app_->toolkit(); }

  TestDelegate delegate_;
  std::unique_ptr<QtApplication> app_;
};

// --- the window and its views ------------------------------------------------------------

constexpr Rect kContent{0, 0, 550, 235};
constexpr unsigned kMainStyle = kWindowTitled | kWindowMiniaturizable;

TEST_F(QtApplicationTest, MainWindowHasAFixedContentSizeAndOnlyTitleAndMinimise) {
  const auto window = toolkit().createWindow(kContent, kMainStyle);
  window->setTitle("Zorvik Pellwyn — 状态");
  window->center();
  window->makeKeyAndOrderFront();
  QWidget* w = windowTitled(QStringLiteral("Zorvik Pellwyn — 状态"));
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));

  EXPECT_EQ(w->size(), QSize(550, 235));
  EXPECT_EQ(w->minimumSize(), QSize(550, 235));
  EXPECT_EQ(w->maximumSize(), QSize(550, 235));
  const Qt::WindowFlags flags = w->windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::Window));
  EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(w->isVisible());

  const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
  const QPoint offset = w->frameGeometry().center() - available.center();
  EXPECT_LE(offset.manhattanLength(), 2) << "centred on the screen, frame included";
}

struct StyleCase {
  const char* description;
  unsigned style;
  bool closeButton, maximiseButton, fixedSize, frameless;
};

TEST_F(QtApplicationTest, WindowStyleBitsChooseItsDecorations) {
  const std::vector<StyleCase> cases = {
      {"titled, miniaturizable", kWindowTitled | kWindowMiniaturizable, false, false, true, false},
      {"titled, closable", kWindowTitled | kWindowClosable, true, false, true, false},
      {"titled, resizable", kWindowTitled | kWindowResizable, false, true, false, false},
      {"every bit", kWindowTitled | kWindowClosable | kWindowMiniaturizable | kWindowResizable, true, true, false, false},
      {"borderless", 0, false, false, true, true},
  };
  for (const StyleCase& c : cases) {
    SCOPED_TRACE(c.description);
    const auto window = toolkit().createWindow({0, 0, 300, 200}, c.style);
    window->setTitle(c.description);
    QWidget* w = windowTitled(QString::fromUtf8(c.description));
    ASSERT_NE(w, nullptr);
    const Qt::WindowFlags flags = w->windowFlags();
    EXPECT_EQ(flags.testFlag(Qt::WindowCloseButtonHint), c.closeButton);
    EXPECT_EQ(flags.testFlag(Qt::WindowMaximizeButtonHint), c.maximiseButton);
    EXPECT_EQ(flags.testFlag(Qt::FramelessWindowHint), c.frameless);
    EXPECT_EQ(flags.testFlag(Qt::WindowMinimizeButtonHint), (c.style & kWindowMiniaturizable) != 0);
    EXPECT_EQ(w->minimumSize() == w->maximumSize(), c.fixedSize);
    EXPECT_EQ(w->size(), QSize(300, 200));
  }
}

TEST_F(QtApplicationTest, ViewsArePlacedFromTheLowerLeftOfTheContentArea) {
  const auto window = toolkit().createWindow(kContent, kMainStyle);
  window->setTitle("placement");
  const auto label = toolkit().createWrappingLabel("Starting…");
  const auto open = toolkit().createButton("Open Pellwyn", [] {});
  const auto quit = toolkit().createButton("Quit", [] {});
  // Framed before being added: the frame waits for the window.
  label->setFrame({25, 80, 500, 130});
  open->setFrame({25, 25, 160, 36});
  window->addSubview(label);
  window->addSubview(open);
  window->addSubview(quit);
  quit->setFrame({210, 25, 160, 36});  // framed after being added
  window->makeKeyAndOrderFront();

  QWidget* w = windowTitled(QStringLiteral("placement"));
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  const auto labels = w->findChildren<QLabel*>();
  ASSERT_EQ(labels.size(), 1);
  EXPECT_EQ(labels[0]->geometry(), QRect(25, 25, 500, 130));
  EXPECT_TRUE(labels[0]->isVisible());

  std::map<QString, QRect> buttons;
  for (const QPushButton* b : w->findChildren<QPushButton*>()) buttons[b->text()] = b->geometry();
  EXPECT_EQ(buttons[QStringLiteral("Open Pellwyn")], QRect(25, 174, 160, 36));
  EXPECT_EQ(buttons[QStringLiteral("Quit")], QRect(210, 174, 160, 36));

  EXPECT_EQ(label->frame(), (Rect{25, 80, 500, 130}));
  EXPECT_EQ(quit->frame(), (Rect{210, 25, 160, 36}));
  label->setFrame({40, 10, 300, 60});
  EXPECT_EQ(labels[0]->geometry(), QRect(40, 165, 300, 60));
  EXPECT_EQ(label->frame(), (Rect{40, 10, 300, 60}));
}

TEST_F(QtApplicationTest, LabelWrapsAndShowsItsTextLiterally) {
  const auto window = toolkit().createWindow(kContent, kMainStyle);
  const auto label = toolkit().createWrappingLabel("first");
  window->addSubview(label);
  const auto found = qApp->allWidgets();
  QLabel* qlabel = nullptr;
  for (QWidget* w : found) {
    if (auto* l = qobject_cast<QLabel*>(w); l && l->text() == QStringLiteral("first")) qlabel = l;
  }
  ASSERT_NE(qlabel, nullptr);
  EXPECT_TRUE(qlabel->wordWrap());
  EXPECT_EQ(qlabel->textFormat(), Qt::PlainText);
  EXPECT_EQ(qlabel->alignment(), Qt::AlignLeft | Qt::AlignTop);
  EXPECT_EQ(qlabel->textInteractionFlags(), Qt::NoTextInteraction);

  const std::vector<std::pair<const char*, std::string>> texts = {
      {"markup stays text", "<b>not bold</b> &amp; <a href='x'>no link</a>"},
      {"lines", "one\ntwo\n\nfour"},
      {"Chinese", "服务正在启动，请稍候。"},
      {"outside the BMP", "ready 🚀 \xF0\x9F\x91\x8D"},
      {"a NUL inside", std::string("before\0after", 12)},
      {"empty", ""},
  };
  for (const auto& [description, text] : texts) {
    SCOPED_TRACE(description);
    label->setText(text);
    EXPECT_EQ(label->text(), text);
    EXPECT_EQ(qlabel->text(), QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  }
}

TEST_F(QtApplicationTest, ButtonClickRunsItsActionAndShowsItsTitleLiterally) {
  int opened = 0;
  const auto window = toolkit().createWindow(kContent, kMainStyle);
  window->setTitle("buttons");
  const auto button = toolkit().createButton("Open & go", [&] { ++opened; });
  button->setFrame({25, 25, 160, 36});
  window->addSubview(button);
  window->makeKeyAndOrderFront();
  QWidget* w = windowTitled(QStringLiteral("buttons"));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  auto* qbutton = w->findChild<QPushButton*>();
  ASSERT_NE(qbutton, nullptr);

  QTest::mouseClick(qbutton, Qt::LeftButton);
  EXPECT_EQ(opened, 1);
  QTest::mouseClick(qbutton, Qt::LeftButton);
  EXPECT_EQ(opened, 2);
  EXPECT_EQ(button->title(), "Open & go");
  EXPECT_TRUE(qbutton->shortcut().isEmpty()) << "'&' marks no mnemonic";
}

TEST_F(QtApplicationTest, MinimisedWindowComesBackToTheFront) {
  const std::vector<std::pair<const char*, std::function<void(Window&)>>> ways = {
      {"ordered front", [](Window& window) { window.makeKeyAndOrderFront(); }},
      {"application activated", [this](Window&) { toolkit().activateIgnoringOtherApps(); }},
  };
  for (const auto& [description, bringBack] : ways) {
    SCOPED_TRACE(description);
    const auto window = toolkit().createWindow(kContent, kMainStyle);
    window->setTitle(description);
    window->makeKeyAndOrderFront();
    QWidget* w = windowTitled(QString::fromUtf8(description));
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    w->showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([w] { return w->isMinimized(); }, 10000));
    bringBack(*window);
    EXPECT_TRUE(QTest::qWaitFor([w] { return !w->isMinimized() && w->isVisible(); }, 10000));
    EXPECT_TRUE(QTest::qWaitForWindowActive(w));
  }
}

// --- terminate requests --------------------------------------------------------------------

TEST_F(QtApplicationTest, ClosingTheWindowIsRefusedAndBecomesOneTerminateRequest) {
  std::vector<TerminateReply> replies = {TerminateReply::Cancel, TerminateReply::Later, TerminateReply::Now};
  delegate_.onTerminate = [&] {
    const TerminateReply reply = replies.front();
    replies.erase(replies.begin());
    return reply;
  };
  std::shared_ptr<Window> window;
  std::vector<bool> refused;
  std::vector<bool> visibleAfter;
  delegate_.onLaunch = [&] {
    window = toolkit().createWindow(kContent, kMainStyle);
    window->setTitle("closing");
    window->makeKeyAndOrderFront();
    QWidget* w = windowTitled(QStringLiteral("closing"));
    for (int attempt = 0; attempt < 3; ++attempt) {
      QTimer::singleShot(0, w, [&, w] {
        refused.push_back(!w->close());
        visibleAfter.push_back(w->isVisible());
      });
    }
  };
  EXPECT_EQ(runLoop(), 0);
  EXPECT_EQ(delegate_.terminateRequests, 3) << "one request per close, and the loop ran on after Cancel and Later";
  EXPECT_EQ(refused, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(visibleAfter, (std::vector<bool>{true, true, true}));
}

TEST_F(QtApplicationTest, TerminateWithoutADelegateEndsTheLoop) {
  app_->setDelegate(nullptr);
  QTimer::singleShot(0, qApp, [&] { app_->terminate(); });
  EXPECT_EQ(runLoop(), 0);
  EXPECT_EQ(delegate_.launches, 0);
}

TEST_F(QtApplicationTest, RequestGrantedBeforeTheLoopEndsItAtOnce) {
  app_->terminate();
  EXPECT_EQ(delegate_.terminateRequests, 1);
  EXPECT_EQ(runLoop(), 0);
  EXPECT_EQ(delegate_.launches, 0);
}

TEST_F(QtApplicationTest, DidFinishLaunchingRunsOnceInsideTheLoop) {
  QCoreApplication::processEvents();
  EXPECT_EQ(delegate_.launches, 0) << "not before run()";
  delegate_.onLaunch = [&] { app_->mainQueue()->post([&] { app_->terminate(); }); };
  EXPECT_EQ(runLoop(), 0);
  EXPECT_EQ(delegate_.launches, 1);
  EXPECT_EQ(delegate_.loopLevelsAtLaunch, std::vector<int>{1});
}

TEST_F(QtApplicationTest, MenuKeyEquivalentWorksApplicationWide) {
  struct MenuCase {
    const char* description;
    bool menuFirst;
  };
  for (const MenuCase c : {MenuCase{"menu set before the window", true}, MenuCase{"menu set after the window", false}}) {
    SCOPED_TRACE(c.description);
    int quits = 0;
    int others = 0;
    const auto install = [&] {
      toolkit().setMainMenu({{{"Quit Zorvik Pellwyn", "q", [&] { ++quits; }}, {"Other", "K", [&] { ++others; }}}});
    };
    if (c.menuFirst) install();
    const auto window = toolkit().createWindow(kContent, kMainStyle);
    window->setTitle(c.description);
    const auto label = toolkit().createWrappingLabel("focus lands inside");
    window->addSubview(label);
    if (!c.menuFirst) install();
    window->makeKeyAndOrderFront();
    QWidget* w = windowTitled(QString::fromUtf8(c.description));
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));

    QTest::keyClick(w, Qt::Key_Q);
    EXPECT_EQ(quits, 0) << "a plain q is no shortcut";
    QTest::keyClick(w, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quits, 1);
    QTest::keyClick(w->findChild<QLabel*>(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quits, 2) << "from a child widget too";
    QTest::keyClick(w, Qt::Key_K, Qt::ControlModifier);
    EXPECT_EQ(others, 0) << "an upper-case key equivalent needs Shift";
    QTest::keyClick(w, Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(others, 1);
    EXPECT_EQ(w->findChild<QMenuBar*>(), nullptr) << "no menu bar is drawn in the window";
  }
}

// --- signals -------------------------------------------------------------------------------

struct SignalCase {
  const char* description;
  int signal;
};

TEST_F(QtApplicationTest, TerminationSignalsBecomeTerminateRequests) {
  const std::vector<SignalCase> cases = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
  app_.reset();  // each case has its own application object, made after the previous handler
  for (const SignalCase& c : cases) {
    SCOPED_TRACE(c.description);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(c.signal, &ignore, nullptr), 0);

    TestDelegate delegate;
    int depth = 0;
    int deepest = 0;
    delegate.onLaunch = [&] { kill(getpid(), c.signal); };
    delegate.onTerminate = [&] {
      ++depth;
      deepest = std::max(deepest, depth);
      // The first is refused; a second signal, sent meanwhile, is answered after it.
      if (delegate.terminateRequests == 1) {
        kill(getpid(), c.signal);
        QTest::qWait(50);  // a nested loop, as an alert would run
      }
      --depth;
      return delegate.terminateRequests == 1 ? TerminateReply::Cancel : TerminateReply::Now;
    };
    {
      QtApplication app;
      app.setDelegate(&delegate);
      QTimer watchdog;
      QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
      watchdog.start(60000);
      EXPECT_EQ(app.run(), 0);
      app.setDelegate(nullptr);
    }
    EXPECT_EQ(delegate.terminateRequests, 2);
    EXPECT_EQ(deepest, 1) << "a signal's request is never answered inside another";

    struct sigaction after {};
    ASSERT_EQ(sigaction(c.signal, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, SIG_IGN) << "the previous disposition is back";
    struct sigaction restore {};
    restore.sa_handler = SIG_DFL;
    sigemptyset(&restore.sa_mask);
    sigaction(c.signal, &restore, nullptr);
  }
}

// --- alerts --------------------------------------------------------------------------------

enum class Answer { ClickFirst, ClickSecond, ClickThird, Return, ReturnWithFocusOnSecond, Escape };

void answer(QMessageBox* box, Answer how) {
  QList<QAbstractButton*> buttons = box->buttons();
  std::sort(buttons.begin(), buttons.end(), [box](QAbstractButton* a, QAbstractButton* b) {
    return a->mapTo(box, QPoint()).x() < b->mapTo(box, QPoint()).x();
  });
  switch (how) {
    case Answer::ClickFirst:
      return QTest::mouseClick(buttons.at(0), Qt::LeftButton);
    case Answer::ClickSecond:
      return QTest::mouseClick(buttons.at(1), Qt::LeftButton);
    case Answer::ClickThird:
      return QTest::mouseClick(buttons.at(2), Qt::LeftButton);
    case Answer::Return:
      return QTest::keyClick(box, Qt::Key_Return);
    case Answer::ReturnWithFocusOnSecond:
      buttons.at(1)->setFocus();
      return QTest::keyClick(buttons.at(1), Qt::Key_Return);
    case Answer::Escape:
      return QTest::keyClick(box, Qt::Key_Escape);
  }
}

struct AlertCase {
  const char* description;
  std::vector<std::string> buttons;
  Answer how;
  int expected;
};

TEST_F(QtApplicationTest, AlertAnswersWhichButtonWasPressed) {
  const std::vector<std::string> two = {"Start afresh", "Quit"};
  const std::vector<std::string> three = {"One", "Two", "Three"};
  const std::vector<AlertCase> cases = {
      {"first of two", two, Answer::ClickFirst, 1000},
      {"second of two", two, Answer::ClickSecond, 1001},
      {"third of three", three, Answer::ClickThird, 1002},
      {"Return presses the first", two, Answer::Return, 1000},
      {"Return presses the first, wherever the focus", two, Answer::ReturnWithFocusOnSecond, 1000},
      {"Escape presses the second", two, Answer::Escape, 1001},
      {"Escape presses the second of three", three, Answer::Escape, 1001},
      {"lone OK clicked", {}, Answer::ClickFirst, 1000},
      {"lone OK by Return", {}, Answer::Return, 1000},
      {"a single button by Return", {"Fine"}, Answer::Return, 1000},
  };
  for (const AlertCase& c : cases) {
    SCOPED_TRACE(c.description);
    QStringList order;
    Qt::WindowModality modality = Qt::NonModal;
    bool firstIsDefault = false;
    whenAlertShows([&](QMessageBox* box) {
      order = visualOrder(box);
      modality = box->windowModality();
      firstIsDefault = box->defaultButton() && box->defaultButton()->text() == order.value(0);
      answer(box, c.how);
    });
    EXPECT_EQ(app_->alerts().runModal({"The service stopped.", "Details follow.", c.buttons}), c.expected);
    EXPECT_EQ(order, c.buttons.empty() ? QStringList{QStringLiteral("OK")} : toQt(c.buttons)) << "left to right";
    EXPECT_EQ(modality, Qt::ApplicationModal);
    EXPECT_TRUE(firstIsDefault);
  }
}

TEST_F(QtApplicationTest, AlertShowsItsTextsLiterallyWithAWarningIcon) {
  const AlertSpec alert{"<b>Port</b> 8765 & more", "Use <i>another</i>\nport.", {"Retry & go", "Quit"}};
  QString text, informative;
  Qt::TextFormat textFormat = Qt::RichText, informativeFormat = Qt::RichText;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList order;
  whenAlertShows([&](QMessageBox* box) {
    icon = box->icon();
    const auto* main = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    const auto* info = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    if (main) {
      text = main->text();
      textFormat = main->textFormat();
    }
    if (info) {
      informative = info->text();
      informativeFormat = info->textFormat();
    }
    order = visualOrder(box);
    answer(box, Answer::ClickSecond);
  });
  EXPECT_EQ(app_->alerts().runModal(alert), 1001);
  EXPECT_EQ(icon, QMessageBox::Warning);
  EXPECT_EQ(text, QString::fromStdString(alert.message));
  EXPECT_EQ(textFormat, Qt::PlainText);
  EXPECT_EQ(informative, QString::fromStdString(alert.informative));
  EXPECT_EQ(informativeFormat, Qt::PlainText);
  EXPECT_EQ(order, (QStringList{QStringLiteral("Retry && go"), QStringLiteral("Quit")})) << "'&' shown as itself";
}

// Every platform's button layout, as its style would choose it.
class LayoutStyle final : public QProxyStyle {
 public:
  explicit LayoutStyle(int layout) : layout_(layout) {}
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_DialogButtonLayout) return layout_;
    return QProxyStyle::styleHint(hint, option, widget, data);
  }

 private:
  int layout_;
};

TEST_F(QtApplicationTest, AlertButtonsKeepTheirOrderUnderEveryPlatformLayout) {
  const std::vector<std::pair<const char*, QDialogButtonBox::ButtonLayout>> layouts = {
      {"Windows", QDialogButtonBox::WinLayout},     {"macOS", QDialogButtonBox::MacLayout},
      {"KDE", QDialogButtonBox::KdeLayout},         {"GNOME", QDialogButtonBox::GnomeLayout},
      {"Android", QDialogButtonBox::AndroidLayout},
  };
  const std::vector<std::string> buttons = {"Start afresh", "Quit", "Later"};
  for (const auto& [description, layout] : layouts) {
    SCOPED_TRACE(description);
    QApplication::setStyle(new LayoutStyle(layout));
    QStringList order;
    whenAlertShows([&](QMessageBox* box) {
      order = visualOrder(box);
      answer(box, Answer::Escape);
    });
    EXPECT_EQ(app_->alerts().runModal({"Message", "", buttons}), 1001);
    EXPECT_EQ(order, toQt(buttons));
  }
}

TEST_F(QtApplicationTest, AlertEndedByAGrantedTerminateAnswersNoButton) {
  std::optional<int> response;
  std::thread poster;
  delegate_.onLaunch = [&] {
    poster = std::thread([queue = app_->mainQueue(), this] { queue->post([this] { app_->terminate(); }); });
    response = app_->alerts().runModal({"Start afresh?", "", {"Start", "Quit"}});
  };
  EXPECT_EQ(runLoop(), 0);
  poster.join();
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(*response, kAlertAbortedReturn);
  EXPECT_NE(*response, kAlertFirstButtonReturn);
}

// --- the main queue ------------------------------------------------------------------------

TEST_F(QtApplicationTest, WorkPostedFromManyThreadsRunsInOrderOnTheMainThread) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  const std::thread::id mainThread = std::this_thread::get_id();
  std::vector<std::vector<int>> seen(kThreads);
  int offMain = 0;
  int total = 0;
  std::vector<std::thread> posters;
  delegate_.onLaunch = [&] {
    for (int t = 0; t < kThreads; ++t) {
      posters.emplace_back([&, t, queue = app_->mainQueue()] {
        for (int i = 0; i < kPerThread; ++i) {
          queue->post([&, t, i] {
            if (std::this_thread::get_id() != mainThread) ++offMain;
            seen[static_cast<std::size_t>(t)].push_back(i);
            if (++total == kThreads * kPerThread) app_->terminate();
          });
        }
      });
    }
  };
  EXPECT_EQ(runLoop(), 0);
  for (std::thread& poster : posters) poster.join();
  EXPECT_EQ(offMain, 0);
  EXPECT_EQ(total, kThreads * kPerThread);
  for (int t = 0; t < kThreads; ++t) {
    std::vector<int> expected(kPerThread);
    for (int i = 0; i < kPerThread; ++i) expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(seen[static_cast<std::size_t>(t)], expected) << "thread " << t;
  }
}

TEST_F(QtApplicationTest, WorkRunsWhileAnAlertIsUp) {
  std::optional<int> response;
  std::thread poster;
  const auto queue = app_->mainQueue();
  // Answers the alert from posted work, which can only run inside the alert's own loop.
  std::function<void()> answerWhenUp = [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); box && box->isVisible()) {
      answer(box, Answer::ClickSecond);
    } else {
      queue->post(answerWhenUp);
    }
  };
  delegate_.onLaunch = [&] {
    poster = std::thread([&] { queue->post(answerWhenUp); });
    response = app_->alerts().runModal({"Waiting", "", {"Start", "Quit"}});
    app_->terminate();
  };
  EXPECT_EQ(runLoop(), 0);
  poster.join();
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(*response, 1001);
}

TEST_F(QtApplicationTest, WorkPostedAfterTheLoopEndedIsDroppedUnrun) {
  bool ranLate = false;
  const auto queue = app_->mainQueue();
  delegate_.onLaunch = [&] {
    app_->terminate();
    queue->post([&] { ranLate = true; });  // waiting when the loop ends
  };
  EXPECT_EQ(runLoop(), 0);
  queue->post([&] { ranLate = true; });
  QCoreApplication::processEvents();
  EXPECT_FALSE(ranLate);

  app_->setDelegate(nullptr);
  app_.reset();
  const auto sentinel = std::make_shared<int>(0);
  queue->post([&ranLate, sentinel] { ranLate = true; });
  std::thread([queue, sentinel] { queue->post([sentinel] {}); }).join();
  EXPECT_FALSE(ranLate);
  EXPECT_EQ(sentinel.use_count(), 1) << "dropped work is destroyed";
}

// --- re-open -------------------------------------------------------------------------------

struct ReopenCase {
  const char* description;
  bool showWindow;
  bool minimise;
  bool expectedVisible;
};

TEST_F(QtApplicationTest, ReopenFromALaterStartReachesTheDelegateOnce) {
  zp::test::TempDir runtime;
  const char* oldRuntime = std::getenv("XDG_RUNTIME_DIR");
  const std::optional<std::string> savedRuntime = oldRuntime ? std::optional<std::string>(oldRuntime) : std::nullopt;
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  const std::vector<ReopenCase> cases = {
      {"no window", false, false, false},
      {"a visible window", true, false, true},
      {"a minimised window", true, true, false},
  };
  app_.reset();
  for (const ReopenCase& c : cases) {
    SCOPED_TRACE(c.description);
    const std::string key = std::string("/Applications/ZP Qt ") + c.description + ".app";
    const auto primary = SingleInstance::acquire(key);
    ASSERT_EQ(primary->role(), SingleInstance::Role::Primary);
    ASSERT_GE(primary->listeningDescriptor(), 0);
    const auto secondary = SingleInstance::acquire(key);
    ASSERT_EQ(secondary->role(), SingleInstance::Role::Secondary);

    TestDelegate delegate;
    QtApplication app;
    std::shared_ptr<Window> window;
    std::thread later;
    std::atomic<bool> answered{false};
    delegate.onLaunch = [&] {
      if (c.showWindow) {
        window = app.toolkit().createWindow(kContent, kMainStyle);
        window->setTitle(c.description);
        window->makeKeyAndOrderFront();
        QWidget* w = windowTitled(QString::fromUtf8(c.description));
        if (c.minimise) {
          w->showMinimized();
          EXPECT_TRUE(QTest::qWaitFor([w] { return w->isMinimized(); }, 10000));
        }
      }
      later = std::thread([&, queue = app.mainQueue()] {
        // A stranger's connection first: it must not count.
        sockaddr_un address{};
        socklen_t length = sizeof address;
        getsockname(primary->listeningDescriptor(), static_cast<sockaddr*>(static_cast<void*>(&address)), &length);
        const int stranger = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(stranger, static_cast<sockaddr*>(static_cast<void*>(&address)), sizeof address) == 0) {
          [[maybe_unused]] const ssize_t sent = send(stranger, "hello\n", 6, MSG_NOSIGNAL);
        }
        close(stranger);
        answered = secondary->requestReopen();
        // Settles once the answered request has reached the delegate, then ends the loop.
        queue->post([&] { QTimer::singleShot(200, qApp, [&] { app.terminate(); }); });
      });
    };
    app.setDelegate(&delegate);
    app.watchReopenRequests(*primary);
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(60000);
    EXPECT_EQ(app.run(), 0);
    later.join();
    app.setDelegate(nullptr);
    EXPECT_TRUE(answered);
    EXPECT_EQ(delegate.reopens, std::vector<bool>{c.expectedVisible});
  }
  if (savedRuntime) {
    setenv("XDG_RUNTIME_DIR", savedRuntime->c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
}  // namespace zp::platform::qt
