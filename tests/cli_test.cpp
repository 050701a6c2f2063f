// The real executable in bundles built in temporary folders.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "support/test_bundle.hpp"

namespace zp::test {
namespace {

namespace fs = std::filesystem;

std::string slashEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

class LauncherCli : public ::testing::Test {
 protected:
  LauncherCli() {
    fs::create_directories(workingDirectory());
    useRuntime(recorderScript(recordDir(), "sys.exit(0)"));
  }

  fs::path resources() const { return bundle_.resources(); }
  fs::path home() const { return bundle_.home(); }
  fs::path workingDirectory() const { return bundle_.path() / "cwd"; }
  fs::path recordDir() const { return bundle_.path() / "record"; }
  fs::path runtime() const { return bundle_.runtime(); }

  void useInfoPlist(const std::string& bytes) { bundle_.useInfoPlist(bytes); }
  void useMode(const std::string& mode) { bundle_.useMode(mode); }
  void useRuntime(const std::string& script) { bundle_.useRuntime(script); }

  ProcessResult run(const std::vector<std::string>& arguments, const std::string& homeValue = "") {
    std::vector<std::string> argv{bundle_.executable().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    RunOptions options;
    options.environment = bundle_.environment(homeValue);
    // What the launcher must not pass on to its children.
    for (const char* hostile : {"LD_LIBRARY_PATH=/nowhere", "PYTHONPATH=/nowhere", "SOMETHING_ELSE=1"}) {
      options.environment.emplace_back(hostile);
    }
    options.workingDirectory = workingDirectory();
    return runProcess(argv, options);
  }

  // The windowed path, under Qt's offscreen platform.
  ProcessResult runWindowed(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{bundle_.executable().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    RunOptions options;
    options.environment = bundle_.environment();
    options.environment.push_back("QT_QPA_PLATFORM=offscreen");
    options.environment.push_back("XDG_RUNTIME_DIR=" + bundle_.runtimeDirectory().string());
    return runProcess(argv, options);
  }

  std::string expectedPlan(const std::string& mode) const {
    const bool connected = mode == "connected";
    const std::string root =
        home().string() + (connected ? "/Library/Application Support/ZorvikPellwyn-Connected/data"
                                     : "/Library/Application Support/ZorvikPellwyn-InstallerPreview");
    const std::string entry = resources().string() + (connected ? "/product/payload/deployment/product/ops/start-zorvik-local.py"
                                                                : "/app/installer/preview_entry.py");
    auto q = [](const std::string& s) { return "\"" + slashEscaped(s) + "\""; };
    std::string arguments = q("-I") + "," + q("-B") + "," + q(entry);
    arguments += connected ? "," + q("--data-root") + "," + q(root) + "," + q("--no-browser") + "," + q("--port") + "," + q("0")
                           : "," + q("--data-dir") + "," + q(root);
    return "{\"mode\":" + q(mode) + ",\"executable\":" + q(runtime().string()) + ",\"arguments\":[" + arguments +
           "],\"data_root\":" + q(root) + "}\n";
  }

  TestBundle bundle_;
  const fs::path& dirPath() const { return bundle_.path(); }
};

TEST_F(LauncherCli, ModeTable) {
  struct Row {
    const char* what;
    std::string entry;  // the ZPPellwynMode entry, XML
    std::optional<std::string> mode;
    bool binaryToo;
  };
  const Row rows[] = {
      {"absent", "", "preview", true},
      {"preview", "<key>ZPPellwynMode</key><string>preview</string>", "preview", true},
      {"connected", "<key>ZPPellwynMode</key><string>connected</string>", "connected", true},
      {"Connected", "<key>ZPPellwynMode</key><string>Connected</string>", std::nullopt, true},
      {"empty string", "<key>ZPPellwynMode</key><string></string>", std::nullopt, false},
      {"trailing blank", "<key>ZPPellwynMode</key><string>connected </string>", std::nullopt, false},
      {"integer", "<key>ZPPellwynMode</key><integer>1</integer>", std::nullopt, false},
      {"boolean", "<key>ZPPellwynMode</key><true/>", std::nullopt, true},
      {"array", "<key>ZPPellwynMode</key><array><string>connected</string></array>", std::nullopt, false},
      {"dictionary", "<key>ZPPellwynMode</key><dict/>", std::nullopt, false},
      {"date", "<key>ZPPellwynMode</key><date>2020-01-01T00:00:00Z</date>", std::nullopt, false},
      {"data", "<key>ZPPellwynMode</key><data>AAE=</data>", std::nullopt, false},
  };
  for (const Row& row : rows) {
    std::vector<std::pair<std::string, std::string>> forms{{"XML", infoPlistXml(row.entry)}};
    if (row.binaryToo) forms.emplace_back("binary", toBinaryPlist(infoPlistXml(row.entry)));
    for (const auto& [form, bytes] : forms) {
      const std::string what = std::string(row.what) + " (" + form + ")";
      useInfoPlist(bytes);
      fs::remove_all(recordDir());

      const ProcessResult describe = run({"--describe-launch"});
      const ProcessResult check = run({"--self-check"});
      if (!row.mode) {
        const ProcessResult plain = run({});  // no mode: ends before any window
        for (const ProcessResult* r : {&describe, &check, &plain}) {
          EXPECT_EQ(r->status, 2) << what;
          EXPECT_EQ(r->out, "") << what;
          EXPECT_EQ(r->err, "") << what;
        }
        EXPECT_FALSE(readRecord(recordDir()).present) << what;
        continue;
      }
      EXPECT_EQ(describe.status, 0) << what;
      EXPECT_EQ(describe.out, expectedPlan(*row.mode)) << what;
      EXPECT_EQ(check.status, 0) << what;
      const Record record = readRecord(recordDir());
      ASSERT_TRUE(record.present) << what;
      ASSERT_EQ(record.arguments.size(), 4u) << what;
      EXPECT_EQ(record.arguments[2], expectedPlan(*row.mode).find("start-zorvik-local.py") != std::string::npos
                                         ? (resources() / "product/payload/deployment/product/ops/start-zorvik-local.py").string()
                                         : (resources() / "app/installer/preview_entry.py").string())
          << what;
    }
  }
}

TEST_F(LauncherCli, UnreadableInfoPlistIsNoMode) {
  useInfoPlist("this is not a property list");
  for (const auto& args : {std::vector<std::string>{"--describe-launch"}, {"--self-check"}, {}}) {
    const ProcessResult r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out + r.err, "");
  }
}

TEST_F(LauncherCli, MissingInfoPlistIsPreview) {
  const ProcessResult r = run({"--describe-launch"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expectedPlan("preview"));
}

TEST_F(LauncherCli, DescribeLaunchPrintsTheExactPlan) {
  for (const std::string mode : {"connected", "preview"}) {
    useMode(mode);
    const ProcessResult before = run({"--describe-launch"});
    EXPECT_EQ(before.status, 0) << mode;
    EXPECT_EQ(before.out, expectedPlan(mode)) << mode;
    EXPECT_EQ(before.err, "") << mode;
    EXPECT_EQ(before.out.find("--new-workspace"), std::string::npos);

    // The same plan once the data root exists: describing never asks about a first run.
    const fs::path root = home() / (mode == "connected" ? "Library/Application Support/ZorvikPellwyn-Connected/data"
                                                        : "Library/Application Support/ZorvikPellwyn-InstallerPreview");
    fs::create_directories(root);
    const ProcessResult after = run({"--describe-launch"});
    EXPECT_EQ(after.out, before.out) << mode;
    fs::remove_all(home() / "Library");
  }
}

TEST_F(LauncherCli, DescribeLaunchArgumentCounts) {
  // Count the items of "arguments" by its separators: no argument holds a quote or comma.
  auto count = [](const std::string& json) {
    const auto start = json.find("\"arguments\":[");
    const auto end = json.find(']', start);
    const std::string list = json.substr(start, end - start);
    return std::count(list.begin(), list.end(), ',') + 1;
  };
  useMode("connected");
  EXPECT_EQ(count(run({"--describe-launch"}).out), 8);
  useMode("preview");
  EXPECT_EQ(count(run({"--describe-launch"}).out), 5);
}

TEST_F(LauncherCli, HomeThatIsNotUtf8PrintsNothingAndFails) {
  const std::string badHome = (dirPath() / "home-\xff").string();
  const ProcessResult r = run({"--describe-launch"}, badHome);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST_F(LauncherCli, OptionsRecognisedOnlyExactlyAndAlone) {
  // Anything but an exact, lone option takes the windowed path: the service is started with its
  // plan (here it ends at once with 0, so the application quits silently).
  useMode("preview");
  fs::create_directories(bundle_.dataRoot("preview"));
  const std::vector<std::vector<std::string>> commandLines = {
      {"--Describe-launch"}, {"--DESCRIBE-LAUNCH"}, {"--describe-launch=1"}, {"-describe-launch"},
      {"--describe-launch", "x"}, {"--Self-check"}, {"--self-check=yes"}, {"-self-check"},
      {"--self-check", "--self-check"}, {"--describe-launch", "--self-check"}, {"--describe"}, {""},
  };
  for (const auto& args : commandLines) {
    fs::remove_all(recordDir());
    const ProcessResult r = runWindowed(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    const Record record = readRecord(recordDir());
    ASSERT_TRUE(record.present) << args[0];
    EXPECT_EQ(record.arguments.size(), 5u) << args[0];
    EXPECT_EQ(record.arguments.back(), bundle_.dataRoot("preview").string()) << args[0];
  }
}

TEST_F(LauncherCli, SelfCheckRunsTheRuntimeWithExactlyItsInputs) {
  useMode("connected");
  const ProcessResult r = run({"--self-check"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "recorder out\n");
  EXPECT_EQ(r.err, "recorder err\n");

  const Record record = readRecord(recordDir());
  ASSERT_TRUE(record.present);
  EXPECT_EQ(record.arguments,
            (std::vector<std::string>{"-I", "-B",
                                      (resources() / "product/payload/deployment/product/ops/start-zorvik-local.py").string(),
                                      "--self-check"}));
  EXPECT_EQ(record.environment, (std::vector<std::string>{"HOME=" + home().string(),
                                                          "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                                                          "PYTHONDONTWRITEBYTECODE=1"}));
  EXPECT_EQ(record.standardInput, "/dev/null");
  EXPECT_EQ(record.standardInputBytes, 0u);
  EXPECT_EQ(record.workingDirectory, workingDirectory().string());
  EXPECT_EQ(record.openDescriptors, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(record.ownProcessGroup);  // stays in the terminal's group, so Ctrl-C reaches it
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) EXPECT_FALSE(ignores(record, sig)) << sig;
}

TEST_F(LauncherCli, SelfCheckStatusPassesThrough) {
  useMode("preview");
  struct Row {
    const char* then;
    int status;
  };
  const Row rows[] = {{"sys.exit(0)", 0}, {"sys.exit(1)", 1}, {"sys.exit(3)", 3}, {"os.kill(os.getpid(), 9)", 9}};
  for (const Row& row : rows) {
    useRuntime(recorderScript(recordDir(), row.then));
    const ProcessResult r = run({"--self-check"});
    EXPECT_FALSE(r.signaled) << row.then;
    EXPECT_EQ(r.status, row.status) << row.then;
  }
}

TEST_F(LauncherCli, SelfCheckOutlivesCtrlCAndReportsTheCheck) {
  // Ctrl-C in a terminal reaches the whole foreground group: the launcher must not die of it.
  useMode("preview");
  useRuntime(recorderScript(recordDir(), "import signal, time\n"
                                         "os.kill(os.getppid(), signal.SIGINT)\n"
                                         "os.kill(os.getppid(), signal.SIGQUIT)\n"
                                         "time.sleep(0.2)\n"
                                         "sys.exit(5)"));
  const ProcessResult r = run({"--self-check"});
  EXPECT_FALSE(r.signaled);
  EXPECT_EQ(r.status, 5);
}

TEST_F(LauncherCli, SelfCheckThatCannotStartEndsWithOneAndSaysNothing) {
  useMode("preview");
  struct Row {
    const char* what;
    std::function<void()> breakRuntime;
  };
  const Row rows[] = {
      {"missing", [&] { fs::remove(runtime()); }},
      {"not executable", [&] { fs::permissions(runtime(), fs::perms::owner_read | fs::perms::owner_write); }},
      {"a directory", [&] { fs::remove(runtime()); fs::create_directory(runtime()); }},
      {"dangling link", [&] { fs::remove(runtime()); fs::create_symlink(dirPath() / "nowhere", runtime()); }},
  };
  for (const Row& row : rows) {
    fs::remove_all(runtime());
    useRuntime(recorderScript(recordDir()));
    row.breakRuntime();
    const ProcessResult r = run({"--self-check"});
    EXPECT_EQ(r.status, 1) << row.what;
    EXPECT_EQ(r.out, "") << row.what;
    EXPECT_EQ(r.err, "") << row.what;
  }
  EXPECT_FALSE(readRecord(recordDir()).present);
}

}  // namespace
}  // namespace zp::test
