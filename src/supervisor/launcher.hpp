#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "launch/launch_config.hpp"
#include "platform/desktop.hpp"
#include "platform/main_queue.hpp"
#include "platform/task.hpp"
#include "supervisor/pending_output.hpp"

namespace zp {

class StatusLineReader;

inline constexpr std::string_view kInvalidOutputCode = "invalid_output";
inline constexpr std::string_view kReconnectCode = "zorvik_reconnect_requires_same_source_cold_epoch";
inline constexpr std::string_view kInUseCode = "component_in_use_or_backup_running";
inline constexpr int32_t kInUseExitStatus = 75;

// What the Launcher needs of its surroundings. Every pointer outlives the Launcher.
struct LauncherServices {
  std::shared_ptr<platform::MainQueue> mainQueue{};
  platform::Application* application = nullptr;
  platform::Alerts* alerts = nullptr;
  platform::Browser* browser = nullptr;
  platform::Toolkit* toolkit = nullptr;
  // The mode, read afresh from the bundle at start-up.
  std::function<std::optional<std::string>()> resolveMode = [] { return ZPMode(); };
  // The directories a start is planned from, read afresh at every start.
  std::function<LaunchDirectories()> directories = currentLaunchDirectories;
};

// The single controller of the windowed application: owner of the window and the status
// label, supervisor of the service. Every member runs on the main thread, and no other thread
// reads or writes its state; the platform's background threads only post to the main queue,
// holding the Launcher weakly. Create it with std::make_shared.
class Launcher final : public platform::ApplicationDelegate, public std::enable_shared_from_this<Launcher> {
 public:
  explicit Launcher(LauncherServices services);
  ~Launcher();
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // The start-up sequence: builds the window, asks on a first run, starts the service.
  void applicationDidFinishLaunching() override;
  // Brings the window back and opens the ready address again.
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override;

  // Opens the accepted ready address in the browser while the service runs.
  void openPellwyn();
  // The quit button's action: a terminate request.
  void quit();
  // Frames a chunk of the service's output into status lines and acts on them.
  void consumeOutput(std::string_view chunk);
  // Ends the run once both end of file and the exit have been seen.
  void finishIfReady();
  // Starts the service; only when no service of this Launcher runs and no callback of an
  // earlier start is still to come.
  void startServiceWithCreate(bool create, bool cold);
  // The gate every terminate request passes.
  platform::TerminateReply applicationShouldTerminate() override;

  const std::shared_ptr<platform::Task>& task() const { return task_; }
  void setTask(std::shared_ptr<platform::Task> task) { task_ = std::move(task); }
  const std::shared_ptr<platform::Window>& window() const { return window_; }
  void setWindow(std::shared_ptr<platform::Window> window) { window_ = std::move(window); }
  const std::shared_ptr<platform::Label>& status() const { return status_; }
  void setStatus(std::shared_ptr<platform::Label> status) { status_ = std::move(status); }
  const std::optional<std::string>& mode() const { return mode_; }
  void setMode(std::optional<std::string> mode) { mode_ = std::move(mode); }
  const std::optional<std::string>& url() const { return url_; }
  void setUrl(std::optional<std::string> url) { url_ = std::move(url); }
  const std::unique_ptr<PendingOutput>& pending() const { return pending_; }
  void setPending(std::unique_ptr<PendingOutput> pending) { pending_ = std::move(pending); }
  const std::optional<std::string>& errorCode() const { return errorCode_; }
  void setErrorCode(std::optional<std::string> code) { errorCode_ = std::move(code); }
  bool finished() const { return finished_; }
  void setFinished(bool value) { finished_ = value; }
  bool quitting() const { return quitting_; }
  void setQuitting(bool value) { quitting_ = value; }
  bool outputEOF() const { return outputEOF_; }
  void setOutputEOF(bool value) { outputEOF_ = value; }
  bool processFinished() const { return processFinished_; }
  void setProcessFinished(bool value) { processFinished_ = value; }
  bool outputRejected() const { return outputRejected_; }
  void setOutputRejected(bool value) { outputRejected_ = value; }
  bool coldStartAttempted() const { return coldStartAttempted_; }
  void setColdStartAttempted(bool value) { coldStartAttempted_ = value; }
  int32_t exitStatus() const { return exitStatus_; }
  void setExitStatus(int32_t value) { exitStatus_ = value; }

  const LauncherServices& services() const { return services_; }

 private:
  void handleLine(std::string_view line);
  void setStatusText(std::string_view text);
  bool isConnectedMode() const;

  LauncherServices services_;
  std::unique_ptr<StatusLineReader> reader_;

  std::shared_ptr<platform::Task> task_;
  std::shared_ptr<platform::Window> window_;
  std::shared_ptr<platform::Label> status_;
  std::optional<std::string> mode_;
  std::optional<std::string> url_;
  std::unique_ptr<PendingOutput> pending_;
  std::optional<std::string> errorCode_;
  bool finished_ = false;
  bool quitting_ = false;
  bool outputEOF_ = false;
  bool processFinished_ = false;
  bool outputRejected_ = false;
  bool coldStartAttempted_ = false;
  int32_t exitStatus_ = 0;
};

}  // namespace zp
