#pragma once

#include <string>

namespace zp::entry {

enum class Path { DescribeLaunch, SelfCheck, Windowed };

// An option counts only as the single argument, equal to it byte for byte.
Path choosePath(int argc, const char* const* argv);

// Prints the launch plan and a line feed; 0, or 1 when it cannot be written faithfully.
int describeLaunch(const std::string& mode);

// Runs the entry script's self-check and returns its termination status; 1 if it cannot start.
int selfCheck(const std::string& mode);

}  // namespace zp::entry
