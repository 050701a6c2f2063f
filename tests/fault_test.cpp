// The Launcher under hostile services and faults: real processes (small Python and shell
// scripts, and a compiled writer for the flood) on real pipes, driven through the real Task
// and the headless run loop. What supervision_test.cpp already covers is not repeated here: a
// service killed by SIGKILL before any line, a missing runtime, SIGTERM ignored with SIG_IGN
// (which cannot count the requests), end of file and exit in either order after a short sleep.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "supervisor/texts.hpp"
#include "support/launcher_harness.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZP_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(ZP_ADDRESS_SANITIZER)
// The flood frees a gibibyte in 16 KiB chunks. AddressSanitizer's default quarantine of 256 MiB
// would hold a quarter of them and hide whether memory stays flat; a small one still catches a
// use after free of the recent chunks. ASAN_OPTIONS, when set, overrides it.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }
#endif

namespace zp {
namespace {

using platform::TerminateReply;
using test::LauncherHarness;
using test::readFile;
using test::writeFile;
namespace fs = std::filesystem;

const std::string kUrl = "http://127.0.0.1:8765/";

// A Python service. `flag(name)` is true once the test has created $HOME/<name>; `note`
// appends to $HOME/<name>. Every wait gives up after 60 s, so no service outlives a failed test.
std::string service(const std::string& body) {
  return "#!/usr/bin/python3\nimport os, signal, sys, time, subprocess\n"
         "home = os.environ['HOME']\n"
         "def say(line):\n    os.write(1, (line + '\\n').encode())\n"
         "def flag(name):\n    return os.path.exists(os.path.join(home, name))\n"
         "def wait_for(name):\n"
         "    deadline = time.monotonic() + 60\n"
         "    while not flag(name) and time.monotonic() < deadline:\n        time.sleep(0.02)\n"
         "def note(name, text):\n"
         "    with open(os.path.join(home, name), 'a') as f:\n        f.write(text + '\\n')\n" +
         body + "\n";
}

// Lets the loop run for a while, so that an ending that should not come has every chance to.
void runIdle(LauncherHarness& h, int milliseconds = 300) {
  h.loop->runUntil([] { return false; }, std::chrono::milliseconds(milliseconds));
}

// Peak and current resident size of this process, in KiB.
long statusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
  }
  return -1;
}


TEST(Faults, FloodOfShortLinesIsDrainedInFlatMemoryAndQuitStillWorks) {
  LauncherHarness h;
  fs::create_directories(h.runtime().parent_path());
  fs::create_symlink(ZP_FLOOD_WRITER, h.runtime());

  // From here on VmHWM is the peak of the flood alone ("5" resets it).
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = statusKiB("VmRSS:");
  const auto start = std::chrono::steady_clock::now();

  h.launcher->startServiceWithCreate(false, false);
  // The ready line is the last thing written: once it is in, the whole gibibyte was read.
  ASSERT_TRUE(h.runUntil([&] { return h.launcher->url().has_value(); }, 600));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long peak = statusKiB("VmHWM:");

  EXPECT_EQ(readFile(h.home() / "flood-written"), std::to_string(1ULL << 30));
  EXPECT_FALSE(h.launcher->outputRejected());
  EXPECT_EQ(h.launcher->url(), kUrl);
  EXPECT_EQ(h.browser.opened, std::vector<std::string>{kUrl});
  EXPECT_EQ(h.status->texts,
            (std::vector<std::string>{std::string(texts::kStartingText), std::string(texts::kStartedTextPreview)}));

  // Chunks in flight are bounded, so memory stays flat.
  EXPECT_LT(peak - before, 32 * 1024) << "RSS before " << before << " KiB, peak " << peak << " KiB";
  std::printf("[ flood    ] 1 GiB drained in %.1f s; peak RSS %ld KiB over %ld KiB before\n", seconds, peak - before,
              before);

  // The service now waits for SIGTERM: a quit is refused, passed on, and the end follows.
  h.launcher->quit();
  EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Cancel});
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }, 60));
  EXPECT_EQ(h.launcher->exitStatus(), 0);
  EXPECT_TRUE(h.alerts.shown.empty());
}

TEST(Faults, OverlongLineIsRefusedWhileTheServiceRunsAndQuitStillWorks) {
  LauncherHarness h;
  // One line of 70 000 bytes, then a ready line that must never be opened, then a wait for
  // SIGTERM.
  h.useService(service(R"PY(
signal.signal(signal.SIGTERM, lambda sig, frame: sys.exit(0))
say('{"status":"busy","pad":"' + 'x' * 69970 + '"}')
say('{"status":"ready","url":"http://127.0.0.1:8765/"}')
note('written', 'yes')
wait_for('never')
sys.exit(9))PY"));
  h.launcher->startServiceWithCreate(false, false);
  ASSERT_TRUE(h.runUntil([&] { return h.launcher->outputRejected(); }));
  ASSERT_TRUE(test::eventually([&] { return fs::exists(h.home() / "written"); }));
  runIdle(h);

  EXPECT_EQ(h.status->texts,
            (std::vector<std::string>{std::string(texts::kStartingText), std::string(texts::kRejectedOutputText)}));
  EXPECT_EQ(h.launcher->errorCode(), std::string(kInvalidOutputCode));
  EXPECT_FALSE(h.launcher->url());
  EXPECT_TRUE(h.launcher->task()->isRunning());
  EXPECT_FALSE(h.launcher->finished());

  h.launcher->quit();
  EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Cancel});
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));
  EXPECT_EQ(h.launcher->exitStatus(), 0);
  EXPECT_TRUE(h.alerts.shown.empty());
  // The ready line after the refusal was read to the end of the output and never opened.
  EXPECT_TRUE(h.browser.opened.empty());
  EXPECT_FALSE(h.launcher->url());
}

// Both end events are needed, and each may be held back for as long as the service likes.
TEST(Faults, NoEndingUntilBothTheExitAndTheEndOfOutput) {
  struct Row {
    const char* what;
    std::string body;
    bool eofFirst;  // which event comes at once; the other waits for the flag "go"
    int status;
  };
  const Row rows[] = {
      {"closes stdout, keeps running, then exits 0", "os.close(1)\nwait_for('go')\nsys.exit(0)", true, 0},
      {"closes stdout, keeps running, then exits 3", "os.close(1)\nwait_for('go')\nsys.exit(3)", true, 3},
      // A grandchild holds standard output open after the service has exited, then writes a
      // line: it is still read.
      {"exits 0 while a grandchild keeps stdout open",
       "subprocess.Popen(['/bin/sh', '-c', 'i=0; while [ ! -e \"$HOME/go\" ] && [ $i -lt 3000 ]; do sleep 0.02; "
       "i=$((i+1)); done; echo \\'{\"status\":\"busy\"}\\''])\nsys.exit(0)",
       false, 0},
      {"exits 3 while a grandchild keeps stdout open",
       "subprocess.Popen(['/bin/sh', '-c', 'i=0; while [ ! -e \"$HOME/go\" ] && [ $i -lt 3000 ]; do sleep 0.02; "
       "i=$((i+1)); done; echo \\'{\"status\":\"busy\"}\\''])\nsys.exit(3)",
       false, 3},
  };
  for (const Row& row : rows) {
    LauncherHarness h;
    h.useService(service(row.body));
    h.launcher->startServiceWithCreate(false, false);
    ASSERT_TRUE(h.runUntil([&] { return row.eofFirst ? h.launcher->outputEOF() : h.launcher->processFinished(); }))
        << row.what;
    runIdle(h);
    EXPECT_EQ(h.launcher->outputEOF(), row.eofFirst) << row.what;
    EXPECT_EQ(h.launcher->processFinished(), !row.eofFirst) << row.what;
    EXPECT_FALSE(h.launcher->finished()) << row.what;
    EXPECT_TRUE(h.application.replies.empty()) << row.what;
    EXPECT_TRUE(h.alerts.shown.empty()) << row.what;

    writeFile(h.home() / "go", "");
    ASSERT_TRUE(h.runUntil([&] { return h.application.ended; })) << row.what;
    EXPECT_TRUE(h.launcher->finished()) << row.what;
    EXPECT_EQ(h.launcher->exitStatus(), row.status) << row.what;
    EXPECT_EQ(h.alerts.shown.size(), row.status == 0 ? 0U : 1U) << row.what;
    if (!row.eofFirst) {
      EXPECT_EQ(h.status->texts.back(), std::string(texts::kBusyText)) << row.what;
    }
  }
}

TEST(Faults, ServiceThatNeverStopsGetsOneSigtermPerRequestAndIsNeverForced) {
  LauncherHarness h;
  // Counts every SIGTERM and carries on; only the flag "stop" ends it.
  h.useService(service(R"PY(
signal.signal(signal.SIGTERM, lambda sig, frame: note('terms', 'TERM'))
say('{"status":"ready","url":"http://127.0.0.1:8765/"}')
wait_for('stop')
sys.exit(0))PY"));
  h.launcher->startServiceWithCreate(false, false);
  ASSERT_TRUE(h.runUntil([&] { return h.launcher->url().has_value(); }));
  const int pid = h.launcher->task()->processIdentifier();

  const auto terms = [&] {
    const std::string text = readFile(h.home() / "terms");
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  };
  constexpr std::size_t kRequests = 5;
  for (std::size_t i = 1; i <= kRequests; ++i) {
    h.launcher->quit();
    ASSERT_TRUE(test::eventually([&] { return terms() >= i; })) << "request " << i;
    h.loop->runPending();
  }
  runIdle(h);
  EXPECT_EQ(terms(), kRequests);
  EXPECT_EQ(h.application.replies, std::vector<TerminateReply>(kRequests, TerminateReply::Cancel));
  EXPECT_TRUE(h.launcher->quitting());
  EXPECT_EQ(h.status->text(), std::string(texts::kQuitCheckingText));
  EXPECT_TRUE(h.launcher->task()->isRunning());
  EXPECT_EQ(::kill(pid, 0), 0) << "the service must still be alive";

  writeFile(h.home() / "stop", "");
  ASSERT_TRUE(h.runUntil([&] { return h.application.ended; }));
  EXPECT_EQ(h.launcher->exitStatus(), 0);
  EXPECT_TRUE(h.alerts.shown.empty());
  EXPECT_EQ(terms(), kRequests);
}

// A signal the launcher did not send is a failure like any other, also after a ready line.
TEST(Faults, ServiceKilledBySignalAfterItWasReady) {
  struct Row {
    const char* what;
    int signal;
  };
  const Row rows[] = {{"SIGKILL", SIGKILL}, {"SIGTERM from elsewhere", SIGTERM}, {"SIGHUP", SIGHUP}};
  for (const Row& row : rows) {
    LauncherHarness h;
    h.useService(service("say('{\"status\":\"ready\",\"url\":\"http://127.0.0.1:8765/\"}')\nwait_for('die')\n"
                         "os.kill(os.getpid(), " + std::to_string(row.signal) + ")\ntime.sleep(5)"));
    h.launcher->startServiceWithCreate(false, false);
    ASSERT_TRUE(h.runUntil([&] { return h.launcher->url().has_value(); })) << row.what;
    writeFile(h.home() / "die", "");
    ASSERT_TRUE(h.runUntil([&] { return h.application.ended; })) << row.what;

    EXPECT_EQ(h.launcher->exitStatus(), row.signal) << row.what;
    ASSERT_EQ(h.alerts.shown.size(), 1U) << row.what;
    EXPECT_EQ(h.alerts.shown[0].message, std::string(texts::kFailureMessage)) << row.what;
    EXPECT_EQ(h.alerts.shown[0].informative, std::string(texts::kFailureInformative)) << row.what;
    EXPECT_FALSE(h.launcher->url()) << row.what;
    h.launcher->openPellwyn();
    EXPECT_EQ(h.browser.opened, std::vector<std::string>{kUrl}) << row.what;  // only the one at ready
  }
}

TEST(Faults, RuntimeThatCannotBeLaunched) {
  struct Row {
    const char* what;
    std::function<void(const LauncherHarness&)> install;
  };
  const Row rows[] = {
      {"a directory", [](const LauncherHarness& h) { fs::create_directories(h.runtime()); }},
      {"a dangling link",
       [](const LauncherHarness& h) {
         fs::create_directories(h.runtime().parent_path());
         fs::create_symlink(h.path() / "nowhere", h.runtime());
       }},
      {"a script without execute permission",
       [](const LauncherHarness& h) {
         writeFile(h.runtime(), "#!/bin/sh\nexit 0\n");
         fs::permissions(h.runtime(), fs::perms::owner_read | fs::perms::owner_write);
       }},
      {"a script whose interpreter is missing",
       [](const LauncherHarness& h) { writeFile(h.runtime(), "#!/nonexistent/python3\n", true); }},
      {"an empty executable file", [](const LauncherHarness& h) { writeFile(h.runtime(), "", true); }},
  };
  for (const Row& row : rows) {
    LauncherHarness h;
    row.install(h);
    h.launcher->startServiceWithCreate(false, false);
    EXPECT_TRUE(h.launcher->finished()) << row.what;
    EXPECT_EQ(h.status->texts,
              (std::vector<std::string>{std::string(texts::kStartingText), std::string(texts::kLaunchFailedText)}))
        << row.what;
    EXPECT_FALSE(h.launcher->task()->isRunning()) << row.what;
    runIdle(h, 200);
    EXPECT_FALSE(h.launcher->outputEOF()) << row.what;
    EXPECT_FALSE(h.launcher->processFinished()) << row.what;
    EXPECT_TRUE(h.alerts.shown.empty()) << row.what;
    EXPECT_TRUE(h.application.replies.empty()) << row.what;
    h.launcher->quit();
    EXPECT_EQ(h.application.replies, std::vector<TerminateReply>{TerminateReply::Now}) << row.what;
  }
}

}  // namespace
}  // namespace zp
