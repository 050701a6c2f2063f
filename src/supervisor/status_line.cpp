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

bool cannotMatter(std::string_view line) {
  if (line.find('\\') != std::string_view::npos) return false;
  if (line.find("\"status\"") == std::string_view::npos) return true;
  return line.find("\"ready\"") == std::string_view::npos && line.find("\"busy\"") == std::string_view::npos &&
         line.find("\"not_started\"") == std::string_view::npos;
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
