#pragma once

// What every fuzz target shares.

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestrane::fuzz {

// The library logs one line per refusal; at fuzzing speed that is noise.
// KESTRANE_FUZZ_LOGS=1 keeps the lines, to see what a reproducer does.
inline void quietLogs() {
  static const bool quiet =
      (std::getenv("KESTRANE_FUZZ_LOGS") == nullptr ? spdlog::set_level(spdlog::level::off) : void(), true);
  (void)quiet;
}

// Reads a fuzz input in turn: next() one byte (0 past the end), fill() the
// next n bytes, starting again at the first when they run out (zeros when
// there are none).
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  void fill(void* out, size_t n) {
    auto* bytes = static_cast<uint8_t*>(out);
    if (size_ == 0) {
      std::memset(bytes, 0, n);
      return;
    }
    for (size_t i = 0; i < n; ++i) {
      if (pos_ >= size_) pos_ = 0;
      bytes[i] = data_[pos_++];
    }
  }
  // What has not been read yet, as a cursor of its own.
  Cursor rest() const {
    const size_t at = std::min(pos_, size_);
    return Cursor(data_ + at, size_ - at);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Versions 2 to 6 store the byte sum of the file at offset 16 (20 in version
// 6): a mutated file would nearly always stop there. The sum is rewritten so
// that mutations reach the readers; the check itself has its own tests.
inline void fixChecksum(std::vector<uint8_t>& b) {
  if (b.size() < 24) return;
  const uint32_t major = (static_cast<uint32_t>(b[6]) | static_cast<uint32_t>(b[7]) << 8);
  if (major < 2 || major > 6) return;
  const size_t at = major == 6 ? 20 : 16;
  uint32_t sum = 0;
  for (size_t i = 0; i < b.size(); ++i) sum += (i >= at && i < at + 4) ? 0 : b[i];
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(sum >> (8 * i));
}

}  // namespace kestrane::fuzz
