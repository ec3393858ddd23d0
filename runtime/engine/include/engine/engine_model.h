#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kestrane/model_config.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

// What the engine reads of a model. The model runtime implements EngineModel
// (ModelImpl); engine tests use a fake. Nothing here knows model files: the
// model flattens what it read from its file into these records.

// One placement of a program section: the host DMA buffer that holds it, the
// core it goes to and its device address there. A piece may hold only a part
// of its placement, `offset` bytes from its start: it is sent as the
// placement's own transfer would send those bytes, to `address` with that
// offset.
struct ProgramPiece {
  Buffer buffer;
  CoreId core;
  uint64_t address = 0;
  uint64_t offset = 0;
};

// The program a variant reloads before every run.
// kind 0: nothing to reload; 1: the pieces are written before every run;
// 2: the pieces are an instruction-memory init program, written and run
// before every run; 3: the pieces are an init-start program, written before
// every run.
struct NPUProgram {
  uint8_t kind = 0;
  std::vector<Buffer> buffers;
  std::vector<ProgramPiece> pieces;
};

// A program that runs in place of the model (cache maintenance). rmemTypes
// maps the task's supplementary rmem values to rmem entries by type.
struct SupplementaryProgram {
  uint8_t busy = 0;
  std::vector<Buffer> buffers;
  std::vector<ProgramPiece> pieces;
  std::vector<uint8_t> rmemTypes;
};

// A variant's supplementary programs and the pieces of its regular program
// that must be written again after one of them ran.
struct SupplementaryRecord {
  std::vector<SupplementaryProgram> programs;
  std::vector<Buffer> buffers;
  std::vector<ProgramPiece> pieces;
};

// One rmem entry of a core: a 32-bit parameter word the engine writes before
// a run.
struct RmemEntry {
  uint8_t type = 0;
  uint64_t address = 0;
};

// Device addresses of one core group for one variant: the registers of the
// cores to wait for, and per input / output one address per buffer of it.
struct IoPlan {
  std::vector<uint64_t> controlRegisters;
  std::vector<uint64_t> statusRegisters;
  std::vector<std::vector<uint64_t>> inputs;
  std::vector<std::vector<uint64_t>> outputs;
};

// A device range on one core (the core by the own-or-target rule: the
// designation's own CoreId, or its target's when the own one is
// {Cluster::Error, Core::Error}). `address` is where the engine reads or
// writes, as it stands.
struct DevicePlacement {
  CoreId core;
  uint64_t address = 0;
  uint64_t size = 0;
};

// A section binary placed on one core, as registration uploads it: from
// `path` at `offset` when it has a payload, zeros otherwise.
struct SectionPlacement {
  uint32_t type = 0;
  CoreId core;
  uint64_t address = 0;
  uint64_t size = 0;
  bool hasPayload = true;
  std::string path;
  uint64_t offset = 0;
};

// Every member may be called from the engine's worker threads while the
// model is registered; the engine calls the setters only while no scheduler
// of the model runs (registration and device reset).
class EngineModel {
 public:
  virtual ~EngineModel() = default;

  // --- Registration (accelerator) ---
  virtual const std::string& path() const = 0;
  virtual const ModelConfig& config() const = 0;
  virtual CoreMode coreMode() const { return config().getCoreMode(); }
  virtual const std::vector<CoreId>& targetCores() const = 0;
  // Automatic allocation only; false (and a line) under manual allocation.
  virtual bool setTargetCoreIds(const std::vector<CoreId>& cores) = 0;
  // Cores of the first variant's core records in single-core mode: the
  // candidates of automatic allocation.
  virtual std::vector<CoreId> singleModeCores() const = 0;
  // Every variant's input placements (size unused) and section placements.
  virtual std::vector<DevicePlacement> inputPlacements() const = 0;
  virtual std::vector<SectionPlacement> sectionPlacements() const = 0;
  virtual void setMemoryHandle(CoreId core, int32_t handle) = 0;
  virtual int32_t memoryHandle(CoreId core) const = 0;
  // Called by the accelerator for each model still registered when it goes.
  virtual StatusCode dispose() = 0;

  // --- Runs (scheduler and watchdog), per variant v: the NPU operation
  // (bundle) index that NPUTask::npuOpIndex names ---
  virtual size_t variantCount() const = 0;
  // One offset per IO slot: {0}, or {0, second area} with a second IO area.
  virtual const std::vector<uint64_t>& ioSlotOffsets(size_t v) const = 0;
  // The device addresses of core group `cores` (main core first) for the
  // variant, one control register per core of the group; an empty plan (and
  // a line) when a core of the group has no place in the variant.
  virtual IoPlan buildIoPlan(size_t v, CoreMode mode, const std::vector<CoreId>& cores,
                             const std::vector<CoreId>& modelCores, CoreId mainCore) const = 0;
  // IO types, one per input / output: inputs 0 per-item slice, 1 and 2 first
  // item only, 4 whole buffer every item, 5 not copied; outputs 0 and 4
  // whole, 1 and 2 whole with write-back to the input area, 3 per-item
  // slice, 5 not read.
  virtual const std::vector<uint8_t>& inputIoTypes(size_t v) const = 0;
  virtual const std::vector<uint8_t>& outputIoTypes(size_t v) const = 0;
  // Whether inputs / outputs move through the channel interleave.
  virtual bool inputsInterleaved(size_t v) const = 0;
  virtual bool outputsInterleaved(size_t v) const = 0;
  // The bundle kind word: 5 and 6 reverse the order of a task's items.
  virtual uint32_t bundleKind(size_t v) const = 0;
  virtual const std::map<CoreId, std::vector<RmemEntry>>& rmemEntries(size_t v) const = 0;
  virtual const NPUProgram& program(size_t v) const = 0;
  virtual const SupplementaryRecord& supplementary(size_t v) const = 0;
  // Cache areas of the variant, one entry per placement (size: the area's).
  virtual std::vector<DevicePlacement> cachePlacements(size_t v) const = 0;

  // Learned latencies in ns (0: unknown); written from worker threads.
  virtual uint64_t consumedLatency(size_t v) const = 0;
  virtual uint64_t finishedLatency(size_t v) const = 0;
  virtual bool setLatency(int32_t v, uint64_t consumed, uint64_t finished) = 0;
};

}  // namespace kestrane
