#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop.hpp"
#include "platform/run_loop.hpp"

namespace zp::test {

// Recording stand-ins for the desktop seams. Each may share one event log, so that a test
// can check the order in which a sequence used them.
using EventLog = std::vector<std::string>;

inline void logEvent(EventLog* log, std::string event) {
  if (log) log->push_back(std::move(event));
}

class FakeLabel final : public platform::Label {
 public:
  explicit FakeLabel(EventLog* log = nullptr, std::string initial = {}) : log_(log) {
    if (!initial.empty()) texts.push_back(std::move(initial));
  }
  void setText(const std::string& text) override {
    texts.push_back(text);
    logEvent(log_, "label.setText " + text);
  }
  std::string text() const override { return texts.empty() ? std::string() : texts.back(); }
  void setFrame(const platform::Rect& frame) override { frame_ = frame; }
  platform::Rect frame() const override { return frame_; }
  std::vector<std::string> texts;  // every text it showed, in order

 private:
  EventLog* log_;
  platform::Rect frame_;
};

class FakeButton final : public platform::Button {
 public:
  FakeButton(std::string title, std::function<void()> action) : title_(std::move(title)), action_(std::move(action)) {}
  std::string title() const override { return title_; }
  void setFrame(const platform::Rect& frame) override { frame_ = frame; }
  platform::Rect frame() const override { return frame_; }
  void press() const { action_(); }

 private:
  std::string title_;
  std::function<void()> action_;
  platform::Rect frame_;
};

class FakeWindow final : public platform::Window {
 public:
  FakeWindow(EventLog* log, platform::Rect content, unsigned style)
      : contentRect(content), styleMask(style), log_(log) {}
  void setTitle(const std::string& text) override {
    title = text;
    logEvent(log_, "window.setTitle " + text);
  }
  void addSubview(std::shared_ptr<platform::View> view) override {
    if (auto* button = dynamic_cast<FakeButton*>(view.get())) {
      logEvent(log_, "window.addSubview button " + button->title());
    } else if (auto* label = dynamic_cast<FakeLabel*>(view.get())) {
      logEvent(log_, "window.addSubview label " + label->text());
    }
    views.push_back(std::move(view));
  }
  void center() override { logEvent(log_, "window.center"); }
  void makeKeyAndOrderFront() override {
    ++timesOrderedFront;
    logEvent(log_, "window.makeKeyAndOrderFront");
  }
  const FakeButton* button(const std::string& buttonTitle) const {
    for (const auto& view : views) {
      if (auto* b = dynamic_cast<const FakeButton*>(view.get()); b && b->title() == buttonTitle) return b;
    }
    return nullptr;
  }

  platform::Rect contentRect;
  unsigned styleMask;
  std::string title;
  std::vector<std::shared_ptr<platform::View>> views;
  int timesOrderedFront = 0;

 private:
  EventLog* log_;
};

class FakeToolkit final : public platform::Toolkit {
 public:
  explicit FakeToolkit(EventLog* log = nullptr) : log_(log) {}
  std::shared_ptr<platform::Window> createWindow(const platform::Rect& contentRect, unsigned styleMask) override {
    logEvent(log_, "toolkit.createWindow");
    window = std::make_shared<FakeWindow>(log_, contentRect, styleMask);
    return window;
  }
  std::shared_ptr<platform::Label> createWrappingLabel(const std::string& text) override {
    logEvent(log_, "toolkit.createWrappingLabel");
    return std::make_shared<FakeLabel>(log_, text);
  }
  std::shared_ptr<platform::Button> createButton(const std::string& title, std::function<void()> action) override {
    logEvent(log_, "toolkit.createButton " + title);
    return std::make_shared<FakeButton>(title, std::move(action));
  }
  void setMainMenu(platform::MainMenu mainMenu) override {
    logEvent(log_, "toolkit.setMainMenu");
    menu = std::move(mainMenu);
  }
  void activateIgnoringOtherApps() override { logEvent(log_, "toolkit.activateIgnoringOtherApps"); }

  std::shared_ptr<FakeWindow> window;
  platform::MainMenu menu;

 private:
  EventLog* log_;
};

class FakeAlerts final : public platform::Alerts {
 public:
  explicit FakeAlerts(EventLog* log = nullptr) : log_(log) {}
  int runModal(const platform::AlertSpec& alert) override {
    shown.push_back(alert);
    logEvent(log_, "alert " + alert.message);
    if (responses.empty()) return platform::kAlertFirstButtonReturn;
    const int response = responses.front();
    responses.pop_front();
    return response;
  }
  std::deque<int> responses;  // answers in order; 1000 once they run out
  std::vector<platform::AlertSpec> shown;

 private:
  EventLog* log_;
};

class FakeBrowser final : public platform::Browser {
 public:
  void openURL(const std::string& url) override { opened.push_back(url); }
  std::vector<std::string> opened;
};

// The application object: a terminate request asks the gate, and a granted one ends the
// application (and stops the run loop, when there is one).
class FakeApplication final : public platform::Application {
 public:
  void terminate() override {
    if (!gate) return;
    const platform::TerminateReply reply = gate();
    replies.push_back(reply);
    if (reply == platform::TerminateReply::Now) {
      ended = true;
      if (loop) loop->stop();
    }
  }
  std::function<platform::TerminateReply()> gate;
  platform::RunLoop* loop = nullptr;
  std::vector<platform::TerminateReply> replies;
  bool ended = false;
};

}  // namespace zp::test
