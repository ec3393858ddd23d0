#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrane::utilkit {

// Reads the whole regular file into `out`. False, with one error line, when
// the file cannot be opened, is not a regular file or is read short.
bool readBinaryFile(const std::string& path, std::vector<uint8_t>& out);

// Creates or truncates the file and writes `size` bytes. False, with one
// error line, when opening, writing or closing fails.
bool writeBinaryFile(const std::string& path, const void* data, uint64_t size);

// Size of an open stream in bytes; leaves it positioned at its start.
// -1 when the stream cannot be measured.
inline int64_t getFileSize(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  const int64_t size = ftello(file);
  std::rewind(file);
  return size;
}

// Creates a fresh directory <temp dir>/<prefix><n random alphanumerics>, mode
// 0700. Empty path, with one error line, on failure.
std::filesystem::path createTempDirectory(const std::string& prefix, uint64_t n);

}  // namespace kestrane::utilkit
