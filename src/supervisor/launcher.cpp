#include "supervisor/launcher.hpp"

#include <cstring>

#include "supervisor/ready_url.hpp"
#include "supervisor/status_line.hpp"
#include "supervisor/texts.hpp"

namespace zp {

Launcher::Launcher(LauncherServices services)
    : services_(std::move(services)), reader_(std::make_unique<StatusLineReader>()) {}

Launcher::~Launcher() = default;

void Launcher::setStatusText(std::string_view text) {
  if (status_) status_->setText(std::string(text));
}

bool Launcher::isConnectedMode() const { return mode_ && isConnected(*mode_); }

void Launcher::startServiceWithCreate(bool create, bool cold) {
  finished_ = false;
  quitting_ = false;
  outputEOF_ = false;
  processFinished_ = false;
  outputRejected_ = false;
  errorCode_.reset();
  url_.reset();
  pending_ = std::make_unique<PendingOutput>();

  setStatusText(texts::kStartingText);

  const LaunchDirectories directories = services_.directories();
  const LaunchPlan plan = ZPPlan(mode_.value_or(std::string()), create, cold, directories);

  // The previous task, if any, is neither stopped nor examined: it has already ended.
  task_ = std::make_shared<platform::Task>(platform::TaskOptions{
      .executable = plan.executable,
      .arguments = plan.arguments,
      .workingDirectory = directories.resources,
      .environment = serviceEnvironment(directories.home, directories.temporary),
      .standardOutput = platform::StandardStream::Pipe,
      .standardError = platform::StandardStream::NullDevice,
      .processGroup = platform::ProcessGroup::OwnGroup,
  });

  // Both callbacks are in place before the launch, so no output and no exit can be missed.
  const std::weak_ptr<Launcher> weak = weak_from_this();
  task_->setOutputHandler(services_.mainQueue, [weak](std::string chunk) {
    const std::shared_ptr<Launcher> self = weak.lock();
    if (!self) return;
    if (!chunk.empty()) {
      self->consumeOutput(chunk);
      return;
    }
    self->setOutputEOF(true);
    self->finishIfReady();
  });
  task_->setTerminationHandler(services_.mainQueue, [weak](const std::shared_ptr<platform::Task>& ended) {
    const std::shared_ptr<Launcher> self = weak.lock();
    if (!self) return;
    self->setProcessFinished(true);
    // The status of the process that ended, not of whatever `task` holds now.
    self->setExitStatus(ended->terminationStatus());
    self->finishIfReady();
  });

  if (task_->launch()) return;

  task_->clearOutputHandler();
  finished_ = true;
  setStatusText(texts::kLaunchFailedText);
}

void Launcher::openPellwyn() {
  if (!url_) return;
  if (!task_ || !task_->isRunning()) return;
  if (services_.browser) services_.browser->openURL(*url_);
}

void Launcher::quit() {
  if (services_.application) services_.application->terminate();
}

void Launcher::consumeOutput(std::string_view chunk) {
  if (outputRejected_) return;
  if (!pending_) pending_ = std::make_unique<PendingOutput>();

  const uint64_t total = uint64_t{pending_->size()} + uint64_t{chunk.size()};
  if (total > kMaxPendingOutput) {
    outputRejected_ = true;
    pending_->clear();
    url_.reset();
    errorCode_ = std::string(kInvalidOutputCode);
    setStatusText(texts::kRejectedOutputText);
    return;
  }

  // What is pending holds no line feed, so the search starts in the new bytes. Lines are
  // handled in place and the consumed prefix is dropped once, keeping the work linear.
  const std::size_t searchFrom = pending_->size();
  pending_->append(chunk);
  const std::string_view bytes = pending_->view();
  std::size_t lineStart = 0;
  std::size_t cursor = searchFrom;
  while (cursor < bytes.size()) {
    const void* found = std::memchr(bytes.data() + cursor, '\n', bytes.size() - cursor);
    if (found == nullptr) break;
    const auto lineEnd = static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
    handleLine(bytes.substr(lineStart, lineEnd - lineStart));
    lineStart = cursor = lineEnd + 1;
  }
  pending_->consumeFront(lineStart);
}

void Launcher::handleLine(std::string_view line) {
  const StatusLine status = reader_->read(line);
  switch (status.kind) {
    case StatusLine::Kind::NoEffect: return;
    case StatusLine::Kind::Ready: {
      std::optional<std::string> accepted = ZPReadyURL(status.url);
      if (!accepted) return;
      url_ = std::move(accepted);
      setStatusText(isConnectedMode() ? texts::kStartedTextConnected : texts::kStartedTextPreview);
      openPellwyn();
      return;
    }
    case StatusLine::Kind::Busy:
      quitting_ = false;
      setStatusText(texts::kBusyText);
      return;
    case StatusLine::Kind::NotStarted:
      if (status.code) errorCode_ = std::string(*status.code);
      return;
  }
}

void Launcher::finishIfReady() {
  if (!processFinished_ || !outputEOF_) return;
  finished_ = true;
  url_.reset();
  if (quitting_ || exitStatus_ == 0) {
    quit();
    return;
  }

  const bool reconnect = isConnectedMode() && !coldStartAttempted_ && errorCode_ == kReconnectCode;
  platform::AlertSpec alert;
  if (reconnect) {
    alert = {std::string(texts::kReconnectMessage), std::string(texts::kReconnectInformative),
             {std::string(texts::kReconnectColdStartButton), std::string(texts::kReconnectQuitButton)}};
  } else {
    const bool inUse = exitStatus_ == kInUseExitStatus || errorCode_ == kInUseCode;
    alert = {std::string(texts::kFailureMessage),
             std::string(inUse ? texts::kFailureInUseInformative : texts::kFailureInformative),
             {}};
  }
  const int response = services_.alerts ? services_.alerts->runModal(alert) : platform::kAlertFirstButtonReturn;
  if (reconnect && response == platform::kAlertFirstButtonReturn) {
    coldStartAttempted_ = true;
    startServiceWithCreate(false, true);
    return;
  }
  quit();
}

platform::TerminateReply Launcher::applicationShouldTerminate() {
  if (finished_) return platform::TerminateReply::Now;
  if (!task_ || !task_->isRunning()) return platform::TerminateReply::Now;
  quitting_ = true;
  setStatusText(texts::kQuitCheckingText);
  task_->terminate();
  return platform::TerminateReply::Cancel;
}

}  // namespace zp
