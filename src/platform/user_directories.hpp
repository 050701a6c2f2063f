#pragma once

#include <string>

namespace zp::platform {

// The current user's home directory: $HOME when it is set and absolute, else the password
// database's entry. Empty when neither gives an absolute path.
std::string homeDirectory();

// The current user's temporary directory: $TMPDIR when it is set and not empty, passed on
// unchanged, else "/tmp/".
std::string temporaryDirectory();

}  // namespace zp::platform
