#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrane::utilkit {

// An open that failed with `error` (its errno) for lack of host memory
// (ENOMEM: no room for the stream or the descriptor's kernel records) is
// not a file that is missing or unreadable: throws std::bad_alloc then, and
// returns for any other error.
void throwIfOutOfMemory(int error);

// std::fopen, throwing std::bad_alloc when it failed for lack of host
// memory; otherwise its result (null, errno set, on failure).
std::FILE* openFile(const std::string& path, const char* mode);

// Reads the whole regular file into `out`. False, with one error line, when
// the file cannot be opened, is not a regular file or is read short; throws
// std::bad_alloc when host memory runs out.
bool readBinaryFile(const std::string& path, std::vector<uint8_t>& out);

// Creates or truncates the file and writes `size` bytes. False, with one
// error line, when opening, writing or closing fails; throws std::bad_alloc
// when there is no host memory to open it.
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
