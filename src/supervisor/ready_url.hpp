#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zp {

// The only gate between the service's output and the browser. Accepts exactly a plain
// http address on 127.0.0.1 with an explicit port from 1024 to 65535, nothing else (no user,
// password, query or fragment, no path beyond "/"), at most 256 UTF-16 units long and free of
// control and format characters. `value` is the "url" member's string, or nothing when the
// member is missing or not a string. The result is the accepted text, unchanged.
std::optional<std::string> ZPReadyURL(std::optional<std::string_view> value);

namespace detail {

// The length of UTF-8 `text` in UTF-16 code units (1 per code point below U+10000, 2 above),
// the measure the 256 limit is stated in. Malformed UTF-8 yields SIZE_MAX, which no limit admits.
std::size_t utf16Length(std::string_view text);

// The whole check, parser and all, without the shortcut ZPReadyURL takes for the plain form;
// the two agree on every text.
std::optional<std::string> parsedReadyURL(std::string_view text);

}  // namespace detail

}  // namespace zp
