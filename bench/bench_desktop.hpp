// Recording stand-ins for the desktop seams, kept as cheap as the seams allow, and a Launcher
// wired to them on a headless run loop. The browser notes the time it was asked to open.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bench_util.hpp"
#include "platform/desktop.hpp"
#include "platform/run_loop.hpp"
#include "supervisor/launcher.hpp"

namespace zp::bench {

class BenchLabel final : public platform::Label {
 public:
  void setText(const std::string& value) override {
    text_ = value;
    ++changes;
  }
  std::string text() const override { return text_; }
  void setFrame(const platform::Rect& frame) override { frame_ = frame; }
  platform::Rect frame() const override { return frame_; }
  std::uint64_t changes = 0;

 private:
  std::string text_;
  platform::Rect frame_;
};

class BenchBrowser final : public platform::Browser {
 public:
  void openURL(const std::string& url) override {
    const std::uint64_t now = nowNs();
    if (opens == 0) firstOpenNs = now;
    ++opens;
    last = url;
    if (onOpen) onOpen();
  }
  std::function<void()> onOpen;  // after the time is taken
  std::uint64_t opens = 0;
  std::uint64_t firstOpenNs = 0;
  std::string last;
};

class BenchAlerts final : public platform::Alerts {
 public:
  int runModal(const platform::AlertSpec&) override {
    ++shown;
    return platform::kAlertFirstButtonReturn;
  }
  int shown = 0;
};

class BenchWindow final : public platform::Window {
 public:
  void setTitle(const std::string&) override {}
  void addSubview(std::shared_ptr<platform::View> view) override { views_.push_back(std::move(view)); }
  void center() override {}
  void makeKeyAndOrderFront() override {}

 private:
  std::vector<std::shared_ptr<platform::View>> views_;
};

class BenchButton final : public platform::Button {
 public:
  explicit BenchButton(std::string title) : title_(std::move(title)) {}
  std::string title() const override { return title_; }
  void setFrame(const platform::Rect& frame) override { frame_ = frame; }
  platform::Rect frame() const override { return frame_; }

 private:
  std::string title_;
  platform::Rect frame_;
};

class BenchToolkit final : public platform::Toolkit {
 public:
  std::shared_ptr<platform::Window> createWindow(const platform::Rect&, unsigned) override {
    return std::make_shared<BenchWindow>();
  }
  std::shared_ptr<platform::Label> createWrappingLabel(const std::string& text) override {
    auto label = std::make_shared<BenchLabel>();
    label->setText(text);
    return label;
  }
  std::shared_ptr<platform::Button> createButton(const std::string& title, std::function<void()>) override {
    return std::make_shared<BenchButton>(title);
  }
  void setMainMenu(platform::MainMenu) override {}
  void activateIgnoringOtherApps() override {}
};

// A granted terminate request stops the run loop, as the application object ends its loop.
class BenchApplication final : public platform::Application {
 public:
  void terminate() override {
    if (!gate) return;
    if (gate() == platform::TerminateReply::Now) {
      ended = true;
      if (loop) loop->stop();
    }
  }
  std::function<platform::TerminateReply()> gate;
  platform::RunLoop* loop = nullptr;
  bool ended = false;
};

// The run loop as the main queue, noting when the first item posted to it starts to run on the
// main thread: where the two hops end and the launcher's own work begins.
class TimedQueue final : public platform::MainQueue {
 public:
  explicit TimedQueue(std::shared_ptr<platform::RunLoop> loop) : loop_(std::move(loop)) {}
  void post(std::function<void()> work) override {
    // Items run only inside the loop's run(), while the owner of this queue is alive.
    loop_->post([this, work = std::move(work)] {
      if (firstRunNs == 0) firstRunNs = nowNs();
      work();
    });
  }
  std::uint64_t firstRunNs = 0;  // main thread only

 private:
  std::shared_ptr<platform::RunLoop> loop_;
};

// One Launcher on a fresh run loop, planning its start from `resources` and `home`. With
// `timed`, its main queue notes when the first item starts to run.
struct BenchLauncher {
  BenchLauncher(const fs::path& resources, const fs::path& home, bool timed = false)
      : loop(std::make_shared<platform::RunLoop>()),
        timedQueue(timed ? std::make_shared<TimedQueue>(loop) : nullptr),
        label(std::make_shared<BenchLabel>()) {
    LauncherServices services{
        .mainQueue = timedQueue ? std::shared_ptr<platform::MainQueue>(timedQueue) : loop,
        .application = &application,
        .alerts = &alerts,
        .browser = &browser,
        .toolkit = &toolkit,
        .resolveMode = [] { return std::optional<std::string>("preview"); },
        .directories = [r = resources.string(), h = home.string()] { return LaunchDirectories{r, h, "/tmp/"}; },
    };
    launcher = std::make_shared<Launcher>(services);
    launcher->setMode("preview");
    launcher->setStatus(label);
    application.gate = [weak = std::weak_ptr<Launcher>(launcher)] {
      const auto self = weak.lock();
      return self ? self->applicationShouldTerminate() : platform::TerminateReply::Now;
    };
    application.loop = loop.get();
  }

  // Starts the service and runs the loop until the run has ended (end of file and exit).
  void runService() {
    launcher->startServiceWithCreate(false, false);
    if (!launcher->finished()) loop->run();
  }

  std::shared_ptr<platform::RunLoop> loop;
  std::shared_ptr<TimedQueue> timedQueue;
  std::shared_ptr<BenchLabel> label;
  BenchBrowser browser;
  BenchAlerts alerts;
  BenchToolkit toolkit;
  BenchApplication application;
  std::shared_ptr<Launcher> launcher;
};

}  // namespace zp::bench
