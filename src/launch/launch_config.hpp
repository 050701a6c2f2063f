#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.hpp"
#include "platform/task.hpp"

namespace zp {

inline constexpr std::string_view kModePreview = "preview";
inline constexpr std::string_view kModeConnected = "connected";
inline constexpr std::string_view kModeKey = "ZPPellwynMode";
inline constexpr std::string_view kRuntimePath = "python/bin/python3";
// Every child gets this PATH, whatever the launcher's own.
inline constexpr std::string_view kChildPath = "/usr/bin:/bin:/usr/sbin:/sbin";

// The launch plan; the member names are also its JSON keys.
struct LaunchPlan {
  std::string mode;
  std::string executable;
  std::vector<std::string> arguments;  // after the program name
  std::string data_root;

  friend bool operator==(const LaunchPlan&, const LaunchPlan&) = default;
};

// The directories a plan is formed from.
struct LaunchDirectories {
  std::string resources{};
  std::string home{};
  std::string temporary{};  // for the service's TMPDIR
};

// Joins a directory and a relative path with exactly one slash between them.
std::string joinPath(std::string_view directory, std::string_view relative);

// The mode from the value stored under "ZPPellwynMode": absent means "preview"; the strings
// "preview" and "connected" are themselves; anything else is no mode.
std::optional<std::string> ZPMode(const platform::PlistValue& value);
// The same, reading the main bundle's information dictionary afresh.
std::optional<std::string> ZPMode();

// Every mode test other than ZPMode's is exact equality with "connected".
inline bool isConnected(std::string_view mode) { return mode == kModeConnected; }

std::string ZPDataRoot(const std::string& mode, const std::string& home);
std::string ZPDataRoot(const std::string& mode);

// The entry script, relative to the resource directory.
std::string ZPEntry(const std::string& mode);

LaunchPlan ZPPlan(const std::string& mode, bool create, bool cold, const LaunchDirectories& directories);
LaunchPlan ZPPlan(const std::string& mode, bool create, bool cold);

// The complete environments of the two kinds of child.
platform::Environment serviceEnvironment(const std::string& home, const std::string& temporary);
platform::Environment selfCheckEnvironment(const std::string& home);

// The directories as the platform reports them now.
LaunchDirectories currentLaunchDirectories();

}  // namespace zp
