#pragma once

#include <memory>
#include <string>

namespace zp::platform {

// At most one windowed launcher per bundle and user. The first start takes a lock in a
// directory only this user can reach and listens on a local socket beside it; a later start
// of the same bundle finds the lock taken, hands "re-open" to the running instance through the
// socket and ends. The lock is taken before the socket is touched, so two starts at the same
// moment still give exactly one instance, and a crashed instance's lock dies with it, so its
// stale socket never blocks a new start.
class SingleInstance {
 public:
  enum class Role {
    Primary,    // this process is the instance; re-open requests arrive on listeningDescriptor()
    Secondary,  // another instance runs: call requestReopen() and end
  };

  // `key` names the bundle (its real path). When no private directory can be had, the
  // process is Primary without a socket, so a start is never refused for it.
  static std::unique_ptr<SingleInstance> acquire(const std::string& key);
  virtual ~SingleInstance() = default;

  virtual Role role() const = 0;

  // Secondary: asks the running instance to re-open; true once it has answered.
  virtual bool requestReopen() = 0;

  // Primary: the listening socket (non-blocking, close-on-exec), or -1 without one. When it is
  // readable, call acceptReopen().
  virtual int listeningDescriptor() const = 0;
  // Primary: takes one waiting connection; true when it was a re-open request (answered).
  virtual bool acceptReopen() = 0;
};

}  // namespace zp::platform
