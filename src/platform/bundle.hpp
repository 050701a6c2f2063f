#pragma once

#include <string>
#include <string_view>

namespace zp::platform {

// The property-list type of a value read from the information dictionary. `Absent` is a key
// that is not there; `Unreadable` means the dictionary itself could not be read, so no key
// can be trusted to be absent.
enum class PlistType { Absent, Unreadable, String, Boolean, Integer, Real, Date, Data, Array, Dictionary, Other };

struct PlistValue {
  PlistType type = PlistType::Absent;
  std::string string;  // the text, for PlistType::String only
};

// Looks `key` up in an Info.plist held in memory, XML or binary. A file that is not a
// property list, or whose top level is not a dictionary, gives PlistType::Unreadable.
PlistValue infoValueFromBytes(std::string_view bytes, const std::string& key);

// An application bundle: the executable at X.app/Contents/MacOS/name makes X.app the bundle,
// Contents/Info.plist its information dictionary and Contents/Resources its resource
// directory. An executable outside that layout has an empty dictionary and its own directory
// as resources.
class Bundle {
 public:
  // The bundle of the running executable, found from its real path.
  static Bundle main();
  // The bundle around an executable at `executableRealPath` (absolute, links resolved).
  static Bundle forExecutable(const std::string& executableRealPath);

  // Reads the information dictionary afresh at every call.
  PlistValue infoValue(const std::string& key) const;
  const std::string& resourcePath() const { return resourcePath_; }
  // Empty for an executable outside a bundle layout.
  const std::string& infoPlistPath() const { return infoPlistPath_; }

 private:
  std::string infoPlistPath_;
  std::string resourcePath_;
};

}  // namespace zp::platform
