// The framing loop written the literal way: append the chunk, then for every line feed hand
// the line over and delete it, with everything before it, from the front of the buffer. The
// same size rule and the same per-line steps as Launcher::consumeOutput; only the framing
// differs, so the two can be compared on the same input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/desktop.hpp"
#include "supervisor/pending_output.hpp"
#include "supervisor/ready_url.hpp"
#include "supervisor/status_line.hpp"

namespace zp::bench {

class FrontDeletionFramer {
 public:
  FrontDeletionFramer(platform::Label* label, platform::Browser* browser) : label_(label), browser_(browser) {
    // Room for the parser's padding past any line, as PendingOutput leaves it: the erase keeps
    // the capacity, so the bytes after a line stay inside the allocation.
    pending_.reserve(kMaxPendingOutput + kLinePadding);
  }

  void consume(std::string_view chunk) {
    if (rejected_) return;
    if (pending_.size() + chunk.size() > kMaxPendingOutput) {
      rejected_ = true;
      pending_.clear();
      url_.reset();
      if (label_) label_->setText("rejected");
      return;
    }
    pending_.append(chunk);
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end == std::string::npos) break;
      handleLine(std::string_view(pending_).substr(0, end));
      pending_.erase(0, end + 1);
    }
  }

  bool rejected() const { return rejected_; }
  std::size_t pendingSize() const { return pending_.size(); }

 private:
  void handleLine(std::string_view line) {
    const StatusLine status = reader_.read(line);
    switch (status.kind) {
      case StatusLine::Kind::NoEffect: return;
      case StatusLine::Kind::Ready: {
        std::optional<std::string> accepted = ZPReadyURL(status.url);
        if (!accepted) return;
        url_ = std::move(accepted);
        if (label_) label_->setText("started");
        if (browser_) browser_->openURL(*url_);
        return;
      }
      case StatusLine::Kind::Busy:
        if (label_) label_->setText("busy");
        return;
      case StatusLine::Kind::NotStarted:
        if (status.code) code_ = std::string(*status.code);
        return;
    }
  }

  platform::Label* label_;
  platform::Browser* browser_;
  StatusLineReader reader_;
  std::string pending_;
  std::optional<std::string> url_;
  std::optional<std::string> code_;
  bool rejected_ = false;
};

}  // namespace zp::bench
