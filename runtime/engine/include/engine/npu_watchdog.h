#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine_model.h"
#include "engine/npu_task.h"
#include "engine/order_set.h"

namespace kestrane {

class AcceleratorImpl;
class Driver;

// Runs NPU tasks on one core group of the card: copies a task's inputs to
// device memory, loads the variant's program, writes the rmem parameters,
// posts the run, waits for its end within a time-out, reads the outputs back
// and fulfils the task's promise. A time-out asks the accelerator for a
// reset; a task that would run here after it is handed back unrun, to run
// after the reset (the scheduler rebuilds its watchdogs then).
//
// Threads: none of its own; the scheduler's workers call run(), as many at
// once as there are IO slots. Runs on the group are serial and go in the
// order the tasks were placed (expectTask), as do their slots, while input
// and output copies of other slots overlap. Locks: the slot mutex (slot
// flags, tasks placed and waiting for a slot), the turn mutex (tasks placed
// and not yet through their runs) and the run mutex (held from program load
// to the end of the wait), each alone.
class NPUWatchdog {
 public:
  // `cores` is the group, its main core first.
  static std::unique_ptr<NPUWatchdog> create(EngineModel& model, AcceleratorImpl& acc, std::vector<CoreId> cores,
                                             StatusCode& status);
  ~NPUWatchdog();
  NPUWatchdog(const NPUWatchdog&) = delete;
  NPUWatchdog& operator=(const NPUWatchdog&) = delete;

  // Runs every item of the task and fulfils its promise; the first failure
  // (Acc_NPUTimeout when a run timed out and a reset is due). A task that
  // comes to its run while a reset is due (another task's run timed out on
  // this group) is not run and keeps its promise: `deferred` is set, the
  // status is Acc_NPUTimeout, and the caller queues the task again.
  StatusCode run(NPUTask& task, uint64_t order, bool& deferred);
  // The task of `order` (orders rise with each task placed) is placed here;
  // before it is run. Runs take their turns in that order.
  void expectTask(uint64_t order);
  // The task of `order` will not come (it found no worker).
  void forgetTask(uint64_t order);

  CoreId mainCore() const { return cores_.front(); }
  CoreMode coreMode() const { return mode_; }

 private:
  // A DMA buffer of the driver, grown on demand; one per IO slot for
  // per-item slices that do not start a buffer.
  struct Scratch {
    uint64_t address = 0;
    uint64_t size = 0;
  };
  struct DumpSettings {
    bool on = false;
    bool interleave = false;
    uint32_t delayMs = 0;
    std::string directory;
  };

  NPUWatchdog(EngineModel& model, AcceleratorImpl& acc, std::vector<CoreId> cores);
  StatusCode checkTask(const NPUTask& task) const;
  // The lowest free slot, once the tasks placed before `order` have theirs.
  size_t acquireSlot(uint64_t order);
  void releaseSlot(size_t slot);
  StatusCode slotOffset(size_t v, size_t slot, uint64_t& offset) const;
  StatusCode scratch(size_t slot, uint64_t size, uint64_t& address);
  size_t itemPosition(const NPUTask& task, int32_t item) const;

  StatusCode dispatchInput(const NPUTask& task, int32_t item, size_t slot);
  // Sets `deferred` (and runs nothing) while a reset is due.
  StatusCode infer(const NPUTask& task, size_t slot, bool& deferred);
  StatusCode loadProgram(size_t v);
  StatusCode initRmem(const NPUTask& task, size_t slot);
  StatusCode writeRmem(uint64_t address, uint32_t value);
  StatusCode copyNpuBinary(const NPUTask& task);
  StatusCode writePieces(const std::vector<ProgramPiece>& pieces, bool eachCoreInOrder);
  // One transfer of `size` bytes at device `address` (plus `offset`); a short
  // one logs what it moved (`what`, index `i`, buffer `j`), where and how
  // much, and fails.
  StatusCode toDevice(uint64_t address, uint64_t offset, uint64_t size, uint64_t host, bool interleave,
                      const char* what, size_t i, size_t j);
  StatusCode fromDevice(uint64_t address, uint64_t size, uint64_t host, bool interleave, size_t i, size_t j);
  StatusCode retrieveOutput(const NPUTask& task, int32_t item, size_t slot);
  // Asks for the reset a time-out needs: Acc_NPUTimeout, or BadAlloc when
  // there was no host memory to ask (nothing then waits for a reset).
  StatusCode timedOut(CoreId first);
  uint64_t timeoutNs(size_t v) const;
  void dumpDDRBin(bool interleave, uint32_t delayMs, const std::string& path);
  static DumpSettings readDumpSettings();

  EngineModel& model_;
  AcceleratorImpl& acc_;
  Driver& driver_;
  const CoreMode mode_;
  const std::vector<CoreId> cores_;
  std::vector<IoPlan> plans_;  // per variant
  uint32_t memoryHandle_ = 0;
  std::mutex runMutex_;
  std::atomic<bool> resetPending_{false};
  long lastSlot_ = -1;  // under runMutex_
  std::mutex slotMutex_;
  std::condition_variable slotFreed_;
  std::vector<bool> slotBusy_;
  OrderSet awaitingSlot_;  // orders of the tasks placed and not yet given a slot
  std::mutex turnMutex_;
  std::condition_variable turn_;
  OrderSet expected_;  // orders of the tasks placed and not through their runs
  std::vector<Scratch> scratch_;  // per slot, used by the run holding the slot
  bool secondPost_ = false;
  bool ioInterleave_ = false;
  DumpSettings dump_;
  uint64_t rmemBuffer_ = 0;  // 4-byte DMA buffer, under runMutex_
};

}  // namespace kestrane
