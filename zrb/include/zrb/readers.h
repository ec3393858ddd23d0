#pragma once

// The readers of the format versions. ZRB::load picks one by the version
// word; each verifies the file first and then fills the model object.

#include <string>
#include <vector>

#include "zrb/saveload.h"
#include "zrb/zrb.h"

namespace kestrane::hwdep {
class Platform;
}  // namespace kestrane::hwdep

namespace kestrane::zrb {

namespace v6 {
inline constexpr uint32_t kVersion = 0x60000;
bool verify(LoaderV2& loader);
bool load(const std::string& path, ZRB& model, bool keepBinariesInFile);
}  // namespace v6

namespace v5 {
inline constexpr uint32_t kVersion = 0x50000;
bool verify(LoaderV2& loader);
bool load(const std::string& path, ZRB& model, bool keepBinariesInFile);
}  // namespace v5

namespace v4 {
inline constexpr uint32_t kVersion = 0x40000;
bool verify(LoaderV2& loader);
bool load(const std::string& path, ZRB& model, bool keepBinariesInFile);
}  // namespace v4

namespace v3 {
inline constexpr uint32_t kVersion = 0x30000;
bool verify(LoaderV2& loader);
bool load(const std::string& path, ZRB& model, bool keepBinariesInFile);
}  // namespace v3

namespace v2 {
// The sub-versions differ only in their input and output entries.
inline constexpr uint32_t kVersion0 = 0x20000;
inline constexpr uint32_t kVersion1 = 0x20001;
inline constexpr uint32_t kVersion2 = 0x20002;
bool verify(LoaderV2& loader);
bool load(const std::string& path, ZRB& model, bool keepBinariesInFile);
}  // namespace v2

namespace v1 {
inline constexpr uint32_t kVersion0 = 0x10000;
inline constexpr uint32_t kVersion1 = 0x10001;
inline constexpr uint32_t kVersion2 = 0x10002;
// Reads the whole file and checks its total, input-scale, output-scale and
// payload checksums, in that order; a failure is one line on stderr.
bool verify(const std::string& path);
// Version 1 always extracts its binaries: there is no keep option.
bool load(const std::string& path, ZRB& model);
}  // namespace v1

// The 32-bit wrapping sum of `length` bytes.
uint32_t byteSum(const uint8_t* bytes, uint64_t length);

// One designation at `address` for every core of every cluster of the
// hardware description, cluster by cluster and core by core; the special
// cores 0xFFFD and 0xFFFE only with keepSpecialCores.
std::vector<Designation> platformDesignations(uint64_t address, bool keepSpecialCores);
std::vector<Designation> platformDesignations(const hwdep::Platform& platform, uint64_t address, bool keepSpecialCores);

}  // namespace kestrane::zrb
