#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "platform/run_loop.hpp"
#include "platform/task.hpp"
#include "support/test_support.hpp"

namespace zp::platform {
namespace {

using test::readRecord;
using test::recorderScript;
using test::TempDir;
using test::writeFile;

using namespace std::chrono_literals;
// Only so that a fault cannot hang the run; nothing is asserted about how long things take.
constexpr auto kDeadline = 30s;
constexpr std::size_t kMaxChunk = 16384;

class TaskTest : public ::testing::Test {
 protected:
  std::string script(const std::string& then = "sys.exit(0)") {
    const auto path = dir_.path() / "child";
    writeFile(path, recorderScript(dir_.path() / "record", then), true);
    return path.string();
  }
  test::Record record() { return readRecord(dir_.path() / "record"); }

  // A Python child of its own, run by Debian's /usr/bin/python3.
  std::string python(const std::string& name, const std::string& body) {
    const auto path = dir_.path() / name;
    writeFile(path, "#!/usr/bin/python3\nimport os, signal, sys, time\n" + body, true);
    return path.string();
  }
  // Options for `sh -c command`, run in the temporary directory with stdout on a pipe.
  TaskOptions shell(const std::string& command) {
    return {.executable = "/bin/sh",
            .arguments = {"-c", command},
            .workingDirectory = dir_.path().string(),
            .environment = {{"PATH", "/usr/bin:/bin"}},
            .standardOutput = StandardStream::Pipe,
            .standardError = StandardStream::NullDevice};
  }
  // A shell loop that waits until the test creates `flag` (at most 20 s, so nothing outlives a
  // failed test for long).
  static std::string untilFlag(const std::string& flag) {
    return "i=0; while [ ! -e " + flag + " ] && [ $i -lt 1000 ]; do sleep 0.02; i=$((i+1)); done";
  }
  void raise(const std::string& flag) { writeFile(dir_.path() / flag, ""); }

  TempDir dir_;
};

// Everything the handlers of one task saw; written on the loop's thread only.
struct Seen {
  std::thread::id loopThread = std::this_thread::get_id();
  bool offLoopThread = false;
  std::vector<std::string> chunks;  // as handed over, the empty end-of-file chunk included
  std::vector<std::string> events;  // "output", "eof" and "exit", in the order they came
  int endOfFile = 0;
  int terminations = 0;
  const Task* endedTask = nullptr;
  ExitStatus status{ExitStatus::Kind::Exited, -1};
  bool runningInHandler = true;

  std::string bytes() const {
    std::string all;
    for (const auto& chunk : chunks) all += chunk;
    return all;
  }
  bool finished() const { return endOfFile > 0 && terminations > 0; }
};

void observeOutput(Task& task, std::shared_ptr<MainQueue> queue, const std::shared_ptr<Seen>& seen) {
  task.setOutputHandler(std::move(queue), [seen](std::string chunk) {
    if (std::this_thread::get_id() != seen->loopThread) seen->offLoopThread = true;
    seen->events.push_back(chunk.empty() ? "eof" : "output");
    if (chunk.empty()) ++seen->endOfFile;
    seen->chunks.push_back(std::move(chunk));
  });
}

void observeTermination(Task& task, std::shared_ptr<MainQueue> queue, const std::shared_ptr<Seen>& seen) {
  task.setTerminationHandler(std::move(queue), [seen](const std::shared_ptr<Task>& ended) {
    if (std::this_thread::get_id() != seen->loopThread) seen->offLoopThread = true;
    seen->events.push_back("exit");
    ++seen->terminations;
    seen->endedTask = ended.get();
    seen->status = ended->exitStatus();
    seen->runningInHandler = ended->isRunning();
  });
}

// A task with both handlers on `loop`, as the launcher sets up its service.
std::shared_ptr<Task> observed(TaskOptions options, const std::shared_ptr<RunLoop>& loop,
                               const std::shared_ptr<Seen>& seen) {
  auto task = std::make_shared<Task>(std::move(options));
  observeOutput(*task, loop, seen);
  observeTermination(*task, loop, seen);
  return task;
}

// Checks the shape of a finished stream: non-empty chunks of at most 16384 bytes, then one
// empty chunk, last.
void expectWellFormed(const Seen& seen, const std::string& what) {
  ASSERT_FALSE(seen.chunks.empty()) << what;
  EXPECT_TRUE(seen.chunks.back().empty()) << what << ": end of file comes last";
  EXPECT_EQ(seen.endOfFile, 1) << what;
  for (std::size_t i = 0; i + 1 < seen.chunks.size(); ++i) {
    EXPECT_FALSE(seen.chunks[i].empty()) << what << ": chunk " << i;
    EXPECT_LE(seen.chunks[i].size(), kMaxChunk) << what << ": chunk " << i;
  }
  EXPECT_FALSE(seen.offLoopThread) << what;
}

std::string pattern(std::size_t repeats) {
  std::string block;
  for (int b = 0; b < 256; ++b) block.push_back(static_cast<char>(b));
  std::string all;
  all.reserve(block.size() * repeats);
  for (std::size_t i = 0; i < repeats; ++i) all += block;
  return all;
}

// Forwards to a run loop and records how many posted items had not yet run, at most.
class CountingQueue final : public MainQueue {
 public:
  explicit CountingQueue(std::shared_ptr<RunLoop> loop) : loop_(std::move(loop)) {}
  void post(std::function<void()> work) override {
    const int now = ++waiting_;
    int most = most_.load();
    while (now > most && !most_.compare_exchange_weak(most, now)) {
    }
    loop_->post([this, work = std::move(work)] {
      --waiting_;
      work();
    });
  }
  int waiting() const { return waiting_; }
  int most() const { return most_; }

 private:
  std::shared_ptr<RunLoop> loop_;
  std::atomic<int> waiting_{0};
  std::atomic<int> most_{0};
};

// Polls something another thread changes; false if it never came true.
template <typename Condition>
bool eventually(Condition condition) {
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::set<int> openDescriptors() {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    fds.insert(std::stoi(entry.path().filename().string()));
  }
  return fds;
}

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

// --- standard output on a pipe -------------------------------------------------------------

TEST_F(TaskTest, OutputArrivesWholeInOrderThenOneEndOfFile) {
  struct Row {
    const char* what;
    std::string program;
    std::string expected;
  };
  const Row rows[] = {
      {"lines with pauses",
       python("lines", "for i in range(5):\n    print('line %d' % i, flush=True)\n    time.sleep(0.05)\n"),
       "line 0\nline 1\nline 2\nline 3\nline 4\n"},
      {"1 MiB of every byte value at once", python("flood", "sys.stdout.buffer.write(bytes(range(256)) * 4096)\n"),
       pattern(4096)},
      {"nothing", python("silent", "sys.exit(0)\n"), ""},
  };
  auto loop = std::make_shared<RunLoop>();
  std::vector<std::shared_ptr<Seen>> all;
  for (const Row& row : rows) {
    auto seen = std::make_shared<Seen>();
    all.push_back(seen);
    auto task = observed({.executable = row.program, .standardOutput = StandardStream::Pipe}, loop, seen);
    ASSERT_TRUE(task->launch()) << row.what;
    ASSERT_TRUE(loop->runUntil([&] { return seen->finished(); }, kDeadline)) << row.what;
    EXPECT_EQ(seen->bytes(), row.expected) << row.what;
    EXPECT_EQ(seen->status, (ExitStatus{ExitStatus::Kind::Exited, 0})) << row.what;
  }
  // Nothing may follow the end of file.
  EXPECT_FALSE(loop->runUntil([] { return false; }, 200ms));
  for (std::size_t i = 0; i < all.size(); ++i) expectWellFormed(*all[i], rows[i].what);
}

TEST_F(TaskTest, ReaderOutlivesTheTask) {
  // Without a termination handler nothing holds the task; the reader must not need it.
  auto loop = std::make_shared<RunLoop>();
  auto seen = std::make_shared<Seen>();
  const std::string program = python("late", "time.sleep(0.2)\nsys.stdout.buffer.write(bytes(range(256)) * 1024)\n");
  pid_t pid = -1;
  {
    auto task = std::make_shared<Task>(TaskOptions{.executable = program, .standardOutput = StandardStream::Pipe});
    observeOutput(*task, loop, seen);
    ASSERT_TRUE(task->launch());
    pid = task->processIdentifier();
  }
  ASSERT_TRUE(loop->runUntil([&] { return seen->endOfFile > 0; }, kDeadline));
  EXPECT_EQ(seen->bytes(), pattern(1024));
  expectWellFormed(*seen, "task destroyed");
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid) << "a destroyed task leaves its child to the caller";
}

TEST_F(TaskTest, AFastWriterIsHeldBackByThePipe) {
  auto loop = std::make_shared<RunLoop>();
  auto counting = std::make_shared<CountingQueue>(loop);
  auto seen = std::make_shared<Seen>();
  auto task = std::make_shared<Task>(TaskOptions{
      .executable = python("flood", "sys.stdout.buffer.write(bytes(range(256)) * 16384)\n"),  // 4 MiB
      .standardOutput = StandardStream::Pipe});
  observeOutput(*task, counting, seen);
  observeTermination(*task, loop, seen);
  ASSERT_TRUE(task->launch());

  // The loop is not run: the reader fills its few slots and must then wait.
  ASSERT_TRUE(eventually([&] { return counting->waiting() >= 4; }));
  std::this_thread::sleep_for(300ms);  // room for a reader that does not wait to run ahead
  EXPECT_LE(counting->most(), 4);
  EXPECT_TRUE(task->isRunning()) << "4 MiB cannot fit in the pipe and a few chunks";

  ASSERT_TRUE(loop->runUntil([&] { return seen->finished(); }, kDeadline));
  EXPECT_LE(counting->most(), 4);
  EXPECT_TRUE(seen->bytes() == pattern(16384)) << seen->bytes().size() << " bytes";
  expectWellFormed(*seen, "4 MiB");
}

TEST_F(TaskTest, AStoppedQueueDoesNotHoldTheReader) {
  // Chunks dropped unrun by a stopped queue give their slots back: the reader drains the pipe
  // to the end, so the child can finish and the read end is closed.
  const std::set<int> before = openDescriptors();
  auto loop = std::make_shared<RunLoop>();
  auto counting = std::make_shared<CountingQueue>(loop);
  auto seen = std::make_shared<Seen>();
  Task task({.executable = python("flood", "sys.stdout.buffer.write(bytes(range(256)) * 16384)\n"),
             .standardOutput = StandardStream::Pipe});
  observeOutput(task, counting, seen);
  ASSERT_TRUE(task.launch());
  ASSERT_TRUE(eventually([&] { return counting->waiting() >= 4; }));
  loop->stop();

  int status = -1;
  EXPECT_TRUE(eventually([&] { return waitpid(task.processIdentifier(), &status, WNOHANG) != 0; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(eventually([&] { return openDescriptors() == before; }));
  EXPECT_TRUE(seen->chunks.empty());
}

TEST_F(TaskTest, ClearedOutputHandlerIsNotCalledAgain) {
  auto loop = std::make_shared<RunLoop>();
  auto counting = std::make_shared<CountingQueue>(loop);
  auto seen = std::make_shared<Seen>();
  auto task = std::make_shared<Task>(shell("echo one; echo two"));
  observeOutput(*task, counting, seen);
  observeTermination(*task, loop, seen);
  ASSERT_TRUE(task->launch());
  ASSERT_TRUE(eventually([&] { return counting->waiting() >= 1; })) << "output posted but not yet run";
  task->clearOutputHandler();
  ASSERT_TRUE(loop->runUntil([&] { return seen->terminations > 0; }, kDeadline));
  EXPECT_FALSE(loop->runUntil([] { return false; }, 200ms));
  EXPECT_TRUE(seen->chunks.empty());
}

TEST_F(TaskTest, AHandlerThatClearsItselfMidFloodIsNotCalledAgain) {
  // With the pipe full, chunks travel to the main thread several at a time; a handler that
  // clears itself must not be handed the rest of its batch.
  auto loop = std::make_shared<RunLoop>();
  auto counting = std::make_shared<CountingQueue>(loop);
  auto task = std::make_shared<Task>(TaskOptions{
      .executable = python("flood", "sys.stdout.buffer.write(bytes(range(256)) * 16384)\n"),  // 4 MiB
      .standardOutput = StandardStream::Pipe});
  int calls = 0;
  task->setOutputHandler(counting, [&calls, task = task.get()](const std::string&) {
    ++calls;
    task->clearOutputHandler();
  });
  bool ended = false;
  task->setTerminationHandler(loop, [&ended](const std::shared_ptr<Task>&) { ended = true; });
  ASSERT_TRUE(task->launch());
  ASSERT_TRUE(eventually([&] { return counting->waiting() >= 4; })) << "the pipe is full";
  ASSERT_TRUE(loop->runUntil([&] { return ended; }, kDeadline));
  EXPECT_EQ(calls, 1);
}

// --- the exit watcher ----------------------------------------------------------------------

TEST_F(TaskTest, TerminationHandlerGetsTheEndedTaskOnce) {
  struct Row {
    const char* then;
    ExitStatus status;
  };
  const Row rows[] = {
      {"sys.exit(0)", {ExitStatus::Kind::Exited, 0}},
      {"sys.exit(3)", {ExitStatus::Kind::Exited, 3}},
      {"sys.exit(75)", {ExitStatus::Kind::Exited, 75}},
      {"os.kill(os.getpid(), 9)", {ExitStatus::Kind::Signaled, 9}},
      {"os.kill(os.getpid(), 15)", {ExitStatus::Kind::Signaled, 15}},
  };
  auto loop = std::make_shared<RunLoop>();
  for (const Row& row : rows) {
    for (const bool dropped : {false, true}) {
      const std::string what = std::string(row.then) + (dropped ? ", task dropped after launch" : "");
      auto seen = std::make_shared<Seen>();
      auto task = std::make_shared<Task>(TaskOptions{.executable = python("child", std::string(row.then) + "\n"),
                                                     .standardOutput = StandardStream::NullDevice});
      observeTermination(*task, loop, seen);
      ASSERT_TRUE(task->launch()) << what;
      const Task* launched = task.get();
      const std::weak_ptr<Task> weak = task;
      if (dropped) task.reset();

      ASSERT_TRUE(loop->runUntil([&] { return seen->terminations > 0; }, kDeadline)) << what;
      loop->runPending();
      EXPECT_EQ(seen->terminations, 1) << what;
      EXPECT_EQ(seen->endedTask, launched) << what;
      EXPECT_EQ(seen->status, row.status) << what;
      EXPECT_FALSE(seen->runningInHandler) << what;
      EXPECT_FALSE(seen->offLoopThread) << what;
      if (dropped) {
        EXPECT_TRUE(weak.expired()) << what << ": let go once its handler has run";
      } else {
        EXPECT_FALSE(task->isRunning()) << what;
        EXPECT_EQ(task->terminationStatus(), row.status.value) << what;
      }
    }
  }
  EXPECT_FALSE(loop->runUntil([] { return false; }, 200ms));
}

TEST_F(TaskTest, TheEndIsObservedBeforeTheStatusIsTaken) {
  auto loop = std::make_shared<RunLoop>();
  auto seen = std::make_shared<Seen>();
  auto task = std::make_shared<Task>(shell("exit 5"));
  task->setTerminationHandler(loop, [seen](const std::shared_ptr<Task>& ended) {
    ++seen->terminations;
    seen->status = ended->exitStatus();
  });
  ASSERT_TRUE(task->launch());

  // Without the main thread the end is observed, but the child is not reaped: its pid stays
  // taken, so a SIGTERM now reaches nobody else.
  ASSERT_TRUE(eventually([&] { return !task->isRunning(); }));
  const std::string stat = test::readFile("/proc/" + std::to_string(task->processIdentifier()) + "/stat");
  const auto afterName = stat.rfind(") ");
  ASSERT_NE(afterName, std::string::npos) << stat;
  EXPECT_EQ(stat.substr(afterName + 2, 1), "Z") << stat;
  task->terminate();

  ASSERT_TRUE(loop->runUntil([&] { return seen->terminations > 0; }, kDeadline));
  EXPECT_EQ(seen->status, (ExitStatus{ExitStatus::Kind::Exited, 5}));
  EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(task->processIdentifier()))) << "reaped";
}

TEST_F(TaskTest, EndOfFileAndExitArriveInEitherOrder) {
  struct Row {
    const char* what;
    std::string command;
    const char* first;  // the event that must come before the test raises the flag
    std::string output;
  };
  const Row rows[] = {
      {"stdout closed before the exit", "echo early; exec >&-; " + untilFlag("flag-eof") + "; exit 0", "eof",
       "early\n"},
      {"a grandchild holds stdout after the exit", "(" + untilFlag("flag-exit") + "; echo late) & exit 0", "exit",
       "late\n"},
  };
  auto loop = std::make_shared<RunLoop>();
  for (const Row& row : rows) {
    auto seen = std::make_shared<Seen>();
    auto task = observed(shell(row.command), loop, seen);
    ASSERT_TRUE(task->launch()) << row.what;
    const std::string first = row.first;
    const bool firstCame = loop->runUntil(
        [&] { return first == "eof" ? seen->endOfFile > 0 : seen->terminations > 0; }, kDeadline);
    const bool otherCame = first == "eof" ? seen->terminations > 0 : seen->endOfFile > 0;
    raise("flag-" + first);
    ASSERT_TRUE(firstCame) << row.what;
    EXPECT_FALSE(otherCame) << row.what << ": it waits for the flag";

    ASSERT_TRUE(loop->runUntil([&] { return seen->finished(); }, kDeadline)) << row.what;
    loop->runPending();
    EXPECT_EQ(seen->terminations, 1) << row.what;
    EXPECT_EQ(seen->bytes(), row.output) << row.what;
    EXPECT_EQ(seen->status, (ExitStatus{ExitStatus::Kind::Exited, 0})) << row.what;
    expectWellFormed(*seen, row.what);
  }
}

// --- terminate -----------------------------------------------------------------------------

TEST_F(TaskTest, TerminateSendsSigtermAfterTheReadyLine) {
  auto loop = std::make_shared<RunLoop>();
  auto seen = std::make_shared<Seen>();
  auto task = observed(
      shell("trap 'echo got-term; exit 0' TERM; echo ready; while :; do sleep 0.05; done"), loop, seen);
  ASSERT_TRUE(task->launch());
  ASSERT_TRUE(loop->runUntil([&] { return seen->bytes() == "ready\n"; }, kDeadline)) << seen->bytes();
  task->terminate();
  ASSERT_TRUE(loop->runUntil([&] { return seen->finished(); }, kDeadline));
  EXPECT_EQ(seen->bytes(), "ready\ngot-term\n");
  EXPECT_EQ(seen->status, (ExitStatus{ExitStatus::Kind::Exited, 0}));

  // The exit has been taken: terminate() now sends nothing and changes nothing.
  task->terminate();
  EXPECT_FALSE(task->isRunning());
  EXPECT_EQ(task->exitStatus(), (ExitStatus{ExitStatus::Kind::Exited, 0}));
}

TEST_F(TaskTest, TerminateNeverForcesAnEnd) {
  auto loop = std::make_shared<RunLoop>();
  auto seen = std::make_shared<Seen>();
  TaskOptions options{
      .executable = python("stubborn",
                           "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                           "print('ready', flush=True)\n"
                           "for _ in range(1000):\n"
                           "    if os.path.exists('flag'): sys.exit(7)\n"
                           "    time.sleep(0.02)\n"),
      .workingDirectory = dir_.path().string(),
      .standardOutput = StandardStream::Pipe};
  auto task = observed(std::move(options), loop, seen);
  ASSERT_TRUE(task->launch());
  ASSERT_TRUE(loop->runUntil([&] { return seen->bytes() == "ready\n"; }, kDeadline)) << seen->bytes();
  task->terminate();
  task->terminate();
  EXPECT_FALSE(loop->runUntil([&] { return seen->terminations > 0; }, 300ms));
  EXPECT_TRUE(task->isRunning());

  raise("flag");
  ASSERT_TRUE(loop->runUntil([&] { return seen->finished(); }, kDeadline));
  EXPECT_EQ(seen->status, (ExitStatus{ExitStatus::Kind::Exited, 7})) << "it ended on its own";
}

TEST_F(TaskTest, TerminateAfterWaitUntilExitSendsNothing) {
  Task plain({.executable = "/bin/sh", .arguments = {"-c", "exit 4"}});
  ASSERT_TRUE(plain.launch());
  plain.waitUntilExit();
  plain.terminate();
  EXPECT_FALSE(plain.isRunning());
  EXPECT_EQ(plain.exitStatus(), (ExitStatus{ExitStatus::Kind::Exited, 4}));
}

// --- launch failure ------------------------------------------------------------------------

TEST_F(TaskTest, FailedLaunchNeverCallsAHandler) {
  auto loop = std::make_shared<RunLoop>();
  auto seen = std::make_shared<Seen>();
  const std::string recorder = script();
  struct Row {
    const char* what;
    TaskOptions options;
    bool shared;
    bool output;
    bool termination;
    int error;  // 0: any
  };
  const Row rows[] = {
      {"missing program", {.executable = (dir_.path() / "missing").string(), .standardOutput = StandardStream::Pipe},
       true, true, true, ENOENT},
      {"missing working directory",
       {.executable = recorder, .workingDirectory = (dir_.path() / "nowhere").string(),
        .standardOutput = StandardStream::Pipe},
       true, true, true, 0},
      {"termination handler on a task nobody shares", {.executable = recorder}, false, false, true, EINVAL},
      {"output handler without a pipe", {.executable = recorder, .standardOutput = StandardStream::NullDevice},
       true, true, true, EINVAL},
      {"standard error on a pipe",
       {.executable = recorder, .standardOutput = StandardStream::Pipe, .standardError = StandardStream::Pipe},
       true, true, true, EINVAL},
  };
  for (const Row& row : rows) {
    std::optional<Task> unshared;
    std::shared_ptr<Task> shared;
    Task& task = row.shared ? *(shared = std::make_shared<Task>(row.options)) : unshared.emplace(row.options);
    if (row.output) observeOutput(task, loop, seen);
    if (row.termination) observeTermination(task, loop, seen);
    EXPECT_FALSE(task.launch()) << row.what;
    EXPECT_FALSE(task.isRunning()) << row.what;
    if (row.error != 0) {
      EXPECT_EQ(task.launchError(), row.error) << row.what;
    } else {
      EXPECT_NE(task.launchError(), 0) << row.what;
    }
  }
  EXPECT_FALSE(loop->runUntil([] { return false; }, 300ms));
  EXPECT_TRUE(seen->events.empty());
  EXPECT_FALSE(record().present) << "nothing was started";
}

// --- descriptors ---------------------------------------------------------------------------

TEST_F(TaskTest, PipeReachesTheChildOnlyAsStandardOutput) {
  auto loop = std::make_shared<RunLoop>();
  auto task = std::make_shared<Task>(TaskOptions{.executable = script(),
                                                 .standardOutput = StandardStream::Pipe,
                                                 .standardError = StandardStream::NullDevice});
  std::string output;
  bool ended = false;
  task->setOutputHandler(loop, [&](std::string chunk) {
    ended = chunk.empty();
    output += chunk;
  });
  ASSERT_TRUE(task->launch());
  ASSERT_TRUE(loop->runUntil([&] { return ended; }, kDeadline));
  task->waitUntilExit();
  EXPECT_EQ(output, "recorder out\n");
  const test::Record r = record();
  EXPECT_EQ(r.openDescriptors, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(r.standardOutput.rfind("pipe:", 0), 0u) << r.standardOutput;
  EXPECT_EQ(r.standardError, "/dev/null");
}

TEST_F(TaskTest, TheLaunchersPipeEndsAreClosedAndCloseOnExec) {
  // What another child, started by other means, inherits from this process.
  const auto inherited = [] {
    const test::ProcessResult r = test::runProcess(
        {"/usr/bin/python3", "-c",
         "import os\nfor fd in range(3, 1024):\n    try:\n        os.fstat(fd); print(fd)\n    except OSError: pass\n"},
        {});
    std::set<int> fds;
    std::istringstream in(r.out);
    for (int fd = 0; in >> fd;) fds.insert(fd);
    return fds;
  };
  const std::set<int> before = openDescriptors();
  const std::set<int> inheritedBefore = inherited();

  auto loop = std::make_shared<RunLoop>();
  auto seen = std::make_shared<Seen>();
  auto task = observed(shell(untilFlag("flag") + "; echo done"), loop, seen);
  ASSERT_TRUE(task->launch());
  const std::set<int> inheritedMeanwhile = inherited();
  raise("flag");
  EXPECT_TRUE(std::includes(inheritedBefore.begin(), inheritedBefore.end(), inheritedMeanwhile.begin(),
                            inheritedMeanwhile.end()))
      << "the read end leaks into other children";
  ASSERT_TRUE(loop->runUntil([&] { return seen->finished(); }, kDeadline));
  EXPECT_EQ(seen->bytes(), "done\n");
  EXPECT_TRUE(eventually([&] { return openDescriptors() == before; })) << "after end of file";

  {
    Task unread(shell("exit 0"));  // a pipe nobody reads: the task keeps the read end
    ASSERT_TRUE(unread.launch());
    unread.waitUntilExit();
  }
  EXPECT_EQ(openDescriptors(), before) << "after a task with an unread pipe";

  Task failed({.executable = (dir_.path() / "missing").string(), .standardOutput = StandardStream::Pipe});
  EXPECT_FALSE(failed.launch());
  EXPECT_EQ(openDescriptors(), before) << "after a failed launch";
}

}  // namespace
}  // namespace zp::platform
