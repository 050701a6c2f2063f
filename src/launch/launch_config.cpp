#include "launch/launch_config.hpp"

#include "platform/user_directories.hpp"

namespace zp {

std::string joinPath(std::string_view directory, std::string_view relative) {
  while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
  std::string joined(directory);
  if (joined != "/") joined += '/';
  joined += relative;
  return joined;
}

std::optional<std::string> ZPMode(const platform::PlistValue& value) {
  if (value.type == platform::PlistType::Absent) return std::string(kModePreview);
  if (value.type == platform::PlistType::String && (value.string == kModePreview || value.string == kModeConnected)) {
    return value.string;
  }
  return std::nullopt;
}

std::optional<std::string> ZPMode() { return ZPMode(platform::Bundle::main().infoValue(std::string(kModeKey))); }

std::string ZPDataRoot(const std::string& mode, const std::string& home) {
  return joinPath(home, isConnected(mode) ? "Library/Application Support/ZorvikPellwyn-Connected/data"
                                          : "Library/Application Support/ZorvikPellwyn-InstallerPreview");
}

std::string ZPDataRoot(const std::string& mode) { return ZPDataRoot(mode, platform::homeDirectory()); }

std::string ZPEntry(const std::string& mode) {
  return isConnected(mode) ? "product/payload/deployment/product/ops/start-zorvik-local.py"
                           : "app/installer/preview_entry.py";
}

LaunchPlan ZPPlan(const std::string& mode, bool create, bool cold, const LaunchDirectories& directories) {
  LaunchPlan plan;
  plan.mode = mode;
  plan.data_root = ZPDataRoot(mode, directories.home);
  plan.executable = joinPath(directories.resources, kRuntimePath);
  plan.arguments = {"-I", "-B", joinPath(directories.resources, ZPEntry(mode))};
  if (isConnected(mode)) {
    plan.arguments.insert(plan.arguments.end(), {"--data-root", plan.data_root, "--no-browser", "--port", "0"});
    if (create) plan.arguments.emplace_back("--new-workspace");
    if (cold) plan.arguments.emplace_back("--cold-start");
  } else {
    plan.arguments.insert(plan.arguments.end(), {"--data-dir", plan.data_root});
  }
  return plan;
}

LaunchPlan ZPPlan(const std::string& mode, bool create, bool cold) {
  return ZPPlan(mode, create, cold, currentLaunchDirectories());
}

platform::Environment serviceEnvironment(const std::string& home, const std::string& temporary) {
  return {{"HOME", home},
          {"PATH", std::string(kChildPath)},
          {"LANG", "en_US.UTF-8"},
          {"TMPDIR", temporary},
          {"PYTHONDONTWRITEBYTECODE", "1"},
          {"PYTHONNOUSERSITE", "1"}};
}

platform::Environment selfCheckEnvironment(const std::string& home) {
  return {{"HOME", home}, {"PATH", std::string(kChildPath)}, {"PYTHONDONTWRITEBYTECODE", "1"}};
}

LaunchDirectories currentLaunchDirectories() {
  return {platform::Bundle::main().resourcePath(), platform::homeDirectory(), platform::temporaryDirectory()};
}

}  // namespace zp
