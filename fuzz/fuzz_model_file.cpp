// libFuzzer target: a model file of any format version, read through the
// verifying loader, extracted and kept in the file.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zrb/zrb.h"

namespace {

uint32_t wordAt(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

// Versions 2 to 6 store the byte sum of the file at offset 16 (20 in version
// 6): a mutated file would nearly always stop there. The sum is rewritten so
// that mutations reach the readers; the check itself has its own tests.
void fixChecksum(std::vector<uint8_t>& b) {
  if (b.size() < 24) return;
  const uint32_t major = wordAt(b, 4) >> 16;
  if (major < 2 || major > 6) return;
  const size_t at = major == 6 ? 20 : 16;
  uint32_t sum = 0;
  for (size_t i = 0; i < b.size(); ++i) sum += (i >= at && i < at + 4) ? 0 : b[i];
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(sum >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("kestrane_fuzz_" + std::to_string(getpid()) + ".zrb")).string();
  kestrane::fuzz::quietLogs();
  std::vector<uint8_t> bytes(data, data + size);
  fixChecksum(bytes);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  for (bool keepBinariesInFile : {false, true}) {
    kestrane::zrb::ZRB model;
    if (model.load(path, keepBinariesInFile)) model.isSupportedHardware();
  }
  return 0;
}
