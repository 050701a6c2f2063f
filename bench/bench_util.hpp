// Small helpers the live measurements share: the clock, starting and reaping processes, /proc,
// temporary folders, statistics and a JSON printer.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace zp::bench {

namespace fs = std::filesystem;

inline std::uint64_t nowNs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000U + static_cast<std::uint64_t>(t.tv_nsec);
}

inline void sleepMs(double ms) {
  const auto total = static_cast<long>(ms * 1e6);
  timespec t{total / 1000000000L, total % 1000000000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

// A measurement that cannot go on. Thrown, so that temporary folders are removed on the way out;
// each main() reports it and ends with 1.
[[noreturn]] inline void fail(const std::string& what) { throw std::runtime_error(what); }

inline std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeText(const fs::path& path, const std::string& text, bool executable = false) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) fail("cannot write " + path.string());
  }
  if (executable) fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const char* stem = "zp-bench") {
    std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Where a started process's standard streams go: a descriptor of ours, or /dev/null.
struct Streams {
  int in = -1;   // -1: /dev/null
  int out = -1;  // -1: /dev/null
  int err = -1;  // -1: /dev/null
};

// posix_spawn with the given streams, working directory and complete environment (nothing:
// ours). Only 0, 1 and 2 reach the child.
inline pid_t spawn(const std::vector<std::string>& argv, const Streams& streams = {},
                   const std::optional<std::string>& cwd = std::nullopt,
                   const std::optional<std::vector<std::string>>& env = std::nullopt) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  auto route = [&actions](int from, int to, int flags) {
    if (from >= 0) {
      posix_spawn_file_actions_adddup2(&actions, from, to);
    } else {
      posix_spawn_file_actions_addopen(&actions, to, "/dev/null", flags, 0);
    }
  };
  route(streams.in, 0, O_RDONLY);
  route(streams.out, 1, O_WRONLY);
  route(streams.err, 2, O_WRONLY);
  if (cwd) posix_spawn_file_actions_addchdir_np(&actions, cwd->c_str());
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> vars;
  if (env) {
    for (const auto& v : *env) vars.push_back(const_cast<char*>(v.c_str()));
    vars.push_back(nullptr);
  }
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv.at(0).c_str(), &actions, nullptr, args.data(), env ? vars.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) fail("cannot start " + argv.at(0) + ": " + std::strerror(rc));
  return pid;
}

// The exit code, or 128 + the signal's number.
inline int waitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Waits up to `seconds`; nothing if the process is still running then.
inline std::optional<int> waitExitFor(pid_t pid, double seconds) {
  const std::uint64_t end = nowNs() + static_cast<std::uint64_t>(seconds * 1e9);
  for (;;) {
    int status = 0;
    const pid_t rc = ::waitpid(pid, &status, WNOHANG);
    if (rc == pid) return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    if (rc < 0 && errno != EINTR) return -1;
    if (nowNs() >= end) return std::nullopt;
    sleepMs(2);
  }
}

// Ends a process we started: SIGTERM, then SIGKILL if it has not gone within `seconds`.
inline int stop(pid_t pid, double seconds = 10) {
  ::kill(pid, SIGTERM);
  if (auto status = waitExitFor(pid, seconds)) return *status;
  ::kill(pid, SIGKILL);
  return waitExit(pid);
}

inline int openWrite(const char* path) { return ::open(path, O_WRONLY | O_CLOEXEC); }

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"), or -1.
inline long statusKiB(const std::string& statusPath, std::string_view field) {
  std::ifstream in(statusPath);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, field.size(), field) == 0 && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return -1;
}
inline long selfKiB(std::string_view field) { return statusKiB("/proc/self/status", field); }
inline long processKiB(pid_t pid, std::string_view field) {
  return statusKiB("/proc/" + std::to_string(pid) + "/status", field);
}

// Resets the peak RSS of this process to its current RSS (Linux: "5" into clear_refs).
inline bool resetPeakRss() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return ok;
}

// Waits until `path` holds a line starting with `key ` and returns its number.
inline std::optional<std::uint64_t> waitForNote(const fs::path& path, std::string_view key, double seconds) {
  const std::uint64_t end = nowNs() + static_cast<std::uint64_t>(seconds * 1e9);
  for (;;) {
    const std::string text = readText(path);
    if (!text.empty() && text.back() == '\n' && text.compare(0, key.size(), key) == 0) {
      return std::strtoull(text.c_str() + key.size() + 1, nullptr, 10);
    }
    if (nowNs() >= end) return std::nullopt;
    sleepMs(1);
  }
}

struct Summary {
  double median = 0, p90 = 0, p99 = 0, min = 0, max = 0, mean = 0;
  std::size_t count = 0;
};

inline double quantile(std::vector<double> sorted, double q) {
  if (sorted.empty()) return 0;
  std::sort(sorted.begin(), sorted.end());
  // Nearest rank: the smallest value with at least q of the samples at or below it.
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

inline Summary summarize(const std::vector<double>& values) {
  Summary s;
  s.count = values.size();
  if (values.empty()) return s;
  s.median = quantile(values, 0.5);
  s.p90 = quantile(values, 0.9);
  s.p99 = quantile(values, 0.99);
  s.min = *std::min_element(values.begin(), values.end());
  s.max = *std::max_element(values.begin(), values.end());
  double sum = 0;
  for (double v : values) sum += v;
  s.mean = sum / static_cast<double>(values.size());
  return s;
}

// A flat JSON object printer: enough for the figures handed to the table script.
class Json {
 public:
  Json& num(const std::string& key, double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return raw(key, std::isfinite(value) ? text : "null");
  }
  Json& integer(const std::string& key, long long value) { return raw(key, std::to_string(value)); }
  Json& boolean(const std::string& key, bool value) { return raw(key, value ? "true" : "false"); }
  Json& str(const std::string& key, const std::string& value) {
    std::string quoted = "\"";
    for (char c : value) {
      if (c == '"' || c == '\\') quoted += '\\';
      if (static_cast<unsigned char>(c) < 0x20) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
        quoted += esc;
        continue;
      }
      quoted += c;
    }
    return raw(key, quoted + "\"");
  }
  Json& summary(const std::string& key, const Summary& s) {
    Json inner;
    inner.num("median", s.median).num("p90", s.p90).num("p99", s.p99).num("min", s.min).num("max", s.max);
    inner.num("mean", s.mean).integer("count", static_cast<long long>(s.count));
    return raw(key, inner.text());
  }
  Json& object(const std::string& key, const Json& inner) { return raw(key, inner.text()); }
  Json& raw(const std::string& key, const std::string& value) {
    items_.push_back("\"" + key + "\":" + value);
    return *this;
  }
  std::string text() const {
    std::string out = "{";
    for (std::size_t i = 0; i < items_.size(); ++i) out += (i ? "," : "") + items_[i];
    return out + "}";
  }

 private:
  std::vector<std::string> items_;
};

}  // namespace zp::bench
