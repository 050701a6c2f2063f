#include "supervisor/ready_url.hpp"

#include <uriparser/Uri.h>

#include <array>
#include <cstdint>
#include <limits>

namespace zp {
namespace {

constexpr std::size_t kMaxUtf16Units = 256;
constexpr std::int64_t kMinPort = 1024;
constexpr std::int64_t kMaxPort = 65535;
constexpr std::string_view kScheme = "http";
constexpr std::string_view kHost = "127.0.0.1";

// Decodes the code point at text[pos] and moves pos past it. Nothing for malformed UTF-8:
// a stray or missing continuation byte, an overlong form, a surrogate, or beyond U+10FFFF.
std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t& pos) {
  const auto byteAt = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byteAt(pos);
  if (lead < 0x80) {
    ++pos;
    return char32_t{lead};
  }
  std::size_t continuations = 0;
  char32_t point = 0;
  char32_t smallest = 0;
  if ((lead & 0xE0U) == 0xC0U) {
    continuations = 1;
    point = lead & 0x1FU;
    smallest = 0x80;
  } else if ((lead & 0xF0U) == 0xE0U) {
    continuations = 2;
    point = lead & 0x0FU;
    smallest = 0x800;
  } else if ((lead & 0xF8U) == 0xF0U) {
    continuations = 3;
    point = lead & 0x07U;
    smallest = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - pos <= continuations) return std::nullopt;
  for (std::size_t i = 1; i <= continuations; ++i) {
    const unsigned char next = byteAt(pos + i);
    if ((next & 0xC0U) != 0x80U) return std::nullopt;
    point = (point << 6U) | (next & 0x3FU);
  }
  if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return std::nullopt;
  }
  pos += continuations + 1;
  return point;
}

struct CodePointRange {
  char32_t first;
  char32_t last;
};

// General category Cf as of Unicode 15.0 (unchanged in 15.1): 21 ranges, 170 code points.
// Invisible characters that make the text shown differ from the text opened.
constexpr std::array<CodePointRange, 21> kFormatCharacters{{
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
}};

// Categories Cc and Cf.
bool isControlOrFormat(char32_t point) {
  if (point <= 0x1F || (point >= 0x7F && point <= 0x9F)) return true;
  for (const CodePointRange& range : kFormatCharacters) {
    if (point < range.first) return false;  // the table is sorted
    if (point <= range.last) return true;
  }
  return false;
}

// Malformed UTF-8 counts as containing one, so the caller need not have validated it.
bool containsControlOrFormat(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::optional<char32_t> point = nextCodePoint(text, pos);
    if (!point || isControlOrFormat(*point)) return true;
  }
  return false;
}

// uriparser marks an absent component with a null `first`; present but empty is first == afterLast.
std::optional<std::string_view> component(const UriTextRangeA& range) {
  if (range.first == nullptr) return std::nullopt;
  return std::string_view(range.first, static_cast<std::size_t>(range.afterLast - range.first));
}

// Decimal digits only, into a signed 64-bit value; nothing on any other character or overflow.
std::optional<std::int64_t> readPort(std::string_view digits) {
  std::int64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::int64_t digit = c - '0';
    if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// The parsed address against every rule past parsing, in order. `text` is what was parsed.
bool acceptable(const UriUriA& uri, std::string_view text) {
  if (component(uri.scheme) != kScheme) return false;

  // Compared as written, so no other spelling of the loopback address gets in; a bracketed
  // host is excluded explicitly, since hostText leaves the brackets out.
  if (uri.hostData.ip6 != nullptr || uri.hostData.ipFuture.first != nullptr) return false;
  if (component(uri.hostText) != kHost) return false;

  const std::optional<std::string_view> portText = component(uri.portText);
  if (!portText || portText->empty()) return false;
  // Leading zeros are accepted: "08765" is port 8765 to every reader of the address.
  const std::optional<std::int64_t> port = readPort(*portText);
  if (!port || *port < kMinPort || *port > kMaxPort) return false;

  // A bare "@", "?" or "#" is a present, empty component and fails like any other.
  if (uri.userInfo.first != nullptr) return false;
  if (uri.query.first != nullptr) return false;
  if (uri.fragment.first != nullptr) return false;

  // Read off the text rather than the segment list: with no query or fragment, whatever follows
  // the port is the path, and it must be nothing or exactly "/".
  const auto afterPort = static_cast<std::size_t>(uri.portText.afterLast - text.data());
  const std::string_view path = text.substr(afterPort);
  return path.empty() || path == "/";
}

// The form every service writes, "http://127.0.0.1:PORT" or the same with "/", settled without
// the parser. True only for an address the full check accepts as well; anything else, accepted
// or not, is left to it.
bool plainFormAccepted(std::string_view text) {
  constexpr std::string_view kPrefix = "http://127.0.0.1:";
  if (text.size() > kMaxUtf16Units || !text.starts_with(kPrefix)) return false;
  std::string_view digits = text.substr(kPrefix.size());
  if (digits.ends_with('/')) digits.remove_suffix(1);
  if (digits.empty()) return false;
  const std::optional<std::int64_t> port = readPort(digits);
  return port && *port >= kMinPort && *port <= kMaxPort;
}

}  // namespace

namespace detail {

std::size_t utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::optional<char32_t> point = nextCodePoint(text, pos);
    if (!point) return std::numeric_limits<std::size_t>::max();
    units += *point < 0x10000 ? 1U : 2U;
  }
  return units;
}

std::optional<std::string> parsedReadyURL(std::string_view text) {
  // Both run on the raw text, before the parser sees it.
  if (utf16Length(text) > kMaxUtf16Units) return std::nullopt;
  if (containsControlOrFormat(text)) return std::nullopt;

  // Empty text has no scheme and fails anyway; stopping here keeps a possibly null data() away
  // from uriparser, which takes a null end to mean "up to the first NUL".
  if (text.empty()) return std::nullopt;

  // Strict RFC 3986 over exactly these bytes; on failure uriparser has released everything.
  UriUriA uri;
  const char* errorPos = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPos) != URI_SUCCESS) {
    return std::nullopt;
  }
  const bool accepted = acceptable(uri, text);
  uriFreeUriMembersA(&uri);
  if (!accepted) return std::nullopt;
  return std::string(text);
}

}  // namespace detail

std::optional<std::string> ZPReadyURL(std::optional<std::string_view> value) {
  if (!value) return std::nullopt;
  if (plainFormAccepted(*value)) return std::string(*value);
  return detail::parsedReadyURL(*value);
}

}  // namespace zp
