#include "zrb/saveload.h"

#include <cstring>
#include <new>
#include <vector>

#include "core/log.h"
#include "utilkit/fs_utils.h"

namespace kestrane::zrb {

namespace {
constexpr uint64_t kChecksumChunk = 0x200000;
}  // namespace

LoaderV2::LoaderV2(const std::string& path) : path_(path), file_(utilkit::openFile(path, "rb")) {
  if (!file_) {
    KLOG_INFO("open failed");
    return;
  }
  const int64_t size = utilkit::getFileSize(file_.get());
  if (size < 0) {
    KLOG_INFO("open failed");
    file_.reset();
    return;
  }
  size_ = static_cast<uint64_t>(size);
}

bool LoaderV2::readItem(void* out, size_t bytes) {
  const size_t got = file_ ? std::fread(out, bytes, 1, file_.get()) : 0;
  offset_ += bytes;
  if (got != 1) {
    KLOG_ERROR("Failed to read zrb, {} != {}", got, 1);
    std::memset(out, 0, bytes);
    return false;
  }
  return true;
}

// The file is little-endian, as is every host this library is built for.
bool LoaderV2::read(uint32_t& value) { return readItem(&value, sizeof value); }
bool LoaderV2::read(uint64_t& value) { return readItem(&value, sizeof value); }
bool LoaderV2::read(float& value) { return readItem(&value, sizeof value); }
bool LoaderV2::read(uint8_t& value) { return readItem(&value, sizeof value); }

bool LoaderV2::skip(uint64_t n) {
  offset_ += n;
  return file_ && fseeko(file_.get(), static_cast<off_t>(offset_), SEEK_SET) == 0;
}

uint64_t LoaderV2::peek(void* buffer, uint64_t n) {
  if (!file_ || n == 0) return 0;
  const uint64_t got = std::fread(buffer, 1, n, file_.get());
  fseeko(file_.get(), static_cast<off_t>(offset_), SEEK_SET);
  return got;
}

bool LoaderV2::rewind() {
  offset_ = 0;
  return file_ && fseeko(file_.get(), 0, SEEK_SET) == 0;
}

std::optional<uint32_t> LoaderV2::getChecksumVerified(uint32_t stored) {
  if (!file_) return std::nullopt;
  std::vector<uint8_t> buffer(kChecksumChunk);  // no memory for it is no checksum error
  if (fseeko(file_.get(), 0, SEEK_SET) != 0) {
    KLOG_ERROR("Failed to read zrb for checksum");
    return std::nullopt;
  }
  uint32_t sum = 0;
  for (uint64_t done = 0; done < size_;) {
    const size_t chunk = static_cast<size_t>(std::min(size_ - done, kChecksumChunk));
    if (std::fread(buffer.data(), 1, chunk, file_.get()) != chunk) {
      KLOG_ERROR("Failed to read zrb for checksum");
      return std::nullopt;
    }
    for (size_t i = 0; i < chunk; ++i) sum += buffer[i];
    done += chunk;
  }
  fseeko(file_.get(), static_cast<off_t>(offset_), SEEK_SET);
  for (int i = 0; i < 4; ++i) sum -= (stored >> (8 * i)) & 0xFFu;
  return sum;
}

}  // namespace kestrane::zrb
