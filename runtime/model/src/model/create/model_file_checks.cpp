// What a model file must hold, beyond its structure, for requests to run
// safely: checked once at creation so that no request divides by zero,
// indexes past a list or writes outside device memory. The model summary
// builds the same operations without these checks and still renders such
// files.

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <string>

#include <fmt/format.h>

#include "config/globals.h"
#include "core/log.h"
#include "dataplane/reposition.h"
#include "hwdep/memory_type.h"
#include "hwdep/platform.h"
#include "launch_sections.h"
#include "model/device_regions.h"
#include "model/request_shapes.h"
#include "model_validation.h"

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

// Bytes of the device area of an input or output: its NPU buffer at the
// largest sequence multipliers.
uint64_t areaBytes(const zrb::IoEntry& e, const IORecord& rec, const zrb::Bundle& bundle, StatusCode& status) {
  return ioAreaElements(e, bundle.sequence_lengths, rec.channelGranule, status) * npuElementBytes(rec.npuDtype);
}

StatusCode checkIoArea(const zrb::IoEntry& e, uint64_t bytes, const std::vector<uint64_t>& slots,
                       const std::string& what) {
  const hwdep::Platform& platform = processPlatform();
  for (const zrb::Designation& d : e.designations) {
    const CoreId core = designationCore(d);
    uint64_t address = d.address;
    if (!d.flag) {
      try {
        const auto& cluster = platform.getCluster(static_cast<int32_t>(core.cluster));
        const auto& entry = platform.getCoreEntry(cluster, static_cast<uint32_t>(core.core));
        address += platform.lookupU64ById(entry, static_cast<int32_t>(hwdep::MemoryType::DDR));
      } catch (const std::bad_alloc&) {
        throw;  // out of host memory: the caller's BadAlloc, not a broken file
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

// Outputs of IO types 1 and 2 are written back into the area of the input
// of the same index: that area must hold the whole output.
StatusCode checkWriteBack(const NPUOpDesc& op, size_t o, const std::string& what) {
  const uint8_t type = op.outputIoTypes()[o];
  if (type != 1 && type != 2) return StatusCode::OK;
  const zrb::Bundle& bundle = op.bundle();
  StatusCode status = StatusCode::OK;
  const uint64_t output = areaBytes(bundle.outputs[o], op.outputs()[o], bundle, status);
  if (status != StatusCode::OK) return status;
  const uint64_t input = areaBytes(bundle.inputs[o], op.inputs()[o], bundle, status);
  if (status != StatusCode::OK) return status;
  if (output <= input) return StatusCode::OK;
  KLOG_ERROR("{} of {} bytes is written back into input {}, whose area holds {} bytes.", what, output, o, input);
  return StatusCode::Model_BrokenZRB;
}

// Element types other than 0, 1 and 2 load: a record that needs no layout
// step converts them as int8. Requests that lay one out fail with
// Model_InvalidNPUDtype, which this line explains in advance.
void noteInvalidDtype(const IORecord& rec, const std::string& what) {
  if (rec.npuDtype <= static_cast<uint8_t>(NPUDtype::Int8)) return;
  KLOG_WARN("{} has the invalid NPU dtype {}: requests that lay it out fail with Model_InvalidNPUDtype.", what,
            rec.npuDtype);
}

std::string recordName(bool isInput, size_t i, size_t b) {
  return fmt::format("{} {} of NPU operation {}", isInput ? "Input" : "Output", i, b);
}

// What the model's records add up to as its operations are checked.
struct Totals {
  uint64_t areaBytes = 0;      // of the operation being checked
  uint64_t tableElements = 0;  // of the whole model
};

// Adds `amount` to `total`, saturating: false once the total passes the
// card's bytes.
bool addWithinCard(uint64_t amount, uint64_t& total) {
  const uint64_t card = DeviceRegions::card().total();
  total = amount > card - std::min(total, card) ? card + 1 : total + amount;
  return total <= card;
}

// One request holds a host buffer per record of its operation: the areas of
// one operation, each counted once, fit the card. Variants are separate
// operations and may share one place of the card.
StatusCode addArea(uint64_t bytes, Totals& totals, size_t b, const std::string& what) {
  if (addWithinCard(bytes, totals.areaBytes)) return StatusCode::OK;
  KLOG_ERROR("{} brings the device areas of the inputs and outputs of NPU operation {} to more than the {} bytes of "
             "the card.",
             what, b, DeviceRegions::card().total());
  return StatusCode::Model_BrokenZRB;
}

// The index tables of every layout-kind-0 record of the model live on the
// host from creation on: their elements together stay within the card's
// bytes, counted before any is built.
StatusCode addTableElements(const IORecord& rec, Totals& totals, const std::string& what) {
  if (rec.layoutKind != 0 || addWithinCard(rec.info.original_size(), totals.tableElements)) return StatusCode::OK;
  KLOG_ERROR("{} brings the index-table elements of the model's layout-kind-0 records to more than {}, the bytes of "
             "the card.",
             what, DeviceRegions::card().total());
  return StatusCode::Model_BrokenZRB;
}

// Everything that can refuse a record, before any index table is built.
StatusCode checkRecords(const NPUOpDesc& op, size_t b, bool isInput, const std::vector<uint64_t>& slots,
                        Totals& totals) {
  const zrb::Bundle& bundle = op.bundle();
  const auto& records = isInput ? op.inputs() : op.outputs();
  const auto& types = isInput ? op.inputIoTypes() : op.outputIoTypes();
  for (size_t i = 0; i < records.size(); ++i) {
    const zrb::IoEntry& e =
        isInput ? static_cast<const zrb::IoEntry&>(bundle.inputs[i]) : static_cast<const zrb::IoEntry&>(bundle.outputs[i]);
    const std::string what = recordName(isInput, i, b);
    // The area comes before the layout: a record too large for the card is
    // named for its area.
    StatusCode status = checkDimensions(e, what);
    if (status == StatusCode::OK) status = checkIoType(types[i], isInput, i, bundle.inputs.size(), what);
    uint64_t bytes = 0;
    if (status == StatusCode::OK) bytes = areaBytes(e, records[i], bundle, status);
    if (status == StatusCode::OK) status = checkIoArea(e, bytes, slots, what);
    if (status == StatusCode::OK) status = addArea(bytes, totals, b, what);
    if (status == StatusCode::OK && !isInput) status = checkWriteBack(op, i, what);
    if (status == StatusCode::OK) status = checkScale(records[i], e, what);
    if (status == StatusCode::OK) status = checkIORecordLayout(records[i], isInput, what);
    if (status == StatusCode::OK) status = addTableElements(records[i], totals, what);
    if (status != StatusCode::OK) return status;
    noteInvalidDtype(records[i], what);
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

StatusCode checkPlacements(const zrb::Bundle& bundle, size_t b, bool severalBundles) {
  const DeviceRegions& regions = DeviceRegions::card();
  const uint32_t kind = launch_sections::programKind(bundle);
  for (size_t k = 0; k < bundle.section_binaries.size(); ++k) {
    const zrb::SectionBinary& section = bundle.section_binaries[k];
    // A host buffer of no bytes cannot be had: launch would fail without
    // saying why.
    if (section.size == 0 && launch_sections::launchReads(kind, section, severalBundles)) {
      KLOG_ERROR("Section binary {} of NPU operation {} (memory type {}) is empty, but launch reads it.", k, b,
                 section.memory_type);
      return StatusCode::Model_BrokenZRB;
    }
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

// A dump holds every cache of the model on the host at once, one block per
// cache of each operation: the caches of one operation fit the card.
// Variants are separate operations and may share one cache.
StatusCode checkCaches(const NPUOpDesc& op, size_t b) {
  uint64_t total = 0;
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
    if (!addWithinCard(cache.size, total)) {
      KLOG_ERROR("Cache \"{}\" of NPU operation {} brings the operation's caches to more than the {} bytes of the "
                 "card.",
                 cache.name, b, DeviceRegions::card().total());
      return StatusCode::Model_BrokenZRB;
    }
  }
  return StatusCode::OK;
}

// Why a described shape fits no item of a record, or empty when it fits:
// a 4-D shape's first dimension is the batch; each of the other three must
// be a whole multiple of the record's original size within the largest
// multiplier, and a dimension -k must leave such a multiple.
std::string shapeMisfit(const std::vector<int64_t>& shape, const BufferInfo& info, const SeqLensHWC& bounds) {
  if (shape.size() != 3 && shape.size() != 4)
    return fmt::format("{} dimensions are not an item (3, or 4 with the batch first)", shape.size());
  const size_t first = shape.size() - 3;
  const uint32_t originals[3] = {info.original_height, info.original_width, info.original_channel};
  for (size_t k = 0; k < 3; ++k) {
    const int64_t d = shape[first + k];
    const uint64_t most = uint64_t{originals[k]} * bounds[k];
    if (d == 0) return fmt::format("dimension {} is 0", first + k);
    if (d == std::numeric_limits<int64_t>::min())
      return fmt::format("dimension {} ({}) has no whole multiples", first + k, d);
    if (d > 0 && static_cast<uint64_t>(d) % originals[k] != 0)
      return fmt::format("dimension {} ({}) is not a whole multiple of {}", first + k, d, originals[k]);
    const uint64_t least = static_cast<uint64_t>(d > 0 ? d : -d);
    if (least > most)
      return fmt::format("dimension {} ({}) exceeds {} x {}", first + k, d, originals[k], bounds[k]);
  }
  return {};
}

StatusCode refuseMisfit(const std::string& what, size_t v, const std::vector<int64_t>& shape, const char* side,
                        size_t i, size_t op, const std::string& why) {
  KLOG_ERROR("{} of variant {}, described as {}, does not fit {} {} of NPU operation {}: {}.", what, v,
             shapeText(shape), side, i, op, why);
  return StatusCode::Model_BrokenZRB;
}

StatusCode checkLayer(const OpDesc& layer, size_t v, const NPUOpDesc& op) {
  const auto b = static_cast<size_t>(layer.bundleIndex);
  if (layer.inputList.size() != op.inputs().size() || layer.outputList.size() != op.outputs().size()) {
    KLOG_ERROR("Layer \"{}\" of variant {} has {} inputs and {} outputs, but NPU operation {} has {} and {}.",
               layer.layerName, v, layer.inputList.size(), layer.outputList.size(), b, op.inputs().size(),
               op.outputs().size());
    return StatusCode::Model_BrokenZRB;
  }
  for (size_t o = 0; o < op.outputShapes().size() && o < op.outputs().size(); ++o) {
    const std::string why = shapeMisfit(op.outputShapes()[o], op.outputs()[o].info, op.maxMultipliers(false, o));
    if (!why.empty())
      return refuseMisfit(fmt::format("Output \"{}\"", layer.outputList[o]), v, op.outputShapes()[o], "output", o, b,
                          why);
  }
  return StatusCode::OK;
}

}  // namespace

StatusCode checkDescriptions(const std::vector<ModelDesc>& descs, const std::vector<NPUOpDesc>& ops) {
  for (size_t v = 0; v < descs.size(); ++v) {
    const ModelDesc& desc = descs[v];
    for (const OpDesc& layer : desc.opDescs) {
      if (layer.isUnsupported) continue;
      const StatusCode status = checkLayer(layer, v, ops[static_cast<size_t>(layer.bundleIndex)]);
      if (status != StatusCode::OK) return status;
    }
    if (!desc.isNpuOnly) continue;
    // Requests are matched against the model's inputs and handed to the
    // operation in order.
    const auto b = static_cast<size_t>(desc.firstNpuOpIndex());
    const NPUOpDesc& op = ops[b];
    if (desc.fullInputShapes.size() != op.inputs().size()) {
      KLOG_ERROR("Variant {} has {} inputs, but NPU operation {} has {}.", v, desc.fullInputShapes.size(), b,
                 op.inputs().size());
      return StatusCode::Model_BrokenZRB;
    }
    for (size_t i = 0; i < desc.fullInputShapes.size(); ++i) {
      const std::vector<int64_t>& shape = desc.fullInputShapes[i];
      const std::string why = shapeMisfit(shape, op.inputs()[i].info, op.maxMultipliers(true, i));
      if (!why.empty())
        return refuseMisfit(fmt::format("Input \"{}\"", desc.inputNames[i]), v, shape, "input", i, b, why);
    }
  }
  return StatusCode::OK;
}

StatusCode checkOperations(const std::vector<NPUOpDesc>& ops, const std::vector<std::vector<uint64_t>>& ioSlotOffsets) {
  Totals totals;
  for (size_t b = 0; b < ops.size(); ++b) {
    const NPUOpDesc& op = ops[b];
    totals.areaBytes = 0;
    static const std::vector<uint64_t> none;
    const std::vector<uint64_t>& slots = b < ioSlotOffsets.size() ? ioSlotOffsets[b] : none;
    StatusCode status = checkSequenceLengths(op.bundle(), b);
    if (status == StatusCode::OK) status = checkRecords(op, b, true, slots, totals);
    if (status == StatusCode::OK) status = checkRecords(op, b, false, slots, totals);
    if (status == StatusCode::OK) status = checkPlacements(op.bundle(), b, ops.size() > 1);
    if (status == StatusCode::OK) status = checkCaches(op, b);
    if (status != StatusCode::OK) return status;
  }
  return StatusCode::OK;
}

StatusCode checkIndexTables(const std::vector<NPUOpDesc>& ops) {
  for (size_t b = 0; b < ops.size(); ++b) {
    for (bool isInput : {true, false}) {
      const auto& records = isInput ? ops[b].inputs() : ops[b].outputs();
      for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].layoutKind != 0) continue;
        const StatusCode status = validateIORecord(records[i], isInput, recordName(isInput, i, b));
        if (status != StatusCode::OK) return status;
      }
    }
  }
  return StatusCode::OK;
}

}  // namespace kestrane::model_checks
