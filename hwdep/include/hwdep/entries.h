#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace kestrane::hwdep {

// Description keys (cluster ids, core ids, memory types, template rows) are
// ordered as signed 32-bit values.
struct SignedKeyLess {
  bool operator()(uint32_t a, uint32_t b) const { return static_cast<int32_t>(a) < static_cast<int32_t>(b); }
};

template <typename T>
using KeyMap = std::map<uint32_t, T, SignedKeyLess>;

struct ClusterEntry;

// One core: its id and the device addresses of its memory regions and
// registers, keyed by MemoryType.
struct CoreEntry {
  uint32_t id = 0xFFFF;
  // The cluster that holds this entry; null for an entry made by lookup.
  const ClusterEntry* cluster = nullptr;
  // No description format fills it; carried with the entry.
  std::vector<uint64_t> values;
  KeyMap<uint64_t> addresses;

  // Inserts or overwrites.
  bool setAddress(uint32_t type, uint64_t address) {
    addresses[type] = address;
    return true;
  }
};

struct ClusterEntry {
  uint32_t id = 0x7FFF0000;
  KeyMap<CoreEntry> cores;

  // Replaces (or inserts) the entry stored under core.id.
  bool putCore(const CoreEntry& core) {
    cores[core.id] = core;
    return true;
  }
};

// A module entry of the description; carried, not interpreted.
struct ModuleEntry {
  uint32_t index = 0;
  std::array<bool, 15> flags{};
};

}  // namespace kestrane::hwdep
