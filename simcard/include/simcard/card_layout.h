#pragma once

#include <cstdint>
#include <vector>

namespace kestrane::simcard {

// One core of the card as the card's program runner needs it.
struct CoreLayout {
  int cluster = 0;  // 0 or 1
  int core = 0;     // 0..3, 4 for the global core
  uint64_t ddr = 0;
  uint64_t imem = 0;  // GLOBALIMEM for the global core
  uint64_t rmem = 0;

  // The core key cluster | core of the runtime (0x10003 for cluster 0, core 2).
  uint32_t key() const {
    return 0x10000u * static_cast<uint32_t>(cluster + 1) | (core == 4 ? 0xFFFEu : static_cast<uint32_t>(core + 1));
  }
};

struct MemoryRegion {
  uint64_t base = 0;
  uint64_t size = 0;
};

// Cores and device-memory regions of one card.
struct CardLayout {
  std::vector<CoreLayout> cores;
  std::vector<MemoryRegion> regions;

  // Index into `cores`, or -1.
  int find(int cluster, int core) const;
};

// The layout of the hardware description compiled into the library.
CardLayout builtinLayout();

}  // namespace kestrane::simcard
