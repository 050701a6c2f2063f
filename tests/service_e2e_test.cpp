// The real launcher with the reference service, under an X server, as a person would use it:
// the page served on loopback, a quit refused while a job runs, a second start, a moved bundle.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/test_bundle.hpp"

namespace zp::test {
namespace {

namespace fs = std::filesystem;

ProcessResult curl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"/usr/bin/curl", "-sS", "--max-time", "10"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProcess(argv, {.environment = {"PATH=/usr/bin:/bin"}});
}

class WithReferenceService : public ::testing::Test {
 protected:
  WithReferenceService() {
    TestBundle::installRecordingBrowser(bin(), opened());
  }

  fs::path bin() const { return bundle_.path() / "bin"; }
  fs::path opened() const { return bundle_.path() / "opened"; }
  std::vector<std::string> addresses() const { return readLines(opened()); }
  std::vector<std::string> environment() const { return bundle_.desktopEnvironment(bin()); }

  std::unique_ptr<ChildProcess> start(const TestBundle& bundle, const std::string& name) {
    RunOptions options;
    options.environment = environment();
    return std::make_unique<ChildProcess>(std::vector<std::string>{bundle.executable().string()}, options,
                                          bundle_.path() / ("log-" + name));
  }

  // Presses Return in the alert in front, as a person would: its first button is the default.
  bool answerAlertWithReturn() {
    std::vector<std::string> env{"PATH=/usr/bin:/bin"};
    for (const char* name : {"DISPLAY", "XAUTHORITY"}) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    std::string windows;
    if (!eventually(
            [&] {
              windows = runProcess({"/usr/bin/xdotool", "search", "--onlyvisible", "--class", "."}, {.environment = env}).out;
              return std::count(windows.begin(), windows.end(), '\n') >= 2;  // the main window and the alert
            },
            90)) {
      ADD_FAILURE() << "no alert in front; visible windows: [" << windows << "]";
      return false;
    }
    const std::string alert = splitLines(windows).back();
    return runProcess({"/usr/bin/xdotool", "windowfocus", "--sync", alert, "key", "Return"}, {.environment = env}).status == 0;
  }

  TestBundle bundle_;
};

TEST_F(WithReferenceService, PageServedQuitRefusedDuringAJobAndWorkKept) {
  bundle_.useMode("preview");
  bundle_.useReferenceService();
  fs::create_directories(bundle_.dataRoot("preview"));
  auto launcher = start(bundle_, "launcher");

  ASSERT_TRUE(eventually([&] { return !addresses().empty(); }));
  const std::string url = addresses().at(0);
  const ProcessResult page = curl({"-f", url});
  EXPECT_EQ(page.status, 0) << page.err;
  EXPECT_NE(page.out.find("<html"), std::string::npos);

  // A job is running: the quit request is refused and the service keeps serving.
  const ProcessResult job = curl({"-f", "-X", "POST", "-H", "Content-Type: application/json", "-d",
                                  R"({"kind":"package","seconds":3})", url + "api/jobs"});
  ASSERT_EQ(job.status, 0) << job.err;
  kill(launcher->pid(), SIGTERM);
  EXPECT_FALSE(launcher->waitFor(1));
  EXPECT_EQ(curl({"-f", url + "api/status"}).status, 0);

  // Once the job has finished, a quit ends both; the job's output is on disk, complete.
  ASSERT_TRUE(eventually([&] {
    const std::string status = curl({"-f", url + "api/status"}).out;
    return status.find("\"running\": false") != std::string::npos || status.find("\"running\":false") != std::string::npos;
  }));
  kill(launcher->pid(), SIGTERM);
  EXPECT_EQ(launcher->waitFor(30), 0);
  std::vector<fs::path> outputs;
  for (const auto& entry : fs::directory_iterator(bundle_.dataRoot("preview") / "outputs")) outputs.push_back(entry.path());
  ASSERT_EQ(outputs.size(), 1u);
  const ProcessResult parsed = runProcess({"/usr/bin/python3", "-c", "import json,sys; json.load(open(sys.argv[1]))",
                                           outputs[0].string()},
                                          {.environment = {"PATH=/usr/bin:/bin"}});
  EXPECT_EQ(parsed.status, 0) << parsed.err;
  EXPECT_NE(curl({url}).status, 0);  // nothing serves there any more
}

TEST_F(WithReferenceService, ASecondStartOpensThePageAgainWithoutASecondService) {
  bundle_.useMode("preview");
  bundle_.useReferenceService();
  fs::create_directories(bundle_.dataRoot("preview"));
  auto first = start(bundle_, "first");
  ASSERT_TRUE(eventually([&] { return addresses().size() == 1; }));

  auto second = start(bundle_, "second");
  EXPECT_EQ(second->waitFor(30), 0);
  ASSERT_TRUE(eventually([&] { return addresses().size() == 2; }));
  EXPECT_EQ(addresses()[0], addresses()[1]);  // the same service's address, opened again

  kill(first->pid(), SIGTERM);
  EXPECT_EQ(first->waitFor(30), 0);
}

TEST_F(WithReferenceService, AMovedConnectedBundleNeedsTheColdStart) {
  bundle_.useMode("connected");
  bundle_.useReferenceService();

  // A first run: the question answered with its default button creates the workspace.
  auto first = start(bundle_, "first");
  ASSERT_TRUE(answerAlertWithReturn());
  ASSERT_TRUE(eventually([&] { return addresses().size() == 1; }));
  kill(first->pid(), SIGTERM);
  ASSERT_EQ(first->waitFor(30), 0);
  ASSERT_TRUE(fs::exists(bundle_.dataRoot("connected")));

  // The same user's workspace, reached from a copy of the bundle somewhere else.
  const fs::path moved = bundle_.path() / "Moved Zorvik.app";
  fs::copy(bundle_.bundle(), moved, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  auto launcher = [&] {
    RunOptions options;
    options.environment = environment();
    return std::make_unique<ChildProcess>(std::vector<std::string>{(moved / "Contents/MacOS/ZorvikPellwyn").string()},
                                          options, bundle_.path() / "log-moved");
  }();
  // The service asks for the cold start; the reconnect alert's first button gives it.
  ASSERT_TRUE(answerAlertWithReturn()) << "launcher running: " << launcher->running() << "; its log: "
                                       << readFile(bundle_.path() / "log-moved" / "stderr");
  ASSERT_TRUE(eventually([&] { return addresses().size() == 2; }));
  EXPECT_EQ(curl({"-f", addresses()[1]}).status, 0);
  kill(launcher->pid(), SIGTERM);
  EXPECT_EQ(launcher->waitFor(30), 0);
}

}  // namespace
}  // namespace zp::test
