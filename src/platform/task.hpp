#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/main_queue.hpp"

namespace zp::platform {

// A complete environment: the child receives exactly these variables and nothing else.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Pipe is for standard output only: the launcher reads it through the output handler.
enum class StandardStream { Inherit, NullDevice, Pipe };
enum class ProcessGroup { Inherit, OwnGroup };

struct TaskOptions {
  std::string executable{};             // absolute path; never searched for on PATH
  std::vector<std::string> arguments{}; // after the program name, passed as separate items
  std::optional<std::string> workingDirectory{};  // unset: the launcher's own
  Environment environment{};
  StandardStream standardOutput = StandardStream::Inherit;
  StandardStream standardError = StandardStream::Inherit;
  ProcessGroup processGroup = ProcessGroup::Inherit;
};

// How a process ended: with an exit code, or by a signal.
struct ExitStatus {
  enum class Kind { Exited, Signaled };
  Kind kind = Kind::Exited;
  int value = 0;  // the exit code, or the signal's number

  // The platform's single termination status: the exit code, or the signal's number.
  int terminationStatus() const { return value; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

// A child process. Standard input is always the null device; no descriptor but 0, 1 and 2
// reaches the child, and every signal disposition and the signal mask start at their defaults.
//
// With standard output on a pipe, a reader thread of this launch reads it (at most 16384
// bytes a read) and hands each non-empty chunk, in stream order, to the output handler on the
// main queue, then one empty chunk for end of file, after which it ends. Chunks the pipe
// already holds travel to the main thread together (a few at most, each still handed over on
// its own), and only a few such batches are in flight at once, so a service that writes faster
// than the launcher reads is held back by the pipe. A read error other than EINTR counts as
// end of file.
//
// An exit watcher of this launch observes the end of the process without reaping it and hands
// the ended task to the termination handler on the main queue; the status is taken there,
// just before the handler runs. Until then the process id cannot be reused, so terminate()
// can never reach another process.
//
// Handlers run on the main thread only. The background threads touch only the task's own
// shared state and the queue, both kept alive by them; a thread may still be blocked (a
// grandchild holding the pipe open) when the application ends.
class Task : public std::enable_shared_from_this<Task> {
 public:
  using OutputHandler = std::function<void(std::string chunk)>;
  using TerminationHandler = std::function<void(const std::shared_ptr<Task>& ended)>;

  explicit Task(TaskOptions options);
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Set before launch(). The output handler needs StandardStream::Pipe for standard output;
  // the termination handler needs the task to be owned by a std::shared_ptr.
  void setOutputHandler(std::shared_ptr<MainQueue> queue, OutputHandler onMain);
  void setTerminationHandler(std::shared_ptr<MainQueue> queue, TerminationHandler onMain);
  // Drops the output handler; it is not called again.
  void clearOutputHandler();

  // Starts the process. False when it did not start (missing or non-executable program, a
  // working directory that cannot be entered, ...); launchError() then holds the errno value,
  // and neither handler is ever called.
  bool launch();
  int launchError() const;

  // True from a successful launch until the end of the process has been observed.
  bool isRunning() const;
  int processIdentifier() const;

  // Sends SIGTERM, only while the process has not been reaped; returns at once.
  void terminate();

  // Blocks until the process has ended and takes its status. For a task without a
  // termination handler (the self-check).
  void waitUntilExit();
  // Valid once the exit has been taken.
  ExitStatus exitStatus() const;
  int terminationStatus() const { return exitStatus().terminationStatus(); }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace zp::platform
