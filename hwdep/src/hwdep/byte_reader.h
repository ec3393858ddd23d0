#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <spdlog/common.h>

namespace kestrane::hwdep {

// Bounds-checked little-endian cursor over a description. A read that would
// pass the end fails, leaves the cursor where it was and logs one error line
// (only the first failure of a reader logs).
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t length, size_t position = 0)
      : data_(data), length_(length), position_(position <= length ? position : length) {}

  size_t position() const { return position_; }
  size_t length() const { return length_; }
  size_t remaining() const { return length_ - position_; }
  const uint8_t* data() const { return data_; }

  // True when `count` more bytes can be read; else logs and returns false.
  bool need(uint64_t count);
  bool seek(size_t position);
  bool skip(uint64_t count);

  bool u8(uint8_t& out);
  bool u32(uint32_t& out);
  bool i32(int32_t& out);
  bool u64(uint64_t& out);
  // A u32 byte count followed by the bytes.
  bool string(std::string& out);

 private:
  uint64_t little(size_t width);

  const uint8_t* data_;
  size_t length_;
  size_t position_;
  bool logged_ = false;
};

// Position of the first byte after the first of tags[first..count-1] found
// at p, p+1, ..., p+remaining-4 (each tag compared as a little-endian u32),
// or -1 when none is found, remaining is below 4 or first is not below count.
int64_t findSectionTag(const uint8_t* data, size_t p, size_t remaining, const uint32_t* tags, size_t count,
                       size_t first);

// findSectionTag as the parsers seek: nullopt, after one error line, when no
// tag is found. The line carries `caller`, the parser's own seek, so that it
// names the parser (file, line and function) rather than this helper.
std::optional<size_t> seekSectionTag(const uint8_t* data, size_t p, size_t remaining, const uint32_t* tags,
                                     size_t count, size_t first, const spdlog::source_loc& caller);

// The four ASCII bytes of a tag as a little-endian u32.
constexpr uint32_t tagWord(const char (&tag)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(tag[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(tag[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(tag[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(tag[3])) << 24;
}

}  // namespace kestrane::hwdep
