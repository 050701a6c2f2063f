#include "platform/single_instance.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>

namespace zp::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view kRequest = "reopen\n";
constexpr std::string_view kAnswer = "ok\n";
// The primary reads a request on the main thread: a silent peer may hold it this long.
constexpr milliseconds kRequestDeadline{500};
// A secondary may start between the primary's lock and its listen.
constexpr milliseconds kConnectDeadline{5000};
constexpr milliseconds kConnectRetry{25};
// The primary answers before it hands the re-open on; a busy main thread may delay it.
constexpr milliseconds kAnswerDeadline{10000};

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a vanished peer is EPIPE, never SIGPIPE
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on every socket instead
#endif

void closeDescriptor(int& fd) {
  if (fd >= 0) close(fd);  // not retried on EINTR: the descriptor is gone either way
  fd = -1;
}

#ifndef __linux__
// Close-on-exec and non-blocking (the service child must never inherit the lock or a socket),
// and no SIGPIPE where send() has no flag for it. For systems that cannot set them at creation.
bool prepareSocket(int fd) {
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return false;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
#ifdef SO_NOSIGPIPE
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) return false;
#endif
  return true;
}
#endif

int makeSocket() {
#ifdef __linux__
  return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
#else
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd >= 0 && !prepareSocket(fd)) closeDescriptor(fd);
  return fd;
#endif
}

int acceptConnection(int listener) {
  for (;;) {
#ifdef __linux__
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
#else
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0 && !prepareSocket(fd)) closeDescriptor(fd);
#endif
    if (fd < 0 && errno == EINTR) continue;
    return fd;
  }
}

std::optional<sockaddr_un> socketAddress(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

const sockaddr* asSockaddr(const sockaddr_un& address) {
  // The socket API takes every address family through the generic type.
  return static_cast<const sockaddr*>(static_cast<const void*>(&address));
}

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on `fd` until the deadline; false on timeout or error.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, remainingMs(deadline));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

bool sendAll(int fd, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), kSendFlags);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Reads up to the first newline: at most `limit` bytes, newline included. Nullopt when the
// peer sends more, closes early, or is silent past the deadline.
std::optional<std::string> readLine(int fd, std::size_t limit, Clock::time_point deadline) {
  std::string line;
  char buffer[32];
  while (line.find('\n') == std::string::npos) {
    if (!waitFor(fd, POLLIN, deadline)) return std::nullopt;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return std::nullopt;
    line.append(buffer, static_cast<std::size_t>(n));
    if (line.size() > limit) return std::nullopt;
  }
  return line;
}

// A stable name for the key: FNV-1a, 64 bits, in hex.
std::string keyName(const std::string& key) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : key) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return std::string("zorvik-pellwyn-") + text;
}

// A directory only this user can reach: $XDG_RUNTIME_DIR when it is one, else our own
// directory in /tmp, made 0700 and checked without following a link.
std::optional<std::string> privateDirectory() {
  const uid_t uid = geteuid();
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
    struct stat info {};
    if (stat(runtime, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid && (info.st_mode & 077) == 0) {
      return std::string(runtime);
    }
  }
  const std::string fallback = "/tmp/zorvik-pellwyn-" + std::to_string(uid);
  if (mkdir(fallback.c_str(), 0700) == 0) {
    chmod(fallback.c_str(), 0700);  // whatever the umask took away; checked below all the same
  } else if (errno != EEXIST) {
    return std::nullopt;
  }
  struct stat info {};
  if (lstat(fallback.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid ||
      (info.st_mode & 07777) != 0700) {
    return std::nullopt;  // someone else's, a link, or reachable by others: not ours to trust
  }
  return fallback;
}

class PosixSingleInstance final : public SingleInstance {
 public:
  PosixSingleInstance(Role role, int lockFd, std::string socketPath)
      : role_(role), lockFd_(lockFd), socketPath_(std::move(socketPath)) {}

  ~PosixSingleInstance() override {
    if (listenFd_ >= 0) {
      // Unlinked while the lock is still held, so it can only be our own socket.
      unlink(socketPath_.c_str());
      closeDescriptor(listenFd_);
    }
    closeDescriptor(lockFd_);  // the lock file stays: removing it would let two starts lock two files
  }
  PosixSingleInstance(const PosixSingleInstance&) = delete;
  PosixSingleInstance& operator=(const PosixSingleInstance&) = delete;

  // Primary: replaces any socket a crashed instance left and listens.
  void listen() {
    const std::optional<sockaddr_un> address = socketAddress(socketPath_);
    if (!address) return;
    int fd = makeSocket();
    if (fd < 0) return;
    unlink(socketPath_.c_str());
    if (bind(fd, asSockaddr(*address), sizeof *address) != 0 || ::listen(fd, 16) != 0) {
      closeDescriptor(fd);
      return;
    }
    listenFd_ = fd;
  }

  Role role() const override { return role_; }
  int listeningDescriptor() const override { return listenFd_; }

  bool requestReopen() override {
    if (role_ != Role::Secondary) return false;
    int fd = connectToPrimary();
    if (fd < 0) return false;
    const auto deadline = Clock::now() + kAnswerDeadline;
    const bool answered = sendAll(fd, kRequest, deadline) && readLine(fd, kAnswer.size(), deadline) == kAnswer;
    closeDescriptor(fd);
    return answered;
  }

  bool acceptReopen() override {
    if (listenFd_ < 0) return false;
    int fd = acceptConnection(listenFd_);
    if (fd < 0) return false;  // none waiting, or it went away already
    const auto deadline = Clock::now() + kRequestDeadline;
    const bool isReopen = readLine(fd, kRequest.size(), deadline) == kRequest;
    // The request counts even when its sender has gone before reading the answer.
    if (isReopen) sendAll(fd, kAnswer, deadline);
    closeDescriptor(fd);
    return isReopen;
  }

 private:
  int connectToPrimary() const {
    const std::optional<sockaddr_un> address = socketAddress(socketPath_);
    if (!address) return -1;
    const auto deadline = Clock::now() + kConnectDeadline;
    for (;;) {
      int fd = makeSocket();
      if (fd < 0) return -1;
      int rc = 0;
      do {
        rc = connect(fd, asSockaddr(*address), sizeof *address);
      } while (rc != 0 && errno == EINTR);
      if (rc == 0) return fd;
      const int error = errno;
      closeDescriptor(fd);
      // Not there yet, not listening yet, or its backlog is full: try again for a while.
      const bool transient = error == ENOENT || error == ECONNREFUSED || error == EAGAIN;
      if (!transient || Clock::now() + kConnectRetry >= deadline) return -1;
      std::this_thread::sleep_for(kConnectRetry);
    }
  }

  Role role_;
  int lockFd_;
  std::string socketPath_;
  int listenFd_ = -1;
};

}  // namespace

std::unique_ptr<SingleInstance> SingleInstance::acquire(const std::string& key) {
  const std::optional<std::string> directory = privateDirectory();
  if (!directory) return std::make_unique<PosixSingleInstance>(Role::Primary, -1, std::string());
  const std::string base = *directory + "/" + keyName(key);

  int lockFd = -1;
  do {
    lockFd = open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (lockFd < 0 && errno == EINTR);
  if (lockFd < 0) return std::make_unique<PosixSingleInstance>(Role::Primary, -1, std::string());

  int rc = 0;
  do {
    rc = flock(lockFd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const bool taken = errno == EWOULDBLOCK;
    closeDescriptor(lockFd);
    // A lock that cannot be taken for another reason refuses no start.
    const Role role = taken ? Role::Secondary : Role::Primary;
    return std::make_unique<PosixSingleInstance>(role, -1, taken ? base + ".sock" : std::string());
  }

  auto instance = std::make_unique<PosixSingleInstance>(Role::Primary, lockFd, base + ".sock");
  instance->listen();
  return instance;
}

}  // namespace zp::platform
