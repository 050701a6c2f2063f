#pragma once

namespace zp::platform::qt {

// SIGINT, SIGTERM and SIGHUP turned into bytes on a pipe, one byte per signal, so that the
// event loop can answer them as terminate requests outside the handler. One at a time per
// process; the previous dispositions come back when it is destroyed.
class SignalPipe {
 public:
  SignalPipe();
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  // The read end (non-blocking, close-on-exec), or -1 when no pipe could be had; then the
  // signals keep their previous dispositions.
  int readDescriptor() const { return readEnd_; }
  // Takes one delivered signal; false when none is waiting.
  bool takeOne();

 private:
  int readEnd_ = -1;
  bool installed_ = false;
};

}  // namespace zp::platform::qt
