#pragma once

// The readers of the format versions. ZRB::load picks one by the version
// word; each verifies the file first and then fills the model object.

#include <string>

#include "zrb/saveload.h"
#include "zrb/zrb.h"

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

}  // namespace kestrane::zrb
