#pragma once

// A model file in a private temporary directory, removed with the object.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "utilkit/fs_utils.h"

namespace kestrane::test {

class TempModelFile {
 public:
  explicit TempModelFile(const std::vector<uint8_t>& bytes)
      : dir_(utilkit::createTempDirectory("zrbtest_", 8)), path_((dir_ / "model.zrb").string()) {
    rewrite(bytes);
  }
  ~TempModelFile() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TempModelFile(const TempModelFile&) = delete;
  TempModelFile& operator=(const TempModelFile&) = delete;

  void rewrite(const std::vector<uint8_t>& bytes) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  const std::string& path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

}  // namespace kestrane::test
