#include "supervisor/status_line.hpp"

#include <simdjson.h>

#include "supervisor/pending_output.hpp"

namespace zp {

static_assert(simdjson::SIMDJSON_PADDING <= kLinePadding, "pending output must leave the parser's padding readable");

struct StatusLineReader::Parser {
  simdjson::dom::parser json;
};

StatusLineReader::StatusLineReader() : parser_(std::make_unique<Parser>()) {
  // The longest line that can reach the reader; allocated once, so reading never allocates.
  // Should it fail, the first parse allocates instead.
  [[maybe_unused]] const auto error = parser_->json.allocate(kMaxPendingOutput);
}

StatusLineReader::~StatusLineReader() = default;

namespace {

// Whether a quoted word starting after a quote names the member or one of the values read.
struct QuotedWords {
  bool status = false;
  bool value = false;
  void see(std::string_view rest) {
    if (rest.starts_with("status\"")) {
      status = true;
    } else if (rest.starts_with("ready\"") || rest.starts_with("busy\"") || rest.starts_with("not_started\"")) {
      value = true;
    }
  }
  bool both() const { return status && value; }
};

}  // namespace

// Every quoted word starts at a quote, so one pass from quote to quote sees them all. Short
// lines (the usual status line) are walked byte by byte; longer ones go from quote to quote
// with memchr, which is slower to start but faster over many bytes.
bool cannotMatter(std::string_view line) {
  constexpr std::size_t kShortLine = 64;
  QuotedWords words;
  if (line.size() <= kShortLine) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\\') return false;
      if (line[i] != '"') continue;
      words.see(line.substr(i + 1));
      if (words.both()) return false;
    }
    return true;
  }
  if (line.find('\\') != std::string_view::npos) return false;
  for (std::size_t quote = line.find('"'); quote != std::string_view::npos; quote = line.find('"', quote + 1)) {
    words.see(line.substr(quote + 1));
    if (words.both()) return false;
  }
  return true;
}

StatusLine StatusLineReader::read(std::string_view line) {
  StatusLine result;
  if (cannotMatter(line)) return result;
  simdjson::dom::element root;
  if (parser_->json.parse(line.data(), line.size(), false).get(root) != simdjson::SUCCESS) return result;
  simdjson::dom::object object;
  if (root.get_object().get(object) != simdjson::SUCCESS) return result;
  std::string_view status;
  if (object["status"].get_string().get(status) != simdjson::SUCCESS) return result;

  auto stringMember = [&object](const char* name) -> std::optional<std::string_view> {
    std::string_view value;
    if (object[name].get_string().get(value) != simdjson::SUCCESS) return std::nullopt;
    return value;
  };
  if (status == "ready") {
    result.kind = StatusLine::Kind::Ready;
    result.url = stringMember("url");
  } else if (status == "busy") {
    result.kind = StatusLine::Kind::Busy;
  } else if (status == "not_started") {
    result.kind = StatusLine::Kind::NotStarted;
    result.code = stringMember("code");
  }
  return result;
}

}  // namespace zp
