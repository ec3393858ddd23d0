#pragma once

// Data reposition between the host form of one batch item (dense HWC or CHW,
// float32 or int8 elements) and the NPU form an IO record describes.
//
// Everything a request touches is bounded once per record at model creation
// (validateIORecord): the per-request routines trust the record and carry no
// checks in their loops. They keep no state; any number of threads may
// convert items of one model at once.

#include <cstdint>
#include <string>
#include <vector>

#include "dataplane/io_record.h"
#include "kestrane/status.h"

namespace kestrane {

// ---- Built once per IO record at model creation ----

// NPU element position of every host element of one slice, in host order.
// Empty when the dimensions or the granule make no table, a position does
// not fit 32 bits or the table would not fit in memory (only an invalid
// format logs a line: validateIORecord names the record).
std::vector<uint32_t> buildRepositionIndex(const BufferInfo& info, uint32_t granule, MemoryFormat format,
                                           bool isInput);
// The positions of a layout that regroups the original dimensions into the
// reshaped ones, padding channels to the granule.
std::vector<uint32_t> calcHWC(const BufferInfo& info, uint32_t granule, MemoryFormat format);
// The positions of a small-channel input laid pixel by pixel into the NPU's
// width and channel.
std::vector<uint32_t> simpleHWCIndex(const BufferInfo& info, MemoryFormat format);
// Maximal runs of consecutive positions of an index table.
CopyRuns packIndexRuns(const std::vector<uint32_t>& table, bool isInput);
// Runs of a validated record whose destinations overlap, reduced to
// ascending runs that write each destination element once and leave the
// slice as the runs applied in order leave it (the later run wins; with
// zero filling, what no run covers is still cleared). Empty when no element
// is written twice: such runs are used as they are.
CopyRuns disjointRuns(const CopyRuns& runs);
// Refuses (Model_BrokenZRB, one error line naming `what`) a record whose
// layout could write outside its slice or buffer or place two host elements
// on one NPU position, so that the per-request routines need no checks; a
// layout-kind-0 record without its tables (host memory ran out) gives
// BadAlloc and one line.
StatusCode validateIORecord(const IORecord& record, bool isInput, const std::string& what);
// The same checks without what needs a layout-kind-0 record's tables and
// runs, worked out from its dimensions: how far its positions reach, and
// whether two host elements share one where the dimensions tell (elsewhere
// only the built tables do). Model creation runs it before building any
// table; a record it passes makes tables of positions inside its slice.
StatusCode checkIORecordLayout(const IORecord& record, bool isInput, const std::string& what);

// ---- Per request, one batch item ----

// Whether the item goes through a layout step (copy runs or channel blocks)
// rather than straight into or out of the NPU buffer.
bool needsReposition(const IORecord& record, bool isInput, const SeqLensHWC& seqlens);

// One float32 host item into one NPU buffer: quantised to the record's NPU
// element type, then laid out. Model_InvalidNPUDtype (destination untouched)
// when a layout step is needed for an element type other than 0, 1, 2.
StatusCode repositionToNPU(void* dst, const float* src, const IORecord& record, MemoryFormat format,
                           const SeqLensHWC& seqlens);
// One NPU buffer into a float32 host item: laid out, then dequantised.
StatusCode repositionFromNPU(float* dst, const void* src, const IORecord& record, MemoryFormat format,
                             const SeqLensHWC& seqlens);

// Layout only, for elements of 1, 2 and 4 bytes; always OK.
StatusCode toNPULayoutInt8(void* dst, const void* src, const IORecord& record, MemoryFormat format,
                           const SeqLensHWC& seqlens);
StatusCode toNPULayoutFp16(void* dst, const void* src, const IORecord& record, MemoryFormat format,
                           const SeqLensHWC& seqlens);
StatusCode toNPULayoutFp32(void* dst, const void* src, const IORecord& record, MemoryFormat format,
                           const SeqLensHWC& seqlens);
StatusCode fromNPULayoutInt8(void* dst, const void* src, const IORecord& record, MemoryFormat format,
                             const SeqLensHWC& seqlens);
StatusCode fromNPULayoutFp16(void* dst, const void* src, const IORecord& record, MemoryFormat format,
                             const SeqLensHWC& seqlens);
StatusCode fromNPULayoutFp32(void* dst, const void* src, const IORecord& record, MemoryFormat format,
                             const SeqLensHWC& seqlens);

// Refuses (Model_DtypeMismatched, one error line naming `what`) int8 host
// data for an NPU buffer of float16 or float32 elements: the bytes would be
// laid out as they are, one byte per element of a wider type.
StatusCode checkInt8Layout(const IORecord& record, const std::string& what);

// Element conversion of `count` elements in host order. float32 copies,
// float16 converts, any other type quantises to int8:
// clamp(floor(x * s + 0.5), -128, 127), NaN to 0. A per-channel scale list
// of at least `channels` (sequence-multiplied) values gives channel ch entry
// ch; a shorter one holds one value per original channel, and channel ch
// uses entry ch mod `scaleChannels`.
void quantizeToNPU(void* dst, const float* src, const Scale& scale, uint32_t channels, uint32_t scaleChannels,
                   int count, MemoryFormat format, NPUDtype type);
// The reverse: float32 copies, float16 converts, int8 gives q * s.
void dequantizeFromNPU(float* dst, const void* src, const Scale& scale, uint32_t channels, uint32_t scaleChannels,
                       int count, MemoryFormat format, NPUDtype type);

// Copy runs of one input slice; with zeroFill every position of the Q-element
// slice that no run covers is cleared, and no written one.
void copyRunsSlice(void* dst, const void* src, const CopyRuns& runs, bool zeroFill, uint32_t sliceElements,
                   uint32_t elementBytes);
// Channel blocks of g channels (layout kind 4), in either direction.
void blockLayout(void* dst, const void* src, const IORecord& record, const SeqLensHWC& seqlens, bool toNPU,
                 uint32_t elementBytes);

}  // namespace kestrane
