// The real executable in a temporary bundle under an X server (started by tools/with-xvfb): a fake
// service as its runtime and a fake xdg-open, first on PATH, that records what it was asked
// to open. Qt's offscreen platform cannot open addresses, hence the X server.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/test_bundle.hpp"

namespace zp::test {
namespace {

namespace fs = std::filesystem;

class EndToEnd : public ::testing::Test {
 protected:
  EndToEnd() {
    bundle_.useMode("preview");
    fs::create_directories(bundle_.dataRoot("preview"));  // not a first run
    TestBundle::installRecordingBrowser(bin(), opened());
  }

  fs::path bin() const { return bundle_.path() / "bin"; }
  fs::path opened() const { return bundle_.path() / "opened"; }
  fs::path state() const { return bundle_.home(); }  // where the fake service writes its notes

  // The fake service: announces `ready` lines, records each start and each SIGTERM, and on
  // SIGTERM answers busy until it has been asked `termsToStop` times.
  void useService(const std::vector<std::string>& readyUrls, int termsToStop = 1) {
    std::string script = "#!/usr/bin/python3\nimport os, signal, sys, time\n"
                         "notes = os.environ['HOME']\n"
                         "def say(line):\n    os.write(1, (line + '\\n').encode())\n"
                         "def note(name, text):\n"
                         "    with open(os.path.join(notes, name), 'a') as f: f.write(text + '\\n')\n"
                         "note('starts', str(os.getpid()))\n"
                         "terms = 0\n"
                         "def on_term(sig, frame):\n"
                         "    global terms\n"
                         "    terms += 1\n"
                         "    note('terms', str(terms))\n"
                         "    if terms < " + std::to_string(termsToStop) + ":\n"
                         "        say('{\"status\":\"busy\"}')\n"
                         "    else:\n"
                         "        sys.exit(0)\n"
                         "signal.signal(signal.SIGTERM, on_term)\n";
    for (const std::string& url : readyUrls) {
      script += "say('{\"status\":\"ready\",\"url\":\"" + url + "\"}')\n";
    }
    script += "while True:\n    time.sleep(0.05)\n";
    bundle_.useRuntime(script);
  }

  std::unique_ptr<ChildProcess> start(const std::string& name) {
    RunOptions options;
    options.environment = bundle_.desktopEnvironment(bin());
    return std::make_unique<ChildProcess>(std::vector<std::string>{bundle_.executable().string()}, options,
                                          bundle_.path() / ("log-" + name));
  }

  TestBundle bundle_;
};

TEST_F(EndToEnd, TheReadyAddressIsOpenedOnceAndARejectedOneNever) {
  // The rejected address comes first in the stream, so it was read before the good one opened.
  useService({"http://localhost:8765/", "http://127.0.0.1:8765/?next=evil", "http://127.0.0.1:8765/"});
  auto launcher = start("first");
  ASSERT_TRUE(eventually([&] { return !readLines(opened()).empty(); }));
  EXPECT_EQ(readLines(opened()), std::vector<std::string>{"http://127.0.0.1:8765/"});

  kill(launcher->pid(), SIGTERM);  // the service agrees at once
  EXPECT_EQ(launcher->waitFor(30), 0);
  EXPECT_EQ(readLines(opened()).size(), 1u);
}

TEST_F(EndToEnd, SignalsToTheLauncherGoThroughTheHandshake) {
  useService({"http://127.0.0.1:8765/"}, 2);
  auto launcher = start("first");
  ASSERT_TRUE(eventually([&] { return !readLines(opened()).empty(); }));

  kill(launcher->pid(), SIGTERM);
  ASSERT_TRUE(eventually([&] { return readLines(state() / "terms").size() == 1; }));
  EXPECT_FALSE(launcher->waitFor(1));  // the service answered busy: both keep running
  const std::string servicePid = readLines(state() / "starts").at(0);
  EXPECT_EQ(kill(std::stoi(servicePid), 0), 0);

  kill(launcher->pid(), SIGINT);  // Ctrl-C in a terminal is a quit request too
  EXPECT_EQ(launcher->waitFor(30), 0);
  EXPECT_EQ(readLines(state() / "terms"), (std::vector<std::string>{"1", "2"}));
}

TEST_F(EndToEnd, ASecondStartReopensTheFirst) {
  useService({"http://127.0.0.1:8765/"});
  auto first = start("first");
  ASSERT_TRUE(eventually([&] { return !readLines(opened()).empty(); }));

  auto second = start("second");
  EXPECT_EQ(second->waitFor(30), 0);
  ASSERT_TRUE(eventually([&] { return readLines(opened()).size() == 2; }));
  EXPECT_EQ(readLines(opened()), (std::vector<std::string>{"http://127.0.0.1:8765/", "http://127.0.0.1:8765/"}));
  EXPECT_EQ(readLines(state() / "starts").size(), 1u);  // no second service
  EXPECT_TRUE(first->running());

  kill(first->pid(), SIGHUP);
  EXPECT_EQ(first->waitFor(30), 0);
}

}  // namespace
}  // namespace zp::test
