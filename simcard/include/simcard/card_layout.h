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
  // The region that starts at `base`; size 0 when none does.
  MemoryRegion regionAt(uint64_t base) const;
};

// Where a card with four-channel interleaved DDR keeps it: the four channel
// windows (c + 4) * 2^33, each reached at a 32-bit position (plus a transfer
// offset), replace the cores' DDR regions.
inline constexpr uint64_t kInterleavedFirst = 0x800000000;
inline constexpr uint64_t kInterleavedLast = 0xEFFFFFFFF;
inline constexpr MemoryRegion kChannelWindows{0x800000000, 0x800000000};

// The channel-window address of interleaved address `address`: a 256-byte
// granule g of a 1 KiB period goes to channel g, at the period's position.
inline uint64_t channelAddress(uint64_t address) {
  const uint64_t position = address & 0xFFFFFFFF;
  const uint64_t channel = (position >> 8) & 3;
  return ((channel + 4) << 33) + (position & ~uint64_t{0x3FF}) + (position & 0xFF);
}

// The layout of the hardware description compiled into the library; with
// `interleaved`, the channel windows stand in for the DDR regions.
CardLayout builtinLayout(bool interleaved = false);

}  // namespace kestrane::simcard
