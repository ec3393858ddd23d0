// Per-request reposition of one batch item between host and NPU layout. The
// record was bounded at model creation (validateIORecord), so the loops here
// run unchecked.

#include "dataplane/reposition.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "core/log.h"
#include "core/trace_scope.h"
#include "dataplane/transpose.h"
#include "halvex/kernels_common.h"

namespace kestrane {

namespace {

// The derived sizes of one item.
struct Item {
  size_t H, W, C;  // host dimensions with the sequence multipliers
  size_t T;        // elements of the item
  size_t S;        // sequence slices
  size_t P, Q;     // host and NPU slice elements
  bool transpose;  // CHW data whose order differs from HWC

  Item(const IORecord& rec, MemoryFormat fmt, const SeqLensHWC& seq) {
    const BufferInfo& i = rec.info;
    // Missing multipliers count as 1.
    const size_t sh = seq.size() > 0 ? seq[0] : 1, sw = seq.size() > 1 ? seq[1] : 1, sc = seq.size() > 2 ? seq[2] : 1;
    H = size_t{i.original_height} * sh;
    W = size_t{i.original_width} * sw;
    C = size_t{i.original_channel} * sc;
    T = H * W * C;
    S = sh * sw * sc;
    P = i.original_size();
    Q = i.size();
    transpose = fmt == MemoryFormat::CHW && C != 1 && C != T;
  }
};

HALVEX_INLINE bool needsRelayout(const IORecord& rec, bool isInput, const Item& item) {
  switch (rec.layoutKind) {
    case 5:
      return false;
    case 0:
    case 1:
      break;
    default:
      return true;
  }
  if (rec.copyRuns.empty()) return true;
  const CopyRuns& runs = rec.copyRuns[0];
  if (runs.lengths.empty() || runs.srcOffsets.empty() || runs.dstOffsets.empty() || runs.lengths[0] != item.P)
    return true;
  // A whole-slice run placed off the start still moves the data.
  if (runs.srcOffsets[0] != 0 || runs.dstOffsets[0] != 0) return true;
  if (item.S > 1 && item.P != item.Q) return true;
  if (!isInput) return false;
  const BufferInfo& i = rec.info;
  return i.channel == 1 || uint64_t{i.original_width} * i.original_channel != uint64_t{i.reshaped_width} * i.reshaped_channel;
}

// The runs the layout step copies: the record's own, or their disjoint form
// where they overlap.
HALVEX_INLINE const CopyRuns& layoutRuns(const IORecord& rec) {
  return rec.disjointRuns.lengths.empty() ? rec.copyRuns[0] : rec.disjointRuns;
}

// Leaves elements default-initialised: scratch that every user overwrites
// whole needs no clearing pass.
template <typename T>
struct NoInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = NoInitAllocator<U>;
  };
  NoInitAllocator() = default;
  template <typename U>
  NoInitAllocator(const NoInitAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
};
template <typename T>
using Scratch = std::vector<T, NoInitAllocator<T>>;

// Scratch for a huge item may not be there: a status, not an exception.
template <typename F>
StatusCode noThrow(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Out of memory for the scratch of an item");
    return StatusCode::BadAlloc;
  }
}

size_t widthOf(uint8_t npuDtype) { return npuDtype == 0 ? 4 : npuDtype == 1 ? 2 : 1; }

// Copies of a few bytes, the common case of padded pixels, without a call:
// two overlapping moves cover any length from one to two words.
HALVEX_INLINE void copyBytes(void* __restrict d, const void* __restrict s, size_t n) {
  auto* o = static_cast<uint8_t*>(d);
  const auto* i = static_cast<const uint8_t*>(s);
  auto two = [&](auto word) {
    decltype(word) a, b;
    std::memcpy(&a, i, sizeof a);
    std::memcpy(&b, i + n - sizeof b, sizeof b);
    std::memcpy(o, &a, sizeof a);
    std::memcpy(o + n - sizeof b, &b, sizeof b);
  };
  if (n > 16) std::memcpy(o, i, n);
  else if (n >= 8) two(uint64_t{});
  else if (n >= 4) two(uint32_t{});
  else if (n >= 2) two(uint16_t{});
  else if (n == 1) *o = *i;
}

HALVEX_INLINE void zeroBytes(void* d, size_t n) {
  auto* o = static_cast<uint8_t*>(d);
  auto two = [&](auto word) {
    const decltype(word) z = 0;
    std::memcpy(o, &z, sizeof z);
    std::memcpy(o + n - sizeof z, &z, sizeof z);
  };
  if (n > 16) std::memset(o, 0, n);
  else if (n >= 8) two(uint64_t{});
  else if (n >= 4) two(uint32_t{});
  else if (n >= 2) two(uint16_t{});
  else if (n == 1) *o = 0;
}

// Runs of one length L whose sources follow each other and whose
// destinations step by D >= L: padded pixels, the usual input layout.
// Checked without an early exit so that the check vectorises.
bool regularRuns(const CopyRuns& runs, size_t& length, size_t& step) {
  const size_t n = runs.lengths.size();
  if (n < 2 || runs.dstOffsets[1] < runs.dstOffsets[0]) return false;
  const uint32_t l = runs.lengths[0], d = runs.dstOffsets[1] - runs.dstOffsets[0];
  const uint32_t s0 = runs.srcOffsets[0], d0 = runs.dstOffsets[0];
  if (d < l || l == 0) return false;
  const uint32_t* len = runs.lengths.data();
  const uint32_t* so = runs.srcOffsets.data();
  const uint32_t* dof = runs.dstOffsets.data();
  uint32_t bad = (len[0] ^ l) | (so[0] ^ s0) | (dof[0] ^ d0);
  for (size_t k = 1; k < n; ++k) bad |= (len[k] ^ l) | ((so[k] - so[k - 1]) ^ l) | ((dof[k] - dof[k - 1]) ^ d);
  length = l;
  step = d;
  return bad == 0;
}

// n runs of LB bytes from consecutive source bytes to destinations DB bytes
// apart; with zeroFill the DB - LB bytes after each run are cleared too.
template <size_t LB, size_t DB>
void regularCopyFixed(uint8_t* __restrict dst, const uint8_t* __restrict src, size_t n, bool zeroFill) {
  if (zeroFill) {
    for (size_t k = 0; k < n; ++k) {
      uint8_t pixel[DB] = {};
      std::memcpy(pixel, src + k * LB, LB);
      std::memcpy(dst + k * DB, pixel, DB);
    }
  } else {
    for (size_t k = 0; k < n; ++k) std::memcpy(dst + k * DB, src + k * LB, LB);
  }
}

void regularCopy(uint8_t* dst, const uint8_t* src, size_t n, size_t lb, size_t db, bool zeroFill) {
  // Channel counts of 3 padded to 4, in the three element widths.
  if (lb == 3 && db == 4) return regularCopyFixed<3, 4>(dst, src, n, zeroFill);
  if (lb == 6 && db == 8) return regularCopyFixed<6, 8>(dst, src, n, zeroFill);
  if (lb == 12 && db == 16) return regularCopyFixed<12, 16>(dst, src, n, zeroFill);
  for (size_t k = 0; k < n; ++k) {
    copyBytes(dst + k * db, src + k * lb, lb);
    if (zeroFill) zeroBytes(dst + k * db + lb, db - lb);
  }
}

// Copies the runs of one slice; ascending, non-overlapping destinations are
// the common case and let the gaps be cleared on the way.
template <typename T>
void copyRunsTyped(T* __restrict dst, const T* __restrict src, const CopyRuns& runs, bool zeroFill, size_t q) {
  const size_t n = runs.lengths.size();
  const uint32_t* so = runs.srcOffsets.data();
  const uint32_t* dl = runs.lengths.data();
  const uint32_t* dof = runs.dstOffsets.data();
  if (n == 1) {
    // One run, the layout of a dense item: a copy and the edges around it.
    // (Kept ahead of the general loops: a small item's cost is these steps.)
    if (zeroFill) zeroBytes(dst, dof[0] * sizeof(T));
    copyBytes(dst + dof[0], src + so[0], dl[0] * sizeof(T));
    if (zeroFill && q > size_t{dof[0]} + dl[0]) zeroBytes(dst + dof[0] + dl[0], (q - dof[0] - dl[0]) * sizeof(T));
    return;
  }
  size_t length = 0, step = 0;
  if (regularRuns(runs, length, step)) {
    if (zeroFill) zeroBytes(dst, dof[0] * sizeof(T));
    // All but the last run: its gap may reach past the slice.
    regularCopy(reinterpret_cast<uint8_t*>(dst + dof[0]), reinterpret_cast<const uint8_t*>(src + so[0]), n - 1,
                length * sizeof(T), step * sizeof(T), zeroFill);
    const size_t last = dof[n - 1];
    copyBytes(dst + last, src + so[n - 1], length * sizeof(T));
    if (zeroFill && q > last + length) zeroBytes(dst + last + length, (q - last - length) * sizeof(T));
    return;
  }
  if (!zeroFill) {
    for (size_t k = 0; k < n; ++k) copyBytes(dst + dof[k], src + so[k], dl[k] * sizeof(T));
    return;
  }
  bool ascending = true;
  for (size_t k = 1; k < n && ascending; ++k) ascending = dof[k] >= size_t{dof[k - 1]} + dl[k - 1];
  if (!ascending) {
    // Clear everything first, so no clear can wipe a run already written.
    std::memset(dst, 0, q * sizeof(T));
    for (size_t k = 0; k < n; ++k) copyBytes(dst + dof[k], src + so[k], dl[k] * sizeof(T));
    return;
  }
  size_t end = 0;
  for (size_t k = 0; k < n; ++k) {
    if (dof[k] > end) zeroBytes(dst + end, (dof[k] - end) * sizeof(T));
    copyBytes(dst + dof[k], src + so[k], dl[k] * sizeof(T));
    end = size_t{dof[k]} + dl[k];
  }
  if (q > end) zeroBytes(dst + end, (q - end) * sizeof(T));
}

// Layout kind 4: ceil(C / g) planes of pixels of g channels, the last block
// padded with zeros.
template <typename T>
void blockLayoutTyped(T* __restrict dst, const T* __restrict src, const IORecord& rec, const Item& item, bool toNPU) {
  const size_t g = rec.channelGranule, c = item.C, pixels = item.H * item.W;
  const size_t blocks = (c + g - 1) / g;
  if (c == g) {
    std::memcpy(dst, src, pixels * c * sizeof(T));
    return;
  }
  for (size_t b = 0; b < blocks; ++b) {
    const size_t m = std::min(g, c - b * g);
    if (toNPU) {
      T* plane = dst + b * pixels * g;
      const T* host = src + b * g;
      for (size_t p = 0; p < pixels; ++p) {
        copyBytes(plane + p * g, host + p * c, m * sizeof(T));
        zeroBytes(plane + p * g + m, (g - m) * sizeof(T));
      }
    } else {
      const T* plane = src + b * pixels * g;
      T* host = dst + b * g;
      for (size_t p = 0; p < pixels; ++p) copyBytes(host + p * c, plane + p * g, m * sizeof(T));
    }
  }
}

// The layout step proper, from HWC data: it needs no scratch.
template <typename T>
HALVEX_INLINE void layoutToNPU(T* __restrict dst, const T* __restrict src, const IORecord& rec, const Item& item) {
  if (rec.layoutKind == 4) {
    blockLayoutTyped(dst, src, rec, item, true);
  } else if (rec.layoutKind == 5) {
    std::memcpy(dst, src, item.T * sizeof(T));
  } else if (!rec.copyRuns.empty()) {
    const BufferInfo& i = rec.info;
    const bool zeroFill =
        i.channel == 1 || uint64_t{i.original_channel} * i.original_width != uint64_t{i.reshaped_channel} * i.reshaped_width;
    const CopyRuns& runs = layoutRuns(rec);
    if (item.S == 1 && !zeroFill && runs.lengths.size() == 1) {
      // One run of one slice, the layout of a dense item: one copy.
      copyBytes(dst + runs.dstOffsets[0], src + runs.srcOffsets[0], runs.lengths[0] * sizeof(T));
      return;
    }
    for (size_t s = 0; s < item.S; ++s) copyRunsTyped(dst + s * item.Q, src + s * item.P, runs, zeroFill, item.Q);
  }
}

// The layout step to the NPU for elements of type T, given the item's sizes
// and whether it relays out.
template <typename T>
StatusCode toNPULayout(void* dstv, const void* srcv, const IORecord& rec, const Item& item, bool relayout) {
  T* dst = static_cast<T*>(dstv);
  const T* src = static_cast<const T*>(srcv);
  Scratch<T> tmp;
  if (item.transpose) {
    if (!relayout) {
      transposeCHWToHWC<T>(dst, src, static_cast<uint32_t>(item.H), static_cast<uint32_t>(item.W),
                           static_cast<uint32_t>(item.C));
      return StatusCode::OK;
    }
    tmp.resize(item.T);
    transposeCHWToHWC<T>(tmp.data(), src, static_cast<uint32_t>(item.H), static_cast<uint32_t>(item.W),
                         static_cast<uint32_t>(item.C));
    src = tmp.data();
  }
  layoutToNPU(dst, src, rec, item);
  return StatusCode::OK;
}

template <typename T>
StatusCode fromNPULayout(void* dstv, const void* srcv, const IORecord& rec, const Item& item, bool relayout) {
  T* dst = static_cast<T*>(dstv);
  const T* src = static_cast<const T*>(srcv);
  const auto H = static_cast<uint32_t>(item.H), W = static_cast<uint32_t>(item.W), C = static_cast<uint32_t>(item.C);
  if (item.transpose && !relayout) {
    transposeHWCToCHW<T>(dst, src, H, W, C);
    return StatusCode::OK;
  }
  std::vector<T> tmp;
  T* target = dst;
  if (item.transpose) {
    // Positions no run covers stay zero in the host item.
    tmp.resize(item.T);
    target = tmp.data();
  }
  if (rec.layoutKind == 4) {
    blockLayoutTyped(target, src, rec, item, false);
  } else if (rec.layoutKind == 5) {
    std::memcpy(target, src, item.T * sizeof(T));
  } else if (!rec.copyRuns.empty()) {
    const CopyRuns& runs = layoutRuns(rec);
    for (size_t s = 0; s < item.S; ++s) {
      T* out = target + s * item.P;
      const T* in = src + s * item.Q;
      for (size_t k = 0; k < runs.lengths.size(); ++k)
        copyBytes(out + runs.dstOffsets[k], in + runs.srcOffsets[k], runs.lengths[k] * sizeof(T));
    }
  }
  if (item.transpose) transposeHWCToCHW<T>(dst, target, H, W, C);
  return StatusCode::OK;
}

// The public layout routines: sizes and the relayout test from the request.
template <typename T>
StatusCode toNPULayoutOf(void* dst, const void* src, const IORecord& rec, MemoryFormat fmt, const SeqLensHWC& seq) {
  const Item item(rec, fmt, seq);
  return noThrow([&] { return toNPULayout<T>(dst, src, rec, item, needsRelayout(rec, true, item)); });
}
template <typename T>
StatusCode fromNPULayoutOf(void* dst, const void* src, const IORecord& rec, MemoryFormat fmt,
                           const SeqLensHWC& seq) {
  TraceScope trace("reposition data");
  const Item item(rec, fmt, seq);
  return noThrow([&] { return fromNPULayout<T>(dst, src, rec, item, needsRelayout(rec, false, item)); });
}

// Only the three NPU element types have a layout step.
__attribute__((noinline, cold)) StatusCode refuseDtype(const IORecord& rec) {
  KLOG_ERROR("An item of NPU dtype {} (layout kind {}) cannot be laid out: the dtype is none of 0, 1 and 2.",
             rec.npuDtype, rec.layoutKind);
  return StatusCode::Model_InvalidNPUDtype;
}

// Element counts cross the conversion routines as int.
__attribute__((noinline, cold)) bool tooLarge(const Item& item) {
  KLOG_ERROR("An item of {} elements is beyond the supported size", item.T);
  return false;
}
HALVEX_INLINE bool fitsCount(const Item& item) {
  return item.T <= static_cast<size_t>(std::numeric_limits<int>::max()) || tooLarge(item);
}

}  // namespace

bool needsReposition(const IORecord& record, bool isInput, const SeqLensHWC& seqlens) {
  return needsRelayout(record, isInput, Item(record, MemoryFormat::HWC, seqlens));
}

namespace {

// The conversions that go through scratch: quantised elements, or a
// transposition on the way. Out of line, so that the direct paths of
// repositionToNPU stay a short call.
__attribute__((noinline)) StatusCode repositionThroughScratch(void* dst, const float* src, const IORecord& rec,
                                                             MemoryFormat fmt, const Item& item, bool relayout) {
  const auto type = static_cast<NPUDtype>(rec.npuDtype);
  const auto channels = static_cast<uint32_t>(item.C);
  const int count = static_cast<int>(item.T);
  return noThrow([&] {
    if (type == NPUDtype::Float32) return toNPULayout<uint32_t>(dst, src, rec, item, relayout);
    Scratch<uint8_t> work(item.T * widthOf(rec.npuDtype));
    quantizeToNPU(work.data(), src, rec.scale, channels, rec.info.original_channel, count, fmt, type);
    return type == NPUDtype::Float16 ? toNPULayout<uint16_t>(dst, work.data(), rec, item, relayout)
                                     : toNPULayout<uint8_t>(dst, work.data(), rec, item, relayout);
  });
}

}  // namespace

StatusCode repositionToNPU(void* dst, const float* src, const IORecord& rec, MemoryFormat fmt,
                           const SeqLensHWC& seqlens) {
  const Item item(rec, fmt, seqlens);
  if (!fitsCount(item)) return StatusCode::Model_ShapeMismatched;
  const bool relayout = needsRelayout(rec, true, item);
  if (!relayout && !item.transpose) {
    quantizeToNPU(dst, src, rec.scale, static_cast<uint32_t>(item.C), rec.info.original_channel,
                  static_cast<int>(item.T), fmt, static_cast<NPUDtype>(rec.npuDtype));
    return StatusCode::OK;
  }
  if (rec.npuDtype > 2) return refuseDtype(rec);
  // float32 elements need no conversion: laid out straight from the source,
  // without scratch when there is no transposition.
  if (rec.npuDtype == static_cast<uint8_t>(NPUDtype::Float32) && !item.transpose) {
    layoutToNPU(static_cast<uint32_t*>(dst), reinterpret_cast<const uint32_t*>(src), rec, item);
    return StatusCode::OK;
  }
  return repositionThroughScratch(dst, src, rec, fmt, item, relayout);
}

StatusCode repositionFromNPU(float* dst, const void* src, const IORecord& rec, MemoryFormat fmt,
                             const SeqLensHWC& seqlens) {
  TraceScope trace("reposition data");
  const Item item(rec, fmt, seqlens);
  if (!fitsCount(item)) return StatusCode::Model_ShapeMismatched;
  const bool relayout = needsRelayout(rec, false, item);
  const auto type = static_cast<NPUDtype>(rec.npuDtype);
  const auto channels = static_cast<uint32_t>(item.C);
  const int count = static_cast<int>(item.T);
  if (!relayout && !item.transpose) {
    dequantizeFromNPU(dst, src, rec.scale, channels, rec.info.original_channel, count, fmt, type);
    return StatusCode::OK;
  }
  if (rec.npuDtype > 2) return refuseDtype(rec);
  // The file's copy runs need not cover every host element: those they
  // leave read 0, as if laid into a zero-filled item. (Runs made from an
  // index table cover the slice, channel blocks and kind 5 every element,
  // and a transposition writes the whole item.)
  const bool gaps = rec.layoutKind != 0 && rec.layoutKind != 4 && rec.layoutKind != 5 && !item.transpose;
  return noThrow([&] {
    if (type == NPUDtype::Float32) {
      if (gaps) std::memset(dst, 0, item.T * sizeof(float));
      return fromNPULayout<uint32_t>(dst, src, rec, item, relayout);
    }
    Scratch<uint8_t> work(item.T * widthOf(rec.npuDtype));
    if (gaps) std::memset(work.data(), 0, work.size());
    if (type == NPUDtype::Float16) fromNPULayout<uint16_t>(work.data(), src, rec, item, relayout);
    else fromNPULayout<uint8_t>(work.data(), src, rec, item, relayout);
    dequantizeFromNPU(dst, work.data(), rec.scale, channels, rec.info.original_channel, count, fmt, type);
    return StatusCode::OK;
  });
}

StatusCode toNPULayoutInt8(void* dst, const void* src, const IORecord& rec, MemoryFormat fmt,
                           const SeqLensHWC& seqlens) {
  return toNPULayoutOf<uint8_t>(dst, src, rec, fmt, seqlens);
}
StatusCode toNPULayoutFp16(void* dst, const void* src, const IORecord& rec, MemoryFormat fmt,
                           const SeqLensHWC& seqlens) {
  return toNPULayoutOf<uint16_t>(dst, src, rec, fmt, seqlens);
}
StatusCode toNPULayoutFp32(void* dst, const void* src, const IORecord& rec, MemoryFormat fmt,
                           const SeqLensHWC& seqlens) {
  return toNPULayoutOf<uint32_t>(dst, src, rec, fmt, seqlens);
}
StatusCode fromNPULayoutInt8(void* dst, const void* src, const IORecord& rec, MemoryFormat fmt,
                             const SeqLensHWC& seqlens) {
  return fromNPULayoutOf<uint8_t>(dst, src, rec, fmt, seqlens);
}
StatusCode fromNPULayoutFp16(void* dst, const void* src, const IORecord& rec, MemoryFormat fmt,
                             const SeqLensHWC& seqlens) {
  return fromNPULayoutOf<uint16_t>(dst, src, rec, fmt, seqlens);
}
StatusCode fromNPULayoutFp32(void* dst, const void* src, const IORecord& rec, MemoryFormat fmt,
                             const SeqLensHWC& seqlens) {
  return fromNPULayoutOf<uint32_t>(dst, src, rec, fmt, seqlens);
}

StatusCode checkInt8Layout(const IORecord& record, const std::string& what) {
  if (record.npuDtype == static_cast<uint8_t>(NPUDtype::Int8)) return StatusCode::OK;
  KLOG_ERROR("\"{}\": int8 data cannot fill an NPU buffer of {} elements; pass float32 data", what,
             record.npuDtype == 0 ? "float32" : record.npuDtype == 1 ? "float16" : "unknown");
  return StatusCode::Model_DtypeMismatched;
}

void copyRunsSlice(void* dst, const void* src, const CopyRuns& runs, bool zeroFill, uint32_t sliceElements,
                   uint32_t elementBytes) {
  switch (elementBytes) {
    case 4: copyRunsTyped(static_cast<uint32_t*>(dst), static_cast<const uint32_t*>(src), runs, zeroFill, sliceElements); break;
    case 2: copyRunsTyped(static_cast<uint16_t*>(dst), static_cast<const uint16_t*>(src), runs, zeroFill, sliceElements); break;
    default: copyRunsTyped(static_cast<uint8_t*>(dst), static_cast<const uint8_t*>(src), runs, zeroFill, sliceElements); break;
  }
}

void blockLayout(void* dst, const void* src, const IORecord& rec, const SeqLensHWC& seqlens, bool toNPU,
                 uint32_t elementBytes) {
  const Item item(rec, MemoryFormat::HWC, seqlens);
  switch (elementBytes) {
    case 4: blockLayoutTyped(static_cast<uint32_t*>(dst), static_cast<const uint32_t*>(src), rec, item, toNPU); break;
    case 2: blockLayoutTyped(static_cast<uint16_t*>(dst), static_cast<const uint16_t*>(src), rec, item, toNPU); break;
    default: blockLayoutTyped(static_cast<uint8_t*>(dst), static_cast<const uint8_t*>(src), rec, item, toNPU); break;
  }
}

}  // namespace kestrane
