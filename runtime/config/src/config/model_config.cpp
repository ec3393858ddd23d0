#include "kestrane/model_config.h"

#include <algorithm>

#include "config/globals.h"
#include "core/log.h"
#include "hwdep/platform.h"

namespace kestrane {

namespace {

uint32_t hex(Cluster cluster) { return static_cast<uint32_t>(cluster); }
uint32_t hex(Core core) { return static_cast<uint32_t>(core); }

std::vector<uint32_t> platformClusters() { return processPlatform().getClusterIds(); }

// The cores of the given clusters in CoreId order, without duplicates.
std::vector<CoreId> coresOf(const std::vector<Cluster>& clusters) {
  const hwdep::Platform& platform = processPlatform();
  std::vector<CoreId> cores;
  for (Cluster cluster : clusters) {
    const auto& entry = platform.getCluster(static_cast<int32_t>(cluster));
    for (uint32_t core : platform.getCoreIdsOfCluster(entry)) cores.push_back({cluster, static_cast<Core>(core)});
  }
  std::sort(cores.begin(), cores.end());
  cores.erase(std::unique(cores.begin(), cores.end()), cores.end());
  return cores;
}

std::vector<CoreId> allCores() {
  std::vector<Cluster> clusters;
  for (uint32_t id : platformClusters()) clusters.push_back(static_cast<Cluster>(id));
  return coresOf(clusters);
}

std::vector<CoreId> localCores() {
  std::vector<CoreId> cores = allCores();
  cores.erase(std::remove_if(cores.begin(), cores.end(), [](const CoreId& id) { return id.core == Core::GlobalCore; }),
              cores.end());
  return cores;
}

bool checkCluster(Cluster cluster) {
  if (cluster == Cluster::Error) {
    KLOG_ERROR("Invalid cluster: `Cluster::Error` is not a valid cluster.");
    return false;
  }
  const auto clusters = platformClusters();
  if (std::find(clusters.begin(), clusters.end(), hex(cluster)) == clusters.end()) {
    KLOG_ERROR("Invalid cluster: Cluster {:x} is not available.", hex(cluster));
    return false;
  }
  return true;
}

bool checkSingleCoreModeCoreId(const CoreId& id) {
  if (id.cluster == Cluster::Error) {
    KLOG_ERROR("Invalid core ID: `Cluster::Error` is not a valid cluster.");
    return false;
  }
  if (id.core == Core::Error) {
    KLOG_ERROR("Invalid core ID: `Core::Error` is not a valid core.");
    return false;
  }
  if (id.core == Core::All) {
    KLOG_ERROR("Invalid core ID: `Core::All` is not a valid core.");
    return false;
  }
  if (id.core == Core::GlobalCore) {
    KLOG_ERROR("Invalid core ID: `Core::GlobalCore` cannot be used in single-core mode.");
    return false;
  }
  const auto cores = allCores();
  if (std::find(cores.begin(), cores.end(), id) == cores.end()) {
    KLOG_ERROR("Invalid core ID: {{Cluster {:x}, Core {:x}}} is not available.", hex(id.cluster), hex(id.core));
    return false;
  }
  return true;
}

}  // namespace

ModelConfig::ModelConfig() { setSingleCoreMode(localCores()); }

ModelConfig::ModelConfig(int num_cores) {
  KLOG_WARN(
      "`ModelConfig(int num_cores)` is deprecated and will be removed in a future release. Please use "
      "`ModelConfig()` and `ModelConfig::setSingleCoreMode(int num_cores)` instead.");
  setSingleCoreMode(num_cores);
}

bool ModelConfig::setSingleCoreMode(int num_cores) {
  const auto available = static_cast<int>(localCores().size());
  if (num_cores < 1 || num_cores > available) {
    KLOG_ERROR(
        "Invalid `num_cores` value: {}. The value must be between 1 and {} (inclusive) to enable single-core mode. "
        "Please specify a valid number within this range. Note that there are {} available local cores.",
        num_cores, available, available);
    return false;
  }
  core_mode_ = CoreMode::Single;
  core_allocation_policy_ = CoreAllocationPolicy::Auto;
  core_ids_.clear();
  num_cores_ = num_cores;
  return true;
}

bool ModelConfig::setSingleCoreMode(std::vector<CoreId> core_ids) {
  if (core_ids.empty()) {
    KLOG_ERROR("Invalid core IDs: `core_ids` must not be empty.");
    return false;
  }
  for (const CoreId& id : core_ids) {
    if (!checkSingleCoreModeCoreId(id)) return false;
  }
  std::sort(core_ids.begin(), core_ids.end());
  core_ids.erase(std::unique(core_ids.begin(), core_ids.end()), core_ids.end());
  setCores(CoreMode::Single, std::move(core_ids));
  return true;
}

bool ModelConfig::setMultiCoreMode(const std::vector<Cluster>& clusters) {
  return setClusterMode(CoreMode::Multi, clusters);
}

bool ModelConfig::setGlobal4CoreMode(const std::vector<Cluster>& clusters) {
  return setClusterMode(CoreMode::Global4, clusters);
}

bool ModelConfig::setGlobalCoreMode(const std::vector<Cluster>& clusters) {
  KLOG_WARN("`setGlobalCoreMode` is deprecated. Please consider using `setGlobal8CoreMode` or `setGlobal4CoreMode` instead.");
  return setClusterMode(CoreMode::Global, clusters);
}

bool ModelConfig::setGlobal8CoreMode() {
  setCores(CoreMode::Global8, allCores());
  return true;
}

bool ModelConfig::setClusterMode(CoreMode mode, const std::vector<Cluster>& clusters) {
  if (clusters.empty()) {
    KLOG_ERROR("Invalid clusters: `clusters` must not be empty.");
    return false;
  }
  for (Cluster cluster : clusters) {
    if (!checkCluster(cluster)) return false;
  }
  setCores(mode, coresOf(clusters));
  return true;
}

void ModelConfig::setCores(CoreMode mode, std::vector<CoreId> cores) {
  core_mode_ = mode;
  core_allocation_policy_ = CoreAllocationPolicy::Manual;
  core_ids_ = std::move(cores);
  num_cores_ = static_cast<int32_t>(core_ids_.size());
}

bool ModelConfig::setAutoMode(int num_cores) {
  KLOG_WARN(
      "`ModelConfig::setAutoMode(int num_cores)` is deprecated and will be removed in a future release. Please use "
      "`ModelConfig::setSingleCoreMode(int num_cores)` instead.");
  return setSingleCoreMode(num_cores);
}

bool ModelConfig::setManualMode() {
  KLOG_WARN(
      "`ModelConfig::setManualMode()` is deprecated and will be removed in a future release. Please use "
      "`ModelConfig::setSingleCoreMode(std::vector<CoreId> core_ids)` instead.");
  core_allocation_policy_ = CoreAllocationPolicy::Manual;
  return excludeAllCores();
}

bool ModelConfig::forceSingleNPUBundle(int npu_bundle_index) {
  if (npu_bundle_index < -1) {
    KLOG_ERROR(
        "Invalid `npu_bundle_index` value: {}. It must be a non-negative integer to specify an NPU bundle or -1 to "
        "indicate that no single NPU bundle is enforced.",
        npu_bundle_index);
    return false;
  }
  forced_npu_bundle_index_ = npu_bundle_index;
  return true;
}

void ModelConfig::setAsyncPipelineEnabled(bool enabled) { async_pipeline_enabled_ = enabled; }

bool ModelConfig::include(Cluster cluster, Core core) {
  KLOG_WARN(
      "`ModelConfig::include` is deprecated and will be removed in a future release. Please use "
      "`ModelConfig::setSingleCoreMode` instead.");
  if (core == Core::All) {
    const hwdep::Platform& platform = processPlatform();
    bool included = false;
    for (uint32_t id : platform.getClusterIds()) {
      if (id != hex(cluster)) continue;
      for (uint32_t coreId : platform.getCoreIdsOfCluster(platform.getCluster(static_cast<int32_t>(id)))) {
        const auto each = static_cast<Core>(coreId);
        if (each == Core::GlobalCore && core_mode_ == CoreMode::Single) continue;
        if (!include(cluster, each)) return false;
        included = true;
      }
    }
    return included;
  }
  if (cluster == Cluster::Error || core == Core::Error) return false;

  // A fresh description: the shared one is never asked for ids it may lack.
  const hwdep::Platform platform;
  const auto clusters = platform.getClusterIds();
  if (std::find(clusters.begin(), clusters.end(), hex(cluster)) == clusters.end()) return false;
  const auto cores = platform.getCoreIdsOfCluster(platform.getCluster(static_cast<int32_t>(cluster)));
  if (std::find(cores.begin(), cores.end(), hex(core)) == cores.end()) return false;

  const CoreId id{cluster, core};
  if (std::find(core_ids_.begin(), core_ids_.end(), id) == core_ids_.end()) core_ids_.push_back(id);
  num_cores_ = static_cast<int32_t>(core_ids_.size());
  return true;
}

bool ModelConfig::include(Cluster cluster) { return include(cluster, Core::All); }

bool ModelConfig::include(Core core) { return include(Cluster::Cluster0, core); }

bool ModelConfig::exclude(Cluster cluster, Core core) {
  KLOG_WARN(
      "`ModelConfig::exclude` is deprecated and will be removed in a future release. Please use "
      "`ModelConfig::setSingleCoreMode` instead.");
  if (core != Core::All) {
    const auto it = std::find(core_ids_.begin(), core_ids_.end(), CoreId{cluster, core});
    if (it != core_ids_.end()) core_ids_.erase(it);
    num_cores_ = static_cast<int32_t>(core_ids_.size());
    return true;
  }
  const hwdep::Platform& platform = processPlatform();
  for (uint32_t id : platform.getClusterIds()) {
    if (id != hex(cluster)) continue;
    for (uint32_t coreId : platform.getCoreIdsOfCluster(platform.getCluster(static_cast<int32_t>(id)))) {
      if (!exclude(cluster, static_cast<Core>(coreId))) return false;
    }
  }
  return true;
}

bool ModelConfig::exclude(Cluster cluster) { return exclude(cluster, Core::All); }

bool ModelConfig::exclude(Core core) { return exclude(Cluster::Cluster0, core); }

bool ModelConfig::includeAllCores() {
  for (uint32_t id : platformClusters()) {
    if (!include(static_cast<Cluster>(id), Core::All)) return false;
  }
  return true;
}

bool ModelConfig::excludeAllCores() {
  for (uint32_t id : platformClusters()) {
    if (!exclude(static_cast<Cluster>(id), Core::All)) return false;
  }
  return true;
}

}  // namespace kestrane
