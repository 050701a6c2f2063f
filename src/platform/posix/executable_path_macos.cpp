#include <mach-o/dyld.h>
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "platform/executable_path.hpp"

namespace zp::platform {

std::string executableRealPath() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return {};
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string result(resolved);
  free(resolved);
  return result;
}

}  // namespace zp::platform
