#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace kestrane::zrb {

namespace detail {
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
}  // namespace detail

// The sequential reader of model files of versions 2 to 6. It keeps the
// offset it believes it is at; every operation advances it by what it
// consumed, so a short read leaves the offset past the item.
class LoaderV2 {
 public:
  explicit LoaderV2(const std::string& path);
  LoaderV2(const LoaderV2&) = delete;
  LoaderV2& operator=(const LoaderV2&) = delete;

  bool isOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  uint64_t size() const { return size_; }
  uint64_t offset() const { return offset_; }
  // Bytes between the offset and the end of the file.
  uint64_t remaining() const { return offset_ < size_ ? size_ - offset_ : 0; }

  // One little-endian item of 4, 8 or 4 bytes. A short read logs
  // "Failed to read zrb, 0 != 1" and returns false with the value 0.
  bool read(uint32_t& value);
  bool read(uint64_t& value);
  bool read(float& value);
  bool read(uint8_t& value);

  // Moves forward by n bytes.
  bool skip(uint64_t n);
  // Reads up to n bytes into `buffer` and returns to the offset; returns the
  // number of bytes read.
  uint64_t peek(void* buffer, uint64_t n);
  // Back to the start of the file.
  bool rewind();

  // The byte sum of the whole file less the four bytes of `stored`, which is
  // `stored` exactly when the checksum holds. Nothing when the file cannot be
  // read whole (logged as "Failed to read zrb for checksum").
  std::optional<uint32_t> getChecksumVerified(uint32_t stored);

 private:
  bool readItem(void* out, size_t bytes);

  std::string path_;
  detail::FilePtr file_;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
};

// The boundary word in either byte order (format versions 3 to 6).
inline bool isBoundary(uint32_t word) { return word == 0x12345678u || word == 0x78563412u; }

}  // namespace kestrane::zrb
