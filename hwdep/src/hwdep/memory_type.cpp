#include "hwdep/memory_type.h"

#include <array>

namespace kestrane::hwdep {

std::string memoryTypeName(uint32_t type) {
  static constexpr std::array<const char*, 31> kNames = {
      "IMEM",     "CLMEM",     "DLMEM",     "ALMEM",     "DAMEM",      "CAMEM",           "AAMEM",
      "DDR",      "DDRIMEM",   "DDRCLMEM",  "DDRDLMEM",  "DDRWEIGHT",  "BUFFER",          "BUFFERSE0",
      "BUFFERSE1", "BUFFERSE2", "Error",    "WMEM",      "SMEM",       "BRAM",            "SRAMWMEM",
      "SRAMACT",  "SRAMWEIGHT", "GLOBALIMEM", "Status Register", "Control Register", "Error", "IMEMINIT",
      "IMEMINITSTART", "DDRSRAM", "RMEM"};
  return type < kNames.size() ? kNames[type] : "Error";
}

}  // namespace kestrane::hwdep
