#include "hwdep/byte_reader.h"

#include "core/log.h"

namespace kestrane::hwdep {

bool ByteReader::need(uint64_t count) {
  if (count <= remaining()) return true;
  if (!logged_) {
    logged_ = true;
    KLOG_ERROR("Hardware description is truncated: {} bytes needed at offset {}, {} left.", count, position_,
               remaining());
  }
  return false;
}

bool ByteReader::seek(size_t position) {
  if (position > length_) return need(position - position_);
  position_ = position;
  return true;
}

bool ByteReader::skip(uint64_t count) {
  if (!need(count)) return false;
  position_ += static_cast<size_t>(count);
  return true;
}

uint64_t ByteReader::little(size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(data_[position_ + i]) << (8 * i);
  position_ += width;
  return value;
}

bool ByteReader::u8(uint8_t& out) {
  if (!need(1)) return false;
  out = static_cast<uint8_t>(little(1));
  return true;
}

bool ByteReader::u32(uint32_t& out) {
  if (!need(4)) return false;
  out = static_cast<uint32_t>(little(4));
  return true;
}

bool ByteReader::i32(int32_t& out) {
  uint32_t raw = 0;
  if (!u32(raw)) return false;
  out = static_cast<int32_t>(raw);
  return true;
}

bool ByteReader::u64(uint64_t& out) {
  if (!need(8)) return false;
  out = little(8);
  return true;
}

bool ByteReader::string(std::string& out) {
  const size_t start = position_;
  uint32_t size = 0;
  if (!u32(size)) return false;
  if (!need(size)) {
    position_ = start;
    return false;
  }
  out.assign(reinterpret_cast<const char*>(data_ + position_), size);
  position_ += size;
  return true;
}

int64_t findSectionTag(const uint8_t* data, size_t p, size_t remaining, const uint32_t* tags, size_t count,
                       size_t first) {
  if (remaining < 4 || first >= count) return -1;
  for (size_t pos = p; pos + 4 <= p + remaining; ++pos) {
    const uint32_t word = static_cast<uint32_t>(data[pos]) | static_cast<uint32_t>(data[pos + 1]) << 8 |
                          static_cast<uint32_t>(data[pos + 2]) << 16 | static_cast<uint32_t>(data[pos + 3]) << 24;
    for (size_t k = first; k < count; ++k) {
      if (word == tags[k]) return static_cast<int64_t>(pos + 4);
    }
  }
  return -1;
}

std::optional<size_t> seekSectionTag(const uint8_t* data, size_t p, size_t remaining, const uint32_t* tags,
                                     size_t count, size_t first, const spdlog::source_loc& caller) {
  const int64_t found = findSectionTag(data, p, remaining, tags, count, first);
  if (found < 0) {
    spdlog::default_logger_raw()->log(caller, spdlog::level::err, "Failed to seek section identifier");
    return std::nullopt;
  }
  return static_cast<size_t>(found);
}

}  // namespace kestrane::hwdep
