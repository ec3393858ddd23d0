// What the engine reads and writes of a model (EngineModel).

#include <algorithm>

#include "core/log.h"
#include "model/model_impl.h"

namespace kestrane {

bool ModelImpl::hasTargetCore(CoreId core) const {
  return std::find(targetCores_.begin(), targetCores_.end(), core) != targetCores_.end();
}

bool ModelImpl::setTargetCoreIds(const std::vector<CoreId>& cores) {
  if (config_.getCoreAllocationPolicy() == CoreAllocationPolicy::Manual) {
    KLOG_ERROR("setTargetCoreIds only allows AutoMode");
    return false;
  }
  targetCores_ = cores;
  return true;
}

std::vector<CoreId> ModelImpl::singleModeCores() const {
  std::vector<CoreId> cores;
  const auto& bundles = zrb_->getBundles();
  if (bundles.empty()) return cores;
  for (const zrb::CoreConfig& config : bundles[0].cores) {
    if (config.mode == static_cast<uint32_t>(CoreMode::Single)) cores.push_back(config.core_id);
  }
  return cores;
}

std::vector<DevicePlacement> ModelImpl::inputPlacements() const {
  std::vector<DevicePlacement> placements;
  for (const zrb::Bundle& bundle : zrb_->getBundles()) {
    for (const zrb::Input& input : bundle.inputs) {
      for (const zrb::Designation& d : input.designations) placements.push_back({designationCore(d), d.address, 0});
    }
  }
  return placements;
}

std::vector<SectionPlacement> ModelImpl::sectionPlacements() const {
  std::vector<SectionPlacement> placements;
  for (const zrb::Bundle& bundle : zrb_->getBundles()) {
    for (const zrb::SectionBinary& section : bundle.section_binaries) {
      for (const zrb::Designation& d : section.designations) {
        SectionPlacement p;
        p.type = section.memory_type;  // the section's type word
        p.core = designationCore(d);
        p.address = d.address;
        p.size = section.size;
        p.hasPayload = !section.no_payload;
        p.path = section.path;
        p.offset = section.keep_in_file ? section.offset : 0;
        placements.push_back(std::move(p));
      }
    }
  }
  return placements;
}

void ModelImpl::setMemoryHandle(CoreId core, int32_t handle) {
  std::lock_guard<std::mutex> lock(handleMutex_);
  memoryHandles_[core] = handle;
}

int32_t ModelImpl::memoryHandle(CoreId core) const {
  std::lock_guard<std::mutex> lock(handleMutex_);
  const auto it = memoryHandles_.find(core);
  return it == memoryHandles_.end() ? 0 : it->second;
}

IoPlan ModelImpl::buildIoPlan(size_t v, CoreMode mode, const std::vector<CoreId>& cores,
                              const std::vector<CoreId>& modelCores, CoreId mainCore) const {
  return npuOpDescs_[v].buildIoPlan(mode, cores, modelCores, mainCore);
}

std::vector<DevicePlacement> ModelImpl::cachePlacements(size_t v) const {
  std::vector<DevicePlacement> placements;
  for (const zrb::CacheDesignation& cache : npuOpDescs_[v].cacheDesignations()) {
    for (const zrb::CacheDesignationEntry& row : cache.entries) {
      for (const zrb::Designation& d : row.designations)
        placements.push_back({designationCore(d), d.address, cache.size});
    }
  }
  return placements;
}

uint64_t ModelImpl::consumedLatency(size_t v) const { return consumedLatencies_[v].load(); }

uint64_t ModelImpl::finishedLatency(size_t v) const { return finishedLatencies_[v].load(); }

bool ModelImpl::setLatency(int32_t v, uint64_t consumed, uint64_t finished) {
  if (v < 0 || static_cast<size_t>(v) >= npuOpDescs_.size()) {
    KLOG_ERROR("No bundle {} to set the latency of; the model has {}.", v, npuOpDescs_.size());
    return false;
  }
  consumedLatencies_[static_cast<size_t>(v)].store(consumed);
  finishedLatencies_[static_cast<size_t>(v)].store(finished);
  return true;
}

}  // namespace kestrane
