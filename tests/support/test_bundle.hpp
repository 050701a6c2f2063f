#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace zp::test {

// A copy of the built launcher in a bundle of its own in a temporary folder, with a home
// directory beside it. Paths hold a space and non-ASCII characters on purpose.
class TestBundle {
 public:
  TestBundle() {
    std::filesystem::create_directories(home());
    std::filesystem::create_directories(runtimeDirectory());
    std::filesystem::permissions(runtimeDirectory(), std::filesystem::perms::owner_all);
    std::filesystem::create_directories(bundle() / "Contents" / "MacOS");
    std::filesystem::copy_file(ZP_LAUNCHER_EXECUTABLE, executable());
  }

  const std::filesystem::path& path() const { return dir_.path(); }
  std::filesystem::path bundle() const { return path() / "Zorvik Test.app"; }
  std::filesystem::path executable() const { return bundle() / "Contents" / "MacOS" / "ZorvikPellwyn"; }
  std::filesystem::path resources() const { return bundle() / "Contents" / "Resources"; }
  std::filesystem::path runtime() const { return resources() / "python" / "bin" / "python3"; }
  std::filesystem::path home() const { return path() / "home dir" / "Zoë 用户"; }
  std::filesystem::path dataRoot(const std::string& mode) const {
    return home() / (mode == "connected" ? "Library/Application Support/ZorvikPellwyn-Connected/data"
                                         : "Library/Application Support/ZorvikPellwyn-InstallerPreview");
  }

  // A private XDG_RUNTIME_DIR, so that single-instance state stays inside the test.
  std::filesystem::path runtimeDirectory() const { return path() / "run"; }

  void useInfoPlist(const std::string& bytes) const { writeFile(bundle() / "Contents" / "Info.plist", bytes); }
  void useMode(const std::string& mode) const {
    useInfoPlist(infoPlistXml("<key>ZPPellwynMode</key><string>" + mode + "</string>"));
  }
  void useRuntime(const std::string& script) const { writeFile(runtime(), script, true); }

#ifdef ZP_SERVICE_SOURCE
  // The real runtime and the reference service at both entry paths, as the build lays them out.
  void useReferenceService() const {
    std::filesystem::create_directories(runtime().parent_path());
    std::filesystem::create_symlink("/usr/bin/python3", runtime());
    for (const char* entry : {"app/installer/preview_entry.py", "product/payload/deployment/product/ops/start-zorvik-local.py"}) {
      std::filesystem::create_directories((resources() / entry).parent_path());
      std::filesystem::copy_file(ZP_SERVICE_SOURCE, resources() / entry);
    }
  }
#endif

  // The windowed launcher's environment on the X server this test runs under: `binFirst`
  // first on PATH (where a fake xdg-open waits) and a private runtime directory.
  std::vector<std::string> desktopEnvironment(const std::filesystem::path& binFirst) const {
    std::vector<std::string> env = environment();
    env[1] = "PATH=" + binFirst.string() + ":/usr/bin:/bin";
    env.push_back("QT_QPA_PLATFORM=xcb");
    env.push_back("XDG_RUNTIME_DIR=" + runtimeDirectory().string());
    for (const char* name : {"DISPLAY", "XAUTHORITY"}) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    return env;
  }

  // A fake xdg-open in `bin` that appends each address it is given to `record`.
  static void installRecordingBrowser(const std::filesystem::path& bin, const std::filesystem::path& record) {
    writeFile(bin / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + record.string() + "'\n", true);
  }

  // The launcher's environment: HOME here, a PATH, and the sanitizers' options passed on.
  std::vector<std::string> environment(const std::string& homeValue = "") const {
    std::vector<std::string> env{"HOME=" + (homeValue.empty() ? home().string() : homeValue), "PATH=/usr/bin:/bin"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    return env;
  }

 private:
  TempDir dir_;
};

}  // namespace zp::test
