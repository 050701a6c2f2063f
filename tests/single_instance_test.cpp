#include "platform/single_instance.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace zp::platform {
namespace {

namespace fs = std::filesystem;
using Role = SingleInstance::Role;
using namespace std::chrono_literals;

const sockaddr* asSockaddr(const sockaddr_un* address) {
  return static_cast<const sockaddr*>(static_cast<const void*>(address));
}

// The path a listening socket is bound to.
std::string boundPath(int fd) {
  sockaddr_un address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, static_cast<sockaddr*>(static_cast<void*>(&address)), &length) != 0) return {};
  return address.sun_path;
}

bool readable(int fd, std::chrono::milliseconds within) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(within.count())) == 1;
}

// What a client other than a secondary instance does: connect, send, maybe hang up.
int connectTo(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, asSockaddr(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads whatever arrives until end of file or the deadline.
std::string readAll(int fd, std::chrono::milliseconds within) {
  std::string all;
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!readable(fd, 100ms)) continue;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    all.append(buffer, static_cast<std::size_t>(n));
  }
  return all;
}

// Ends a forked child's side without running the parent's destructors or test hooks.
[[noreturn]] void endChild(int code) { _exit(code); }

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) savedRuntime_ = old;
    fs::permissions(runtime_.path(), fs::perms::owner_all, fs::perm_options::replace);
    setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
  }
  void TearDown() override {
    if (savedRuntime_) {
      setenv("XDG_RUNTIME_DIR", savedRuntime_->c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
  }

  // A bundle path of its own for each test, so no two tests (or runs) share a lock.
  static std::string key(const std::string& name = "A") {
    return "/Applications/ZP Test " + name + " " + std::to_string(getpid()) + ".app";
  }

  // Drives the primary's side of one re-open: true when acceptReopen took a request.
  static bool acceptOne(SingleInstance& primary) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (readable(primary.listeningDescriptor(), 100ms) && primary.acceptReopen()) return true;
    }
    return false;
  }

  // A later start of the same bundle asks the running one to re-open.
  static void expectReopenAnswered(SingleInstance& primary, const std::string& bundleKey) {
    const auto secondary = SingleInstance::acquire(bundleKey);
    ASSERT_EQ(secondary->role(), Role::Secondary);
    auto answered = std::async(std::launch::async, [&] { return secondary->requestReopen(); });
    EXPECT_TRUE(acceptOne(primary));
    EXPECT_TRUE(answered.get());
  }

  zp::test::TempDir runtime_;

 private:
  std::optional<std::string> savedRuntime_;
};

TEST_F(SingleInstanceTest, FirstStartIsPrimaryAndListensInTheRuntimeDirectory) {
  const auto primary = SingleInstance::acquire(key());
  ASSERT_EQ(primary->role(), Role::Primary);
  const int fd = primary->listeningDescriptor();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fs::path(boundPath(fd)).parent_path(), runtime_.path());
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_FALSE(primary->acceptReopen()) << "nothing is waiting";
  EXPECT_FALSE(primary->requestReopen()) << "a primary has no one to ask";
}

TEST_F(SingleInstanceTest, SameKeyIsSecondaryAndAnotherKeyIsPrimary) {
  const auto primary = SingleInstance::acquire(key());
  ASSERT_EQ(primary->role(), Role::Primary);

  const auto again = SingleInstance::acquire(key());
  EXPECT_EQ(again->role(), Role::Secondary);
  EXPECT_EQ(again->listeningDescriptor(), -1);
  EXPECT_FALSE(again->acceptReopen());

  const auto other = SingleInstance::acquire(key("B"));
  EXPECT_EQ(other->role(), Role::Primary);
  EXPECT_GE(other->listeningDescriptor(), 0);
  EXPECT_NE(boundPath(other->listeningDescriptor()), boundPath(primary->listeningDescriptor()));
}

TEST_F(SingleInstanceTest, SecondaryRequestIsAnsweredByThePrimary) {
  const auto primary = SingleInstance::acquire(key());
  ASSERT_EQ(primary->role(), Role::Primary);
  expectReopenAnswered(*primary, key());
  expectReopenAnswered(*primary, key());  // and again: the primary keeps listening
}

TEST_F(SingleInstanceTest, EndedPrimaryRemovesItsSocketAndFreesTheKey) {
  std::string socketPath;
  {
    const auto primary = SingleInstance::acquire(key());
    socketPath = boundPath(primary->listeningDescriptor());
    ASSERT_TRUE(fs::exists(socketPath));
  }
  EXPECT_FALSE(fs::exists(socketPath));
  const auto next = SingleInstance::acquire(key());
  EXPECT_EQ(next->role(), Role::Primary);
  expectReopenAnswered(*next, key());
}

TEST_F(SingleInstanceTest, ProcessesStartingTogetherGiveExactlyOnePrimary) {
  constexpr int kChildren = 8;
  int go[2], report[2], hold[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(report), 0);
  ASSERT_EQ(pipe(hold), 0);
  const std::string bundleKey = key();

  std::vector<pid_t> children;
  for (int i = 0; i < kChildren; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      close(report[0]);
      close(hold[1]);
      char byte = 0;
      if (read(go[0], &byte, 1) != 0) endChild(2);  // every child wakes at the same end of file
      const auto instance = SingleInstance::acquire(bundleKey);
      const char role = instance->role() == Role::Primary ? 'P' : 'S';
      if (write(report[1], &role, 1) != 1) endChild(3);
      [[maybe_unused]] const ssize_t held = read(hold[0], &byte, 1);  // holds the role until told
      endChild(0);
    }
    children.push_back(pid);
  }
  close(go[0]);
  close(report[1]);
  close(hold[0]);
  close(go[1]);

  std::string roles;
  while (roles.size() < kChildren && readable(report[0], 30s)) {
    char byte = 0;
    if (read(report[0], &byte, 1) != 1) break;
    roles += byte;
  }
  close(hold[1]);
  close(report[0]);
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  ASSERT_EQ(roles.size(), std::size_t{kChildren}) << roles;
  EXPECT_EQ(std::count(roles.begin(), roles.end(), 'P'), 1) << roles;
}

TEST_F(SingleInstanceTest, StaleSocketOfAKilledPrimaryDoesNotBlockANewStart) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const std::string bundleKey = key();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(report[0]);
    const auto instance = SingleInstance::acquire(bundleKey);
    const std::string path = instance->listeningDescriptor() >= 0 ? boundPath(instance->listeningDescriptor()) : "";
    if (write(report[1], path.data(), path.size()) < 0) endChild(3);
    close(report[1]);
    for (;;) pause();
  }
  close(report[1]);
  const std::string stalePath = readAll(report[0], 30s);
  close(report[0]);
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_FALSE(stalePath.empty()) << "the child was no listening primary";
  ASSERT_TRUE(fs::exists(stalePath)) << "a killed primary leaves its socket behind";

  const auto next = SingleInstance::acquire(bundleKey);
  ASSERT_EQ(next->role(), Role::Primary);
  ASSERT_GE(next->listeningDescriptor(), 0);
  EXPECT_EQ(boundPath(next->listeningDescriptor()), stalePath);
  expectReopenAnswered(*next, bundleKey);
}

struct ClientCase {
  const char* description;
  std::string sends;
  bool hangsUp;       // closes right after sending; otherwise stays connected, silent
  bool isReopen;      // what acceptReopen should say
  std::string reply;  // what the client reads back
};

TEST_F(SingleInstanceTest, ClientsOtherThanASecondaryAreRefusedQuickly) {
  const std::vector<ClientCase> cases = {
      {"connects and says nothing", "", false, false, ""},
      {"hangs up at once", "", true, false, ""},
      {"a line of garbage", "hello\n", false, false, ""},
      {"the request in capitals", "REOPEN\n", false, false, ""},
      {"the request and more after it", "reopen\nmore", false, false, ""},
      {"part of the request, then silence", "reop", false, false, ""},
      {"the request without its newline", "reopen", true, false, ""},
      {"a newline in the middle", "re\nopen", false, false, ""},
      {"a flood without a newline", std::string(65536, 'x'), false, false, ""},
      {"the request, then gone before the answer", "reopen\n", true, true, ""},
      {"the request, staying for the answer", "reopen\n", false, true, "ok\n"},
  };
  const auto primary = SingleInstance::acquire(key());
  ASSERT_EQ(primary->role(), Role::Primary);
  const std::string path = boundPath(primary->listeningDescriptor());

  for (const ClientCase& c : cases) {
    SCOPED_TRACE(c.description);
    const int client = connectTo(path);
    ASSERT_GE(client, 0);
    if (!c.sends.empty()) {
      // A flood fills the buffers: send what fits; the primary stops reading long before.
      fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
      [[maybe_unused]] const ssize_t sent = send(client, c.sends.data(), c.sends.size(), MSG_NOSIGNAL);
    }
    if (c.hangsUp) shutdown(client, SHUT_RDWR);
    ASSERT_TRUE(readable(primary->listeningDescriptor(), 10s));

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(primary->acceptReopen(), c.isReopen);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "a silent client held the main thread";
    if (!c.hangsUp) {
      EXPECT_EQ(readAll(client, 2s), c.reply) << "then the primary hangs up";
    }
    close(client);

    expectReopenAnswered(*primary, key());  // and it still serves a real request
  }
}

TEST_F(SingleInstanceTest, SecondaryGivesUpWhenThePrimaryHasNoSocket) {
  const auto primary = SingleInstance::acquire(key());
  ASSERT_GE(primary->listeningDescriptor(), 0);
  ASSERT_EQ(unlink(boundPath(primary->listeningDescriptor()).c_str()), 0);
  const auto secondary = SingleInstance::acquire(key());
  ASSERT_EQ(secondary->role(), Role::Secondary);
  EXPECT_FALSE(secondary->requestReopen());
}

TEST_F(SingleInstanceTest, LockAndSocketDoNotReachAStartedProgram) {
#ifndef __linux__
  GTEST_SKIP() << "lists the child's descriptors through /proc";
#else
  const auto primary = SingleInstance::acquire(key());
  ASSERT_GE(primary->listeningDescriptor(), 0);
  struct stat socketInfo {};
  ASSERT_EQ(fstat(primary->listeningDescriptor(), &socketInfo), 0);
  const std::string socketLink = "socket:[" + std::to_string(socketInfo.st_ino) + "]";

  // Both are open here, so their absence in the child means something.
  std::string ours;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    ours += fs::read_symlink(entry.path(), ignored).string() + "\n";
  }
  ASSERT_NE(ours.find(".lock"), std::string::npos) << ours;
  ASSERT_NE(ours.find(socketLink), std::string::npos) << ours;

  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    execl("/bin/ls", "ls", "-l", "/proc/self/fd", static_cast<char*>(nullptr));
    endChild(127);
  }
  close(out[1]);
  const std::string listing = readAll(out[0], 20s);
  close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << listing;
  EXPECT_EQ(listing.find(".lock"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(socketLink), std::string::npos) << listing;
#endif
}

struct RuntimeCase {
  const char* description;
  std::optional<fs::perms> directoryMode;  // the runtime directory, or a plain file when empty
  bool relative = false;
  bool accepted = false;
};

TEST_F(SingleInstanceTest, RuntimeDirectoryIsUsedOnlyWhenPrivate) {
  using P = fs::perms;
  const std::vector<RuntimeCase> cases = {
      {"private to the owner", P::owner_all, false, true},
      {"readable by the group", P::owner_all | P::group_read | P::group_exec, false, false},
      {"reachable by others", P::owner_all | P::others_exec, false, false},
      {"open to all", P::all, false, false},
      {"a relative path", P::owner_all, true, false},
      {"a file, not a directory", std::nullopt, false, false},
  };
  const std::string fallback = "/tmp/zorvik-pellwyn-" + std::to_string(geteuid());
  int caseNumber = 0;
  for (const RuntimeCase& c : cases) {
    SCOPED_TRACE(c.description);
    const fs::path candidate = runtime_.path() / ("runtime" + std::to_string(caseNumber));
    const std::string bundleKey = key("runtime " + std::to_string(caseNumber++));
    if (c.directoryMode) {
      fs::create_directory(candidate);
      fs::permissions(candidate, *c.directoryMode, fs::perm_options::replace);
    } else {
      zp::test::writeFile(candidate, "not a directory");
    }
    fs::path given = candidate;
    if (c.relative) given = fs::relative(candidate, fs::current_path());
    setenv("XDG_RUNTIME_DIR", given.c_str(), 1);

    fs::path socketPath;
    {
      const auto instance = SingleInstance::acquire(bundleKey);
      ASSERT_EQ(instance->role(), Role::Primary);
      ASSERT_GE(instance->listeningDescriptor(), 0);
      socketPath = boundPath(instance->listeningDescriptor());
      EXPECT_EQ(socketPath.parent_path(), c.accepted ? candidate : fs::path(fallback));
      if (!c.accepted) {
        EXPECT_TRUE(!c.directoryMode || fs::is_empty(candidate)) << "nothing is made in a refused directory";
        struct stat info {};
        ASSERT_EQ(lstat(fallback.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0700u);
      }
    }
    // The lock file stays by design; this test's own are tidied from the shared directory.
    if (!c.accepted) fs::remove(fs::path(socketPath).replace_extension(".lock"));
  }
}

}  // namespace
}  // namespace zp::platform
