#pragma once

// ModelImpl: one loaded model file bound to one ModelConfig. create() loads
// the file, checks it against the hardware description and the
// configuration, keeps in every bundle what belongs to the configured core
// mode, and derives what launch and inference need: one NPUOpDesc per bundle,
// one ModelDesc per variant, the input and output infos, cache records, IO
// slot offsets, target cores and latency tables. A model leaves create()
// complete and valid, or not at all.
//
// The engine reads a model through EngineModel. Creation lives in
// model_impl.cpp, the engine's view in model_impl_engine.cpp; launch and
// disposal, inference, asynchronous inference and cache operations are
// further members in source files of their own.
//
// Threads: after create() everything derived from the file is read-only and
// read by caller, pipeline and engine threads at once. The latency tables
// are written by engine workers while callers read them (atomics); memory
// handles are guarded by a mutex. Target cores change only in launch and
// dispose, which the caller does not run concurrently with requests.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine_model.h"
#include "kestrane/model_config.h"
#include "kestrane/status.h"
#include "kestrane/type.h"
#include "model/model_desc.h"
#include "model/npu_op_desc.h"
#include "zrb/zrb.h"

namespace kestrane {

class AcceleratorImpl;
class TaskQueue;

// One cache area of the model: its public description and its batch rows of
// placements.
struct CacheRecord {
  CacheInfo info;
  std::vector<zrb::CacheDesignationEntry> rows;
};

// A layer name as a file name: every "/" becomes "_".
std::string layerFileName(const std::string& name);

class ModelImpl : public EngineModel {
 public:
  // The model, or null with the failure's status (after its error lines).
  static std::unique_ptr<ModelImpl> create(const std::string& path, ModelConfig config, StatusCode& status);

  // Takes the next identifier; everything else empty. Use create().
  ModelImpl(const std::string& path, const ModelConfig& config);
  ~ModelImpl() override;
  ModelImpl(const ModelImpl&) = delete;
  ModelImpl& operator=(const ModelImpl&) = delete;

  uint32_t getIdentifier() const { return id_; }
  CoreMode getCoreMode() const { return config_.getCoreMode(); }
  // Infos of variant 0.
  const std::vector<BufferInfo>& getInputBufferInfo() const { return inputInfos_.at(0); }
  const std::vector<BufferInfo>& getOutputBufferInfo() const { return outputInfos_.at(0); }
  // Scales of the inputs of the variant's first NPU operation; `variant`
  // must be below the number of descriptions.
  std::vector<Scale> getInputScale(size_t variant) const;
  std::vector<CacheInfo> getCacheInfos() const;

  const zrb::ZRB& zrbModel() const { return *zrb_; }
  const std::vector<NPUOpDesc>& npuOpDescs() const { return npuOpDescs_; }
  const std::vector<ModelDesc>& modelDescs() const { return modelDescs_; }
  // Per variant: the first NPU operation's input infos, the last one's outputs.
  const std::vector<std::vector<BufferInfo>>& inputInfos() const { return inputInfos_; }
  const std::vector<std::vector<BufferInfo>>& outputInfos() const { return outputInfos_; }
  const std::vector<CacheRecord>& cacheRecords() const { return cacheRecords_; }
  bool hasSecondIoArea() const { return secondIoArea_; }
  bool isLaunched() const { return launched_; }
  bool hasTargetCore(CoreId core) const;
  // The configuration with the latency tables as they are now.
  ModelConfig currentConfig() const;

  // ---- EngineModel ----
  const std::string& path() const override { return path_; }
  // The latency lists of this copy hold the values at creation; the live
  // tables are consumedLatency / finishedLatency (and currentConfig()).
  const ModelConfig& config() const override { return config_; }
  const std::vector<CoreId>& targetCores() const override { return targetCores_; }
  bool setTargetCoreIds(const std::vector<CoreId>& cores) override;
  std::vector<CoreId> singleModeCores() const override;
  std::vector<DevicePlacement> inputPlacements() const override;
  std::vector<SectionPlacement> sectionPlacements() const override;
  void setMemoryHandle(CoreId core, int32_t handle) override;
  int32_t memoryHandle(CoreId core) const override;
  StatusCode dispose() override;

  // Variants of the engine are bundles; v must be below variantCount().
  size_t variantCount() const override { return npuOpDescs_.size(); }
  const std::vector<uint64_t>& ioSlotOffsets(size_t v) const override { return ioSlotOffsets_[v]; }
  IoPlan buildIoPlan(size_t v, CoreMode mode, const std::vector<CoreId>& cores, const std::vector<CoreId>& modelCores,
                     CoreId mainCore) const override;
  const std::vector<uint8_t>& inputIoTypes(size_t v) const override { return npuOpDescs_[v].inputIoTypes(); }
  const std::vector<uint8_t>& outputIoTypes(size_t v) const override { return npuOpDescs_[v].outputIoTypes(); }
  bool inputsInterleaved(size_t v) const override { return npuOpDescs_[v].inputReposition(); }
  bool outputsInterleaved(size_t v) const override { return npuOpDescs_[v].outputReposition(); }
  // The bundle kind word is the file's bundle_word.
  uint32_t bundleKind(size_t v) const override { return npuOpDescs_[v].bundle().bundle_word; }
  const std::map<CoreId, std::vector<RmemEntry>>& rmemEntries(size_t v) const override {
    return npuOpDescs_[v].rmemEntries();
  }
  // Kind 0 with empty lists until launch fills them.
  const NPUProgram& program(size_t v) const override { return programs_[v]; }
  const SupplementaryRecord& supplementary(size_t v) const override { return supplementaries_[v]; }
  std::vector<DevicePlacement> cachePlacements(size_t v) const override;

  uint64_t consumedLatency(size_t v) const override;
  uint64_t finishedLatency(size_t v) const override;
  bool setLatency(int32_t v, uint64_t consumed, uint64_t finished) override;

 private:
  StatusCode build();
  StatusCode buildDescriptions();

  // Fields in the order of their meaning: identity and file, configuration,
  // cores, launch state, what creation derives.
  const uint32_t id_;
  const std::string path_;
  std::unique_ptr<zrb::ZRB> zrb_;
  ModelConfig config_;
  std::vector<CoreId> targetCores_;
  mutable std::mutex handleMutex_;
  std::map<CoreId, int32_t> memoryHandles_;
  TaskQueue* taskQueue_ = nullptr;       // set by launch
  AcceleratorImpl* accelerator_ = nullptr;  // set by launch
  bool launched_ = false;
  std::vector<ModelDesc> modelDescs_;
  std::vector<NPUOpDesc> npuOpDescs_;
  std::vector<std::vector<BufferInfo>> inputInfos_;
  std::vector<std::vector<BufferInfo>> outputInfos_;
  std::vector<NPUProgram> programs_;                // one per bundle; filled by launch
  std::vector<SupplementaryRecord> supplementaries_;  // one per bundle; filled by launch
  bool secondIoArea_ = false;
  std::vector<std::vector<uint64_t>> ioSlotOffsets_;
  std::vector<CacheRecord> cacheRecords_;
  // Per bundle: consumed and finished latency in ns.
  std::unique_ptr<std::atomic<uint64_t>[]> consumedLatencies_;
  std::unique_ptr<std::atomic<uint64_t>[]> finishedLatencies_;
};

}  // namespace kestrane
