// What the launcher leaves behind and passes on: descriptors, zombies, its own SIGPIPE, and the
// environment of both kinds of child under a hostile launcher environment. The real executable
// runs in bundles built in temporary folders; the suite runs under tools/with-xvfb, so the windowed
// rows cover an X connection as well as Qt's offscreen platform.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "supervisor/texts.hpp"
#include "support/launcher_harness.hpp"
#include "support/test_bundle.hpp"

namespace zp::test {
namespace {

namespace fs = std::filesystem;
using platform::TerminateReply;

struct Child {
  int pid;
  char state;
};

// The children of `parent` as /proc shows them now, zombies included.
std::vector<Child> childrenOf(int parent) {
  std::vector<Child> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    if (!std::getline(in, stat)) continue;  // gone meanwhile
    // "pid (comm) state ppid ...": comm may hold anything, so read from the last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = '?';
    int ppid = -1;
    rest >> state >> ppid;
    if (ppid == parent) children.push_back({std::stoi(name), state});
  }
  return children;
}

std::string describe(const std::vector<Child>& children) {
  std::string out;
  for (const Child& c : children) out += std::to_string(c.pid) + ":" + c.state + " ";
  return out;
}

// A launcher start on the windowed path: the bundle's data root exists (no first-run question),
// Qt on `platform`, single-instance state in the bundle's private runtime directory.
RunOptions windowedOptions(const TestBundle& bundle, const std::string& platform) {
  RunOptions options;
  options.environment = bundle.environment();
  options.environment.push_back("QT_QPA_PLATFORM=" + platform);
  options.environment.push_back("XDG_RUNTIME_DIR=" + bundle.runtimeDirectory().string());
  for (const char* name : {"DISPLAY", "XAUTHORITY"}) {
    if (const char* value = std::getenv(name)) options.environment.push_back(std::string(name) + "=" + value);
  }
  return options;
}

std::vector<std::string> platforms() {
  std::vector<std::string> names{"offscreen"};
  if (std::getenv("DISPLAY") != nullptr) names.emplace_back("xcb");
  return names;
}

TEST(Hygiene, TheServiceSeesOnlyStandardDescriptorsWhateverTheApplicationHasOpen) {
  for (const std::string& platform : platforms()) {
    TestBundle bundle;
    bundle.useMode("preview");
    fs::create_directories(bundle.dataRoot("preview"));
    const fs::path record = bundle.path() / "record";
    // Beside its own, the recorder notes what its parent, the launcher, holds open right then.
    bundle.useRuntime(recorderScript(record, R"PY(held = []
for fd in os.listdir('/proc/%d/fd' % os.getppid()):
    try:
        held.append(os.readlink('/proc/%d/fd/%s' % (os.getppid(), fd)))
    except OSError:
        pass
put('launcher_fds', '\n'.join(held))
sys.exit(0))PY"));
    const ProcessResult r = runProcess({bundle.executable().string()}, windowedOptions(bundle, platform));
    EXPECT_EQ(r.status, 0) << platform << ": " << r.err;

    const Record child = readRecord(record);
    ASSERT_TRUE(child.present) << platform;
    EXPECT_EQ(child.openDescriptors, (std::vector<int>{0, 1, 2})) << platform;

    // The test means something only if the launcher did hold more: at least the
    // single-instance socket, and under X its connection.
    const std::string held = readFile(record / "launcher_fds");
    EXPECT_NE(held.find("socket:"), std::string::npos) << platform << ":\n" << held;
    std::printf("[ fds      ] %s: the launcher held %ld descriptors, the service 3\n", platform.c_str(),
                static_cast<long>(std::count(held.begin(), held.end(), '\n') + 1));
  }
}

TEST(Hygiene, NoChildIsLeftBehindAfterAnyEndingOfARun) {
  const std::string service = "#!/usr/bin/python3\nimport os, signal, sys, time, subprocess\n"
                              "def say(line):\n    os.write(1, (line + '\\n').encode())\n";
  struct Row {
    const char* what;
    std::string mode;
    std::string body;
    bool quit;  // ask to quit once the service is ready
  };
  const Row rows[] = {
      {"normal end", "preview", "sys.exit(0)", false},
      {"failure", "preview", "sys.exit(3)", false},
      {"killed by a signal", "preview", "os.kill(os.getpid(), 9)", false},
      {"quit handshake", "preview",
       "signal.signal(signal.SIGTERM, lambda s, f: sys.exit(0))\n"
       "say('{\"status\":\"ready\",\"url\":\"http://127.0.0.1:8765/\"}')\ntime.sleep(30)",
       true},
      {"exit while a grandchild holds the output", "preview",
       "subprocess.Popen(['/bin/sh', '-c', 'sleep 0.3'])\nsys.exit(0)", false},
      {"reconnect and one cold restart", "connected",
       "say('{\"status\":\"not_started\",\"code\":\"zorvik_reconnect_requires_same_source_cold_epoch\"}')\n"
       "sys.exit(75 if '--cold-start' in sys.argv else 1)",
       false},
  };
  for (const Row& row : rows) {
    LauncherHarness h(row.mode);
    h.useService(service + row.body + "\n");
    h.launcher->startServiceWithCreate(false, false);
    if (row.quit) {
      ASSERT_TRUE(h.runUntil([&] { return h.launcher->url().has_value(); })) << row.what;
      h.launcher->quit();
    }
    ASSERT_TRUE(h.runUntil([&] { return h.application.ended; })) << row.what;
    // The status was taken before the ending was decided, so nothing may remain, not even a zombie.
    EXPECT_EQ(describe(childrenOf(getpid())), "") << row.what;
  }
  LauncherHarness failed;  // a runtime that cannot start leaves nothing either
  failed.launcher->startServiceWithCreate(false, false);
  EXPECT_TRUE(failed.launcher->finished());
  EXPECT_EQ(describe(childrenOf(getpid())), "") << "launch failure";
}

TEST(Hygiene, TheLauncherReapsAFailedServiceWhileItsAlertIsUp) {
  TestBundle bundle;
  bundle.useMode("preview");
  fs::create_directories(bundle.dataRoot("preview"));
  const fs::path pidFile = bundle.path() / "service-pid";
  bundle.useRuntime("#!/usr/bin/python3\nimport os, sys\nopen('" + pidFile.string() +
                    "', 'w').write(str(os.getpid()))\nsys.exit(3)\n");
  ChildProcess launcher({bundle.executable().string()}, windowedOptions(bundle, "offscreen"), bundle.path() / "log");

  ASSERT_TRUE(eventually([&] { return !readFile(pidFile).empty(); }));
  // The failure alert now waits for an answer; meanwhile the ended service must be gone
  // entirely, reaped by the launcher, not left as a zombie.
  EXPECT_TRUE(eventually([&] { return childrenOf(launcher.pid()).empty(); }))
      << describe(childrenOf(launcher.pid()));
  EXPECT_TRUE(launcher.running());
  EXPECT_FALSE(fs::exists("/proc/" + readFile(pidFile)));

  kill(launcher.pid(), SIGTERM);  // the run has finished: granted at once
  EXPECT_EQ(launcher.waitFor(30), 0);
}

TEST(Hygiene, AClosedStandardOutputIsAnErrorNotASignal) {
  TestBundle bundle;
  bundle.useMode("preview");
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  close(ends[0]);  // nobody will ever read: a write raises SIGPIPE unless it is ignored

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The launcher starts with SIGPIPE at its default, whatever this test process does with it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  const std::string executable = bundle.executable().string();
  std::vector<std::string> env = bundle.environment();
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("--describe-launch"), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, executable.c_str(), &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(ends[1]);
  ASSERT_EQ(rc, 0);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(Hygiene, AHostileLauncherEnvironmentReachesNeitherChild) {
  // Each of these would change how a Python runtime, the dynamic loader or a shell behaves if it
  // got through. Values are harmless to the launcher itself: an empty LD_PRELOAD, paths that
  // do not exist. A second HOME and an entry without "=" are there too.
  const std::vector<std::string> hostile = {
      "LD_PRELOAD=", "LD_LIBRARY_PATH=/nonexistent/lib", "LD_AUDIT=", "GCONV_PATH=/nonexistent/gconv",
      "PYTHONPATH=/nonexistent/python", "PYTHONHOME=/nonexistent/home", "PYTHONSTARTUP=/nonexistent/startup.py",
      "PYTHONINSPECT=1", "PYTHONWARNINGS=error", "PYTHONDONTWRITEBYTECODE=", "PYTHONNOUSERSITE=",
      "PYTHONUSERBASE=/nonexistent/user", "PYTHONSAFEPATH=", "DYLD_INSERT_LIBRARIES=/nonexistent/inject.dylib",
      "DYLD_LIBRARY_PATH=/nonexistent/dyld", "DYLD_FRAMEWORK_PATH=/nonexistent/frameworks", "BASH_ENV=/nonexistent/bash_env",
      "ENV=/nonexistent/env", "IFS=/", "SHELL=/bin/false", "LANG=C", "LC_ALL=C", "TZ=Nowhere",
      "TMPDIR=/tmp/zp hostile tmp/", "HOME=/nonexistent/second-home", "ZP_NOT_UTF8=\xff\xfe",
      "NO_EQUALS_SIGN_AT_ALL",
  };
  struct Row {
    const char* what;
    std::vector<std::string> arguments;
    std::string mode;
    std::vector<std::string> expected;  // sorted; HOME filled in below
  };
  const Row rows[] = {
      {"service", {}, "connected",
       {"LANG=en_US.UTF-8", "PATH=/usr/bin:/bin:/usr/sbin:/sbin", "PYTHONDONTWRITEBYTECODE=1", "PYTHONNOUSERSITE=1",
        "TMPDIR=/tmp/zp hostile tmp/"}},
      {"self-check", {"--self-check"}, "preview", {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "PYTHONDONTWRITEBYTECODE=1"}},
  };
  for (const Row& row : rows) {
    TestBundle bundle;
    bundle.useMode(row.mode);
    fs::create_directories(bundle.dataRoot(row.mode));
    const fs::path record = bundle.path() / "record";
    bundle.useRuntime(recorderScript(record, "sys.exit(0)"));

    RunOptions options = windowedOptions(bundle, "offscreen");
    // A PATH that offers another python3 first, and everything hostile after the real HOME.
    writeFile(bundle.path() / "bin" / "python3", "#!/bin/sh\nexit 99\n", true);
    std::replace(options.environment.begin(), options.environment.end(), std::string("PATH=/usr/bin:/bin"),
                 "PATH=" + (bundle.path() / "bin").string() + ":/usr/bin:/bin");
    options.environment.insert(options.environment.end(), hostile.begin(), hostile.end());

    std::vector<std::string> argv{bundle.executable().string()};
    argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
    const ProcessResult r = runProcess(argv, options);
    EXPECT_EQ(r.status, 0) << row.what << ": " << r.err;

    const Record child = readRecord(record);
    ASSERT_TRUE(child.present) << row.what;
    std::vector<std::string> expected = row.expected;
    expected.push_back("HOME=" + bundle.home().string());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(child.environment, expected) << row.what;
  }
}

}  // namespace
}  // namespace zp::test
