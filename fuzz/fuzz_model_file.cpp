// libFuzzer target: a model file of any format version, read through the
// verifying loader, extracted and kept in the file.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zrb/zrb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("kestrane_fuzz_" + std::to_string(getpid()) + ".zrb")).string();
  kestrane::fuzz::quietLogs();
  std::vector<uint8_t> bytes(data, data + size);
  kestrane::fuzz::fixChecksum(bytes);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  for (bool keepBinariesInFile : {false, true}) {
    kestrane::zrb::ZRB model;
    try {
      if (model.load(path, keepBinariesInFile)) model.isSupportedHardware();
    } catch (const std::bad_alloc&) {  // the loader's way of saying the host has no memory for the file
    }
  }
  return 0;
}
