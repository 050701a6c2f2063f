// The Launcher supervising real processes through the real Task and the headless run loop.
// Each service is a small Python script installed as the bundle's runtime.
#include <gtest/gtest.h>

#include "supervisor/texts.hpp"
#include "support/launcher_harness.hpp"

namespace zp {
namespace {

using platform::TerminateReply;
using test::LauncherHarness;
using test::readFile;

std::string service(const std::string& body) {
  return "#!/usr/bin/python3\nimport os, signal, sys, time, subprocess\n"
         // Unbuffered: a signal handler that writes must never re-enter a buffered writer.
         "def say(line):\n    os.write(1, (line + '\\n').encode())\n" +
         body + "\n";
}

const std::string kReadyLine = R"(say('{"status":"ready","url":"http://127.0.0.1:8765/"}'))";

TEST(Supervision, ServiceGetsExactlyItsPlanAndEnvironment) {
  LauncherHarness h("connected");
  h.useService(test::recorderScript(h.path() / "record", "sys.stderr.write('noise\\n'); sys.exit(0)"));
  h.launcher->startServiceWithCreate(true, false);
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));

  const test::Record r = test::readRecord(h.path() / "record");
  ASSERT_TRUE(r.present);
  const std::string root = (h.home() / "Library/Application Support/ZorvikPellwyn-Connected/data").string();
  EXPECT_EQ(r.arguments,
            (std::vector<std::string>{"-I", "-B",
                                      (h.resources() / "product/payload/deployment/product/ops/start-zorvik-local.py").string(),
                                      "--data-root", root, "--no-browser", "--port", "0", "--new-workspace"}));
  EXPECT_EQ(r.environment,
            (std::vector<std::string>{"HOME=" + h.home().string(), "LANG=en_US.UTF-8", "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                                      "PYTHONDONTWRITEBYTECODE=1", "PYTHONNOUSERSITE=1", "TMPDIR=/tmp/zp-tmp/"}));
  EXPECT_EQ(r.workingDirectory, h.resources().string());
  EXPECT_EQ(r.standardInput, "/dev/null");
  EXPECT_EQ(r.standardInputBytes, 0u);
  EXPECT_EQ(r.standardError, "/dev/null");
  EXPECT_EQ(r.standardOutput.rfind("pipe:", 0), 0u) << r.standardOutput;
  EXPECT_EQ(r.openDescriptors, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(r.ownProcessGroup);

  // A normal end: one silent terminate request.
  EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Now});
  EXPECT_TRUE(h.alerts.shown.empty());
  EXPECT_EQ(h.launcher->exitStatus(), 0);
}

TEST(Supervision, EitherEndEventMayComeFirst) {
  struct Row {
    const char* what;
    std::string body;
  };
  const Row rows[] = {
      {"end of file before exit", "os.close(1)\ntime.sleep(0.3)\nsys.exit(0)"},
      {"exit before end of file",
       // A grandchild keeps standard output open after the service has exited.
       "subprocess.Popen(['/bin/sh', '-c', 'sleep 0.3; echo \\'{\"status\":\"busy\"}\\''])\nsys.exit(0)"},
      {"nothing written", "sys.exit(0)"},
  };
  for (const Row& row : rows) {
    LauncherHarness h;
    h.useService(service(row.body));
    h.launcher->startServiceWithCreate(false, false);
    ASSERT_TRUE(h.runUntil([&] { return h.application.ended; })) << row.what;
    h.loop->runPending();
    EXPECT_TRUE(h.launcher->outputEOF()) << row.what;
    EXPECT_TRUE(h.launcher->processFinished()) << row.what;
    EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Now}) << row.what;
    EXPECT_TRUE(h.alerts.shown.empty()) << row.what;
  }
  // The grandchild's line arrived after the exit and was still read.
  LauncherHarness h;
  h.useService(service(rows[1].body));
  h.launcher->startServiceWithCreate(false, false);
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));
  EXPECT_EQ(h.status->text(), std::string(texts::kBusyText));
}

TEST(Supervision, QuitIsGrantedOnceTheServiceHasExitedEvenBeforeEndOfFile) {
  LauncherHarness h;
  h.useService(service("subprocess.Popen(['/bin/sh', '-c', 'sleep 1'])\nsys.exit(1)"));
  h.launcher->startServiceWithCreate(false, false);
  ASSERT_TRUE(h.runUntil([&] { return !h.launcher->task()->isRunning(); }));
  EXPECT_FALSE(h.launcher->outputEOF());
  EXPECT_EQ(h.launcher->applicationShouldTerminate(), TerminateReply::Now);
  EXPECT_FALSE(h.launcher->quitting());
}

TEST(Supervision, RuntimeThatCannotLaunch) {
  LauncherHarness h;  // no runtime installed
  h.launcher->startServiceWithCreate(false, false);
  EXPECT_TRUE(h.launcher->finished());
  EXPECT_EQ(h.status->texts,
            (std::vector<std::string>{std::string(texts::kStartingText), std::string(texts::kLaunchFailedText)}));
  EXPECT_FALSE(h.launcher->task()->isRunning());
  h.loop->runUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_FALSE(h.launcher->outputEOF());
  EXPECT_FALSE(h.launcher->processFinished());
  EXPECT_TRUE(h.application.replies.empty());  // the window stays until the user quits
  h.launcher->openPellwyn();
  EXPECT_TRUE(h.browser.opened.empty());
  h.launcher->quit();
  EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Now});
}

TEST(Supervision, QuitHandshake) {
  LauncherHarness h;
  h.useService(service(R"PY(
terms = 0
def on_term(sig, frame):
    global terms
    terms += 1
    with open(os.path.join(os.environ['HOME'], 'terms'), 'w') as f:
        f.write(str(terms))
    if terms == 1:
        say('{"status":"busy"}')
    else:
        sys.exit(0)
signal.signal(signal.SIGTERM, on_term)
)PY" + kReadyLine + "\nwhile True:\n    time.sleep(0.05)"));
  h.launcher->startServiceWithCreate(false, false);
  ASSERT_TRUE(h.runUntil([&] { return !h.browser.opened.empty(); }));
  EXPECT_EQ(h.browser.opened, std::vector<std::string>{"http://127.0.0.1:8765/"});
  EXPECT_EQ(h.status->text(), std::string(texts::kStartedTextPreview));

  // The first request is refused and passed on; the service answers busy and keeps running.
  h.launcher->quit();
  EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Cancel});
  EXPECT_TRUE(h.launcher->quitting());
  EXPECT_EQ(h.status->text(), std::string(texts::kQuitCheckingText));
  ASSERT_TRUE(h.runUntil([&] { return h.status->text() == texts::kBusyText; }));
  EXPECT_FALSE(h.launcher->quitting());
  EXPECT_TRUE(h.launcher->task()->isRunning());

  // A later request sends SIGTERM again; this time the service ends, and so does the application.
  h.launcher->quit();
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));
  EXPECT_EQ(h.application.replies,
            (std::vector<TerminateReply>{TerminateReply::Cancel, TerminateReply::Cancel, TerminateReply::Now}));
  EXPECT_EQ(readFile(h.home() / "terms"), "2");
  EXPECT_TRUE(h.alerts.shown.empty());
  EXPECT_FALSE(h.launcher->url());
}

TEST(Supervision, QuitWhileTheServiceIgnoresItIsRefusedEachTime) {
  LauncherHarness h;
  h.useService(service("signal.signal(signal.SIGTERM, signal.SIG_IGN)\n" + kReadyLine +
                       "\nwhile not os.path.exists(os.path.join(os.environ['HOME'], 'stop')):\n    time.sleep(0.05)"));
  h.launcher->startServiceWithCreate(false, false);
  ASSERT_TRUE(h.runUntil([&] { return h.launcher->url().has_value(); }));
  for (int i = 0; i < 3; ++i) h.launcher->quit();
  h.loop->runUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(h.application.replies, std::vector<TerminateReply>(3, TerminateReply::Cancel));
  EXPECT_TRUE(h.launcher->task()->isRunning());
  test::writeFile(h.home() / "stop", "");
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));
  EXPECT_TRUE(h.alerts.shown.empty());  // quitting was still set: the end is silent
}

TEST(Supervision, FailuresAreExplained) {
  struct Row {
    const char* what;
    std::string body;
    std::string informative;
  };
  const Row rows[] = {
      {"status 75 without a line", "sys.exit(75)", std::string(texts::kFailureInUseInformative)},
      {"in-use code", R"(say('{"status":"not_started","code":"component_in_use_or_backup_running"}'); sys.exit(1))",
       std::string(texts::kFailureInUseInformative)},
      {"killed by a signal", "os.kill(os.getpid(), 9)", std::string(texts::kFailureInformative)},
      {"another failure", "sys.exit(3)", std::string(texts::kFailureInformative)},
  };
  for (const Row& row : rows) {
    LauncherHarness h;
    h.useService(service(row.body));
    h.launcher->startServiceWithCreate(false, false);
    ASSERT_TRUE(h.runUntil([&] { return h.application.ended; })) << row.what;
    ASSERT_EQ(h.alerts.shown.size(), 1u) << row.what;
    EXPECT_EQ(h.alerts.shown[0].message, std::string(texts::kFailureMessage)) << row.what;
    EXPECT_EQ(h.alerts.shown[0].informative, row.informative) << row.what;
    EXPECT_TRUE(h.alerts.shown[0].buttons.empty()) << row.what;
  }
}

TEST(Supervision, ReconnectLeadsToOneColdRestart) {
  LauncherHarness h("connected");
  // Without --cold-start the service asks for it; with it, it records its arguments and fails
  // again with status 75, so the second ending is decided by the new process's status.
  h.useService(service(R"PY(
say('{"status":"not_started","code":"zorvik_reconnect_requires_same_source_cold_epoch"}')
if '--cold-start' not in sys.argv:
    sys.exit(1)
with open(os.path.join(os.environ['HOME'], 'cold-argv'), 'w') as f:
    f.write('\n'.join(sys.argv[1:]))
sys.exit(75))PY"));
  h.alerts.responses = {platform::kAlertFirstButtonReturn};
  h.launcher->startServiceWithCreate(false, false);
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));

  ASSERT_EQ(h.alerts.shown.size(), 2u);
  EXPECT_EQ(h.alerts.shown[0].message, std::string(texts::kReconnectMessage));
  EXPECT_EQ(h.alerts.shown[1].message, std::string(texts::kFailureMessage));
  EXPECT_EQ(h.alerts.shown[1].informative, std::string(texts::kFailureInUseInformative));
  EXPECT_TRUE(h.launcher->coldStartAttempted());
  EXPECT_EQ(h.launcher->exitStatus(), 75);
  const std::string argv = readFile(h.home() / "cold-argv");
  EXPECT_NE(argv.find("--cold-start"), std::string::npos);
  EXPECT_EQ(argv.find("--new-workspace"), std::string::npos);
  EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Now});
}

TEST(Supervision, TheEndingIsDecidedByTheProcessThatEnded) {
  // `task` may hold another process by the time an exit arrives; the status read must be the
  // ended one's (3, a failure), not that of `task` (0, a clean end without an alert).
  LauncherHarness h;
  h.useService(service("time.sleep(0.3)\nsys.exit(3)"));
  h.launcher->startServiceWithCreate(false, false);
  auto other = std::make_shared<platform::Task>(platform::TaskOptions{.executable = "/bin/true"});
  ASSERT_TRUE(other->launch());
  other->waitUntilExit();
  ASSERT_EQ(other->exitStatus(), (platform::ExitStatus{platform::ExitStatus::Kind::Exited, 0}));
  h.launcher->setTask(other);

  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));
  EXPECT_EQ(h.launcher->exitStatus(), 3);
  ASSERT_EQ(h.alerts.shown.size(), 1u);
  EXPECT_EQ(h.alerts.shown[0].informative, std::string(texts::kFailureInformative));
}

TEST(Supervision, CallbacksDoNothingOnceTheLauncherIsGone) {
  LauncherHarness h;
  h.useService(service(kReadyLine + "\ntime.sleep(0.2)\nsys.exit(3)"));
  h.launcher->startServiceWithCreate(false, false);
  const std::shared_ptr<platform::Task> task = h.launcher->task();
  h.launcher.reset();
  h.launcher = std::make_shared<Launcher>(LauncherServices{});  // keeps the harness's teardown simple
  ASSERT_TRUE(h.runUntil([&] { return !task->isRunning(); }));
  h.loop->runUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_TRUE(h.browser.opened.empty());
  EXPECT_TRUE(h.alerts.shown.empty());
  EXPECT_TRUE(h.application.replies.empty());
}

}  // namespace
}  // namespace zp
