#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "launch/launch_config.hpp"

namespace zp {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool isValidUtf8(std::string_view text);

// The plan as one compact JSON object (no line feed), keys in the order mode, executable,
// arguments, data_root. Every "/" is written "\/", non-ASCII characters as raw UTF-8, control
// characters escaped. No result when a string is not valid UTF-8: such a path cannot be
// written faithfully as JSON.
std::optional<std::string> planToJson(const LaunchPlan& plan);

}  // namespace zp
