// Sequence lengths of an NPU operation: the file's consistency check and the
// per-request computation of multipliers and RmemId values.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/log.h"
#include "model/npu_op_desc.h"

namespace kestrane {

namespace {

constexpr uint8_t kInvalidType = 0xFF;
constexpr uint8_t kAxisCacheDependent = 1;

// Lengths saturate near +-2^62: far enough from the 64-bit bounds that adding
// or taking off a 32-bit cache size cannot overflow. Their low 32 bits are
// all ones and all zeros, as those of the 64-bit bounds, so a value read as
// 32 bits saturates to what it would at 64 bits.
constexpr int64_t kLengthMax = (int64_t{1} << 62) - 1;
constexpr int64_t kLengthMin = -(int64_t{1} << 62);

// Halves away from zero in single precision; NaN gives 0 and values beyond
// the bounds saturate, so no file value makes the conversion undefined.
int64_t toInt(float value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<float>(kLengthMax)) return kLengthMax;
  if (value <= static_cast<float>(kLengthMin)) return kLengthMin;
  return static_cast<int64_t>(value);
}

// product * factor, both within the bounds, saturating like toInt.
int64_t saturatingProduct(int64_t product, int64_t factor) {
  if (factor != 0 && std::abs(product) > kLengthMax / std::abs(factor))
    return (product < 0) != (factor < 0) ? kLengthMin : kLengthMax;
  return product * factor;
}

int64_t roundToInt(float value) { return toInt(std::round(value)); }

bool validRmemIds(const zrb::RmemIdList& ids, const zrb::Bundle& bundle, size_t s, uint8_t lowType, uint8_t highType,
                  const char* kindText) {
  const auto count = static_cast<int64_t>(bundle.rmem_ids.size());
  for (int32_t id : ids) {
    if (id < 0 || id >= count) {
      KLOG_ERROR("RmemId index of mSequenceLengths[{}] is out of index ({} < 0 || {} >= {}", s, id, id, count);
      return false;
    }
    const uint8_t type = bundle.rmem_ids[static_cast<size_t>(id)].rmem_type;
    if (type < lowType || type > highType) {
      KLOG_ERROR("Invalid RmemType - {} th RmemId should be {}", id, kindText);
      return false;
    }
  }
  return true;
}

using Expected = std::vector<std::array<int32_t, 3>>;

bool validAxes(const std::map<int32_t, std::vector<zrb::SequenceLengthAxis>>& axes, size_t count, size_t s,
               uint8_t sequenceType, Expected& expected, bool isInput) {
  for (const auto& [index, items] : axes) {
    if (index < 0 || static_cast<size_t>(index) >= count) {
      if (isInput) {
        KLOG_ERROR("Input index ({}) of {} th SequenceLength is out of valid range [0, {}).", index, s, count);
      } else {
        KLOG_ERROR("Output index ({}) of {} th SequenceLength is out of valid range [0, {}).", index, s, count);
      }
      return false;
    }
    for (const zrb::SequenceLengthAxis& item : items) {
      if (item.axis_type == kInvalidType) {
        if (isInput) {
          KLOG_ERROR("Invalid SequenceLengthAxisType - mSequenceLengths[{}].input_axes[{}]", s, index);
        } else {
          KLOG_ERROR("Invalid SequenceLengthAxisType - mSequenceLengths[{}].output_axes[{}]", s, index);
        }
        return false;
      }
      // Only heights, widths and channels exist: any other axis would index
      // past a {h, w, c} triple.
      if (item.axis > 2) {
        if (isInput) {
          KLOG_ERROR("Invalid Axis - mSequenceLengths[{}].input_axes[{}]", s, index);
        } else {
          KLOG_ERROR("Invalid Axis - mSequenceLengths[{}].output_axes[{}]", s, index);
        }
        return false;
      }
      if (sequenceType == 2) continue;
      int32_t& slot = expected[static_cast<size_t>(index)][item.axis];
      if (slot != -1) {
        if (isInput) {
          KLOG_ERROR("Multiple SequenceLengths ({}, {}) are pointing the same input axis.", slot, s);
        } else {
          KLOG_ERROR("Multiple SequenceLengths ({}, {}) are pointing the same output axis.", slot, s);
        }
        return false;
      }
      slot = static_cast<int32_t>(s);
    }
  }
  return true;
}

template <typename Entries>
bool matchesExpected(const Entries& entries, const Expected& expected, bool isInput) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    const std::array<int32_t, 3> actual = {e.seq_index_height, e.seq_index_width, e.seq_index_channel};
    if (actual != expected[i]) {
      if (isInput) {
        KLOG_ERROR("Input {} doesn't match correct Sequencelength (expected: [{}, {}, {}], actual: [{}, {}, {}])", i,
                   expected[i][0], expected[i][1], expected[i][2], actual[0], actual[1], actual[2]);
      } else {
        KLOG_ERROR("Output {} doesn't match correct Sequencelength (expected: [{}, {}, {}], actual: [{}, {}, {}])", i,
                   expected[i][0], expected[i][1], expected[i][2], actual[0], actual[1], actual[2]);
      }
      return false;
    }
  }
  return true;
}

}  // namespace

int32_t getMaxSequenceSize(const std::vector<zrb::SequenceLength>& lengths, int32_t index, StatusCode& status) {
  status = StatusCode::OK;
  if (index == -1) return 0;
  if (index < 0 || static_cast<size_t>(index) >= lengths.size()) {
    KLOG_ERROR("Failed to find target SequenceLength");
    status = StatusCode::Model_BrokenZRB;
    return 0;
  }
  return lengths[static_cast<size_t>(index)].max_size;
}

// flag_bit8 is a length's cache flag, further_words[0] its maximum cache size
// and further_words[1] its cache offset.
uint32_t maxCacheSize(const std::vector<zrb::SequenceLength>& lengths) {
  uint32_t result = 0;
  for (const zrb::SequenceLength& s : lengths) {
    if (s.flag_bit8) result = std::max(result, s.further_words[0]);
  }
  return result;
}

StatusCode checkSequenceLengthValid(const zrb::Bundle& bundle) {
  Expected inputs(bundle.inputs.size(), {-1, -1, -1});
  Expected outputs(bundle.outputs.size(), {-1, -1, -1});
  // Format 4 gives every length one shared list per kind: each list is
  // walked once, so the check stays linear in the file.
  std::unordered_set<const void*> sequenceLists, cacheLists;
  auto firstVisit = [](std::unordered_set<const void*>& seen, const zrb::RmemIdList& list) {
    return list.empty() || seen.insert(&list.ids()).second;
  };
  for (size_t s = 0; s < bundle.sequence_lengths.size(); ++s) {
    const zrb::SequenceLength& length = bundle.sequence_lengths[s];
    if (length.sequence_type == kInvalidType) {
      KLOG_ERROR("Invalid SequenceLengthType - mSequenceLengths[{}]", s);
      return StatusCode::Model_BrokenZRB;
    }
    if (!validAxes(length.input_axes, bundle.inputs.size(), s, length.sequence_type, inputs, true) ||
        !validAxes(length.output_axes, bundle.outputs.size(), s, length.sequence_type, outputs, false) ||
        (firstVisit(sequenceLists, length.sequence_rmem_ids) &&
         !validRmemIds(length.sequence_rmem_ids, bundle, s, 1, 1, "SequenceLength")) ||
        (firstVisit(cacheLists, length.cache_rmem_ids) &&
         !validRmemIds(length.cache_rmem_ids, bundle, s, 2, 11, "related to Cache"))) {
      return StatusCode::Model_BrokenZRB;
    }
  }
  if (!matchesExpected(bundle.inputs, inputs, true) || !matchesExpected(bundle.outputs, outputs, false))
    return StatusCode::Model_BrokenZRB;
  return StatusCode::OK;
}

void NPUOpDesc::planSequenceLengths() {
  const auto& lengths = bundle_->sequence_lengths;
  sequencePlans_.assign(lengths.size(), SequencePlan{});
  // A shared list is written by the last length that holds it: walking the
  // lengths backwards, a list seen before is held by a later one. Lists are
  // told apart by identity, each visited once, so planning stays linear in
  // the file however many lengths share them.
  std::unordered_set<const void*> laterSequence, laterCache;
  std::unordered_map<const void*, std::shared_ptr<std::vector<OverflowProbe>>> probesOf;
  for (size_t s = lengths.size(); s-- > 0;) {
    SequencePlan& plan = sequencePlans_[s];
    const zrb::RmemIdList& sequenceIds = lengths[s].sequence_rmem_ids;
    const zrb::RmemIdList& cacheIds = lengths[s].cache_rmem_ids;
    plan.writeSequenceIds = sequenceIds.empty() || laterSequence.insert(&sequenceIds.ids()).second;
    plan.writeCacheIds = cacheIds.empty() || laterCache.insert(&cacheIds.ids()).second;
    if (plan.writeCacheIds || !lengths[s].flag_bit8) continue;
    auto [probes, fresh] = probesOf.try_emplace(&cacheIds.ids());
    if (fresh) {
      probes->second = std::make_shared<std::vector<OverflowProbe>>();
      // The distinct (slope, offset) pairs of the list's type-2 ids, told
      // apart by their bits (a repeated probe would only test twice).
      std::set<std::pair<uint32_t, uint32_t>> seen;
      for (int32_t id : cacheIds) {
        const zrb::RmemIdConfig& rmem = bundle_->rmem_ids[static_cast<size_t>(id)];
        if (rmem.rmem_type != 2) continue;
        uint32_t slope = 0, offset = 0;
        std::memcpy(&slope, &rmem.multiplier, sizeof slope);
        std::memcpy(&offset, &rmem.offset, sizeof offset);
        if (seen.insert({slope, offset}).second) probes->second->push_back({rmem.multiplier, rmem.offset});
      }
    }
    plan.overflowProbes = probes->second;
  }
}

bool NPUOpDesc::sequenceLength(size_t s, const std::vector<SeqLensHWC>& inputSeqlens, int32_t cacheSize,
                               int64_t& length, StatusCode& status) const {
  const zrb::SequenceLength& seq = bundle_->sequence_lengths[s];
  const bool needsAxis = seq.sequence_type == 0 || seq.sequence_type == 2;
  if (needsAxis && (seq.input_axes.empty() || (seq.sequence_type == 0 && seq.input_axes.begin()->second.empty()))) {
    KLOG_ERROR("SequenceLength {} has no input axis to take its length from", s);
    status = StatusCode::Model_BrokenZRB;
    return false;
  }
  switch (seq.sequence_type) {
    case 0: {
      const auto& [j, items] = *seq.input_axes.begin();
      const zrb::SequenceLengthAxis& a = items.front();
      const int64_t off = a.axis_type == kAxisCacheDependent ? cacheSize : 0;
      const float v = static_cast<float>(inputSeqlens[static_cast<size_t>(j)][a.axis]);
      length = roundToInt((v - a.offset) / a.multiplier) - off;
      return true;
    }
    case 1:
      length = seq.max_size;
      return true;
    case 2: {
      const auto& [j, items] = *seq.input_axes.begin();
      const zrb::Input& input = bundle_->inputs[static_cast<size_t>(j)];
      const int32_t fileIndex[3] = {input.seq_index_height, input.seq_index_width, input.seq_index_channel};
      int64_t product = 1;
      for (const zrb::SequenceLengthAxis& item : items) {
        const int32_t named = fileIndex[item.axis];
        if (named >= 0 && static_cast<size_t>(named) < bundle_->sequence_lengths.size() &&
            bundle_->sequence_lengths[static_cast<size_t>(named)].sequence_type == 1) {
          product = saturatingProduct(product, bundle_->sequence_lengths[static_cast<size_t>(named)].max_size);
        } else {
          product = saturatingProduct(product, inputSeqlens[static_cast<size_t>(j)][item.axis]);
        }
      }
      length = product;
      return true;
    }
    default:
      KLOG_ERROR("Invalid SequenceLengthType - mSequenceLengths[{}]", s);
      status = StatusCode::Model_BrokenZRB;
      return false;
  }
}

SeqLenInfo NPUOpDesc::acquireSeqLenInfo(const std::vector<std::vector<int64_t>>& shapes, MemoryFormat format,
                                        int32_t cacheSize, StatusCode& status) const {
  SeqLenInfo info;
  acquireSeqLenInfo(shapes, format, cacheSize, info, status);
  return info;
}

void NPUOpDesc::acquireSeqLenInfo(const std::vector<std::vector<int64_t>>& shapes, MemoryFormat format,
                                  int32_t cacheSize, SeqLenInfo& info, StatusCode& status) const {
  info.format = format;
  // Until the lists are filled they hold nothing.
  auto empty = [&](size_t inputs) {
    info.inputSeqlens.resize(inputs);
    info.outputSeqlens.clear();
    info.rmemValues.clear();
  };
  if (shapes.size() != inputs_.size()) {
    KLOG_ERROR("Expected {} input shapes for the sequence lengths, got {}", inputs_.size(), shapes.size());
    status = StatusCode::Model_ShapeMismatched;
    empty(0);
    return;
  }
  // The lists are refilled in place: a reused SeqLenInfo keeps their storage.
  info.inputSeqlens.resize(shapes.size());
  for (size_t i = 0; i < shapes.size(); ++i) {
    const std::vector<int64_t>& shape = shapes[i];
    if ((shape.size() != 3 && shape.size() != 4) ||
        std::any_of(shape.begin(), shape.end(), [](int64_t d) { return d < 0; })) {
      KLOG_ERROR("Input {} has a shape of {} dimensions that is not an item (3 dimensions, 4 with the batch)", i,
                 shape.size());
      status = StatusCode::Model_ShapeMismatched;
      empty(i);
      return;
    }
    const size_t first = shape.size() - 3;
    const int64_t d0 = shape[first], d1 = shape[first + 1], d2 = shape[first + 2];
    const BufferInfo& b = inputs_[i].info;
    const bool hwc = format != MemoryFormat::CHW;
    auto ratio = [](int64_t d, uint32_t original) {
      return original == 0 ? 0u : static_cast<uint32_t>(d / original);
    };
    info.inputSeqlens[i].assign({ratio(hwc ? d0 : d1, b.original_height), ratio(hwc ? d1 : d2, b.original_width),
                                 ratio(hwc ? d2 : d0, b.original_channel)});
  }
  info.outputSeqlens.resize(outputs_.size());
  for (SeqLensHWC& m : info.outputSeqlens) m.assign({1, 1, 1});
  info.rmemValues.assign(bundle_->rmem_ids.size(), 0);
  status = checkMultipliers(info.inputSeqlens, true);
  if (status != StatusCode::OK) return;

  const auto& lengths = bundle_->sequence_lengths;
  for (size_t s = 0; s < lengths.size(); ++s) {
    const zrb::SequenceLength& seq = lengths[s];
    const SequencePlan& plan = sequencePlans_[s];
    int64_t length = 0;
    if (!sequenceLength(s, info.inputSeqlens, cacheSize, length, status)) return;
    auto offsetOf = [&](const zrb::SequenceLengthAxis& item) -> int64_t {
      return item.axis_type == kAxisCacheDependent ? cacheSize : 0;
    };
    if (seq.sequence_type == 0) {
      for (const auto& [m, items] : seq.input_axes) {
        for (const zrb::SequenceLengthAxis& b : items) {
          const uint32_t v = info.inputSeqlens[static_cast<size_t>(m)][b.axis];
          if (static_cast<int64_t>(v) > seq.max_size) {
            KLOG_ERROR("Sequence length of inputs[{}] exceeds maximum value ({} > {})", m, v, seq.max_size);
            status = StatusCode::Model_ShapeMismatched;
            return;
          }
          if (roundToInt((static_cast<float>(v) - b.offset) / b.multiplier) - offsetOf(b) != length) {
            KLOG_ERROR("Sequence length of inputs[{}] violates the dependency ({}*{}+{} != {})", m, length,
                       b.multiplier, b.offset, v);
            status = StatusCode::Model_ShapeMismatched;
            return;
          }
        }
      }
      for (const auto& [m, items] : seq.output_axes) {
        for (const zrb::SequenceLengthAxis& b : items) {
          info.outputSeqlens[static_cast<size_t>(m)][b.axis] = static_cast<uint32_t>(
              roundToInt(static_cast<float>(length + offsetOf(b)) * b.multiplier + b.offset));
        }
      }
    }
    if (plan.writeSequenceIds) {
      for (int32_t r : seq.sequence_rmem_ids) {
        const zrb::RmemIdConfig& rmem = bundle_->rmem_ids[static_cast<size_t>(r)];
        if (rmem.rmem_type != 1) {
          KLOG_ERROR("RmemId[{}] is not a SequenceLength", r);
          status = StatusCode::Model_BrokenZRB;
          return;
        }
        info.rmemValues[static_cast<size_t>(r)] =
            static_cast<uint32_t>(roundToInt(static_cast<float>(length) * rmem.multiplier + rmem.offset));
      }
    }
    auto cacheValue = [&](float slope, float offset) {
      return static_cast<uint32_t>(
          toInt(static_cast<float>(length) * slope + offset + static_cast<float>(cacheSize)));
    };
    auto overflows = [&](uint32_t v) {
      if (!seq.flag_bit8 || v <= seq.further_words[0]) return false;
      KLOG_ERROR("Sum of sequence length and cache size exceeds max cache size ({} > {})", v, seq.further_words[0]);
      status = StatusCode::Model_CacheOverflow;
      return true;
    };
    if (!plan.writeCacheIds) {
      for (const OverflowProbe& probe : *plan.overflowProbes) {
        if (overflows(cacheValue(probe.slope, probe.offset))) return;
      }
      continue;
    }
    for (int32_t r : seq.cache_rmem_ids) {
      const zrb::RmemIdConfig& rmem = bundle_->rmem_ids[static_cast<size_t>(r)];
      uint32_t v = cacheValue(rmem.multiplier, rmem.offset);
      if (rmem.rmem_type == 2) {
        if (overflows(v)) return;
      } else if (rmem.rmem_type == 11) {
        const uint32_t g = inputs_.empty() ? 1 : std::max<uint32_t>(inputs_[0].channelGranule, 1);
        const uint32_t t = (static_cast<uint32_t>(cacheSize) - seq.further_words[1] + 1u) / g * g;
        v -= static_cast<uint32_t>(std::max(static_cast<int32_t>(t), 0));
      } else if (rmem.rmem_type < 3 || rmem.rmem_type > 10) {
        KLOG_ERROR("RmemId[{}] is not related to cache", r);
        status = StatusCode::Model_BrokenZRB;
        return;
      }
      info.rmemValues[static_cast<size_t>(r)] = v;
    }
  }
  // Output multipliers come from the file's slopes and offsets.
  status = checkMultipliers(info.outputSeqlens, false);
}

StatusCode NPUOpDesc::checkMultipliers(const std::vector<SeqLensHWC>& multipliers, bool isInput) const {
  const std::vector<SeqLensHWC>& bounds = isInput ? inputBounds_ : outputBounds_;
  for (size_t i = 0; i < multipliers.size() && i < bounds.size(); ++i) {
    for (size_t axis = 0; axis < 3 && axis < multipliers[i].size(); ++axis) {
      const uint32_t v = multipliers[i][axis], bound = bounds[i][axis];
      if (v <= bound) continue;
      KLOG_ERROR("Sequence length of {}[{}] exceeds maximum value ({} > {})", isInput ? "inputs" : "outputs", i, v,
                 bound);
      return StatusCode::Model_ShapeMismatched;
    }
  }
  return StatusCode::OK;
}

SeqLenInfo NPUOpDesc::acquireSeqLenInfoForTensors(const std::vector<halvex::Tensor>& inputs, MemoryFormat format,
                                                  int32_t cacheSize, StatusCode& status) const {
  std::vector<std::vector<int64_t>> shapes;
  shapes.reserve(inputs.size());
  for (const halvex::Tensor& t : inputs) shapes.push_back(t.shape());
  return acquireSeqLenInfo(shapes, format, cacheSize, status);
}

}  // namespace kestrane
