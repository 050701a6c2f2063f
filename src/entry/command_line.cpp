#include "entry/command_line.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "launch/launch_config.hpp"
#include "launch/plan_json.hpp"
#include "platform/bundle.hpp"
#include "platform/task.hpp"
#include "platform/user_directories.hpp"

namespace zp::entry {
namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Ignores SIGINT and SIGQUIT for its lifetime, as system() does while it waits: Ctrl-C in a
// terminal then ends the child, and the launcher still reports the child's status.
class InterruptsIgnored {
 public:
  InterruptsIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &savedInt_);
    sigaction(SIGQUIT, &ignore, &savedQuit_);
  }
  ~InterruptsIgnored() {
    sigaction(SIGINT, &savedInt_, nullptr);
    sigaction(SIGQUIT, &savedQuit_, nullptr);
  }
  InterruptsIgnored(const InterruptsIgnored&) = delete;
  InterruptsIgnored& operator=(const InterruptsIgnored&) = delete;

 private:
  struct sigaction savedInt_ {};
  struct sigaction savedQuit_ {};
};

}  // namespace

Path choosePath(int argc, const char* const* argv) {
  if (argc == 2 && argv[1] != nullptr) {
    if (std::strcmp(argv[1], "--describe-launch") == 0) return Path::DescribeLaunch;
    if (std::strcmp(argv[1], "--self-check") == 0) return Path::SelfCheck;
  }
  return Path::Windowed;
}

int describeLaunch(const std::string& mode) {
  const LaunchDirectories directories = currentLaunchDirectories();
  if (directories.home.empty()) return 1;
  const std::optional<std::string> json = planToJson(ZPPlan(mode, false, false, directories));
  if (!json) return 1;
  return writeAll(STDOUT_FILENO, *json + "\n") ? 0 : 1;
}

int selfCheck(const std::string& mode) {
  const std::string resources = platform::Bundle::main().resourcePath();
  const std::string home = platform::homeDirectory();
  if (home.empty()) return 1;
  platform::Task task({
      .executable = joinPath(resources, kRuntimePath),
      .arguments = {"-I", "-B", joinPath(resources, ZPEntry(mode)), "--self-check"},
      .environment = selfCheckEnvironment(home),
  });
  InterruptsIgnored interrupts;
  if (!task.launch()) return 1;
  task.waitUntilExit();
  return task.terminationStatus();
}

}  // namespace zp::entry
