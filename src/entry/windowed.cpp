#include "entry/windowed.hpp"

#include <memory>

#include "platform/bundle.hpp"
#include "platform/executable_path.hpp"
#include "platform/qt/qt_application.hpp"
#include "platform/single_instance.hpp"
#include "supervisor/launcher.hpp"

namespace zp::entry {

int runWindowed() {
  // One instance per bundle and user: a later start hands the running one a re-open and ends.
  const std::unique_ptr<platform::SingleInstance> instance =
      platform::SingleInstance::acquire(platform::executableRealPath());
  if (instance->role() == platform::SingleInstance::Role::Secondary) {
    instance->requestReopen();
    return 0;
  }

  platform::qt::QtApplication application;
  auto launcher = std::make_shared<Launcher>(LauncherServices{
      .mainQueue = application.mainQueue(),
      .application = &application,
      .alerts = &application.alerts(),
      .browser = &application.browser(),
      .toolkit = &application.toolkit(),
  });
  application.setDelegate(launcher.get());
  application.watchReopenRequests(*instance);
  application.run();
  application.setDelegate(nullptr);
  return 0;
}

}  // namespace zp::entry
