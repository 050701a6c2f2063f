#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zp::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& contents, bool executable = false);
std::string readFile(const std::filesystem::path& path);
std::vector<std::string> splitLines(const std::string& text);
// The complete lines of a file (none when it is missing); an unfinished last line is left out.
std::vector<std::string> readLines(const std::filesystem::path& path);

// An Info.plist in XML whose dictionary holds `entries` verbatim (already-formed XML).
std::string infoPlistXml(const std::string& entries);
// The same property list converted to the binary format with plistutil.
std::string toBinaryPlist(const std::string& xml);

struct ProcessResult {
  std::string out;
  std::string err;
  bool signaled = false;
  int status = -1;  // the exit code, or the signal's number when signaled
};

struct RunOptions {
  std::vector<std::string> environment{};  // "NAME=value", complete
  std::optional<std::filesystem::path> workingDirectory{};
  double timeoutSeconds = 20;
};

// Runs `argv` (argv[0] is the program) with stdin at end of file, capturing both outputs.
ProcessResult runProcess(const std::vector<std::string>& argv, const RunOptions& options);

}  // namespace zp::test

namespace zp::test {

// A Python script (run by Debian's /usr/bin/python3) that plays a child: it records what it was
// given into `recordDir`, writes "recorder out" and "recorder err" to its outputs, then runs
// `then` (Python statements, for example "sys.exit(3)").
std::string recorderScript(const std::filesystem::path& recordDir, const std::string& then = "sys.exit(0)");

struct Record {
  bool present = false;
  std::vector<std::string> arguments;    // after the program name
  std::vector<std::string> environment{};  // "NAME=value", as exec'd, sorted
  std::string workingDirectory;
  std::string standardInput;             // what fd 0 points to
  std::string standardOutput;            // what fd 1 points to ("pipe:[…]" for a pipe)
  std::string standardError;             // what fd 2 points to
  std::size_t standardInputBytes = 0;    // bytes read from it
  std::vector<int> openDescriptors;      // every open descriptor
  std::string ignoredSignals;            // SigIgn from /proc/self/status (Python itself ignores
                                         // SIGPIPE and SIGXFSZ before it runs the script)
  std::string blockedSignals;            // SigBlk
  bool ownProcessGroup = false;          // its process group is its own pid
};
Record readRecord(const std::filesystem::path& recordDir);
// Whether the recorded child started with `signal` ignored.
bool ignores(const Record& record, int signal);

}  // namespace zp::test

namespace zp::test {

// A child process the test starts and later waits for; its outputs go to files in `logDir`.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const RunOptions& options, const std::filesystem::path& logDir);
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int pid() const { return pid_; }
  // Waits up to `seconds` for the end; the exit code, or 128 + the signal's number.
  std::optional<int> waitFor(double seconds);
  bool running();

 private:
  int pid_ = -1;
  std::optional<int> status_;
};

// Polls `condition` every 20 ms for up to `seconds`.
bool eventually(const std::function<bool()>& condition, double seconds = 30);

}  // namespace zp::test
