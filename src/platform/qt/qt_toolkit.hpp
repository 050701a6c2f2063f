#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "platform/desktop.hpp"

class QAction;
class QMenuBar;

namespace zp::platform::qt {

// Windows, labels, buttons and the main menu as Qt widgets. Every widget made here dies with
// the application object (destroyWidgets), even where a window or view outlives it in
// someone's hands; such a leftover then does nothing.
class QtToolkit final : public Toolkit {
 public:
  // `terminateRequest` is what a window's close request becomes.
  explicit QtToolkit(std::function<void()> terminateRequest);
  ~QtToolkit() override;
  QtToolkit(const QtToolkit&) = delete;
  QtToolkit& operator=(const QtToolkit&) = delete;

  std::shared_ptr<Window> createWindow(const Rect& contentRect, unsigned styleMask) override;
  std::shared_ptr<Label> createWrappingLabel(const std::string& text) override;
  std::shared_ptr<Button> createButton(const std::string& title, std::function<void()> action) override;
  void setMainMenu(MainMenu menu) override;
  void activateIgnoringOtherApps() override;

  // Before the QApplication goes: deletes every widget and action still alive.
  void destroyWidgets();

 private:
  template <class W, class... Args>
  W* make(Args&&... args);
  void clearMenu();

  std::function<void()> terminateRequest_;
  std::vector<QPointer<QWidget>> widgets_;  // every widget made here, children included
  std::vector<QPointer<QWidget>> windows_;
  std::vector<std::unique_ptr<QAction>> menuActions_;  // the items; shortcuts on every window
  QPointer<QMenuBar> menuBar_;
};

}  // namespace zp::platform::qt
