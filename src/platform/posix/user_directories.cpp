#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/user_directories.hpp"

namespace zp::platform {

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384u);
  passwd entry{};
  passwd* found = nullptr;
  while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') return found->pw_dir;
  return {};
}

std::string temporaryDirectory() {
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && tmp[0] != '\0') return tmp;
  return "/tmp/";
}

}  // namespace zp::platform
