// Construction of an NPU operation from its bundle, its IO address plan and
// its output tensors. The sequence-length rules are in npu_op_desc_sequence.cpp.

#include "model/npu_op_desc.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <new>
#include <set>

#include "config/globals.h"
#include "core/log.h"
#include "dataplane/reposition.h"
#include "halvex/free_functions.h"
#include "hwdep/memory_type.h"
#include "hwdep/platform.h"
#include "model/device_regions.h"

namespace kestrane {

namespace {

constexpr CoreId kNoCore{};

uint64_t roundUp(uint64_t value, uint64_t align) { return align == 0 ? value : (value + align - 1) / align * align; }

uint64_t lookup(const hwdep::Platform& platform, CoreId core, hwdep::MemoryType type) {
  const hwdep::ClusterEntry& cluster = platform.getCluster(static_cast<int32_t>(core.cluster));
  const hwdep::CoreEntry& entry = platform.getCoreEntry(cluster, static_cast<uint32_t>(core.core));
  return platform.lookupU64ById(entry, static_cast<int32_t>(type));
}

BufferInfo bufferInfo(const zrb::IoEntry& e) {
  BufferInfo info;
  info.original_height = e.original_height;
  info.original_width = e.original_width;
  info.original_channel = e.original_channel;
  info.reshaped_height = e.reshaped_height;
  info.reshaped_width = e.reshaped_width;
  info.reshaped_channel = e.reshaped_channel;
  info.height = e.height;
  info.width = e.width;
  info.channel = e.channel;
  return info;
}

CopyRuns storedRuns(const zrb::IoGroup& group) { return CopyRuns{group.first, group.second, group.third}; }

// Index tables only for a record whose host slice fits its NPU slice and
// whose NPU slice fits the card: a table then takes memory in proportion to
// the device area it indexes, whatever the file claims. Creation has
// refused such records before it asks for tables; the summary asks for none.
bool tablesFit(const BufferInfo& info, uint32_t granule, uint8_t npuDtype) {
  const uint64_t host = info.original_size(), npu = info.size();
  if (granule == 0 || host == 0 || host > npu || npu > std::numeric_limits<uint32_t>::max()) return false;
  return npu * npuElementBytes(npuDtype) <= DeviceRegions::card().largest();
}

}  // namespace

CoreId designationCore(const zrb::Designation& d) { return d.core_id == kNoCore ? d.core_config.core_id : d.core_id; }

uint32_t coreKey(CoreId core) { return static_cast<uint32_t>(core.cluster) | static_cast<uint32_t>(core.core); }

uint32_t npuElementBytes(uint8_t npuDtype) { return npuDtype == 0 ? 4 : npuDtype == 1 ? 2 : 1; }

uint64_t ioAreaElements(const zrb::IoEntry& e, const std::vector<zrb::SequenceLength>& lengths, uint32_t align,
                        StatusCode& status) {
  status = StatusCode::OK;
  const int32_t indices[3] = {e.seq_index_height, e.seq_index_width, e.seq_index_channel};
  uint64_t maxSeq[3] = {0, 0, 0};
  for (int axis = 0; axis < 3; ++axis) {
    const int32_t m = getMaxSequenceSize(lengths, indices[axis], status);
    if (status != StatusCode::OK) return 0;
    maxSeq[axis] = static_cast<uint64_t>(std::max(m, 0));
  }
  const uint64_t height = std::max<uint64_t>(maxSeq[0] * e.original_height, e.height);
  const uint64_t width = std::max<uint64_t>(maxSeq[1] * e.original_width, e.width);
  const uint64_t channel = std::max<uint64_t>(roundUp(maxSeq[2] * e.original_channel, align), e.channel);
  const uint64_t reshaped = uint64_t{e.reshaped_height} * e.reshaped_width * e.reshaped_channel;
  // What buffer acquisition makes of the largest sequence multipliers.
  auto multiplier = [&](int axis) { return std::max<uint64_t>(maxSeq[axis], 1); };
  uint64_t acquiredChannel = multiplier(2) * e.channel;
  if (maxSeq[2] * e.original_channel != 0) acquiredChannel = roundUp(acquiredChannel, align);
  const uint64_t acquired = acquiredChannel * (multiplier(1) * e.width) * (multiplier(0) * e.height);
  return std::max({height * width * channel, reshaped, acquired});
}

Scale readScale(const std::vector<float>& list, bool perChannel, bool isInput, StatusCode& status) {
  Scale scale;
  if (!perChannel && list.size() > 1) {
    KLOG_ERROR("Input Property implies uniform scale, but the real data has more than one element.");
    status = StatusCode::Model_InvalidScaleValue;
    return scale;
  }
  std::vector<float> values = list;
  if (isInput) {
    for (float& v : values) v = 1.0f / v;
  }
  if (perChannel) {
    scale.scale_list = std::move(values);
  } else {
    scale.scale = values.empty() ? 0.0f : values[0];
    scale.is_uniform = true;
  }
  status = StatusCode::OK;
  return scale;
}

StatusCode channelGranules(const hwdep::Platform& platform, const zrb::Bundle& bundle, uint32_t& input,
                           uint32_t& output) {
  uint64_t in = platform.getGeneralParam9(), out = platform.getGeneralParam10();
  // pow2_a and pow2_b are the input and output alignment words.
  if (!bundle.cores.empty()) {
    if (bundle.cores[0].pow2_a > 1) in = bundle.cores[0].pow2_a;
    if (bundle.cores[0].pow2_b >= 2) out = bundle.cores[0].pow2_b;
  }
  if (in == 0 || out == 0 || in > std::numeric_limits<uint32_t>::max() ||
      out > std::numeric_limits<uint32_t>::max()) {
    KLOG_ERROR("The channel granules of the model's inputs and outputs ({}, {}) must lie between 1 and 2^32 - 1.",
               in, out);
    return StatusCode::Model_BrokenZRB;
  }
  input = static_cast<uint32_t>(in);
  output = static_cast<uint32_t>(out);
  return StatusCode::OK;
}

NPUOpDesc::NPUOpDesc(const zrb::Bundle& bundle, StatusCode& status) : bundle_(&bundle) {
  status = buildCoreRegisters();
  if (status != StatusCode::OK) return;
  status = checkSequenceLengthValid(bundle);
  if (status != StatusCode::OK) return;
  uint32_t inputGranule = 0, outputGranule = 0;
  status = channelGranules(processPlatform(), bundle, inputGranule, outputGranule);
  if (status != StatusCode::OK) return;
  status = buildRecords(true, inputGranule);
  if (status != StatusCode::OK) return;
  status = buildRecords(false, outputGranule);
  if (status != StatusCode::OK) return;
  status = buildRmemEntries();
  if (status != StatusCode::OK) return;
  if (!bundle.cache_designations.empty()) {
    cacheDesignations_ = bundle.cache_designations;
  } else if (std::any_of(bundle.sequence_lengths.begin(), bundle.sequence_lengths.end(),
                         [](const zrb::SequenceLength& s) { return s.flag_bit8; })) {
    status = buildDefaultCache(inputGranule);
    if (status != StatusCode::OK) return;
  }
  maxCacheSize_ = kestrane::maxCacheSize(bundle.sequence_lengths);
  planSequenceLengths();
  status = StatusCode::OK;
}

StatusCode NPUOpDesc::buildCoreRegisters() {
  const hwdep::Platform& platform = processPlatform();
  for (const zrb::CoreConfig& config : bundle_->cores) {
    try {
      CoreRegisters regs;
      regs.status = lookup(platform, config.core_id, hwdep::MemoryType::StatusRegister);
      regs.control = lookup(platform, config.core_id, hwdep::MemoryType::ControlRegister);
      regs.ddr = lookup(platform, config.core_id, hwdep::MemoryType::DDR);
      coreRegisters_[config.core_id] = regs;
    } catch (const std::bad_alloc&) {
      throw;  // out of host memory: the caller's BadAlloc, not a broken file
    } catch (const std::exception& e) {
      KLOG_ERROR("Core 0x{:x} of the model is not in the hardware description ({}).", coreKey(config.core_id),
                 e.what());
      return StatusCode::Model_BrokenZRB;
    }
  }
  return StatusCode::OK;
}

StatusCode NPUOpDesc::buildRecords(bool isInput, uint32_t granule) {
  const auto& lengths = bundle_->sequence_lengths;
  auto build = [&](const zrb::IoEntry& e) {
    IORecord rec;
    rec.info = bufferInfo(e);
    StatusCode status = StatusCode::OK;
    const int32_t indices[3] = {e.seq_index_height, e.seq_index_width, e.seq_index_channel};
    uint32_t* maxFields[3] = {&rec.info.max_height, &rec.info.max_width, &rec.info.max_channel};
    const uint32_t originals[3] = {e.original_height, e.original_width, e.original_channel};
    SeqLensHWC bounds(3, 1);
    for (int axis = 0; axis < 3; ++axis) {
      const int32_t m = getMaxSequenceSize(lengths, indices[axis], status);
      if (status != StatusCode::OK) return status;
      bounds[static_cast<size_t>(axis)] = static_cast<uint32_t>(std::max(m, 1));
      *maxFields[axis] = static_cast<uint32_t>(m) * originals[axis];
      if (isInput && indices[axis] >= 0 && static_cast<size_t>(indices[axis]) < lengths.size()) {
        rec.info.max_cache_size =
            std::max(rec.info.max_cache_size, lengths[static_cast<size_t>(indices[axis])].further_words[0]);
      }
    }
    rec.scale = readScale(e.scales, e.per_channel, isInput, status);
    if (status != StatusCode::OK) return status;
    // The file's io_type is the layout kind, word2_nibble the NPU dtype and
    // kind the IO type; io_groups are the stored copy runs.
    rec.layoutKind = e.io_type;
    rec.npuDtype = e.word2_nibble;
    rec.channelGranule = granule;
    // Layout kind 0 gets its tables from buildIndexTables.
    if (rec.layoutKind != 0) {
      for (const zrb::IoGroup& group : e.io_groups) rec.copyRuns.push_back(storedRuns(group));
    }
    (isInput ? inputReposition_ : outputReposition_) = rec.layoutKind != 1;
    (isInput ? inputIoTypes_ : outputIoTypes_).push_back(e.kind);
    (isInput ? inputBounds_ : outputBounds_).push_back(std::move(bounds));
    (isInput ? inputs_ : outputs_).push_back(std::move(rec));
    return StatusCode::OK;
  };
  if (isInput) {
    for (const zrb::Input& e : bundle_->inputs) {
      const StatusCode status = build(e);
      if (status != StatusCode::OK) return status;
    }
  } else {
    for (const zrb::Output& e : bundle_->outputs) {
      const StatusCode status = build(e);
      if (status != StatusCode::OK) return status;
    }
  }
  return StatusCode::OK;
}

void NPUOpDesc::buildIndexTables() {
  auto build = [](std::vector<IORecord>& records, bool isInput) {
    for (IORecord& rec : records) {
      // Stored runs (kinds 4 and 5 copy none) were bounded by the checks;
      // where they overlap, a request copies their disjoint form.
      if (rec.layoutKind != 0 && rec.layoutKind != 4 && rec.layoutKind != 5 && !rec.copyRuns.empty())
        rec.disjointRuns = disjointRuns(rec.copyRuns[0]);
      if (rec.layoutKind != 0 || !tablesFit(rec.info, rec.channelGranule, rec.npuDtype)) continue;
      rec.indexTables[0] = buildRepositionIndex(rec.info, rec.channelGranule, MemoryFormat::HWC, isInput);
      rec.indexTables[1] = buildRepositionIndex(rec.info, rec.channelGranule, MemoryFormat::CHW, isInput);
      rec.copyRuns = {packIndexRuns(rec.indexTables[0], isInput)};
    }
  };
  build(inputs_, true);
  build(outputs_, false);
}

std::vector<const zrb::CoreConfig*> NPUOpDesc::distinctCores() const {
  std::vector<const zrb::CoreConfig*> cores;
  std::set<CoreId> seen;
  for (const zrb::CoreConfig& config : bundle_->cores) {
    if (seen.insert(config.core_id).second) cores.push_back(&config);
  }
  return cores;
}

StatusCode NPUOpDesc::buildRmemEntries() {
  // One list entry per RmemId and core: a core entry given again adds
  // nothing, and entry k of a core stays RmemId k, whose value a request
  // computes at position k.
  const std::vector<const zrb::CoreConfig*> cores = distinctCores();
  for (const zrb::CoreConfig* config : cores) rmemEntries_[config->core_id];
  const hwdep::Platform& platform = processPlatform();
  if (!platform.getSwcFlag7() || bundle_->rmem_ids.empty()) return StatusCode::OK;
  for (const zrb::CoreConfig* config : cores) {
    uint64_t base = 0;
    try {
      base = lookup(platform, config->core_id, hwdep::MemoryType::RMEM);
    } catch (const std::bad_alloc&) {
      throw;  // out of host memory: the caller's BadAlloc, not a broken file
    } catch (const std::exception& e) {
      KLOG_ERROR("Core 0x{:x} has no RMEM in the hardware description ({}).", coreKey(config->core_id), e.what());
      return StatusCode::Model_BrokenZRB;
    }
    std::vector<RmemEntry>& list = rmemEntries_[config->core_id];
    list.reserve(bundle_->rmem_ids.size());
    for (const zrb::RmemIdConfig& rmem : bundle_->rmem_ids) list.push_back({rmem.rmem_type, base + 4ull * rmem.value});
  }
  return StatusCode::OK;
}

StatusCode NPUOpDesc::buildDefaultCache(uint32_t inputGranule) {
  zrb::CacheDesignation cache;
  cache.name = "cache_0";
  cache.cache_type = static_cast<uint8_t>(CacheType::Default);
  cache.size = 0;
  cache.entries.push_back({0, {}});
  bool sized = false;
  // A core entry given again places the area once: the walk over the
  // designations below is made once per core.
  std::set<CoreId> placed;
  for (const zrb::CoreConfig& config : bundle_->cores) {
    if (config.mode == static_cast<uint32_t>(CoreMode::Global) && config.core_id.core != Core::GlobalCore) continue;
    if (!placed.insert(config.core_id).second) continue;
    uint64_t start = 0;
    for (const zrb::Input& input : bundle_->inputs) {
      for (const zrb::Designation& d : input.designations) {
        if (d.core_config.core_id != config.core_id) continue;
        StatusCode status = StatusCode::OK;
        // Bytes rather than elements: a wider NPU type only moves the area up.
        const uint64_t size = ioAreaElements(input, bundle_->sequence_lengths, inputGranule, status) *
                              npuElementBytes(input.word2_nibble);
        if (status != StatusCode::OK) return status;
        start = std::max(start, size + d.address);
        break;
      }
    }
    bool found = false;
    uint64_t end = std::numeric_limits<uint64_t>::max();
    for (const zrb::Output& output : bundle_->outputs) {
      for (const zrb::Designation& d : output.designations) {
        if (d.core_config.core_id != config.core_id) continue;
        found = true;
        end = std::min(end, d.address);
      }
    }
    if (start == 0 || !found || end < start) {
      KLOG_ERROR("[0x{:x}] Failed to initialize CacheDesignation -Invalid cache area (0x{:x} ~ 0x{:x})",
                 coreKey(config.core_id), start, found ? end : 0);
      return StatusCode::Model_BrokenZRB;
    }
    zrb::Designation d;
    d.address = start;
    d.flag = true;
    d.mode = 15;
    d.memory_type = 15;
    d.core_config = config;
    cache.entries[0].designations.push_back(d);
    if (sized && cache.size != end - start) {
      KLOG_ERROR("Failed to initialize CacheDesignation - Different size");
      return StatusCode::Model_BrokenZRB;
    }
    cache.size = end - start;
    sized = true;
  }
  cacheDesignations_.push_back(std::move(cache));
  return StatusCode::OK;
}

void NPUOpDesc::describe(std::vector<std::string> inputNames, std::vector<std::string> outputNames,
                         std::vector<std::vector<int64_t>> outputShapes) {
  inputNames_ = std::move(inputNames);
  outputNames_ = std::move(outputNames);
  outputShapes_ = std::move(outputShapes);
}

IoPlan NPUOpDesc::buildIoPlan(CoreMode mode, const std::vector<CoreId>& cores, const std::vector<CoreId>& modelCores,
                              CoreId mainCore) const {
  IoPlan plan;
  for (CoreId core : cores) {
    const auto it = coreRegisters_.find(core);
    if (it == coreRegisters_.end()) {
      KLOG_ERROR("Core 0x{:x} is not a core of the NPU operation.", coreKey(core));
      return {};
    }
    plan.controlRegisters.push_back(it->second.control);
    plan.statusRegisters.push_back(it->second.status);
  }
  std::vector<CoreId> addressCores;
  switch (mode) {
    case CoreMode::Single:
      addressCores = cores;
      break;
    case CoreMode::Multi:
      for (CoreId core : cores) {
        for (CoreId m : modelCores) {
          if (m.cluster == core.cluster && m.core != Core::GlobalCore) addressCores.push_back(m);
        }
      }
      break;
    default:
      addressCores = {mainCore};
      break;
  }
  auto addresses = [&](const auto& entries, std::vector<std::vector<uint64_t>>& out, const char* what) {
    for (size_t i = 0; i < entries.size(); ++i) {
      std::vector<uint64_t> list;
      for (CoreId core : addressCores) {
        const auto& des = entries[i].designations;
        const auto d = std::find_if(des.begin(), des.end(),
                                    [&](const zrb::Designation& x) { return designationCore(x) == core; });
        const auto regs = coreRegisters_.find(core);
        if (d == des.end() || (!d->flag && regs == coreRegisters_.end())) {
          KLOG_ERROR("{} {} has no placement on core 0x{:x}.", what, i, coreKey(core));
          return false;
        }
        list.push_back(d->address + (d->flag ? 0 : regs->second.ddr));
      }
      out.push_back(std::move(list));
    }
    return true;
  };
  if (!addresses(bundle_->inputs, plan.inputs, "Input") || !addresses(bundle_->outputs, plan.outputs, "Output"))
    return {};
  return plan;
}

std::vector<halvex::Tensor> NPUOpDesc::makeOutputTensors(int32_t batch, const std::vector<SeqLensHWC>& multipliers,
                                                         halvex::DType dtype, MemoryFormat format) const {
  std::vector<halvex::Tensor> tensors;
  tensors.reserve(outputs_.size());
  for (size_t i = 0; i < outputs_.size(); ++i) {
    const BufferInfo& info = outputs_[i].info;
    int64_t dims[3] = {info.original_height, info.original_width, info.original_channel};
    if (i < multipliers.size() && multipliers[i].size() >= 3) {
      for (int k = 0; k < 3; ++k) dims[k] = std::max<int64_t>(0, dims[k] * multipliers[i][static_cast<size_t>(k)]);
    }
    const int64_t n = std::max<int32_t>(batch, 0);
    const std::vector<int64_t> shape = format == MemoryFormat::CHW ? std::vector<int64_t>{n, dims[2], dims[0], dims[1]}
                                                                   : std::vector<int64_t>{n, dims[0], dims[1], dims[2]};
    tensors.push_back(halvex::zeros(shape, dtype));
  }
  return tensors;
}

}  // namespace kestrane
