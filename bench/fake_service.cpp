// The service the benchmarks run in place of the bundle's Python runtime. Started by a launcher
// (as python/bin/python3, with the launcher's own arguments) it takes its orders from
// zp-bench-service.conf in its working directory; started directly, from its arguments.
//
//   ready PRE_US POST_US  sleep PRE_US, timestamp, write the ready line, sleep POST_US, note
//                         the timestamp in zp-bench-times, then wait for SIGTERM (held back
//                         until the note is written). The sleeps let every reader block first
//                         and keep the note's write out of the readers' way; waiting keeps the
//                         service running however late its line is handled.
//   idle                  note the time of its first instruction, write the ready line, then
//                         wait for SIGTERM (default action).
//   flood plain|json N    N bytes of whole lines in 8 KiB writes, then exit 0.
//
// Linked statically and kept to plain system calls, so its first instruction comes right
// after exec and its writes cost what a write costs.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string_view>
#include <vector>

#include "bench_lines.h"

namespace {

std::uint64_t ns(const timespec& t) {
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000U + static_cast<std::uint64_t>(t.tv_nsec);
}

bool writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool writeAll(int fd, std::string_view text) { return writeAll(fd, text.data(), text.size()); }

void note(const char* text) {
  const int fd = ::open(ZP_BENCH_TIMES, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  writeAll(fd, std::string_view(text));
  ::close(fd);
}

void sleepMicroseconds(long us) {
  timespec t{us / 1000000, (us % 1000000) * 1000};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

int flood(std::string_view line, unsigned long long total) {
  const std::size_t period = std::lcm(line.size(), std::size_t{ZP_BENCH_BLOCK});
  std::vector<char> bytes(period + ZP_BENCH_BLOCK);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = line[i % line.size()];
  total -= total % line.size();  // whole lines only
  std::size_t at = 0;
  while (total > 0) {
    const std::size_t n = total < ZP_BENCH_BLOCK ? static_cast<std::size_t>(total) : std::size_t{ZP_BENCH_BLOCK};
    if (!writeAll(1, bytes.data() + at, n)) return 1;
    at = (at + n) % period;
    total -= n;
  }
  return 0;
}

int run(int argc, char** argv, const timespec& first) {
  const std::string_view order = argc >= 1 ? argv[0] : "";
  if (order == "ready") {
    const long pre = argc >= 2 ? std::atol(argv[1]) : 3000;
    const long post = argc >= 3 ? std::atol(argv[2]) : 2000;
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    sleepMicroseconds(pre);
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    if (!writeAll(1, ZP_BENCH_READY_LINE)) return 1;
    sleepMicroseconds(post);
    char text[64];
    std::snprintf(text, sizeof text, "line %llu\n", static_cast<unsigned long long>(ns(t)));
    note(text);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);  // a SIGTERM already sent ends it here
    for (;;) ::pause();
  }
  if (order == "idle") {
    char text[64];
    std::snprintf(text, sizeof text, "first %llu\n", static_cast<unsigned long long>(ns(first)));
    note(text);
    if (!writeAll(1, ZP_BENCH_READY_LINE)) return 1;
    for (;;) ::pause();
  }
  if (order == "flood" && argc >= 3) {
    const std::string_view line = std::string_view(argv[1]) == "json" ? ZP_BENCH_JSON_LINE : ZP_BENCH_PLAIN_LINE;
    return flood(line, std::strtoull(argv[2], nullptr, 10));
  }
  std::fputs("fake_service: unknown orders\n", stderr);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  timespec first{};
  ::clock_gettime(CLOCK_MONOTONIC, &first);

  // Run by a launcher: the first argument is the interpreter's "-I".
  if (argc >= 2 && std::string_view(argv[1]) == "-I") {
    char conf[256];
    const int fd = ::open(ZP_BENCH_CONF, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 65;
    const ssize_t n = ::read(fd, conf, sizeof conf - 1);
    ::close(fd);
    if (n <= 0) return 65;
    conf[n] = '\0';
    char* words[8];
    int count = 0;
    char* save = nullptr;
    for (char* w = ::strtok_r(conf, " \t\n", &save); w != nullptr && count < 8; w = ::strtok_r(nullptr, " \t\n", &save)) {
      words[count++] = w;
    }
    return run(count, words, first);
  }
  return run(argc - 1, argv + 1, first);
}
