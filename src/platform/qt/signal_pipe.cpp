#include "platform/qt/signal_pipe.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

namespace zp::platform::qt {
namespace {

constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};

// The pipe is made once per process and never closed: a handler still running on another
// thread while a SignalPipe goes away must never write into a reused descriptor.
struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
};

Pipe makePipe() {
  int ends[2] = {-1, -1};
#ifdef __APPLE__
  // No pipe2 here; made before the service starts, so the gap before close-on-exec is harmless.
  if (pipe(ends) != 0) return {};
  for (int fd : ends) {
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
      close(ends[0]);
      close(ends[1]);
      return {};
    }
  }
#else
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return {};
#endif
  return {ends[0], ends[1]};
}

const Pipe& processPipe() {
  static const Pipe pipe = makePipe();
  return pipe;
}

std::atomic<int> gWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free descriptor");

std::array<struct sigaction, kSignals.size()> gPrevious{};

extern "C" void onTerminateSignal(int) {
  const int savedErrno = errno;
  const int fd = gWriteEnd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);  // a full pipe already holds requests
  }
  errno = savedErrno;
}

}  // namespace

SignalPipe::SignalPipe() {
  const Pipe& pipe = processPipe();
  if (pipe.readEnd < 0) return;
  readEnd_ = pipe.readEnd;
  while (takeOne()) {
  }  // bytes left from an earlier application object are not requests to this one
  gWriteEnd.store(pipe.writeEnd, std::memory_order_relaxed);

  struct sigaction action {};
  action.sa_handler = onTerminateSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &action, &gPrevious[i]);
  installed_ = true;
}

SignalPipe::~SignalPipe() {
  if (!installed_) return;
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &gPrevious[i], nullptr);
  gWriteEnd.store(-1, std::memory_order_relaxed);
}

bool SignalPipe::takeOne() {
  if (readEnd_ < 0) return false;
  char byte = 0;
  for (;;) {
    const ssize_t n = read(readEnd_, &byte, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace zp::platform::qt
