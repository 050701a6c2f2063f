#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop.hpp"
#include "platform/run_loop.hpp"

namespace zp::test {

// Recording stand-ins for the desktop seams.

class FakeLabel final : public platform::Label {
 public:
  void setText(const std::string& text) override { texts.push_back(text); }
  std::string text() const override { return texts.empty() ? std::string() : texts.back(); }
  std::vector<std::string> texts;  // every text set, in order
};

class FakeAlerts final : public platform::Alerts {
 public:
  int runModal(const platform::AlertSpec& alert) override {
    shown.push_back(alert);
    if (responses.empty()) return platform::kAlertFirstButtonReturn;
    const int response = responses.front();
    responses.pop_front();
    return response;
  }
  std::deque<int> responses;  // answers in order; 1000 once they run out
  std::vector<platform::AlertSpec> shown;
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
