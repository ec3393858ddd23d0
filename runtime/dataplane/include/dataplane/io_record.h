#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kestrane/type.h"

namespace kestrane {

// Host order of an item's elements. Internal records use 0x7F for none.
enum class MemoryFormat : uint8_t { HWC = 0, CHW = 1, None = 0x7F };

// Element type of an input or output on the NPU: 4, 2 or 1 byte per element.
enum class NPUDtype : uint8_t { Float32 = 0, Float16 = 1, Int8 = 2 };

// Element runs between a host slice and an NPU slice: run k moves
// lengths[k] elements from srcOffsets[k] to dstOffsets[k]. Inputs copy host
// to NPU, outputs NPU to host. Offsets and lengths count elements.
struct CopyRuns {
  std::vector<uint32_t> srcOffsets;
  std::vector<uint32_t> lengths;
  std::vector<uint32_t> dstOffsets;
};

// One input or output of an NPU operation, fixed at model creation.
// layoutKind and npuDtype are the file's io_type and word2_nibble.
struct IORecord {
  BufferInfo info;
  Scale scale;
  uint8_t layoutKind = 0;
  uint8_t npuDtype = 0;
  // Layout kind 0 only: NPU position of every host element, [0] for HWC
  // host order and [1] for CHW.
  std::array<std::vector<uint32_t>, 2> indexTables;
  std::vector<CopyRuns> copyRuns;
  // copyRuns[0] as disjointRuns makes it when its runs overlap, else empty.
  // The layout step copies these where present; the relayout test still
  // reads copyRuns[0].
  CopyRuns disjointRuns;
  uint32_t channelGranule = 1;
};

// Sequence-length multipliers {h, w, c} of one input or output; an empty
// list stands for {1, 1, 1} for every record.
using SeqLensHWC = std::vector<uint32_t>;

// The sequence-length result of one request for one NPU operation.
struct SeqLenInfo {
  std::vector<SeqLensHWC> inputSeqlens;
  std::vector<SeqLensHWC> outputSeqlens;
  std::vector<uint32_t> rmemValues;  // one per RmemId entry of the bundle
  MemoryFormat format = MemoryFormat::HWC;
};

}  // namespace kestrane
