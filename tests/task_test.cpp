#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/task.hpp"
#include "support/test_support.hpp"

namespace zp::platform {
namespace {

using test::readRecord;
using test::recorderScript;
using test::TempDir;
using test::writeFile;

class TaskTest : public ::testing::Test {
 protected:
  std::string script(const std::string& then = "sys.exit(0)") {
    const auto path = dir_.path() / "child";
    writeFile(path, recorderScript(dir_.path() / "record", then), true);
    return path.string();
  }
  test::Record record() { return readRecord(dir_.path() / "record"); }
  TempDir dir_;
};

TEST_F(TaskTest, ChildGetsExactlyWhatItWasGiven) {
  const std::string program = script();
  Task task({
      .executable = program,
      .arguments = {"-I", "two words", "", "*", "$HOME"},
      .workingDirectory = dir_.path().string(),
      .environment = {{"HOME", "/home/Zoë 用户"}, {"EMPTY", ""}, {"PATH", "/usr/bin:/bin"}},
      .standardOutput = StandardStream::NullDevice,
      .standardError = StandardStream::NullDevice,
  });
  ASSERT_TRUE(task.launch());
  EXPECT_TRUE(task.isRunning());
  task.waitUntilExit();
  EXPECT_FALSE(task.isRunning());
  EXPECT_EQ(task.exitStatus(), (ExitStatus{ExitStatus::Kind::Exited, 0}));

  const test::Record r = record();
  ASSERT_TRUE(r.present);
  EXPECT_EQ(r.arguments, (std::vector<std::string>{"-I", "two words", "", "*", "$HOME"}));
  EXPECT_EQ(r.environment, (std::vector<std::string>{"EMPTY=", "HOME=/home/Zoë 用户", "PATH=/usr/bin:/bin"}));
  EXPECT_EQ(r.workingDirectory, dir_.path().string());
  EXPECT_EQ(r.standardInput, "/dev/null");
  EXPECT_EQ(r.standardInputBytes, 0u);
  EXPECT_FALSE(r.ownProcessGroup);
}

TEST_F(TaskTest, OnlyStandardDescriptorsAndDefaultSignalsReachTheChild) {
  // A descriptor the launcher leaked without close-on-exec, and signals it ignores and blocks.
  const int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  struct sigaction ignore {}, savedInt {}, savedPipe {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &savedInt);
  sigaction(SIGPIPE, &ignore, &savedPipe);
  sigset_t block, savedMask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &savedMask);

  Task task({.executable = script(), .environment = {}, .standardOutput = StandardStream::NullDevice});
  const bool launched = task.launch();
  pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
  sigaction(SIGINT, &savedInt, nullptr);
  sigaction(SIGPIPE, &savedPipe, nullptr);
  close(leaked);
  ASSERT_TRUE(launched);
  task.waitUntilExit();

  const test::Record r = record();
  ASSERT_TRUE(r.present);
  EXPECT_EQ(r.openDescriptors, (std::vector<int>{0, 1, 2}));
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) EXPECT_FALSE(test::ignores(r, sig)) << sig;
  EXPECT_EQ(r.blockedSignals, "0000000000000000");
}

TEST_F(TaskTest, OwnProcessGroupOnRequest) {
  Task task({.executable = script(), .processGroup = ProcessGroup::OwnGroup});
  ASSERT_TRUE(task.launch());
  task.waitUntilExit();
  EXPECT_TRUE(record().ownProcessGroup);
}

TEST_F(TaskTest, ExitCodeAndSignalAreTheTerminationStatus) {
  struct Row {
    const char* then;
    ExitStatus status;
  };
  const Row rows[] = {
      {"sys.exit(3)", {ExitStatus::Kind::Exited, 3}},
      {"sys.exit(75)", {ExitStatus::Kind::Exited, 75}},
      {"os.kill(os.getpid(), 9)", {ExitStatus::Kind::Signaled, 9}},
      {"os.kill(os.getpid(), 15)", {ExitStatus::Kind::Signaled, 15}},
  };
  for (const Row& row : rows) {
    Task task({.executable = script(row.then), .standardOutput = StandardStream::NullDevice,
               .standardError = StandardStream::NullDevice});
    ASSERT_TRUE(task.launch()) << row.then;
    task.waitUntilExit();
    EXPECT_EQ(task.exitStatus(), row.status) << row.then;
    EXPECT_EQ(task.terminationStatus(), row.status.value) << row.then;
  }
}

TEST_F(TaskTest, LaunchFailureIsReportedByTheLaunch) {
  writeFile(dir_.path() / "not-executable", "#!/bin/sh\nexit 0\n");
  std::filesystem::create_directories(dir_.path() / "a-directory");
  std::filesystem::create_symlink(dir_.path() / "nowhere", dir_.path() / "dangling");
  const std::string good = script();
  struct Row {
    const char* what;
    std::string executable;
    std::optional<std::string> workingDirectory;
  };
  const Row rows[] = {
      {"missing", (dir_.path() / "missing").string(), std::nullopt},
      {"not executable", (dir_.path() / "not-executable").string(), std::nullopt},
      {"a directory", (dir_.path() / "a-directory").string(), std::nullopt},
      {"dangling link", (dir_.path() / "dangling").string(), std::nullopt},
      {"working directory missing", good, (dir_.path() / "no-such-dir").string()},
  };
  for (const Row& row : rows) {
    Task task({.executable = row.executable, .workingDirectory = row.workingDirectory});
    EXPECT_FALSE(task.launch()) << row.what;
    EXPECT_NE(task.launchError(), 0) << row.what;
    EXPECT_FALSE(task.isRunning()) << row.what;
  }
  EXPECT_FALSE(record().present);
}

}  // namespace
}  // namespace zp::platform
