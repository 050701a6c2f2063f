#pragma once

#include <string>
#include <vector>

namespace zp::platform {

// The small pieces of the desktop platform that supervision and the start-up sequence use.
// Coordinates are points with the origin at the lower left of the window's content area;
// implementations convert.

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The wrapping status label.
class Label {
 public:
  virtual ~Label() = default;
  // Replaces the whole text.
  virtual void setText(const std::string& text) = 0;
  virtual std::string text() const = 0;
};

// The main window, as far as supervision needs it; the start-up sequence builds it.
class Window {
 public:
  virtual ~Window() = default;
  // Shows the window in front of the others with keyboard focus.
  virtual void makeKeyAndOrderFront() = 0;
};

// What answers an alert's first button.
inline constexpr int kAlertFirstButtonReturn = 1000;

struct AlertSpec {
  std::string message;
  std::string informative;
  std::vector<std::string> buttons;  // in order; none: the platform's single OK
  friend bool operator==(const AlertSpec&, const AlertSpec&) = default;
};

class Alerts {
 public:
  virtual ~Alerts() = default;
  // Shows an application-modal alert and returns when a button was pressed: 1000 for the
  // first (and for the lone OK of an alert without buttons), another value otherwise.
  virtual int runModal(const AlertSpec& alert) = 0;
};

class Browser {
 public:
  virtual ~Browser() = default;
  // Opens the address in the user's default browser; the result is not used.
  virtual void openURL(const std::string& url) = 0;
};

enum class TerminateReply { Cancel = 0, Now = 1, Later = 2 };

// The application object, as far as supervision needs it.
class Application {
 public:
  virtual ~Application() = default;
  // The terminate request: asks the delegate's gate, and ends the application on Now.
  virtual void terminate() = 0;
};

}  // namespace zp::platform
