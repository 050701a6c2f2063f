#include "platform/task.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace zp::platform {
namespace {

constexpr std::size_t kReadSize = 16384;
// Chunks the pipe already holds are read on and handed over together, up to this many, so a
// fast writer costs one wake-up of the main thread per batch instead of one per chunk. Each
// chunk still reaches the handler on its own, at most kReadSize bytes.
constexpr std::size_t kMaxChunksPerDelivery = 4;
// Deliveries posted to the main queue and not yet run or dropped; the reader waits beyond
// this, so a service that writes faster than the main thread reads is held back by the pipe.
constexpr int kMaxDeliveriesInFlight = 4;

// Every catchable signal: the child starts with default dispositions even where the launcher
// ignores some (SIGPIPE always, SIGINT and SIGQUIT while it waits for a child).
sigset_t everyCatchableSignal() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) sigaddset(&set, sig);  // reserved ones are refused; fine
  }
  return set;
}

ExitStatus decode(int waitStatus) {
  if (WIFSIGNALED(waitStatus)) return {ExitStatus::Kind::Signaled, WTERMSIG(waitStatus)};
  return {ExitStatus::Kind::Exited, WEXITSTATUS(waitStatus)};
}

// Both ends close-on-exec, so no other child started meanwhile inherits them.
bool openPipe(int (&ends)[2]) {
#ifdef __APPLE__
  if (pipe(ends) != 0) return false;
  for (int fd : ends) {
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
      close(ends[0]);
      close(ends[1]);
      return false;
    }
  }
  return true;
#else
  return pipe2(ends, O_CLOEXEC) == 0;
#endif
}

void closeDescriptor(int& fd) {
  if (fd >= 0) close(fd);  // not retried on EINTR: the descriptor is gone either way
  fd = -1;
}

class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }
  bool ok() const { return ok_; }
  void require(int rc) {
    if (rc != 0) ok_ = false;
  }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = posix_spawnattr_init(&attr_) == 0; }
  ~SpawnAttributes() {
    if (ok_) posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attr_; }
  bool ok() const { return ok_; }
  void require(int rc) {
    if (rc != 0) ok_ = false;
  }

 private:
  posix_spawnattr_t attr_{};
  bool ok_ = false;
};

// What one launch's reader thread shares with the main thread.
struct OutputStream {
  // Main thread only. Reset by clearOutputHandler and after end of file; each delivery takes
  // its own reference, so a handler that clears itself is not destroyed while it runs.
  std::shared_ptr<const Task::OutputHandler> onMain;

  std::mutex mutex;
  std::condition_variable released;
  int inFlight = 0;

  void acquire() {
    std::unique_lock lock(mutex);
    released.wait(lock, [this] { return inFlight < kMaxDeliveriesInFlight; });
    ++inFlight;
  }
  void release() {
    {
      std::lock_guard lock(mutex);
      --inFlight;
    }
    released.notify_one();
  }
};

// Chunks on their way to the main thread, in stream order. A delivery holds a slot from
// acquire() until it has run, or until it is destroyed unrun (a queue that has stopped), so no
// slot is ever lost.
class Delivery {
 public:
  Delivery(std::shared_ptr<OutputStream> stream, std::vector<std::string> chunks)
      : stream_(std::move(stream)), chunks_(std::move(chunks)) {}
  ~Delivery() { release(); }
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // Main thread. The handler is looked up again for every chunk, so one that clears itself
  // (or is replaced) midway sees none of the rest. The empty chunk is the last of the stream:
  // the handler is let go after it.
  void run() {
    for (std::string& chunk : chunks_) {
      std::shared_ptr<const Task::OutputHandler> handler = stream_->onMain;
      if (chunk.empty()) stream_->onMain.reset();
      if (handler && *handler) (*handler)(std::move(chunk));
    }
    release();
  }

 private:
  void release() {
    if (stream_) stream_->release();
    stream_.reset();
  }
  std::shared_ptr<OutputStream> stream_;
  std::vector<std::string> chunks_;
};

void post(MainQueue& queue, const std::shared_ptr<OutputStream>& stream, std::vector<std::string> chunks) {
  stream->acquire();
  auto delivery = std::make_shared<Delivery>(stream, std::move(chunks));
  queue.post([delivery] { delivery->run(); });
}

// Whether a read of `fd` would return at once (data, end of file or an error).
bool readableNow(int fd) {
  pollfd entry{fd, POLLIN, 0};
  int rc;
  while ((rc = poll(&entry, 1, 0)) < 0 && errno == EINTR) {
  }
  return rc > 0;
}

// Reads one chunk into `chunks`. False at end of file, or on an error that ends the stream
// just the same.
bool readChunk(int fd, char* buffer, std::vector<std::string>& chunks) {
  for (;;) {
    const ssize_t n = read(fd, buffer, kReadSize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    chunks.emplace_back(buffer, static_cast<std::size_t>(n));
    return true;
  }
}

// The reader thread: owns `fd` and closes it at end of file. It blocks for the first chunk of
// a delivery, then takes only what is already there.
void readOutput(int fd, std::shared_ptr<MainQueue> queue, std::shared_ptr<OutputStream> stream) {
  std::vector<char> buffer(kReadSize);
  for (bool open = true; open;) {
    std::vector<std::string> chunks;
    open = readChunk(fd, buffer.data(), chunks);
    while (open && chunks.size() < kMaxChunksPerDelivery && readableNow(fd)) {
      open = readChunk(fd, buffer.data(), chunks);
    }
    if (!open) {
      closeDescriptor(fd);
      chunks.emplace_back();  // end of file, the last chunk of the last delivery
    }
    post(*queue, stream, std::move(chunks));
  }
}

}  // namespace

struct Task::State {
  TaskOptions options;
  pid_t pid = -1;
  int launchError = 0;
  // Written by the exit watcher when it observes the end; read on any thread.
  std::atomic<bool> running{false};
  bool reaped = false;  // main thread only
  ExitStatus exit;
  int readEnd = -1;  // ours until a reader thread takes it

  std::shared_ptr<MainQueue> outputQueue;
  std::shared_ptr<OutputStream> output;
  std::shared_ptr<MainQueue> terminationQueue;
  TerminationHandler onTermination;

  // Main thread: takes the status of a process whose end has been observed.
  void reap() {
    if (reaped) return;
    int status = 0;
    pid_t rc = -1;
    do {
      rc = waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc == pid) exit = decode(status);
    reaped = true;
    running = false;
  }
};

Task::Task(TaskOptions options) : state_(std::make_shared<State>()) { state_->options = std::move(options); }

// Never blocks: a running child is left to its watcher, or left unreaped without one.
Task::~Task() { closeDescriptor(state_->readEnd); }

void Task::setOutputHandler(std::shared_ptr<MainQueue> queue, OutputHandler onMain) {
  state_->outputQueue = std::move(queue);
  state_->output = std::make_shared<OutputStream>();
  state_->output->onMain = std::make_shared<const OutputHandler>(std::move(onMain));
}

void Task::setTerminationHandler(std::shared_ptr<MainQueue> queue, TerminationHandler onMain) {
  state_->terminationQueue = std::move(queue);
  state_->onTermination = std::move(onMain);
}

void Task::clearOutputHandler() {
  State& s = *state_;
  if (s.output) s.output->onMain.reset();  // chunks already posted now find no handler
  s.output.reset();
  s.outputQueue.reset();
}

bool Task::launch() {
  State& s = *state_;
  const TaskOptions& o = s.options;
  if (s.pid != -1 || s.launchError != 0) return false;  // a task is launched at most once

  const bool reads = s.output && s.outputQueue;
  const bool watches = s.onTermination && s.terminationQueue;
  // The watcher carries the ended task to its handler, so the task must be shared.
  std::shared_ptr<Task> self = watches ? weak_from_this().lock() : nullptr;
  if ((watches && !self) || (reads && o.standardOutput != StandardStream::Pipe) ||
      o.standardError == StandardStream::Pipe) {
    s.launchError = EINVAL;
    return false;
  }

  int outputPipe[2] = {-1, -1};
  if (o.standardOutput == StandardStream::Pipe && !openPipe(outputPipe)) {
    s.launchError = errno;
    return false;
  }
  int& readEnd = outputPipe[0];
  int& writeEnd = outputPipe[1];

  SpawnActions actions;
  actions.require(posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0));
  if (o.standardOutput == StandardStream::NullDevice) {
    actions.require(posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0));
  } else if (o.standardOutput == StandardStream::Pipe) {
    actions.require(posix_spawn_file_actions_adddup2(actions.get(), writeEnd, 1));
  }
  if (o.standardError == StandardStream::NullDevice) {
    actions.require(posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0));
  }
  if (o.workingDirectory) {
#ifdef ZP_HAVE_ADDCHDIR
    actions.require(posix_spawn_file_actions_addchdir_np(actions.get(), o.workingDirectory->c_str()));
#else
#error "posix_spawn_file_actions_addchdir_np is required"
#endif
  }
#ifdef ZP_HAVE_ADDCLOSEFROM
  // Last, so that only 0, 1 and 2 survive whatever the launcher has open.
  actions.require(posix_spawn_file_actions_addclosefrom_np(actions.get(), 3));
#endif

  SpawnAttributes attr;
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;  // macOS: the same guarantee as closefrom
#endif
  if (o.processGroup == ProcessGroup::OwnGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    attr.require(posix_spawnattr_setpgroup(attr.get(), 0));
  }
  const sigset_t defaults = everyCatchableSignal();
  sigset_t emptyMask;
  sigemptyset(&emptyMask);
  attr.require(posix_spawnattr_setsigdefault(attr.get(), &defaults));
  attr.require(posix_spawnattr_setsigmask(attr.get(), &emptyMask));
  attr.require(posix_spawnattr_setflags(attr.get(), flags));

  if (!actions.ok() || !attr.ok()) {
    closeDescriptor(readEnd);
    closeDescriptor(writeEnd);
    s.launchError = ENOMEM;
    return false;
  }

  std::vector<char*> argv;
  argv.reserve(o.arguments.size() + 2);
  argv.push_back(const_cast<char*>(o.executable.c_str()));
  for (const auto& argument : o.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> variables;
  variables.reserve(o.environment.size());
  for (const auto& [name, value] : o.environment) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  envp.reserve(variables.size() + 1);
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, o.executable.c_str(), actions.get(), attr.get(), argv.data(), envp.data());
  // Only the child may hold the write end, so end of file comes when the service side closes.
  closeDescriptor(writeEnd);
  if (rc != 0) {
    closeDescriptor(readEnd);
    s.launchError = rc;
    return false;
  }
  s.pid = pid;
  s.running = true;
  s.readEnd = readEnd;

  if (watches) {
    // Holds the task until its handler has run, even if every other owner has let it go:
    // the handler is promised the task that ended.
    std::shared_ptr<MainQueue> queue = s.terminationQueue;
    std::shared_ptr<State> state = state_;
    try {
      std::thread([pid, queue = std::move(queue), state = std::move(state), self = std::move(self)]() mutable {
        // Observe the end without reaping, so the pid stays ours until the main thread takes
        // the status: terminate() can never signal a reused pid. An error (the child was
        // reaped elsewhere) counts as the end.
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
        }
        state->running = false;
        state.reset();
        queue->post([task = std::move(self)] {
          State& ended = *task->state_;
          ended.reap();
          TerminationHandler handler = std::move(ended.onTermination);
          ended.onTermination = nullptr;
          if (handler) handler(task);
        });
      }).detach();
    } catch (const std::system_error&) {
      // No thread to be had (resources exhausted): the process runs, but its end is not
      // reported. The launch itself did happen, so it is not reported as failed.
    }
  }

  if (reads) {
    std::shared_ptr<MainQueue> queue = s.outputQueue;
    std::shared_ptr<OutputStream> stream = s.output;
    const int fd = s.readEnd;
    try {
      std::thread(readOutput, fd, queue, stream).detach();
      s.readEnd = -1;
    } catch (const std::system_error&) {
      // Without a reader the output ends here: the service sees a closed pipe.
      closeDescriptor(s.readEnd);
      post(*queue, stream, std::vector<std::string>(1));
    }
  }
  return true;
}

int Task::launchError() const { return state_->launchError; }

bool Task::isRunning() const { return state_->running; }

int Task::processIdentifier() const { return state_->pid; }

void Task::terminate() {
  const State& s = *state_;
  if (s.pid > 0 && !s.reaped) kill(s.pid, SIGTERM);
}

void Task::waitUntilExit() {
  State& s = *state_;
  if (s.pid <= 0) return;
  s.reap();
}

ExitStatus Task::exitStatus() const { return state_->exit; }

}  // namespace zp::platform
