#pragma once

// Device memory of the card as the hardware description lays it out, for
// refusing model files whose placements fall outside it.

#include <cstdint>
#include <vector>

namespace kestrane {

class DeviceRegions {
 public:
  // The regions of the compiled-in description: the description gives where
  // regions start, not how long they are, so a region reaches to the next
  // start, at most 2 GiB for DDR and 8 MiB for the others. Registers are not
  // memory. Adjacent regions join.
  static const DeviceRegions& card();

  // Whether [address, address + size) lies inside one joined region. A range
  // of no bytes touches no memory and is always inside.
  bool contains(uint64_t address, uint64_t size) const;

  // Bytes of the largest joined region: no single device area is larger.
  uint64_t largest() const;
  // Bytes of all regions together: what the card can hold at once.
  uint64_t total() const;

  struct Span {
    uint64_t begin = 0;
    uint64_t end = 0;
  };
  const std::vector<Span>& spans() const { return spans_; }

 private:
  std::vector<Span> spans_;  // sorted, disjoint, not touching
};

}  // namespace kestrane
