#pragma once

#include <memory>
#include <optional>
#include <string_view>

namespace zp {

// What one status line says, as far as the launcher acts on it. The views point into the
// reader and die at its next read.
struct StatusLine {
  enum class Kind { NoEffect, Ready, Busy, NotStarted };
  Kind kind = Kind::NoEffect;
  std::optional<std::string_view> url;   // Ready: the "url" member, when it is a string
  std::optional<std::string_view> code;  // NotStarted: the "code" member, when it is a string
};

// Reads status lines: each one JSON text (strict RFC 8259, valid UTF-8) whose top level is an
// object; member names and values compared exactly. The parser is kept and reused, so reading
// allocates nothing. A line that is not an object, or whose "status" is missing, not a string
// or not one of "ready", "busy", "not_started", has no effect.
class StatusLineReader {
 public:
  StatusLineReader();
  ~StatusLineReader();
  StatusLineReader(const StatusLineReader&) = delete;
  StatusLineReader& operator=(const StatusLineReader&) = delete;

  // `line` excludes its line feed and must have kLinePadding readable bytes after it.
  StatusLine read(std::string_view line);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

// True when the line cannot change anything, whatever it holds: it lacks the bytes "status"
// or all of "ready", "busy", "not_started", and has no backslash (an escape could spell any of
// them). Such lines may be skipped without parsing.
bool cannotMatter(std::string_view line);

}  // namespace zp
