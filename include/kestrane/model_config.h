#pragma once

#include <cstdint>
#include <vector>

#include "kestrane/export.h"
#include "kestrane/type.h"

namespace kestrane {

// Launch configuration of one model: which NPU cores it may use and in which
// core mode, a forced NPU bundle, the asynchronous pipeline, and scheduling
// and latency settings carried to the model runtime. The cores that exist
// come from the process-wide hardware description.
//
// Setters that can refuse return false after one error line and leave every
// member unchanged; deprecated entry points log one warning and then do the
// work of their replacement.
class KESTRANE_API ModelConfig {
 public:
  // Single-core mode, manual allocation, over every local core.
  ModelConfig();
  // Deprecated: single-core mode with automatic allocation of `num_cores`.
  // A count out of range leaves single-core mode with no cores.
  explicit ModelConfig(int num_cores);

  ModelConfig(const ModelConfig&) = default;
  ModelConfig& operator=(const ModelConfig&) = default;
  ModelConfig(ModelConfig&&) = default;
  ModelConfig& operator=(ModelConfig&&) = default;
  ~ModelConfig() = default;

  bool setSingleCoreMode(int num_cores);
  // Sorted by CoreId order without duplicates.
  bool setSingleCoreMode(std::vector<CoreId> core_ids);
  // Every core (global cores included) of the given clusters; a cluster
  // listed twice counts once.
  bool setMultiCoreMode(const std::vector<Cluster>& clusters);
  bool setGlobal4CoreMode(const std::vector<Cluster>& clusters);
  bool setGlobal8CoreMode();
  // Deprecated: as setMultiCoreMode with mode Global.
  bool setGlobalCoreMode(const std::vector<Cluster>& clusters);
  // Deprecated: setSingleCoreMode(num_cores).
  bool setAutoMode(int num_cores);
  // Deprecated: manual allocation and no cores of the platform left.
  bool setManualMode();

  // -1: no bundle forced; below -1 is refused.
  bool forceSingleNPUBundle(int npu_bundle_index);
  void setAsyncPipelineEnabled(bool enabled);

  // Deprecated: add or remove one core (Core::All: every core of the
  // cluster) without changing the mode or the policy.
  bool include(Cluster cluster, Core core);
  bool include(Cluster cluster);
  bool include(Core core);
  bool exclude(Cluster cluster, Core core);
  bool exclude(Cluster cluster);
  bool exclude(Core core);
  bool includeAllCores();
  bool excludeAllCores();

  CoreMode getCoreMode() const { return core_mode_; }
  CoreAllocationPolicy getCoreAllocationPolicy() const { return core_allocation_policy_; }
  int getNumCores() const { return num_cores_; }
  int getForcedNPUBundleIndex() const { return forced_npu_bundle_index_; }
  const std::vector<CoreId>& getCoreIds() const { return core_ids_; }
  bool getAsyncPipelineEnabled() const { return async_pipeline_enabled_; }

  SchedulePolicy schedule_policy = SchedulePolicy::FIFO;
  LatencySetPolicy latency_set_policy = LatencySetPolicy::Auto;
  MaintenancePolicy maintenance_policy = MaintenancePolicy::Maintain;
  std::vector<uint64_t> early_latencies;
  std::vector<uint64_t> finish_latencies;

 private:
  bool setClusterMode(CoreMode mode, const std::vector<Cluster>& clusters);
  void setCores(CoreMode mode, std::vector<CoreId> cores);

  CoreMode core_mode_ = CoreMode::Single;
  CoreAllocationPolicy core_allocation_policy_ = CoreAllocationPolicy::Manual;
  std::vector<CoreId> core_ids_;
  int32_t num_cores_ = 0;
  int32_t forced_npu_bundle_index_ = -1;
  bool async_pipeline_enabled_ = false;
};

}  // namespace kestrane
