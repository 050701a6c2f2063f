#include <unistd.h>

#include <string>

#include "platform/executable_path.hpp"

namespace zp::platform {

std::string executableRealPath() {
  // The kernel's link already names the real file, with every link resolved.
  std::string path(4096, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < path.size()) {
      path.resize(static_cast<std::size_t>(n));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace zp::platform
