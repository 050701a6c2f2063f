// The start-up sequence and re-open, against the recording toolkit.
#include <gtest/gtest.h>

#include "shell/shell_texts.hpp"
#include "supervisor/texts.hpp"
#include "support/launcher_harness.hpp"

namespace zp {
namespace {

using platform::Rect;
using platform::TerminateReply;
using test::LauncherHarness;

std::string str(std::string_view text) { return std::string(text); }

TEST(StartUp, BuildsTheWindowInOrderThenStartsTheService) {
  struct Row {
    std::string mode;
    std::string title;
  };
  const Row rows[] = {{"connected", str(texts::kWindowTitleConnected)}, {"preview", str(texts::kWindowTitlePreview)}};
  for (const Row& row : rows) {
    LauncherHarness h(row.mode);
    std::filesystem::create_directories(h.dataRoot());
    h.launcher->applicationDidFinishLaunching();

    // The runtime is missing here, so the start ends in the launch failure text.
    const test::EventLog expected = {
        "toolkit.createWindow",
        "window.setTitle " + row.title,
        "toolkit.createWrappingLabel",
        "window.addSubview label " + str(texts::kInitialStatusText),
        "toolkit.createButton " + str(texts::kOpenTitle),
        "window.addSubview button " + str(texts::kOpenTitle),
        "toolkit.createButton " + str(texts::kQuitTitle),
        "window.addSubview button " + str(texts::kQuitTitle),
        "window.center",
        "window.makeKeyAndOrderFront",
        "toolkit.activateIgnoringOtherApps",
        "toolkit.setMainMenu",
        "label.setText " + str(texts::kStartingText),
        "label.setText " + str(texts::kLaunchFailedText),
    };
    EXPECT_EQ(h.log, expected) << row.mode;
    EXPECT_EQ(h.launcher->mode(), row.mode);

    const test::FakeWindow& window = *h.toolkit.window;
    EXPECT_EQ(h.launcher->window().get(), &window);
    EXPECT_EQ(window.contentRect, (Rect{0, 0, 550, 235}));
    EXPECT_EQ(window.styleMask, 5u);
    ASSERT_EQ(window.views.size(), 3u);
    EXPECT_EQ(h.launcher->status(), window.views[0]);
    EXPECT_EQ(window.views[0]->frame(), (Rect{25, 80, 500, 130}));
    EXPECT_EQ(window.button(str(texts::kOpenTitle))->frame(), (Rect{25, 25, 160, 36}));
    EXPECT_EQ(window.button(str(texts::kQuitTitle))->frame(), (Rect{210, 25, 160, 36}));

    ASSERT_EQ(h.toolkit.menu.items.size(), 1u);
    EXPECT_EQ(h.toolkit.menu.items[0].title, str(texts::kQuitTitle));
    EXPECT_EQ(h.toolkit.menu.items[0].keyEquivalent, "q");
    EXPECT_TRUE(h.alerts.shown.empty());
  }
}

TEST(StartUp, EveryWayToQuitPassesTheGate) {
  LauncherHarness h;
  std::filesystem::create_directories(h.dataRoot());
  h.useService("#!/usr/bin/python3\nimport time\ntime.sleep(30)\n");
  h.launcher->applicationDidFinishLaunching();
  ASSERT_TRUE(h.launcher->task()->isRunning());

  h.toolkit.window->button(str(texts::kQuitTitle))->press();
  h.toolkit.menu.items[0].action();
  // Both were refused and passed on to the service, which SIGTERM ends.
  EXPECT_EQ(h.application.replies, (std::vector<TerminateReply>{TerminateReply::Cancel, TerminateReply::Cancel}));
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));
  EXPECT_EQ(h.application.replies.back(), TerminateReply::Now);
  EXPECT_TRUE(h.alerts.shown.empty());
}

TEST(StartUp, FirstRunAsksOnceTheWindowIsUp) {
  struct Row {
    const char* what;
    std::string mode;
    int response;
    std::string message;
    std::string informative;
  };
  const Row rows[] = {
      {"connected, confirmed", "connected", 1000, str(texts::kFirstRunMessageConnected),
       str(texts::kFirstRunInformativeConnected)},
      {"preview, confirmed", "preview", 1000, str(texts::kFirstRunMessagePreview), str(texts::kFirstRunInformativePreview)},
      {"connected, declined", "connected", 1001, str(texts::kFirstRunMessageConnected),
       str(texts::kFirstRunInformativeConnected)},
      {"preview, declined", "preview", 1001, str(texts::kFirstRunMessagePreview), str(texts::kFirstRunInformativePreview)},
  };
  for (const Row& row : rows) {
    LauncherHarness h(row.mode);
    h.useService(test::recorderScript(h.path() / "record", "sys.exit(0)"));
    h.alerts.responses = {row.response};
    h.launcher->applicationDidFinishLaunching();

    ASSERT_EQ(h.alerts.shown.size(), 1u) << row.what;
    EXPECT_EQ(h.alerts.shown[0], (platform::AlertSpec{row.message, row.informative,
                                                      {str(texts::kFirstRunCreateButton), str(texts::kFirstRunCancelButton)}}))
        << row.what;
    // The question comes after the window is on screen with its initial text and the menu.
    const auto asked = std::find(h.log.begin(), h.log.end(), "alert " + row.message);
    const auto menu = std::find(h.log.begin(), h.log.end(), "toolkit.setMainMenu");
    EXPECT_LT(menu, asked) << row.what;
    EXPECT_EQ(std::count_if(h.log.begin(), asked, [](const std::string& e) { return e.rfind("label.setText", 0) == 0; }), 0)
        << row.what;

    if (row.response == 1000) {
      ASSERT_TRUE(h.runUntil([&] { return h.application.ended; })) << row.what;
      const test::Record record = test::readRecord(h.path() / "record");
      ASSERT_TRUE(record.present) << row.what;
      const bool newWorkspace = std::count(record.arguments.begin(), record.arguments.end(), "--new-workspace") == 1;
      EXPECT_EQ(newWorkspace, row.mode == "connected") << row.what;
      EXPECT_EQ(std::count(record.arguments.begin(), record.arguments.end(), "--cold-start"), 0) << row.what;
    } else {
      EXPECT_TRUE(h.launcher->finished()) << row.what;
      EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Now}) << row.what;
      EXPECT_FALSE(h.launcher->task()) << row.what;
      EXPECT_FALSE(test::readRecord(h.path() / "record").present) << row.what;
      EXPECT_FALSE(std::filesystem::exists(h.dataRoot())) << row.what;
      EXPECT_EQ(h.launcher->status()->text(), str(texts::kInitialStatusText)) << row.what;
    }
  }
}

TEST(StartUp, AFileAtTheDataRootCountsAsPresent) {
  LauncherHarness h;
  test::writeFile(h.dataRoot(), "");
  h.launcher->applicationDidFinishLaunching();
  EXPECT_TRUE(h.alerts.shown.empty());
  EXPECT_EQ(h.launcher->status()->text(), str(texts::kLaunchFailedText));
}

TEST(StartUp, NoModeEndsAtOnceWithNothingShown) {
  LauncherHarness h;
  h.modeInBundle = std::nullopt;
  h.launcher->applicationDidFinishLaunching();
  EXPECT_TRUE(h.launcher->finished());
  EXPECT_TRUE(h.log.empty());
  EXPECT_FALSE(h.launcher->window());
  EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Now});
}

TEST(Reopen, BringsTheWindowBackAndOpensTheAddressWhileTheServiceRuns) {
  LauncherHarness h;
  std::filesystem::create_directories(h.dataRoot());
  h.useService("#!/usr/bin/python3\nimport sys, time\n"
               "print('{\"status\":\"ready\",\"url\":\"http://127.0.0.1:8765/\"}', flush=True)\n"
               "sys.stdin.read()\ntime.sleep(30)\n");
  h.launcher->applicationDidFinishLaunching();
  const int shownAtStart = h.toolkit.window->timesOrderedFront;

  EXPECT_TRUE(h.launcher->applicationShouldHandleReopen(false));  // before the ready line
  EXPECT_EQ(h.toolkit.window->timesOrderedFront, shownAtStart + 1);
  EXPECT_TRUE(h.browser.opened.empty());

  ASSERT_TRUE(h.runUntil([&] { return h.browser.opened.size() == 1; }));
  EXPECT_TRUE(h.launcher->applicationShouldHandleReopen(true));
  EXPECT_EQ(h.browser.opened, (std::vector<std::string>{"http://127.0.0.1:8765/", "http://127.0.0.1:8765/"}));
  h.toolkit.window->button(str(texts::kOpenTitle))->press();
  EXPECT_EQ(h.browser.opened.size(), 3u);

  h.launcher->quit();  // SIGTERM ends the service; the run ends and clears the address
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));
  EXPECT_TRUE(h.launcher->applicationShouldHandleReopen(true));
  EXPECT_EQ(h.browser.opened.size(), 3u);
  EXPECT_EQ(h.toolkit.window->timesOrderedFront, shownAtStart + 3);
}

}  // namespace
}  // namespace zp
