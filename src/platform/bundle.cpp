#include "platform/bundle.hpp"

#include <plist/plist.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/executable_path.hpp"

namespace zp::platform {
namespace {

// An Info.plist is a few kilobytes; anything near this size is not one.
constexpr std::size_t kMaxInfoPlistBytes = 8u << 20;

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

PlistType typeOf(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: return PlistType::String;
    case PLIST_BOOLEAN: return PlistType::Boolean;
    case PLIST_UINT: return PlistType::Integer;
    case PLIST_REAL: return PlistType::Real;
    case PLIST_DATE: return PlistType::Date;
    case PLIST_DATA: return PlistType::Data;
    case PLIST_ARRAY: return PlistType::Array;
    case PLIST_DICT: return PlistType::Dictionary;
    default: return PlistType::Other;
  }
}

std::string_view parentOf(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  return path.substr(0, slash == 0 ? 1 : slash);
}

std::string_view lastComponent(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

PlistValue infoValueFromBytes(std::string_view bytes, const std::string& key) {
  if (bytes.empty() || bytes.size() > kMaxInfoPlistBytes) return {PlistType::Unreadable, {}};
  plist_t raw = nullptr;
  const auto length = static_cast<uint32_t>(bytes.size());
#ifdef ZP_PLIST_FROM_MEMORY_REPORTS_FORMAT
  if (plist_from_memory(bytes.data(), length, &raw, nullptr) != PLIST_ERR_SUCCESS) raw = nullptr;
#else
  plist_from_memory(bytes.data(), length, &raw);
#endif
  const PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return {PlistType::Unreadable, {}};

  plist_t item = plist_dict_get_item(root.get(), key.c_str());
  if (item == nullptr) return {PlistType::Absent, {}};
  PlistValue value{typeOf(item), {}};
  if (value.type == PlistType::String) {
    // Taken with its length: a string with a NUL inside must not compare equal to its prefix.
    uint64_t size = 0;
    const char* text = plist_get_string_ptr(item, &size);
    if (text != nullptr) value.string.assign(text, static_cast<std::size_t>(size));
  }
  return value;
}

Bundle Bundle::main() { return forExecutable(executableRealPath()); }

Bundle Bundle::forExecutable(const std::string& executableRealPath) {
  Bundle bundle;
  const std::string_view executableDir = parentOf(executableRealPath);
  const std::string_view contents = parentOf(executableDir);
  const std::string_view app = parentOf(contents);
  const std::string_view appName = lastComponent(app);
  const bool inBundle = lastComponent(executableDir) == "MacOS" && lastComponent(contents) == "Contents" &&
                        appName.size() > 4 && appName.ends_with(".app");
  if (inBundle) {
    bundle.infoPlistPath_ = std::string(contents) + "/Info.plist";
    bundle.resourcePath_ = std::string(contents) + "/Resources";
  } else {
    bundle.resourcePath_ = std::string(executableDir);
  }
  return bundle;
}

PlistValue Bundle::infoValue(const std::string& key) const {
  if (infoPlistPath_.empty()) return {PlistType::Absent, {}};
  std::FILE* file = std::fopen(infoPlistPath_.c_str(), "rb");
  if (file == nullptr) {
    // No Info.plist is an empty dictionary; one that exists but cannot be read is not.
    return {errno == ENOENT ? PlistType::Absent : PlistType::Unreadable, {}};
  }
  std::string bytes;
  char buffer[16384];
  std::size_t got = 0;
  bool readable = true;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.append(buffer, got);
    if (bytes.size() > kMaxInfoPlistBytes) break;
  }
  if (std::ferror(file)) readable = false;
  std::fclose(file);
  if (!readable) return {PlistType::Unreadable, {}};
  return infoValueFromBytes(bytes, key);
}

}  // namespace zp::platform
