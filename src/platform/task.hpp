#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zp::platform {

// A complete environment: the child receives exactly these variables and nothing else.
using Environment = std::vector<std::pair<std::string, std::string>>;

enum class StandardStream { Inherit, NullDevice };
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
class Task {
 public:
  explicit Task(TaskOptions options);
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Starts the process. False when it did not start (missing or non-executable program, a
  // working directory that cannot be entered, ...); launchError() then holds the errno value.
  bool launch();
  int launchError() const;

  // True from a successful launch until the exit has been taken.
  bool isRunning() const;
  int processIdentifier() const;

  // Blocks until the process has ended and takes its status.
  void waitUntilExit();
  // Valid once the exit has been taken.
  ExitStatus exitStatus() const;
  int terminationStatus() const { return exitStatus().terminationStatus(); }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace zp::platform
