#pragma once

#include "platform/desktop.hpp"

namespace zp::platform::qt {

// What runModal answers when the alert ended without a button: the application's loop was
// ended under it (a granted terminate request). AppKit's abort response.
inline constexpr int kAlertAbortedReturn = -1001;

// Application-modal warning alerts as QMessageBox.
class QtAlerts final : public Alerts {
 public:
  int runModal(const AlertSpec& alert) override;
};

// The user's browser through QDesktopServices.
class QtBrowser final : public Browser {
 public:
  void openURL(const std::string& url) override;
};

}  // namespace zp::platform::qt
