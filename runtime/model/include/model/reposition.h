#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrane/status.h"
#include "model/io_record.h"

namespace kestrane {

// Built once per IO record at model creation.

// NPU element position of every host element of one slice, in host order.
std::vector<uint32_t> buildRepositionIndex(const BufferInfo& info, uint32_t granule, MemoryFormat format,
                                           bool isInput);
// Maximal runs of consecutive positions of an index table.
CopyRuns packIndexRuns(const std::vector<uint32_t>& table, bool isInput);
// Refuses (Model_BrokenZRB, one error line naming `what`) a record whose
// layout could write outside its slice or buffer or place two host elements
// on one NPU position, so that the per-request routines need no checks.
StatusCode validateIORecord(const IORecord& record, bool isInput, const std::string& what);

}  // namespace kestrane
