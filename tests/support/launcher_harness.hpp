#pragma once

#include <signal.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/run_loop.hpp"
#include "platform/task.hpp"
#include "supervisor/launcher.hpp"
#include "support/fake_desktop.hpp"
#include "support/test_support.hpp"

namespace zp::test {

// A Launcher wired to recording fakes and a headless run loop, planning its starts from a
// bundle-like folder of its own: `resources()` holds the runtime, `home()` the data root.
class LauncherHarness {
 public:
  explicit LauncherHarness(const std::string& mode = "preview")
      : loop(std::make_shared<platform::RunLoop>()), status(std::make_shared<FakeLabel>()), alerts(&log), toolkit(&log) {
    std::filesystem::create_directories(home());
    std::filesystem::create_directories(resources());
    LauncherServices services{
        .mainQueue = loop,
        .application = &application,
        .alerts = &alerts,
        .browser = &browser,
        .toolkit = &toolkit,
        .resolveMode = [this] { return modeInBundle; },
        .directories = [this] { return LaunchDirectories{resources().string(), home().string(), "/tmp/zp-tmp/"}; },
    };
    launcher = std::make_shared<Launcher>(services);
    modeInBundle = mode;
    launcher->setMode(mode);
    launcher->setStatus(status);
    application.gate = [weak = std::weak_ptr<Launcher>(launcher)] {
      const auto self = weak.lock();
      return self ? self->applicationShouldTerminate() : platform::TerminateReply::Now;
    };
    application.loop = loop.get();
  }

  ~LauncherHarness() {
    // A service a test left running is stopped the hard way, only here.
    if (auto task = launcher->task(); task && task->isRunning() && task->processIdentifier() > 0) {
      ::kill(task->processIdentifier(), SIGKILL);
    }
    if (sleeper_) {
      sleeper_->terminate();
      sleeper_->waitUntilExit();
    }
    // Work still queued holds tasks, and tasks hold the loop: drop it, as the application's
    // queue does when it closes, so nothing is kept alive by that cycle.
    loop->stop();
  }

  std::filesystem::path resources() const { return dir_.path() / "Resources"; }
  std::filesystem::path home() const { return dir_.path() / "home"; }
  std::filesystem::path runtime() const { return resources() / "python" / "bin" / "python3"; }
  const std::filesystem::path& path() const { return dir_.path(); }

  // Installs a Python script as the runtime: it plays the service.
  void useService(const std::string& script) { writeFile(runtime(), script, true); }

  // Gives the Launcher a running process of its own that nothing supervises, so that
  // consumeOutput can be driven directly while `task` runs.
  void useRunningTask() {
    sleeper_ = std::make_shared<platform::Task>(platform::TaskOptions{.executable = "/bin/sleep", .arguments = {"60"}});
    if (!sleeper_->launch()) throw std::runtime_error("cannot start /bin/sleep");
    launcher->setTask(sleeper_);
  }

  bool runUntil(const std::function<bool()>& done, int seconds = 20) {
    return loop->runUntil(done, std::chrono::seconds(seconds));
  }

  std::filesystem::path dataRoot() const {
    return home() / (launcher->mode() && *launcher->mode() == "connected"
                         ? "Library/Application Support/ZorvikPellwyn-Connected/data"
                         : "Library/Application Support/ZorvikPellwyn-InstallerPreview");
  }

  EventLog log;
  std::shared_ptr<platform::RunLoop> loop;
  std::shared_ptr<FakeLabel> status;  // the label until a start-up sequence builds its own
  std::optional<std::string> modeInBundle;  // what resolveMode finds
  FakeAlerts alerts;
  FakeToolkit toolkit;
  FakeBrowser browser;
  FakeApplication application;
  std::shared_ptr<Launcher> launcher;

 private:
  TempDir dir_;
  std::shared_ptr<platform::Task> sleeper_;
};

}  // namespace zp::test
