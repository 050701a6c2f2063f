// The windowed application's start-up sequence and re-open, as members of the Launcher.
#include <filesystem>
#include <system_error>

#include "shell/shell_texts.hpp"
#include "supervisor/launcher.hpp"

namespace zp {
namespace {

constexpr platform::Rect kContentRect{0, 0, 550, 235};
constexpr platform::Rect kStatusFrame{25, 80, 500, 130};
constexpr platform::Rect kOpenFrame{25, 25, 160, 36};
constexpr platform::Rect kQuitFrame{210, 25, 160, 36};

// Anything at the path counts, a file as well as a directory.
bool existsAt(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

}  // namespace

void Launcher::applicationDidFinishLaunching() {
  mode_ = services_.resolveMode();
  if (!mode_) {
    finished_ = true;
    quit();
    return;
  }
  const bool connected = isConnected(*mode_);
  platform::Toolkit& toolkit = *services_.toolkit;

  window_ = toolkit.createWindow(kContentRect, platform::kWindowTitled | platform::kWindowMiniaturizable);
  window_->setTitle(std::string(connected ? texts::kWindowTitleConnected : texts::kWindowTitlePreview));

  status_ = toolkit.createWrappingLabel(std::string(texts::kInitialStatusText));
  status_->setFrame(kStatusFrame);
  window_->addSubview(status_);

  const std::weak_ptr<Launcher> weak = weak_from_this();
  auto open = toolkit.createButton(std::string(texts::kOpenTitle), [weak] {
    if (const auto self = weak.lock()) self->openPellwyn();
  });
  open->setFrame(kOpenFrame);
  window_->addSubview(open);
  auto quitButton = toolkit.createButton(std::string(texts::kQuitTitle), [weak] {
    if (const auto self = weak.lock()) self->quit();
  });
  quitButton->setFrame(kQuitFrame);
  window_->addSubview(quitButton);

  window_->center();
  window_->makeKeyAndOrderFront();
  toolkit.activateIgnoringOtherApps();

  // The menu item goes to the application object, so it passes the same gate as the button.
  platform::Application* application = services_.application;
  toolkit.setMainMenu({{{std::string(texts::kQuitTitle), "q", [application] {
                          if (application) application->terminate();
                        }}}});

  if (existsAt(ZPDataRoot(*mode_, services_.directories().home))) {
    startServiceWithCreate(false, false);
    return;
  }
  const platform::AlertSpec question{
      std::string(connected ? texts::kFirstRunMessageConnected : texts::kFirstRunMessagePreview),
      std::string(connected ? texts::kFirstRunInformativeConnected : texts::kFirstRunInformativePreview),
      {std::string(texts::kFirstRunCreateButton), std::string(texts::kFirstRunCancelButton)}};
  if (services_.alerts->runModal(question) == platform::kAlertFirstButtonReturn) {
    startServiceWithCreate(true, false);
    return;
  }
  finished_ = true;
  quit();
}

bool Launcher::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
  if (window_) window_->makeKeyAndOrderFront();
  openPellwyn();
  return true;
}

}  // namespace zp
