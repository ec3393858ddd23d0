#pragma once

// A model for the engine's tests: it implements EngineModel over plain
// records, places its inputs and outputs in the cores' DDR at fixed offsets
// and carries a card program that it uploads as a section file.

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/acc_impl.h"
#include "engine/engine_model.h"
#include "engine/memory_pool.h"
#include "simcard/card_layout.h"
#include "support/program_assembler.h"

namespace kestrane::test {

// Offsets from a core's DDR base (1 KiB-aligned, as interleaved IO wants).
inline constexpr uint64_t kIn = 0x10000, kOut = 0x20000, kStamp = 0x30000, kScratch = 0x40000;

struct FakeVariant {
  std::vector<uint8_t> inputTypes{0};
  std::vector<uint8_t> outputTypes{0};
  std::vector<uint64_t> inputOffsets{kIn};  // per input, on each address core
  std::vector<uint64_t> outputOffsets{kOut};
  std::vector<uint64_t> slotOffsets{0};
  uint32_t kind = 0;
  bool interleaved = false;
  uint64_t expectedNs = 0;  // the variant's learned run time; 0: unknown
  std::map<CoreId, std::vector<RmemEntry>> rmem;
  NPUProgram program;
  SupplementaryRecord supplementary;
  std::vector<DevicePlacement> caches;  // size: the area's
};

// The core's entry in the card layout.
const simcard::CoreLayout& coreLayout(CoreId core);
// CoreId of cluster 0/1 and core 0..3 (4: the global core).
CoreId coreOf(int cluster, int core);

// Where a FakeModel throws std::bad_alloc, as a call that finds no host
// memory would: in the next call of that method.
enum class FakeThrow { None, SetTargetCoreIds, SetMemoryHandle, IoSlotOffsets, BuildIoPlan };

class FakeModel : public EngineModel {
 public:
  // `program` goes to the IMEM of every core the model may get; `cores`
  // lists them (the configured ones, or every local core when automatic).
  FakeModel(ModelConfig config, std::vector<FakeVariant> variants, const ProgramAssembler& program);
  ~FakeModel() override;

  // What a launch does: the pool gets the accelerator, the accelerator the model.
  StatusCode launch(AcceleratorImpl& acc);
  std::shared_ptr<TaskQueue> queue() const { return queue_; }
  MemoryPool<AcceleratorImpl>& pool() { return *pool_; }
  int disposeCalls() const { return disposeCalls_; }
  // The next `n` runs throw where they load the program.
  void throwOnNextRuns(int n) { throwingRuns_ = n; }
  void throwIn(FakeThrow step) { throwIn_ = step; }
  FakeVariant& variant(size_t v) { return variants_[v]; }
  const std::string& programPath() const { return programPath_; }
  // A file with `bytes`, removed with the model.
  std::string writeFile(const std::vector<uint8_t>& bytes);
  // A DDR section of the model on every core.
  void addSection(uint32_t type, uint64_t ddrOffset, uint64_t size, const std::string& path);
  // Pool buffers holding `bytes` (a program piece's host copy).
  Buffer hostCopy(const std::vector<uint8_t>& bytes);

  const std::string& path() const override { return path_; }
  const ModelConfig& config() const override { return config_; }
  const std::vector<CoreId>& targetCores() const override { return targets_; }
  bool setTargetCoreIds(const std::vector<CoreId>& cores) override;
  std::vector<CoreId> singleModeCores() const override { return candidates_; }
  std::vector<DevicePlacement> inputPlacements() const override;
  std::vector<SectionPlacement> sectionPlacements() const override { return sections_; }
  void setMemoryHandle(CoreId core, int32_t handle) override {
    throwIfAsked(FakeThrow::SetMemoryHandle);
    handles_[core] = handle;
  }
  int32_t memoryHandle(CoreId core) const override;
  StatusCode dispose() override;

  size_t variantCount() const override { return variants_.size(); }
  const std::vector<uint64_t>& ioSlotOffsets(size_t v) const override {
    throwIfAsked(FakeThrow::IoSlotOffsets);
    return variants_[v].slotOffsets;
  }
  IoPlan buildIoPlan(size_t v, CoreMode mode, const std::vector<CoreId>& cores, const std::vector<CoreId>& modelCores,
                     CoreId mainCore) const override;
  const std::vector<uint8_t>& inputIoTypes(size_t v) const override { return variants_[v].inputTypes; }
  const std::vector<uint8_t>& outputIoTypes(size_t v) const override { return variants_[v].outputTypes; }
  bool inputsInterleaved(size_t v) const override { return variants_[v].interleaved; }
  bool outputsInterleaved(size_t v) const override { return variants_[v].interleaved; }
  uint32_t bundleKind(size_t v) const override { return variants_[v].kind; }
  const std::map<CoreId, std::vector<RmemEntry>>& rmemEntries(size_t v) const override { return variants_[v].rmem; }
  // Throws std::bad_alloc, as a run that finds no host memory on the way
  // would, when the next runs are to (throwOnNextRuns).
  const NPUProgram& program(size_t v) const override;
  const SupplementaryRecord& supplementary(size_t v) const override { return variants_[v].supplementary; }
  std::vector<DevicePlacement> cachePlacements(size_t v) const override { return variants_[v].caches; }
  uint64_t consumedLatency(size_t) const override { return 0; }
  uint64_t finishedLatency(size_t v) const override { return variants_[v].expectedNs; }
  bool setLatency(int32_t, uint64_t, uint64_t) override { return true; }

 private:
  void throwIfAsked(FakeThrow step) const {
    FakeThrow asked = step;
    if (throwIn_.compare_exchange_strong(asked, FakeThrow::None)) throw std::bad_alloc();
  }

  std::string path_ = "fake.zrb";
  ModelConfig config_;
  std::vector<FakeVariant> variants_;
  std::vector<CoreId> targets_;
  std::vector<CoreId> candidates_;
  std::vector<SectionPlacement> sections_;
  std::map<CoreId, int32_t> handles_;
  std::filesystem::path directory_;
  std::string programPath_;
  int files_ = 0;
  AcceleratorImpl* acc_ = nullptr;
  std::shared_ptr<TaskQueue> queue_;
  // On the heap: ThreadSanitizer forgets a std::mutex only when its memory
  // is freed, and a model on the stack would leave one behind.
  std::unique_ptr<MemoryPool<AcceleratorImpl>> pool_ = std::make_unique<MemoryPool<AcceleratorImpl>>();
  std::atomic<int> disposeCalls_{0};
  mutable std::atomic<int> throwingRuns_{0};
  mutable std::atomic<FakeThrow> throwIn_{FakeThrow::None};
};

}  // namespace kestrane::test
