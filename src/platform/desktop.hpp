#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zp::platform {

// The small pieces of the desktop platform that supervision and the start-up sequence use.
// Coordinates are points with the origin at the lower left of the window's content area, as
// the start-up sequence gives them; implementations convert.

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// A view placed in a window's content area.
class View {
 public:
  virtual ~View() = default;
  virtual void setFrame(const Rect& frame) = 0;
  virtual Rect frame() const = 0;
};

// The wrapping status label: a static, multi-line label in the system font.
class Label : public View {
 public:
  // Replaces the whole text.
  virtual void setText(const std::string& text) = 0;
  virtual std::string text() const = 0;
};

// A standard push button that runs its action when pressed.
class Button : public View {
 public:
  virtual std::string title() const = 0;
};

// Window style bits; the main window is Titled | Miniaturizable.
enum WindowStyle : unsigned {
  kWindowTitled = 1,
  kWindowClosable = 2,
  kWindowMiniaturizable = 4,
  kWindowResizable = 8,
};

// The main window. It holds the views added to its content area for as long as it lives.
class Window {
 public:
  virtual ~Window() = default;
  virtual void setTitle(const std::string& title) = 0;
  virtual void addSubview(std::shared_ptr<View> view) = 0;
  // Centres the window on the screen.
  virtual void center() = 0;
  // Shows the window in front of the others with keyboard focus.
  virtual void makeKeyAndOrderFront() = 0;
};

// One item of the main menu: its title, its key equivalent under the platform's default
// modifier ("q": Command-Q on macOS, Ctrl+Q elsewhere) and what choosing it does.
struct MenuItem {
  std::string title;
  std::string keyEquivalent;
  std::function<void()> action;
};

// One untitled top-level menu and its items.
struct MainMenu {
  std::vector<MenuItem> items;
};

// Makes the windows and views of the start-up sequence.
class Toolkit {
 public:
  virtual ~Toolkit() = default;
  // A window with the given content rectangle and WindowStyle bits; not shown yet.
  virtual std::shared_ptr<Window> createWindow(const Rect& contentRect, unsigned styleMask) = 0;
  virtual std::shared_ptr<Label> createWrappingLabel(const std::string& text) = 0;
  virtual std::shared_ptr<Button> createButton(const std::string& title, std::function<void()> action) = 0;
  // Installs the main menu: on macOS the menu bar; elsewhere its key equivalents, application-wide.
  virtual void setMainMenu(MainMenu menu) = 0;
  // Brings the application to the front even while another one is active.
  virtual void activateIgnoringOtherApps() = 0;
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
  // first (and for the lone OK of an alert without buttons), another value otherwise. The
  // first button is the default (Return); Escape presses the second where there is one.
  virtual int runModal(const AlertSpec& alert) = 0;
};

class Browser {
 public:
  virtual ~Browser() = default;
  // Opens the address in the user's default browser; the result is not used.
  virtual void openURL(const std::string& url) = 0;
};

enum class TerminateReply { Cancel = 0, Now = 1, Later = 2 };

// What the application object asks of its delegate, on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  // Once, when the event loop has started.
  virtual void applicationDidFinishLaunching() = 0;
  // When the user re-opens the running application.
  virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) = 0;
  // For every terminate request; the application ends only on Now.
  virtual TerminateReply applicationShouldTerminate() = 0;
};

// The application object, as far as supervision needs it.
class Application {
 public:
  virtual ~Application() = default;
  // The terminate request: asks the delegate's gate, and ends the application on Now.
  virtual void terminate() = 0;
};

}  // namespace zp::platform
