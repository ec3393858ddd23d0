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

}  // namespace kestrane::test
