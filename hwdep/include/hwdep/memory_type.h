#pragma once

#include <cstdint>
#include <string>

namespace kestrane::hwdep {

// Device memory regions and registers of one core, as the hardware
// description keys them. 16 and 26 have no name of their own.
enum class MemoryType : uint32_t {
  IMEM = 0,
  CLMEM = 1,
  DLMEM = 2,
  ALMEM = 3,
  DAMEM = 4,
  CAMEM = 5,
  AAMEM = 6,
  DDR = 7,
  DDRIMEM = 8,
  DDRCLMEM = 9,
  DDRDLMEM = 10,
  DDRWEIGHT = 11,
  BUFFER = 12,
  BUFFERSE0 = 13,
  BUFFERSE1 = 14,
  BUFFERSE2 = 15,
  Unnamed16 = 16,
  WMEM = 17,
  SMEM = 18,
  BRAM = 19,
  SRAMWMEM = 20,
  SRAMACT = 21,
  SRAMWEIGHT = 22,
  GLOBALIMEM = 23,
  StatusRegister = 24,
  ControlRegister = 25,
  Unnamed26 = 26,
  IMEMINIT = 27,
  IMEMINITSTART = 28,
  DDRSRAM = 29,
  RMEM = 30,
};

// "IMEM", "Status Register", ...; "Error" for 16, 26 and every value above 30.
std::string memoryTypeName(uint32_t type);

}  // namespace kestrane::hwdep
