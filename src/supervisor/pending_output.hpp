#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace zp {

// The most output of one start that may wait for its line feed, counting the newest chunk.
inline constexpr std::size_t kMaxPendingOutput = 65536;
// Bytes that stay readable past the end of any line held here, as the JSON parser needs.
inline constexpr std::size_t kLinePadding = 64;

// The bytes of the current start not yet framed into status lines. Its whole capacity is
// allocated once, so appending never reallocates and every line inside it can be parsed in
// place.
class PendingOutput {
 public:
  PendingOutput() : bytes_(new char[kMaxPendingOutput + kLinePadding]()) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {bytes_.get(), size_}; }

  // The caller has checked that the result fits in kMaxPendingOutput.
  void append(std::string_view chunk) {
    std::memcpy(bytes_.get() + size_, chunk.data(), chunk.size());
    size_ += chunk.size();
  }
  void clear() { size_ = 0; }
  // Drops the first `count` bytes, keeping the rest at the front.
  void consumeFront(std::size_t count) {
    std::memmove(bytes_.get(), bytes_.get() + count, size_ - count);
    size_ -= count;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
};

}  // namespace zp
