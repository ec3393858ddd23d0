#pragma once

// IO records for the reposition tests, built the way model creation builds
// them.

#include <cstdint>
#include <vector>

#include "dataplane/io_record.h"
#include "dataplane/reposition.h"

namespace kestrane::test {

// BufferInfo from (original, reshaped, NPU) dimensions.
inline BufferInfo bufferInfo(uint32_t oh, uint32_t ow, uint32_t oc, uint32_t rh, uint32_t rw, uint32_t rc,
                             uint32_t h, uint32_t w, uint32_t c) {
  return BufferInfo{oh, ow, oc, rh, rw, rc, h, w, c};
}

// A record of the given kind; kind 0 gets its tables and runs as model
// creation makes them.
inline IORecord makeRecord(const BufferInfo& info, uint8_t kind, uint32_t granule, bool isInput,
                           uint8_t npuDtype = 0) {
  IORecord rec;
  rec.info = info;
  rec.layoutKind = kind;
  rec.npuDtype = npuDtype;
  rec.channelGranule = granule;
  rec.scale.is_uniform = true;
  rec.scale.scale = 1.0f;
  if (kind == 0) {
    rec.indexTables[0] = buildRepositionIndex(info, granule, MemoryFormat::HWC, isInput);
    rec.indexTables[1] = buildRepositionIndex(info, granule, MemoryFormat::CHW, isInput);
    rec.copyRuns = {packIndexRuns(rec.indexTables[0], isInput)};
  }
  return rec;
}

// Whether there are runs, ascending and apart in their destination, so
// that copying them writes each element once.
inline bool writeEachElementOnce(const CopyRuns& runs) {
  if (runs.lengths.empty()) return false;
  uint64_t end = 0;
  for (size_t k = 0; k < runs.lengths.size(); ++k) {
    if (runs.lengths[k] == 0 || runs.dstOffsets[k] < end) return false;
    end = uint64_t{runs.dstOffsets[k]} + runs.lengths[k];
  }
  return true;
}

// The item that `runs` leave in `dst` applied one after another to each of
// `slices` slices, element by element: the later run wins and, with
// zeroFill, what no run covers is cleared.
template <typename T>
std::vector<T> runsInOrder(const CopyRuns& runs, const std::vector<T>& src, size_t srcSlice, std::vector<T> dst,
                           size_t dstSlice, size_t slices, bool zeroFill) {
  for (size_t s = 0; s < slices; ++s) {
    std::vector<bool> covered(dstSlice, false);
    for (size_t k = 0; k < runs.lengths.size(); ++k)
      for (size_t j = 0; j < runs.lengths[k]; ++j) {
        dst[s * dstSlice + runs.dstOffsets[k] + j] = src[s * srcSlice + runs.srcOffsets[k] + j];
        covered[runs.dstOffsets[k] + j] = true;
      }
    for (size_t e = 0; e < dstSlice; ++e)
      if (zeroFill && !covered[e]) dst[s * dstSlice + e] = 0;
  }
  return dst;
}

}  // namespace kestrane::test
