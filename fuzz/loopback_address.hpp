#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace zp::fuzz {

// Written without any URI parser, so it cannot share the gate's mistakes: exactly
// "http://127.0.0.1:", decimal digits whose value is 1024..65535 (leading zeros allowed, as the
// gate reads them), then nothing or a single "/".
inline bool isExactLoopbackAddress(std::string_view text) {
  constexpr std::string_view kPrefix = "http://127.0.0.1:";
  if (text.substr(0, kPrefix.size()) != kPrefix) return false;
  text.remove_prefix(kPrefix.size());
  if (!text.empty() && text.back() == '/') text.remove_suffix(1);
  if (text.empty()) return false;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 65535) return false;  // more digits only make it larger
  }
  return value >= 1024;
}

// A broken property ends the run with the input saved by libFuzzer.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

}  // namespace zp::fuzz

#define ZP_FUZZ_CHECK(condition) \
  do {                           \
    if (!(condition)) ::zp::fuzz::fail(#condition); \
  } while (false)
