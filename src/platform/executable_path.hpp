#pragma once

#include <string>

namespace zp::platform {

// The absolute path of the running executable with every link resolved; empty if the
// system cannot tell.
std::string executableRealPath();

}  // namespace zp::platform
