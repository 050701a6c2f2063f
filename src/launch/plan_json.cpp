#include "launch/plan_json.hpp"

#include <cstdint>

namespace zp {
namespace {

void appendString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    uint32_t min = 0;
    uint32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
      length = 2, min = 0x80, cp = b0 & 0x1Fu;
    } else if ((b0 & 0xF0) == 0xE0) {
      length = 3, min = 0x800, cp = b0 & 0x0Fu;
    } else if ((b0 & 0xF8) == 0xF0) {
      length = 4, min = 0x10000, cp = b0 & 0x07u;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::optional<std::string> planToJson(const LaunchPlan& plan) {
  if (!isValidUtf8(plan.mode) || !isValidUtf8(plan.executable) || !isValidUtf8(plan.data_root)) return std::nullopt;
  for (const auto& argument : plan.arguments) {
    if (!isValidUtf8(argument)) return std::nullopt;
  }
  std::string out;
  out += "{\"mode\":";
  appendString(out, plan.mode);
  out += ",\"executable\":";
  appendString(out, plan.executable);
  out += ",\"arguments\":[";
  for (std::size_t i = 0; i < plan.arguments.size(); ++i) {
    if (i != 0) out += ',';
    appendString(out, plan.arguments[i]);
  }
  out += "],\"data_root\":";
  appendString(out, plan.data_root);
  out += '}';
  return out;
}

}  // namespace zp
