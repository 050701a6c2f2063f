#include <signal.h>

#include "entry/command_line.hpp"
#include "entry/windowed.hpp"
#include "launch/launch_config.hpp"

int main(int argc, char** argv) {
  // A closed standard output must be an error we can report, not a signal that kills us.
  signal(SIGPIPE, SIG_IGN);

  const std::optional<std::string> mode = zp::ZPMode();
  if (!mode) return 2;

  switch (zp::entry::choosePath(argc, argv)) {
    case zp::entry::Path::DescribeLaunch: return zp::entry::describeLaunch(*mode);
    case zp::entry::Path::SelfCheck: return zp::entry::selfCheck(*mode);
    case zp::entry::Path::Windowed: break;
  }
  return zp::entry::runWindowed();
}
