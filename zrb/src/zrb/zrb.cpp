#include "zrb/zrb.h"

#include <cstdio>
#include <iostream>
#include <new>
#include <system_error>

#include "core/log.h"
#include "hwdep/platform.h"
#include "utilkit/fs_utils.h"
#include "zrb/readers.h"

namespace kestrane::zrb {

namespace fs = std::filesystem;

namespace {

using Reader = bool (*)(const std::string& path, ZRB& model, bool keepBinariesInFile);

struct ReaderEntry {
  uint32_t version;
  Reader reader;
};

// Readers by format version word; a reader without the keep option ignores it.
bool loadV1(const std::string& path, ZRB& model, bool) { return v1::load(path, model); }

constexpr ReaderEntry kReaders[] = {
    {v1::kVersion0, &loadV1},
    {v1::kVersion1, &loadV1},
    {v1::kVersion2, &loadV1},
    {v2::kVersion0, &v2::load},
    {v2::kVersion1, &v2::load},
    {v2::kVersion2, &v2::load},
    {v3::kVersion, &v3::load},
    {v4::kVersion, &v4::load},
    {v5::kVersion, &v5::load},
    {v6::kVersion, &v6::load},
};

Reader readerFor(uint32_t version) {
  for (const ReaderEntry& entry : kReaders) {
    if (entry.version == version) return entry.reader;
  }
  return nullptr;
}

// The word at offset 4; nothing when the file is too short to hold it.
std::optional<uint32_t> readVersionWord(std::FILE* file) {
  uint32_t words[2] = {};
  if (std::fread(words, sizeof words, 1, file) != 1) return std::nullopt;
  return words[1];
}

}  // namespace

ZRB::ZRB() noexcept {
  try {
    temp_directory = utilkit::createTempDirectory("zrb_", 8);
  } catch (const std::bad_alloc&) {
    temp_directory.clear();
    temp_directory_out_of_memory = true;
  } catch (const std::exception& e) {
    KLOG_ERROR("Failed to create a temp directory: {}", e.what());
    temp_directory.clear();
  }
}

ZRB::~ZRB() {
  if (!remove_temp_directory || temp_directory.empty()) return;
  // Already gone, or not removable: nothing to report, and nothing may escape.
  try {
    std::error_code ec;
    fs::remove_all(temp_directory, ec);
  } catch (...) {
  }
}

void ZRB::setHeader(uint32_t formatVersion, uint32_t headerWord, uint32_t targetHardware) {
  format_version = formatVersion;
  header_word = headerWord;
  target_hardware = targetHardware;
}

void ZRB::setBundles(const std::vector<Bundle>& list) {
  if (&list != &bundles) bundles = list;
}

void ZRB::setMetadata(const std::vector<Metadatum>& list) {
  if (&list != &metadata) metadata = list;
}

bool ZRB::load(const std::string& path, bool keepBinariesInFile) {
  try {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
      KLOG_ERROR("Unable to load; No such file exists:'{}'", path);
      return false;
    }
    if (fs::is_directory(status)) {
      KLOG_ERROR("Unable to load; Is a directory: '{}'", path);
      return false;
    }
    std::optional<uint32_t> version;
    {
      detail::FilePtr file(utilkit::openFile(path, "rb"));
      if (!file) {
        KLOG_ERROR("Unable to load; Cannot open a file: '{}'", path);
        return false;
      }
      version = readVersionWord(file.get());
    }
    const Reader reader = version ? readerFor(*version) : nullptr;
    if (reader == nullptr) {
      std::cerr << "Unable to load; no matching ZRB version!" << std::endl;
      return false;
    }
    if (temp_directory.empty()) {
      if (temp_directory_out_of_memory) throw std::bad_alloc();
      KLOG_ERROR("Unable to load '{}': the model has no temporary directory.", path);
      return false;
    }
    return reader(path, *this, keepBinariesInFile);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    KLOG_ERROR("Failed to load '{}': {}", path, e.what());
  }
  return false;
}

bool ZRB::isSupportedHardware() const {
  const hwdep::Platform platform;
  switch (format_version) {
    case 0x10000: case 0x10001: case 0x10002:
    case 0x20000: case 0x20001: case 0x20002:
    case 0x6FFF0000:
      return true;
    case kUnsetWord:
      KLOG_ERROR("ZRB contains invalid format version");
      return false;
    default:
      return target_hardware == platform.getHardwareVersion();
  }
}

}  // namespace kestrane::zrb
