// ZPReadyURL on arbitrary bytes, against the hand-written matcher in both directions: what it
// accepts is an exact loopback address and comes back unchanged, and every exact loopback
// address short enough for its length rule is accepted. The parser alone agrees on every input.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "loopback_address.hpp"
#include "supervisor/ready_url.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> accepted = zp::ZPReadyURL(text);
  if (accepted) {
    ZP_FUZZ_CHECK(*accepted == text);
    ZP_FUZZ_CHECK(zp::fuzz::isExactLoopbackAddress(*accepted));
  } else {
    // Such an address is plain ASCII, so its length in UTF-16 units is its length in bytes.
    ZP_FUZZ_CHECK(!(zp::fuzz::isExactLoopbackAddress(text) && text.size() <= 256));
  }
  // The shortcut for the common form decides exactly as the parser does.
  ZP_FUZZ_CHECK(zp::detail::parsedReadyURL(text) == accepted);
  ZP_FUZZ_CHECK(!zp::ZPReadyURL(std::nullopt));
  return 0;
}
