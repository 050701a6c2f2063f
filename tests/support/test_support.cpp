#include "support/test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zp::test {

namespace {

// Starts `argv` with stdin at end of file; `redirect` adds the child's other file actions.
pid_t spawn(const std::vector<std::string>& argv, const RunOptions& options,
            const std::function<void(posix_spawn_file_actions_t*)>& redirect) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  redirect(&actions);
  if (options.workingDirectory) posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory->c_str());
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& e : options.environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

}  // namespace

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> readLines(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) return {};
  // Another process may be writing the file: a line counts once its line feed is there.
  std::string text = readFile(path);
  const std::size_t lastFeed = text.rfind('\n');
  text.resize(lastFeed == std::string::npos ? 0 : lastFeed + 1);
  return splitLines(text);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zp-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = std::filesystem::canonical(pattern);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, const std::string& contents, bool executable) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
  if (executable) {
    std::filesystem::permissions(path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
  }
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

std::string infoPlistXml(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n"
         "\t<key>CFBundleExecutable</key>\n\t<string>ZorvikPellwyn</string>\n" +
         entries + "</dict>\n</plist>\n";
}

std::string toBinaryPlist(const std::string& xml) {
  TempDir dir;
  writeFile(dir.path() / "in.plist", xml);
  const ProcessResult r = runProcess({"/usr/bin/plistutil", "-i", (dir.path() / "in.plist").string(), "-o",
                                      (dir.path() / "out.plist").string(), "-f", "bin"},
                                     {.environment = {"PATH=/usr/bin:/bin"}});
  if (r.signaled || r.status != 0) throw std::runtime_error("plistutil failed: " + r.err);
  std::string binary = readFile(dir.path() / "out.plist");
  if (binary.rfind("bplist00", 0) != 0) throw std::runtime_error("plistutil wrote no binary plist");
  return binary;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const RunOptions& options) {
  std::array<int, 2> out{};
  std::array<int, 2> err{};
  if (pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe");

  const pid_t pid = spawn(argv, options, [&](posix_spawn_file_actions_t* actions) {
    posix_spawn_file_actions_adddup2(actions, out[1], 1);
    posix_spawn_file_actions_adddup2(actions, err[1], 2);
  });
  const int rc = pid > 0 ? 0 : -1;
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }

  ProcessResult result;
  std::array<pollfd, 2> fds{{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&result.out, &result.err};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
  int open = 2;
  bool timedOut = false;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) throw std::runtime_error(argv[0] + " did not end in time");
  result.signaled = WIFSIGNALED(status);
  result.status = result.signaled ? WTERMSIG(status) : WEXITSTATUS(status);
  return result;
}

}  // namespace zp::test

namespace zp::test {

std::string recorderScript(const std::filesystem::path& recordDir, const std::string& then) {
  return "#!/usr/bin/python3\n"
         "import os, sys\n"
         "d = " + std::string("'") + recordDir.string() + "'\n" +
         R"PY(os.makedirs(d, exist_ok=True)
def put(name, data):
    with open(os.path.join(d, name + '.tmp'), 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode('utf-8', 'surrogateescape'))
    os.rename(os.path.join(d, name + '.tmp'), os.path.join(d, name))
fds = []
for fd in range(0, 1024):
    try:
        os.fstat(fd)
        fds.append(fd)
    except OSError:
        pass
put('fds', ' '.join(map(str, fds)))
put('stdin', os.readlink('/proc/self/fd/0'))
put('stdout', os.readlink('/proc/self/fd/1'))
put('stderr', os.readlink('/proc/self/fd/2'))
put('stdin_bytes', str(len(os.read(0, 4096))))
with open('/proc/self/environ', 'rb') as f:
    put('environ', f.read())
put('cwd', os.getcwd())
put('pgrp', 'own' if os.getpgrp() == os.getpid() else 'inherited')
with open('/proc/self/status') as f:
    status = dict(line.rstrip('\n').split(':\t', 1) for line in f if ':\t' in line)
put('sigign', status['SigIgn'])
put('sigblk', status['SigBlk'])
put('argv', b'\0'.join(os.fsencode(a) for a in sys.argv[1:]))
sys.stdout.write('recorder out\n'); sys.stdout.flush()
sys.stderr.write('recorder err\n'); sys.stderr.flush()
)PY" + then + "\n";
}

namespace {
std::vector<std::string> splitNul(const std::string& bytes) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    items.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return items;
}
}  // namespace

Record readRecord(const std::filesystem::path& recordDir) {
  Record r;
  if (!std::filesystem::exists(recordDir / "argv")) return r;
  r.present = true;
  r.arguments = splitNul(readFile(recordDir / "argv"));
  r.environment = splitNul(readFile(recordDir / "environ"));
  std::sort(r.environment.begin(), r.environment.end());
  r.workingDirectory = readFile(recordDir / "cwd");
  r.standardInput = readFile(recordDir / "stdin");
  r.standardOutput = readFile(recordDir / "stdout");
  r.standardError = readFile(recordDir / "stderr");
  r.standardInputBytes = std::stoul(readFile(recordDir / "stdin_bytes"));
  std::istringstream fds(readFile(recordDir / "fds"));
  for (int fd = 0; fds >> fd;) r.openDescriptors.push_back(fd);
  r.ignoredSignals = readFile(recordDir / "sigign");
  r.blockedSignals = readFile(recordDir / "sigblk");
  r.ownProcessGroup = readFile(recordDir / "pgrp") == "own";
  return r;
}

bool ignores(const Record& record, int signal) {
  return ((std::stoull(record.ignoredSignals, nullptr, 16) >> (signal - 1)) & 1u) != 0;
}

}  // namespace zp::test

namespace zp::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const RunOptions& options,
                           const std::filesystem::path& logDir) {
  std::filesystem::create_directories(logDir);
  pid_ = spawn(argv, options, [&](posix_spawn_file_actions_t* actions) {
    posix_spawn_file_actions_addopen(actions, 1, (logDir / "stdout").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(actions, 2, (logDir / "stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  });
  const int rc = pid_ > 0 ? 0 : -1;
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    kill(pid_, SIGKILL);
    waitFor(30);
  }
}

std::optional<int> ChildProcess::waitFor(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!status_) {
    int status = 0;
    const pid_t rc = waitpid(pid_, &status, WNOHANG);
    if (rc == pid_) {
      status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      break;
    }
    if (rc < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    usleep(10000);
  }
  return status_;
}

bool ChildProcess::running() { return !waitFor(0); }

bool eventually(const std::function<bool()>& condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(20000);
  }
  return true;
}

}  // namespace zp::test
