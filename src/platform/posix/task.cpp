#include "platform/task.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace zp::platform {
namespace {

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

}  // namespace

struct Task::State {
  TaskOptions options;
  pid_t pid = -1;
  int launchError = 0;
  bool running = false;
  ExitStatus exit;
};

Task::Task(TaskOptions options) : state_(std::make_shared<State>()) { state_->options = std::move(options); }

Task::~Task() = default;

bool Task::launch() {
  State& s = *state_;
  const TaskOptions& o = s.options;
  if (s.pid != -1 || s.launchError != 0) return false;  // a task is launched at most once

  SpawnActions actions;
  actions.require(posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0));
  if (o.standardOutput == StandardStream::NullDevice) {
    actions.require(posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0));
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
  if (rc != 0) {
    s.launchError = rc;
    return false;
  }
  s.pid = pid;
  s.running = true;
  return true;
}

int Task::launchError() const { return state_->launchError; }

bool Task::isRunning() const { return state_->running; }

int Task::processIdentifier() const { return state_->pid; }

void Task::waitUntilExit() {
  State& s = *state_;
  if (!s.running) return;
  int status = 0;
  pid_t rc = -1;
  do {
    rc = waitpid(s.pid, &status, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc == s.pid) s.exit = decode(status);
  s.running = false;
}

ExitStatus Task::exitStatus() const { return state_->exit; }

}  // namespace zp::platform
