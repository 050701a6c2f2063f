#include <gtest/gtest.h>

#include "launch/launch_config.hpp"

namespace zp {
namespace {

using platform::PlistType;
using platform::PlistValue;

TEST(ZPMode, FromInfoValue) {
  struct Row {
    const char* what;
    PlistValue value;
    std::optional<std::string> mode;
  };
  const Row rows[] = {
      {"absent key", {PlistType::Absent, {}}, "preview"},
      {"preview", {PlistType::String, "preview"}, "preview"},
      {"connected", {PlistType::String, "connected"}, "connected"},
      {"capitalised", {PlistType::String, "Connected"}, std::nullopt},
      {"capitalised preview", {PlistType::String, "Preview"}, std::nullopt},
      {"empty string", {PlistType::String, ""}, std::nullopt},
      {"trailing blank", {PlistType::String, "connected "}, std::nullopt},
      {"NUL inside", {PlistType::String, std::string("connected\0x", 11)}, std::nullopt},
      {"boolean", {PlistType::Boolean, {}}, std::nullopt},
      {"integer", {PlistType::Integer, {}}, std::nullopt},
      {"array", {PlistType::Array, {}}, std::nullopt},
      {"dictionary", {PlistType::Dictionary, {}}, std::nullopt},
      {"unreadable dictionary", {PlistType::Unreadable, {}}, std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(ZPMode(row.value), row.mode) << row.what;
}

TEST(JoinPath, ExactlyOneSlash) {
  struct Row {
    const char* directory;
    const char* relative;
    const char* joined;
  };
  const Row rows[] = {
      {"/a/b", "c/d.py", "/a/b/c/d.py"},
      {"/a/b/", "c", "/a/b/c"},
      {"/a/b//", "c", "/a/b/c"},
      {"/", "Library/Application Support/x", "/Library/Application Support/x"},
      {"/home/with space", "rel path/with space", "/home/with space/rel path/with space"},
  };
  for (const Row& row : rows) EXPECT_EQ(joinPath(row.directory, row.relative), row.joined) << row.directory;
}

TEST(ZPDataRoot, ByMode) {
  EXPECT_EQ(ZPDataRoot("connected", "/Users/z"), "/Users/z/Library/Application Support/ZorvikPellwyn-Connected/data");
  EXPECT_EQ(ZPDataRoot("preview", "/Users/z"), "/Users/z/Library/Application Support/ZorvikPellwyn-InstallerPreview");
  EXPECT_EQ(ZPDataRoot("anything else", "/Users/z/"),
            "/Users/z/Library/Application Support/ZorvikPellwyn-InstallerPreview");
}

TEST(ZPEntry, ByMode) {
  EXPECT_EQ(ZPEntry("connected"), "product/payload/deployment/product/ops/start-zorvik-local.py");
  EXPECT_EQ(ZPEntry("preview"), "app/installer/preview_entry.py");
  EXPECT_EQ(ZPEntry("Connected"), "app/installer/preview_entry.py");
}

TEST(ZPPlan, ArgumentsByModeAndFlags) {
  const LaunchDirectories dirs{"/B.app/Contents/Resources", "/home/Zoë 用户"};
  const std::string connectedEntry = "/B.app/Contents/Resources/product/payload/deployment/product/ops/start-zorvik-local.py";
  const std::string connectedRoot = "/home/Zoë 用户/Library/Application Support/ZorvikPellwyn-Connected/data";
  const std::string previewEntry = "/B.app/Contents/Resources/app/installer/preview_entry.py";
  const std::string previewRoot = "/home/Zoë 用户/Library/Application Support/ZorvikPellwyn-InstallerPreview";
  using Args = std::vector<std::string>;
  const Args connectedBase = {"-I", "-B", connectedEntry, "--data-root", connectedRoot, "--no-browser", "--port", "0"};
  const Args previewArgs = {"-I", "-B", previewEntry, "--data-dir", previewRoot};
  auto with = [](Args args, std::initializer_list<const char*> extra) {
    for (const char* e : extra) args.emplace_back(e);
    return args;
  };

  struct Row {
    const char* what;
    std::string mode;
    bool create;
    bool cold;
    Args arguments;
    std::string dataRoot;
  };
  const Row rows[] = {
      {"connected", "connected", false, false, connectedBase, connectedRoot},
      {"connected create", "connected", true, false, with(connectedBase, {"--new-workspace"}), connectedRoot},
      {"connected cold", "connected", false, true, with(connectedBase, {"--cold-start"}), connectedRoot},
      {"connected both", "connected", true, true, with(connectedBase, {"--new-workspace", "--cold-start"}), connectedRoot},
      {"preview", "preview", false, false, previewArgs, previewRoot},
      {"preview create", "preview", true, false, previewArgs, previewRoot},
      {"preview cold", "preview", false, true, previewArgs, previewRoot},
      {"preview both", "preview", true, true, previewArgs, previewRoot},
      {"other string takes preview branch", "Connected", true, true, previewArgs, previewRoot},
  };
  for (const Row& row : rows) {
    const LaunchPlan plan = ZPPlan(row.mode, row.create, row.cold, dirs);
    EXPECT_EQ(plan.mode, row.mode) << row.what;
    EXPECT_EQ(plan.executable, "/B.app/Contents/Resources/python/bin/python3") << row.what;
    EXPECT_EQ(plan.arguments, row.arguments) << row.what;
    EXPECT_EQ(plan.data_root, row.dataRoot) << row.what;
  }
}

TEST(Environments, CompleteAndFixed) {
  const platform::Environment service = serviceEnvironment("/home/Zoë 用户", "/var/tmp/x/");
  const platform::Environment expectedService = {{"HOME", "/home/Zoë 用户"},
                                                 {"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"},
                                                 {"LANG", "en_US.UTF-8"},
                                                 {"TMPDIR", "/var/tmp/x/"},
                                                 {"PYTHONDONTWRITEBYTECODE", "1"},
                                                 {"PYTHONNOUSERSITE", "1"}};
  EXPECT_EQ(service, expectedService);
  const platform::Environment selfCheck = selfCheckEnvironment("/home/Zoë 用户");
  const platform::Environment expectedSelfCheck = {
      {"HOME", "/home/Zoë 用户"}, {"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"}, {"PYTHONDONTWRITEBYTECODE", "1"}};
  EXPECT_EQ(selfCheck, expectedSelfCheck);
}

}  // namespace
}  // namespace zp
