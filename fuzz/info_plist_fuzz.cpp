// The Info.plist reader on arbitrary bytes: no crash, no leak, a coherent answer, the same
// answer twice, and a mode that follows from it exactly as the README states.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "launch/launch_config.hpp"
#include "loopback_address.hpp"
#include "platform/bundle.hpp"

namespace {

using zp::platform::PlistType;
using zp::platform::PlistValue;

bool knownType(PlistType type) {
  switch (type) {
    case PlistType::Absent:
    case PlistType::Unreadable:
    case PlistType::String:
    case PlistType::Boolean:
    case PlistType::Integer:
    case PlistType::Real:
    case PlistType::Date:
    case PlistType::Data:
    case PlistType::Array:
    case PlistType::Dictionary:
    case PlistType::Other:
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string key(zp::kModeKey);
  const PlistValue value = zp::platform::infoValueFromBytes(bytes, key);

  ZP_FUZZ_CHECK(knownType(value.type));
  if (value.type != PlistType::String) ZP_FUZZ_CHECK(value.string.empty());
  if (bytes.empty()) ZP_FUZZ_CHECK(value.type == PlistType::Unreadable);

  const PlistValue again = zp::platform::infoValueFromBytes(bytes, key);
  ZP_FUZZ_CHECK(again.type == value.type && again.string == value.string);

  // Absent is preview; exactly "preview" or "connected" is itself; anything else is no mode.
  const std::optional<std::string> mode = zp::ZPMode(value);
  if (value.type == PlistType::Absent) {
    ZP_FUZZ_CHECK(mode == std::string("preview"));
  } else if (value.type == PlistType::String && (value.string == "preview" || value.string == "connected")) {
    ZP_FUZZ_CHECK(mode == value.string);
  } else {
    ZP_FUZZ_CHECK(!mode);
  }
  return 0;
}
