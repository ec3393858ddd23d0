#include "utilkit/fs_utils.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <system_error>

#include "core/log.h"

namespace kestrane::utilkit {

namespace {
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

void logOpenFailure(const std::string& path, int error) {
  KLOG_ERROR("Failed to open file \"{}\": {}", path, std::strerror(error));
}
}  // namespace

void throwIfOutOfMemory(int error) {
  if (error == ENOMEM) throw std::bad_alloc();
}

std::FILE* openFile(const std::string& path, const char* mode) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (file == nullptr) throwIfOutOfMemory(errno);
  return file;
}

bool readBinaryFile(const std::string& path, std::vector<uint8_t>& out) {
  FilePtr file(openFile(path, "rb"));
  if (!file) {
    logOpenFailure(path, errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fileno(file.get()), &info) != 0) {
    logOpenFailure(path, errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    logOpenFailure(path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    return false;
  }
  const int64_t size = getFileSize(file.get());
  if (size < 0) {
    logOpenFailure(path, errno);
    return false;
  }
  out.resize(static_cast<size_t>(size));
  const size_t got = std::fread(out.data(), 1, out.size(), file.get());
  if (got != out.size()) {
    KLOG_ERROR("Failed to read binary fully, {} != {}", got, size);
    return false;
  }
  return true;
}

bool writeBinaryFile(const std::string& path, const void* data, uint64_t size) {
  std::FILE* file = openFile(path, "wb");
  if (file == nullptr) {
    logOpenFailure(path, errno);
    return false;
  }
  const size_t written = size == 0 ? 0 : std::fwrite(data, 1, size, file);
  if (written != size) {
    KLOG_ERROR("Failed to write binary fully, {} != {}", written, size);
    std::fclose(file);
    return false;
  }
  // Buffered bytes reach the disk only at close; a full disk shows here.
  if (std::fclose(file) != 0) {
    KLOG_ERROR("Failed to write binary fully, {} != {}: {}", 0, size, std::strerror(errno));
    return false;
  }
  return true;
}

std::filesystem::path createTempDirectory(const std::string& prefix, uint64_t n) {
  static constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) {
    KLOG_ERROR("Failed to create a temp directory: {}", ec.message());
    return {};
  }
  std::random_device device;
  std::uniform_int_distribution<int> pick(0, 61);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::mt19937 engine(device());
    std::string name = prefix;
    for (uint64_t i = 0; i < n; ++i) name += kAlphabet[pick(engine)];
    const std::filesystem::path path = base / name;
    // mkdir decides existence itself, so two creators never share a name.
    if (::mkdir(path.c_str(), 0700) == 0) return path;
    if (errno != EEXIST) {
      KLOG_ERROR("Failed to create a temp directory: {}", std::strerror(errno));
      return {};
    }
  }
  KLOG_ERROR("Failed to create a temp directory.");
  return {};
}

}  // namespace kestrane::utilkit
