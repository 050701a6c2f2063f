// The command-line modes as the launcher's own code runs them, in an executable that does not
// link Qt: what --describe-launch would cost if the windowed path were loaded only when it is
// taken. The same mode check and the same command-line functions as the launcher's main.
#include <signal.h>

#include "entry/command_line.hpp"
#include "launch/launch_config.hpp"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const std::optional<std::string> mode = zp::ZPMode();
  if (!mode) return 2;
  switch (zp::entry::choosePath(argc, argv)) {
    case zp::entry::Path::DescribeLaunch: return zp::entry::describeLaunch(*mode);
    case zp::entry::Path::SelfCheck: return zp::entry::selfCheck(*mode);
    case zp::entry::Path::Windowed: break;
  }
  return 1;  // the windowed path is not part of this executable
}
