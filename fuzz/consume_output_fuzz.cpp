// consumeOutput fed arbitrary chunk sequences, against recording fakes, while a real process
// plays the running service (so that an accepted address is really opened). After every call:
// the pending bytes stay within 65536, a stored address and every address opened pass the
// hand-written matcher, the label shows only texts of the output path, nothing asks to quit or
// alerts, and once the output has been refused nothing changes any more.
//
// Input: one byte of flags (1: connected mode, 2: a quit request is pending, 4: an address was
// already accepted), then the stream. Within the stream 0xFF escapes: 0xFF 0xFF is a 0xFF byte;
// 0xFF followed by 0xF0..0xFE repeats the chunk so far 2^1..2^15 times (capped), so that long
// lines are cheap to reach; 0xFF followed by anything else ends the chunk.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "loopback_address.hpp"
#include "platform/run_loop.hpp"
#include "platform/task.hpp"
#include "supervisor/launcher.hpp"
#include "supervisor/texts.hpp"
#include "support/fake_desktop.hpp"

namespace {

using namespace zp;

constexpr std::size_t kMaxChunk = std::size_t{1} << 18;
constexpr unsigned char kEscape = 0xFF;

// One process for the whole run: it ends by itself within a second of the fuzzer's end, however
// that end comes, and holds none of the fuzzer's outputs open meanwhile. Without a termination
// handler the task counts as running throughout.
const std::shared_ptr<platform::Task>& runningTask() {
  static const std::shared_ptr<platform::Task> task = [] {
    auto started = std::make_shared<platform::Task>(platform::TaskOptions{
        .executable = "/bin/sh",
        .arguments = {"-c", "while kill -0 $PPID 2>/dev/null; do /bin/sleep 1; done"},
        .environment = {{"PATH", "/usr/bin:/bin"}},
        .standardOutput = platform::StandardStream::NullDevice,
        .standardError = platform::StandardStream::NullDevice,
    });
    if (!started->launch()) fuzz::fail("cannot start the stand-in service");
    return started;
  }();
  return task;
}

std::vector<std::string> chunksOf(std::string_view stream) {
  std::vector<std::string> chunks(1);
  for (std::size_t i = 0; i < stream.size(); ++i) {
    const auto byte = static_cast<unsigned char>(stream[i]);
    if (byte != kEscape) {
      chunks.back().push_back(stream[i]);
      continue;
    }
    if (++i == stream.size()) break;
    const auto next = static_cast<unsigned char>(stream[i]);
    if (next == kEscape) {
      chunks.back().push_back(stream[i]);
    } else if (next >= 0xF0) {
      std::string& chunk = chunks.back();
      for (unsigned doublings = next - 0xEFU; doublings > 0 && !chunk.empty() && chunk.size() < kMaxChunk; --doublings) {
        chunk.reserve(2 * chunk.size());
        chunk.append(chunk.data(), chunk.size());
      }
      if (chunk.size() > kMaxChunk) chunk.resize(kMaxChunk);
    } else {
      chunks.emplace_back();
    }
  }
  return chunks;
}

struct Rig {
  std::shared_ptr<platform::RunLoop> loop = std::make_shared<platform::RunLoop>();
  test::FakeAlerts alerts;
  test::FakeToolkit toolkit;
  test::FakeBrowser browser;
  test::FakeApplication application;
  std::shared_ptr<Launcher> launcher = std::make_shared<Launcher>(LauncherServices{
      .mainQueue = loop,
      .application = &application,
      .alerts = &alerts,
      .browser = &browser,
      .toolkit = &toolkit,
      .resolveMode = [] { return std::optional<std::string>("preview"); },
      .directories = [] { return LaunchDirectories{"/nonexistent/Resources", "/nonexistent/home", "/tmp/"}; },
  });
};

bool outputPathText(const std::string& text) {
  return text == texts::kStartedTextPreview || text == texts::kStartedTextConnected || text == texts::kBusyText ||
         text == texts::kRejectedOutputText;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto flags = data[0];
  const std::vector<std::string> chunks = chunksOf(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));

  // One Launcher for the whole run (its parser is sized once, as in the application), with
  // every piece of its state set afresh for each input.
  static Rig rig;
  test::FakeBrowser& browser = rig.browser;
  const auto label = std::make_shared<test::FakeLabel>();
  browser.opened.clear();
  rig.alerts.shown.clear();
  rig.application.replies.clear();
  const auto& launcher = rig.launcher;
  launcher->setMode((flags & 1U) != 0 ? "connected" : "preview");
  launcher->setStatus(label);
  launcher->setTask(runningTask());
  launcher->setQuitting((flags & 2U) != 0);
  launcher->setUrl((flags & 4U) != 0 ? std::optional<std::string>("http://127.0.0.1:8765/") : std::nullopt);
  launcher->setErrorCode(std::nullopt);
  launcher->setOutputRejected(false);
  launcher->setOutputEOF(false);
  launcher->setProcessFinished(false);
  launcher->setFinished(false);
  launcher->setPending(std::make_unique<PendingOutput>());

  bool rejected = false;
  std::vector<std::string> labelsAtRefusal;
  bool quittingAtRefusal = false;
  std::size_t openedAtRefusal = 0;
  for (const std::string& chunk : chunks) {
    const std::size_t openedBefore = browser.opened.size();
    launcher->consumeOutput(chunk);

    ZP_FUZZ_CHECK(launcher->pending() && launcher->pending()->size() <= kMaxPendingOutput);
    if (launcher->url()) ZP_FUZZ_CHECK(fuzz::isExactLoopbackAddress(*launcher->url()));
    for (const std::string& opened : browser.opened) ZP_FUZZ_CHECK(fuzz::isExactLoopbackAddress(opened));
    // What opens is what was stored: the last address opened by a call is the one kept.
    if (browser.opened.size() > openedBefore) ZP_FUZZ_CHECK(launcher->url() == browser.opened.back());
    for (const std::string& text : label->texts) ZP_FUZZ_CHECK(outputPathText(text));
    ZP_FUZZ_CHECK(rig.alerts.shown.empty() && rig.application.replies.empty());

    if (rejected) {
      ZP_FUZZ_CHECK(launcher->outputRejected());
      ZP_FUZZ_CHECK(!launcher->url());
      ZP_FUZZ_CHECK(launcher->errorCode() == std::string(kInvalidOutputCode));
      ZP_FUZZ_CHECK(label->texts == labelsAtRefusal);
      ZP_FUZZ_CHECK(launcher->quitting() == quittingAtRefusal);
      ZP_FUZZ_CHECK(browser.opened.size() == openedAtRefusal);
      ZP_FUZZ_CHECK(launcher->pending()->empty());
    } else if (launcher->outputRejected()) {
      rejected = true;
      ZP_FUZZ_CHECK(!launcher->url());
      ZP_FUZZ_CHECK(launcher->errorCode() == std::string(kInvalidOutputCode));
      ZP_FUZZ_CHECK(!label->texts.empty() && label->texts.back() == texts::kRejectedOutputText);
      ZP_FUZZ_CHECK(browser.opened.size() == openedBefore);
      labelsAtRefusal = label->texts;
      quittingAtRefusal = launcher->quitting();
      openedAtRefusal = browser.opened.size();
    }
  }
  return 0;
}
