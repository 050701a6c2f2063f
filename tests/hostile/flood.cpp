// A hostile service for the flood test, installed as the bundle's runtime (its arguments are
// the launcher's plan and are ignored): writes 1 GiB of short lines (100 to 400 bytes) to standard output, none of
// which may change anything, then one ready line, records in $HOME/flood-written how many bytes
// went out, and waits for SIGTERM, on which it exits with 0. It gives up after 120 s of
// waiting, so it never outlives a failed test for long.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

constexpr unsigned long long kFloodBytes = 1ULL << 30;

bool writeAll(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// 64 KiB of lines of 100 to 400 bytes: progress objects the reader skips unparsed, objects it
// must parse (a refused address, a status it does not know, an array), and plain text. None is
// longer than 48 KiB, so however the pipe splits them the launcher may never refuse the stream.
std::string block() {
  std::string out;
  for (int i = 0; out.size() < 65536; ++i) {
    const std::string n = std::to_string(i);
    const std::string pad(static_cast<std::size_t>(60 + (i * 37) % 300), 'x');
    switch (i % 5) {
      case 0: out += R"({"status":"progress","n":)" + n + R"(,"pad":")" + pad + R"("})"; break;
      case 1: out += R"({"status":"ready","url":"http://localhost:)" + n + R"(/","pad":")" + pad + R"("})"; break;
      case 2: out += R"({"status":"starting","n":)" + n + R"(,"pad":")" + pad + R"("})"; break;
      case 3: out += "log line " + n + " without any JSON at all " + pad; break;
      default: out += R"(["status","busy",)" + n + R"(,")" + pad + R"("])"; break;
    }
    out.push_back('\n');
  }
  return out;
}

}  // namespace

int main() {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);

  const std::string lines = block();
  unsigned long long written = 0;
  while (written < kFloodBytes) {
    const std::size_t size = static_cast<std::size_t>(
        kFloodBytes - written < lines.size() ? kFloodBytes - written : lines.size());
    // A partial last block ends inside a line; the ready line then starts on a line of its own.
    if (!writeAll(lines.data(), size)) return 3;
    written += size;
  }
  const std::string ready = "\n{\"status\":\"ready\",\"url\":\"http://127.0.0.1:8765/\"}\n";
  if (!writeAll(ready.data(), ready.size())) return 3;

  if (const char* home = std::getenv("HOME")) {
    const std::string path = std::string(home) + "/flood-written";
    if (std::FILE* f = std::fopen(path.c_str(), "w")) {
      std::fprintf(f, "%llu", written);
      std::fclose(f);
    }
  }

  const timespec limit{120, 0};
  for (;;) {
    const int sig = sigtimedwait(&term, nullptr, &limit);
    if (sig == SIGTERM) return 0;
    if (sig < 0 && errno == EINTR) continue;
    return 4;  // nobody asked in time
  }
}
