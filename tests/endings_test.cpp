// finishIfReady's decision table and the terminate gate, driven on the state record.
#include <gtest/gtest.h>

#include "supervisor/texts.hpp"
#include "support/launcher_harness.hpp"

namespace zp {
namespace {

using platform::AlertSpec;
using platform::TerminateReply;
using test::LauncherHarness;

const AlertSpec kReconnectAlert{std::string(texts::kReconnectMessage), std::string(texts::kReconnectInformative),
                                {std::string(texts::kReconnectColdStartButton), std::string(texts::kReconnectQuitButton)}};
const AlertSpec kInUseAlert{std::string(texts::kFailureMessage), std::string(texts::kFailureInUseInformative), {}};
const AlertSpec kFailureAlert{std::string(texts::kFailureMessage), std::string(texts::kFailureInformative), {}};

enum class Outcome { Terminate, ColdRestart };

TEST(FinishIfReady, DecisionTable) {
  struct Row {
    const char* what;
    bool quitting = false;
    int32_t exitStatus = 0;
    std::string mode = "connected";
    std::optional<std::string> code = std::nullopt;
    bool coldStartAttempted = false;
    int response = 1000;
    std::optional<AlertSpec> alert = std::nullopt;
    Outcome outcome = Outcome::Terminate;
  };
  const std::string reconnect(kReconnectCode);
  const std::string inUse(kInUseCode);
  const Row rows[] = {
      {.what = "quit requested, failure status: silent", .quitting = true, .exitStatus = 1, .code = reconnect},
      {.what = "normal end: silent", .exitStatus = 0},
      {.what = "normal end after not_started: silent", .exitStatus = 0, .code = inUse},
      {.what = "reconnect, first button: cold restart",
       .exitStatus = 1,
       .code = reconnect,
       .alert = kReconnectAlert,
       .outcome = Outcome::ColdRestart},
      {.what = "reconnect before status 75",
       .exitStatus = 75,
       .code = reconnect,
       .alert = kReconnectAlert,
       .outcome = Outcome::ColdRestart},
      {.what = "reconnect, second button: terminate",
       .exitStatus = 1,
       .code = reconnect,
       .response = 1001,
       .alert = kReconnectAlert},
      {.what = "reconnect, any other answer: terminate",
       .exitStatus = 1,
       .code = reconnect,
       .response = 0,
       .alert = kReconnectAlert},
      {.what = "reconnect again after the cold restart",
       .exitStatus = 1,
       .code = reconnect,
       .coldStartAttempted = true,
       .alert = kFailureAlert},
      {.what = "reconnect again after the cold restart, status 75",
       .exitStatus = 75,
       .code = reconnect,
       .coldStartAttempted = true,
       .alert = kInUseAlert},
      {.what = "reconnect code in preview", .exitStatus = 1, .mode = "preview", .code = reconnect, .alert = kFailureAlert},
      {.what = "reconnect code, mode not exactly connected",
       .exitStatus = 1,
       .mode = "Connected",
       .code = reconnect,
       .alert = kFailureAlert},
      {.what = "status 75 without a code", .exitStatus = 75, .alert = kInUseAlert},
      {.what = "in-use code with another status", .exitStatus = 1, .code = inUse, .alert = kInUseAlert},
      {.what = "invalid output", .exitStatus = 1, .code = std::string(kInvalidOutputCode), .alert = kFailureAlert},
      {.what = "another status, no code", .exitStatus = 3, .mode = "preview", .alert = kFailureAlert},
      {.what = "ended by a signal", .exitStatus = 9, .alert = kFailureAlert},
      {.what = "negative status", .exitStatus = -1, .alert = kFailureAlert},
  };
  for (const Row& row : rows) {
    LauncherHarness h(row.mode);
    h.launcher->setQuitting(row.quitting);
    h.launcher->setExitStatus(row.exitStatus);
    h.launcher->setErrorCode(row.code);
    h.launcher->setColdStartAttempted(row.coldStartAttempted);
    h.launcher->setUrl("http://127.0.0.1:8765/");
    h.alerts.responses = {row.response};
    h.launcher->setOutputEOF(true);
    h.launcher->setProcessFinished(true);
    h.launcher->finishIfReady();

    std::vector<AlertSpec> alerts;
    if (row.alert) alerts.push_back(*row.alert);
    EXPECT_EQ(h.alerts.shown, alerts) << row.what;
    EXPECT_FALSE(h.launcher->url()) << row.what;
    if (row.outcome == Outcome::Terminate) {
      EXPECT_TRUE(h.launcher->finished()) << row.what;
      EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Now}) << row.what;
      EXPECT_EQ(h.launcher->coldStartAttempted(), row.coldStartAttempted) << row.what;
    } else {
      // The restart begins a new run: here its runtime is missing, so that run fails to launch.
      EXPECT_TRUE(h.application.replies.empty()) << row.what;
      EXPECT_TRUE(h.launcher->coldStartAttempted()) << row.what;
      EXPECT_EQ(h.status->texts, (std::vector<std::string>{std::string(texts::kStartingText),
                                                           std::string(texts::kLaunchFailedText)}))
          << row.what;
      EXPECT_EQ(h.launcher->exitStatus(), row.exitStatus) << row.what;
      EXPECT_FALSE(h.launcher->errorCode()) << row.what;
    }
  }
}

TEST(FinishIfReady, WaitsForBothEndEvents) {
  for (const bool eof : {false, true}) {
    LauncherHarness h;
    h.launcher->setExitStatus(1);
    h.launcher->setUrl("http://127.0.0.1:8765/");
    h.launcher->setOutputEOF(eof);
    h.launcher->setProcessFinished(!eof);
    h.launcher->finishIfReady();
    EXPECT_FALSE(h.launcher->finished()) << eof;
    EXPECT_TRUE(h.launcher->url()) << eof;
    EXPECT_TRUE(h.alerts.shown.empty()) << eof;
    EXPECT_TRUE(h.application.replies.empty()) << eof;
  }
}

TEST(TerminateGate, GrantsAtOnceWithoutARunningService) {
  LauncherHarness never;
  EXPECT_EQ(never.launcher->applicationShouldTerminate(), TerminateReply::Now);

  LauncherHarness finished;
  finished.useRunningTask();
  finished.launcher->setFinished(true);
  EXPECT_EQ(finished.launcher->applicationShouldTerminate(), TerminateReply::Now);
  EXPECT_FALSE(finished.launcher->quitting());

  LauncherHarness ended;
  auto task = std::make_shared<platform::Task>(platform::TaskOptions{.executable = "/bin/true"});
  ASSERT_TRUE(task->launch());
  task->waitUntilExit();
  ended.launcher->setTask(task);
  EXPECT_EQ(ended.launcher->applicationShouldTerminate(), TerminateReply::Now);
  EXPECT_TRUE(ended.status->texts.empty());
}

TEST(TerminateGate, RefusesWhileTheServiceRunsAndAsksItToStop) {
  LauncherHarness h;
  h.useRunningTask();  // /bin/sleep: SIGTERM ends it
  EXPECT_EQ(h.launcher->applicationShouldTerminate(), TerminateReply::Cancel);
  EXPECT_TRUE(h.launcher->quitting());
  EXPECT_EQ(h.status->texts, std::vector<std::string>{std::string(texts::kQuitCheckingText)});
  h.launcher->task()->waitUntilExit();
  EXPECT_EQ(h.launcher->task()->exitStatus(), (platform::ExitStatus{platform::ExitStatus::Kind::Signaled, SIGTERM}));
}

}  // namespace
}  // namespace zp
