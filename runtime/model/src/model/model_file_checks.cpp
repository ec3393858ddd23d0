// What a model file must hold, beyond its structure, for requests to run
// safely: checked once at creation so that no request divides by zero,
// indexes past a list or writes outside device memory. The model summary
// builds the same operations without these checks and still renders such
// files.

#include <cmath>
#include <exception>
#include <string>

#include <fmt/format.h>

#include "hwdep/memory_type.h"
#include "hwdep/platform.h"
#include "model/device_regions.h"
#include "model/reposition.h"
#include "model_validation.h"
#include "runtime/globals.h"
#include "runtime/log.h"

namespace kestrane::model_checks {

namespace {

constexpr uint8_t kMaxIoType = 5;
constexpr uint8_t kOutputSliceIoType = 3;

bool usableScale(float s) { return std::isfinite(s) && s != 0.0f; }

StatusCode checkScale(const IORecord& rec, const zrb::IoEntry& entry, const std::string& what) {
  if (rec.npuDtype == static_cast<uint8_t>(NPUDtype::Float32) ||
      rec.npuDtype == static_cast<uint8_t>(NPUDtype::Float16))
    return StatusCode::OK;
  if (rec.scale.is_uniform) {
    if (usableScale(rec.scale.scale) && !entry.scales.empty()) return StatusCode::OK;
    KLOG_ERROR("{} has an unusable scale ({}).", what, entry.scales.empty() ? 0.0f : entry.scales[0]);
    return StatusCode::Model_InvalidScaleValue;
  }
  if (rec.scale.scale_list.size() < rec.info.original_channel) {
    KLOG_ERROR("{} has {} per-channel scales for {} channels.", what, rec.scale.scale_list.size(),
               rec.info.original_channel);
    return StatusCode::Model_InvalidScaleValue;
  }
  for (size_t i = 0; i < rec.scale.scale_list.size(); ++i) {
    if (!usableScale(rec.scale.scale_list[i])) {
      KLOG_ERROR("{} has an unusable scale ({}) for channel {}.", what, entry.scales[i], i);
      return StatusCode::Model_InvalidScaleValue;
    }
  }
  return StatusCode::OK;
}

StatusCode checkDimensions(const zrb::IoEntry& e, const std::string& what) {
  const uint32_t dims[9] = {e.original_height, e.original_width, e.original_channel, e.reshaped_height,
                            e.reshaped_width,  e.reshaped_channel, e.height,         e.width,
                            e.channel};
  for (uint32_t d : dims) {
    if (d == 0) {
      KLOG_ERROR("{} has an empty dimension (original {}x{}x{}, reshaped {}x{}x{}, NPU {}x{}x{}).", what,
                 e.original_height, e.original_width, e.original_channel, e.reshaped_height, e.reshaped_width,
                 e.reshaped_channel, e.height, e.width, e.channel);
      return StatusCode::Model_BrokenZRB;
    }
  }
  return StatusCode::OK;
}

StatusCode checkIoType(uint8_t type, bool isInput, size_t index, size_t inputCount, const std::string& what) {
  if (type > kMaxIoType || (isInput && type == kOutputSliceIoType)) {
    KLOG_ERROR("{} has the invalid IO type {}.", what, type);
    return StatusCode::Model_BrokenZRB;
  }
  // Outputs of these types are written back to the input of the same index.
  if (!isInput && (type == 1 || type == 2) && index >= inputCount) {
    KLOG_ERROR("{} has IO type {}, but there is no input {} to write back to.", what, type, index);
    return StatusCode::Model_BrokenZRB;
  }
  return StatusCode::OK;
}

StatusCode checkIoArea(const zrb::IoEntry& e, const IORecord& rec, const zrb::Bundle& bundle,
                       const std::vector<uint64_t>& slots, const std::string& what) {
  StatusCode status = StatusCode::OK;
  const uint64_t bytes =
      ioAreaElements(e, bundle.sequence_lengths, rec.channelGranule, status) * npuElementBytes(rec.npuDtype);
  if (status != StatusCode::OK) return status;
  const hwdep::Platform& platform = processPlatform();
  for (const zrb::Designation& d : e.designations) {
    const CoreId core = designationCore(d);
    uint64_t address = d.address;
    if (!d.flag) {
      try {
        const auto& cluster = platform.getCluster(static_cast<int32_t>(core.cluster));
        const auto& entry = platform.getCoreEntry(cluster, static_cast<uint32_t>(core.core));
        address += platform.lookupU64ById(entry, static_cast<int32_t>(hwdep::MemoryType::DDR));
      } catch (const std::exception&) {
        KLOG_ERROR("{} is placed on core 0x{:x}, which has no DDR in the hardware description.", what, coreKey(core));
        return StatusCode::Model_BrokenZRB;
      }
    }
    for (uint64_t slot : slots) {
      if (!DeviceRegions::card().contains(address + slot, bytes)) {
        KLOG_ERROR("{} on core 0x{:x} (0x{:x}, {} bytes) lies outside device memory.", what, coreKey(core),
                   address + slot, bytes);
        return StatusCode::Model_BrokenZRB;
      }
    }
  }
  return StatusCode::OK;
}

StatusCode checkRecords(const NPUOpDesc& op, size_t b, bool isInput, const std::vector<uint64_t>& slots) {
  const zrb::Bundle& bundle = op.bundle();
  const auto& records = isInput ? op.inputs() : op.outputs();
  const auto& types = isInput ? op.inputIoTypes() : op.outputIoTypes();
  for (size_t i = 0; i < records.size(); ++i) {
    const zrb::IoEntry& e =
        isInput ? static_cast<const zrb::IoEntry&>(bundle.inputs[i]) : static_cast<const zrb::IoEntry&>(bundle.outputs[i]);
    const std::string what = fmt::format("{} {} of NPU operation {}", isInput ? "Input" : "Output", i, b);
    StatusCode status = checkDimensions(e, what);
    if (status == StatusCode::OK) status = checkIoType(types[i], isInput, i, bundle.inputs.size(), what);
    if (status == StatusCode::OK) status = checkScale(records[i], e, what);
    if (status == StatusCode::OK) status = validateIORecord(records[i], isInput, what);
    if (status == StatusCode::OK) status = checkIoArea(e, records[i], bundle, slots, what);
    if (status != StatusCode::OK) return status;
  }
  return StatusCode::OK;
}

StatusCode checkSequenceLengths(const zrb::Bundle& bundle, size_t b) {
  for (size_t s = 0; s < bundle.sequence_lengths.size(); ++s) {
    const zrb::SequenceLength& seq = bundle.sequence_lengths[s];
    if (seq.max_size < 0) {
      KLOG_ERROR("SequenceLength {} of NPU operation {} has a negative maximum size ({}).", s, b, seq.max_size);
      return StatusCode::Model_BrokenZRB;
    }
    const bool needsAxis = seq.sequence_type == 0 || seq.sequence_type == 2;
    if (needsAxis && (seq.input_axes.empty() || (seq.sequence_type == 0 && seq.input_axes.begin()->second.empty()))) {
      KLOG_ERROR("SequenceLength {} has no input axis to take its length from", s);
      return StatusCode::Model_BrokenZRB;
    }
    if (seq.sequence_type != 0) continue;
    // Input slopes divide the request's lengths.
    for (const auto& [input, items] : seq.input_axes) {
      for (const zrb::SequenceLengthAxis& item : items) {
        if (item.multiplier == 0.0f || !std::isfinite(item.multiplier)) {
          KLOG_ERROR("SequenceLength {} of NPU operation {} divides input {} by a slope of {}.", s, b, input,
                     item.multiplier);
          return StatusCode::Model_BrokenZRB;
        }
      }
    }
  }
  return StatusCode::OK;
}

StatusCode checkPlacements(const zrb::Bundle& bundle, size_t b) {
  const DeviceRegions& regions = DeviceRegions::card();
  for (size_t k = 0; k < bundle.section_binaries.size(); ++k) {
    const zrb::SectionBinary& section = bundle.section_binaries[k];
    for (const zrb::Designation& d : section.designations) {
      if (!regions.contains(d.address, section.size)) {
        KLOG_ERROR("Section binary {} of NPU operation {} (0x{:x}, {} bytes) lies outside device memory.", k, b,
                   d.address, section.size);
        return StatusCode::Model_BrokenZRB;
      }
    }
  }
  return StatusCode::OK;
}

StatusCode checkCaches(const NPUOpDesc& op, size_t b) {
  for (const zrb::CacheDesignation& cache : op.cacheDesignations()) {
    for (const zrb::CacheDesignationEntry& row : cache.entries) {
      for (const zrb::Designation& d : row.designations) {
        if (!DeviceRegions::card().contains(d.address, cache.size)) {
          KLOG_ERROR("Cache \"{}\" of NPU operation {} (0x{:x}, {} bytes) lies outside device memory.", cache.name, b,
                     d.address, cache.size);
          return StatusCode::Model_BrokenZRB;
        }
      }
    }
  }
  return StatusCode::OK;
}

}  // namespace

StatusCode checkOperations(const std::vector<NPUOpDesc>& ops, const std::vector<std::vector<uint64_t>>& ioSlotOffsets) {
  for (size_t b = 0; b < ops.size(); ++b) {
    const NPUOpDesc& op = ops[b];
    static const std::vector<uint64_t> none;
    const std::vector<uint64_t>& slots = b < ioSlotOffsets.size() ? ioSlotOffsets[b] : none;
    StatusCode status = checkSequenceLengths(op.bundle(), b);
    if (status == StatusCode::OK) status = checkRecords(op, b, true, slots);
    if (status == StatusCode::OK) status = checkRecords(op, b, false, slots);
    if (status == StatusCode::OK) status = checkPlacements(op.bundle(), b);
    if (status == StatusCode::OK) status = checkCaches(op, b);
    if (status != StatusCode::OK) return status;
  }
  return StatusCode::OK;
}

}  // namespace kestrane::model_checks
