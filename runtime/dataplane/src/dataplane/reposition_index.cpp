// Index tables and copy runs of an IO record, and the one-time bounds check
// that lets the per-request reposition loops run without checks.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "core/log.h"
#include "dataplane/reposition.h"
#include "platform/host_allowance.h"

namespace kestrane {

namespace {

// Host slices are addressed with signed 32-bit element counts.
constexpr uint64_t kMaxSliceElements = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());

struct Pos {
  uint64_t y, x, ch;
};

// Element i of a dense item of dimensions (h, w, c) in the host order of fmt.
Pos splitIndex(uint64_t i, uint64_t h, uint64_t w, uint64_t c, MemoryFormat fmt) {
  if (fmt == MemoryFormat::HWC) return {i / (c * w), (i % (c * w)) / c, i % c};
  return {(i % (w * h)) / w, i % w, i / (w * h)};
}

bool validFormat(MemoryFormat fmt) {
  if (fmt == MemoryFormat::HWC || fmt == MemoryFormat::CHW) return true;
  KLOG_ERROR("Invalid MemoryFormat: 0x{:x}", static_cast<unsigned>(fmt));
  return false;
}

// Fills a table of `count` entries with position(i); empty when a position
// does not fit 32 bits or memory runs out. Quiet: the record check that
// follows names the record once.
template <typename F>
std::vector<uint32_t> makeTable(uint64_t count, F position) {
  std::vector<uint32_t> table;
  if (count == 0 || count > kMaxSliceElements || !platform::takeHostAllowance(count * sizeof(uint32_t))) return table;
  try {
    table.resize(count);
  } catch (const std::bad_alloc&) {
    return table;
  }
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t p = position(i);
    if (p > std::numeric_limits<uint32_t>::max()) return {};
    table[i] = static_cast<uint32_t>(p);
  }
  return table;
}

uint64_t ceilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

}  // namespace

std::vector<uint32_t> simpleHWCIndex(const BufferInfo& info, MemoryFormat fmt) {
  if (!validFormat(fmt)) return {};
  const uint64_t oh = info.original_height, ow = info.original_width, oc = info.original_channel;
  const uint64_t w = info.width, c = info.channel;
  return makeTable(oh * ow * oc, [&](uint64_t i) {
    const Pos p = splitIndex(i, oh, ow, oc, fmt);
    return (p.y * w + p.x) * c + p.ch;
  });
}

std::vector<uint32_t> calcHWC(const BufferInfo& info, uint32_t granule, MemoryFormat fmt) {
  if (!validFormat(fmt)) return {};
  const uint64_t oh = info.original_height, ow = info.original_width, oc = info.original_channel;
  const uint64_t rh = info.reshaped_height, rw = info.reshaped_width, rc = info.reshaped_channel;
  const uint64_t g = granule;
  if (g == 0 || oc == 0 || rc == 0) return {};
  if (oh * ow * oc != rh * rw * rc) {
    if (rc > oc) {
      // k width positions are folded into one reshaped pixel.
      const uint64_t k = rc / oc;
      return makeTable(oh * ow * oc, [&](uint64_t i) {
        const Pos p = splitIndex(i, oh, ow, oc, fmt);
        return (rw * p.y + oc * p.x / rc) * g + (p.x % k) * oc + p.ch;
      });
    }
    // The channels of one pixel spread over ceil(oc / rc) reshaped pixels.
    const uint64_t spread = ceilDiv(oc, rc);
    return makeTable(oh * ow * oc, [&](uint64_t i) {
      const Pos p = splitIndex(i, oh, ow, oc, fmt);
      return (spread * p.x + rw * p.y) * g + p.ch;
    });
  }
  // Same element count: the dense data is read with the reshaped dimensions.
  return makeTable(rh * rw * rc, [&](uint64_t i) {
    const Pos p = splitIndex(i, rh, rw, rc, fmt);
    const uint64_t b = p.ch / g;
    return b * (rw * rh * g) + (p.y * rw + p.x) * g + p.ch % g;
  });
}

std::vector<uint32_t> buildRepositionIndex(const BufferInfo& info, uint32_t granule, MemoryFormat fmt,
                                           bool isInput) {
  const uint32_t oc = info.original_channel;
  if (isInput && oc <= 3 && info.channel <= 3) return simpleHWCIndex(info, fmt);
  if (fmt == MemoryFormat::CHW && oc != info.reshaped_channel) {
    const std::vector<uint32_t> hwc = calcHWC(info, granule, MemoryFormat::HWC);
    const uint64_t pixels = uint64_t{info.original_height} * info.original_width;
    if (hwc.size() != pixels * oc) return {};
    std::vector<uint32_t> table;
    if (!platform::takeHostAllowance(hwc.size() * sizeof(uint32_t))) return {};
    try {
      table.resize(hwc.size());
    } catch (const std::bad_alloc&) {
      return {};
    }
    for (uint64_t ch = 0; ch < oc; ++ch)
      for (uint64_t p = 0; p < pixels; ++p) table[ch * pixels + p] = hwc[p * oc + ch];
    return table;
  }
  return calcHWC(info, granule, fmt);
}

CopyRuns packIndexRuns(const std::vector<uint32_t>& table, bool isInput) {
  CopyRuns runs;
  size_t start = 0;
  for (size_t i = 1; i <= table.size(); ++i) {
    if (i < table.size() && table[i] == table[i - 1] + 1) continue;
    const uint32_t host = static_cast<uint32_t>(start), npu = table[start];
    runs.srcOffsets.push_back(isInput ? host : npu);
    runs.dstOffsets.push_back(isInput ? npu : host);
    runs.lengths.push_back(static_cast<uint32_t>(i - start));
    start = i;
  }
  return runs;
}

namespace {

// Saturating: the file's dimensions multiply past 64 bits.
uint64_t mulSat(uint64_t a, uint64_t b) {
  return a != 0 && b > std::numeric_limits<uint64_t>::max() / a ? std::numeric_limits<uint64_t>::max() : a * b;
}
uint64_t addSat(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Where the positions of a layout-kind-0 table fall, worked out from the
// formulas of buildRepositionIndex without building it. The HWC and CHW
// tables hold the same positions in another order.
struct TableReach {
  bool distinct = true;  // no two host elements share a position
  bool known = true;     // else only the built table tells whether they do
  uint64_t last = 0;     // the largest position, where none is shared or `known` is false
};

// Rows of pixels, each pixel `length` consecutive positions. Pixels and rows
// start on multiples of one unit, and a row covers the first position of
// every unit its span touches. So positions are distinct exactly when
// neither a pixel nor a row reaches into the next one: a row that reaches on
// holds the first position of the next row.
TableReach rowsOfPixels(uint64_t rows, uint64_t pixels, uint64_t length, uint64_t pixelStride, uint64_t rowSpan,
                        uint64_t rowStride) {
  TableReach r;
  r.distinct = (pixels == 1 || length <= pixelStride) && (rows == 1 || rowSpan <= rowStride);
  r.last = addSat(mulSat(rows - 1, rowStride), rowSpan) - 1;
  return r;
}

TableReach tableReach(const BufferInfo& info, uint64_t g, bool isInput) {
  const uint64_t oh = info.original_height, ow = info.original_width, oc = info.original_channel;
  const uint64_t rh = info.reshaped_height, rw = info.reshaped_width, rc = info.reshaped_channel;
  const uint64_t w = info.width, c = info.channel;
  if (isInput && oc <= 3 && c <= 3) {
    // simpleHWCIndex: pixel (y, x) at (y w + x) c.
    return rowsOfPixels(oh, ow, oc, c, addSat(mulSat(ow - 1, c), oc), mulSat(w, c));
  }
  if (info.original_size() == info.reshaped_size()) {
    // Blocks of g channels, each a plane of the reshaped pixels: distinct.
    const uint64_t plane = mulSat(rw, rh), lastBlock = (rc - 1) / g;
    TableReach r;
    r.last = addSat(addSat(mulSat(mulSat(lastBlock, plane), g), mulSat(plane - 1, g)), rc - 1 - lastBlock * g);
    return r;
  }
  if (rc <= oc) {
    // Pixel x at ceil(oc / rc) x reshaped pixels, rows of rw. Where rc is
    // neither oc nor g, a pixel may leave a gap of g or more, and a row
    // starting in it need not meet the row before: the table tells.
    const uint64_t stride = mulSat((oc + rc - 1) / rc, g);
    TableReach r = rowsOfPixels(oh, ow, oc, stride, addSat(mulSat(ow - 1, stride), oc), mulSat(rw, g));
    r.known = rc == oc || rc == g;
    return r;
  }
  // k = rc / oc pixels share a reshaped pixel of g positions: the group is
  // the unit that must not reach into the next. Where oc does not divide rc,
  // pixel k still lands in reshaped pixel 0, on the positions of pixel 0;
  // fewer pixels than k make one group.
  const uint64_t k = rc / oc;
  if (rc % oc != 0 && ow > k) {
    TableReach r;
    r.distinct = false;
    return r;
  }
  const uint64_t groups = (ow + k - 1) / k, lastGroup = ow - (groups - 1) * k;
  return rowsOfPixels(oh, groups, k * oc, g, addSat(mulSat(groups - 1, g), lastGroup * oc), mulSat(rw, g));
}

// The checks of validateIORecord; each failure logs its own line naming the
// record and answers false, its status then in status(). `layoutOnly` leaves
// out what needs a layout-kind-0 record's tables and runs.
class RecordCheck {
 public:
  RecordCheck(const IORecord& rec, bool isInput, const std::string& what, bool layoutOnly)
      : rec_(rec), info_(rec.info), isInput_(isInput), what_(what), layoutOnly_(layoutOnly) {}

  bool run() {
    const uint64_t oh = info_.original_height, ow = info_.original_width, oc = info_.original_channel;
    if (oh == 0 || ow == 0 || oc == 0)
      return fail("has an empty original shape ({}, {}, {})", oh, ow, oc);
    if (rec_.channelGranule == 0) return fail("has a channel granule of 0");
    hostSlice_ = info_.original_size();
    npuSlice_ = info_.size();
    if (hostSlice_ > kMaxSliceElements || npuSlice_ > std::numeric_limits<uint32_t>::max())
      return fail("is too large ({} host elements, {} NPU elements per slice)", hostSlice_, npuSlice_);
    if (!rec_.scale.is_uniform && rec_.scale.scale_list.size() < oc)
      return fail("has {} per-channel scales for {} channels", rec_.scale.scale_list.size(), oc);

    switch (rec_.layoutKind) {
      case 4: {
        // ceil(C'/g) blocks of g channels per pixel; a larger sequence
        // multiplier grows the buffer at least as fast.
        const uint64_t g = rec_.channelGranule;
        const uint64_t need = ceilDiv(oc, g) * g * oh * ow;
        if (need > npuSlice_)
          return fail("needs {} elements of channel blocks, its buffer holds {}", need, npuSlice_);
        return true;
      }
      case 5:
        if (hostSlice_ > npuSlice_)
          return fail("holds {} elements, its buffer {}", hostSlice_, npuSlice_);
        return true;
      case 0:
        if (!checkLayout()) return false;
        if (layoutOnly_) return true;
        if (!checkTables()) return false;
        return checkRuns();
      default:
        return checkRuns();
    }
  }

  StatusCode status() const { return status_; }

 private:
  template <typename... Args>
  bool fail(fmt::format_string<Args...> why, Args&&... args) {
    KLOG_ERROR("{} (layout kind {}) {}", what_, static_cast<unsigned>(rec_.layoutKind),
               fmt::format(why, std::forward<Args>(args)...));
    return false;
  }

  // Decided from the dimensions alone, before any table is built: positions
  // past the slice for every shape, so a table built afterwards holds none
  // past 32 bits; two host elements on one position where the dimensions
  // tell, elsewhere the runs of the built table do (checkRuns).
  bool checkLayout() {
    const uint64_t oc = info_.original_channel, rc = info_.reshaped_channel;
    const bool simple = isInput_ && oc <= 3 && info_.channel <= 3;
    if (!simple && info_.original_size() != info_.reshaped_size() && rc == 0)
      return fail("regroups {} channels into none", oc);
    // Distinct positions need at least one NPU element per host element.
    if (hostSlice_ > npuSlice_)
      return fail("places two host elements on one NPU position ({} host elements, {} NPU elements per slice)",
                  hostSlice_, npuSlice_);
    const TableReach reach = tableReach(info_, rec_.channelGranule, isInput_);
    if (reach.known && !reach.distinct)
      return fail("places two host elements on one NPU position (original {}x{}x{}, reshaped {}x{}x{}, NPU {}x{}x{}, "
                  "granule {})",
                  info_.original_height, info_.original_width, oc, info_.reshaped_height, info_.reshaped_width, rc,
                  info_.height, info_.width, info_.channel, rec_.channelGranule);
    if (reach.last >= npuSlice_)
      return fail("lays its elements out up to NPU position {}, past its {} NPU elements per slice", reach.last,
                  npuSlice_);
    return true;
  }

  // Past the layout check, a table is missing only where host memory for it
  // ran out: the file is sound, the host is short.
  bool checkTables() {
    for (const auto& table : rec_.indexTables)
      if (table.size() != hostSlice_) {
        status_ = StatusCode::BadAlloc;
        return fail("has no index tables of its {} host elements - out of host memory.", hostSlice_);
      }
    return true;
  }

  bool checkRuns() {
    if (rec_.copyRuns.empty() || rec_.copyRuns[0].lengths.empty()) return fail("has no copy runs");
    const CopyRuns& runs = rec_.copyRuns[0];
    const size_t n = runs.lengths.size();
    if (runs.srcOffsets.size() != n || runs.dstOffsets.size() != n)
      return fail("has copy run lists of different lengths ({}, {}, {})", runs.srcOffsets.size(), n,
                  runs.dstOffsets.size());
    const std::vector<uint32_t>& hostOff = isInput_ ? runs.srcOffsets : runs.dstOffsets;
    const std::vector<uint32_t>& npuOff = isInput_ ? runs.dstOffsets : runs.srcOffsets;
    for (size_t k = 0; k < n; ++k) {
      const uint64_t len = runs.lengths[k];
      if (uint64_t{hostOff[k]} + len > hostSlice_ || uint64_t{npuOff[k]} + len > npuSlice_)
        return fail("copy run {} (host {}, NPU {}, length {}) leaves the slice ({} host, {} NPU elements)", k,
                    hostOff[k], npuOff[k], len, hostSlice_, npuSlice_);
    }
    if (rec_.layoutKind == 0) {
      // Runs built from a table cover it exactly: overlapping NPU ranges
      // mean two host elements on one position.
      std::vector<size_t> order(n);
      for (size_t k = 0; k < n; ++k) order[k] = k;
      std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return npuOff[a] < npuOff[b]; });
      for (size_t k = 1; k < n; ++k) {
        const size_t a = order[k - 1], b = order[k];
        if (uint64_t{npuOff[a]} + runs.lengths[a] > npuOff[b])
          return fail("places two host elements on NPU position {}", npuOff[b]);
      }
    }
    return true;
  }

  const IORecord& rec_;
  const BufferInfo& info_;
  bool isInput_;
  const std::string& what_;
  bool layoutOnly_;
  uint64_t hostSlice_ = 0;
  uint64_t npuSlice_ = 0;
  StatusCode status_ = StatusCode::Model_BrokenZRB;
};

}  // namespace

StatusCode checkIORecordLayout(const IORecord& record, bool isInput, const std::string& what) {
  RecordCheck check(record, isInput, what, true);
  return check.run() ? StatusCode::OK : check.status();
}

StatusCode validateIORecord(const IORecord& record, bool isInput, const std::string& what) {
  RecordCheck check(record, isInput, what, false);
  return check.run() ? StatusCode::OK : check.status();
}

}  // namespace kestrane
