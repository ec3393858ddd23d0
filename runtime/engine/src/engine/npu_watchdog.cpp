#include "engine/npu_watchdog.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/log.h"
#include "core/trace_scope.h"
#include "driver/device_memory_access.h"
#include "driver/driver.h"
#include "engine/acc_impl.h"
#include "engine/core_key.h"
#include "engine/test_seams.h"
#include "platform/clock.h"
#include "platform/system_error.h"
#include "utilkit/fs_utils.h"

namespace kestrane {

namespace {

constexpr uint64_t kMaxDumpSize = 0x3E800000;  // 1000 MiB
constexpr uint32_t kSleepOnTimeoutMs = 2903;

uint64_t hostAddress(const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }
uint8_t* hostBytes(uint64_t address) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address)); }

bool contains(const std::vector<CoreId>& cores, CoreId core) {
  return std::find(cores.begin(), cores.end(), core) != cores.end();
}

// A transfer to or from the card: `run` gives the bytes moved. The card's
// calls need host memory of their own (and the simulated card's memory is
// the host's): a transfer that ends short of it is host memory running out,
// not the device's failure, and `outOfMemory` says so.
template <typename Run>
uint64_t transferred(Run&& run, bool& outOfMemory) {
  platform::setLastError(0);
  const uint64_t moved = run();
  outOfMemory = platform::lastError() == ENOMEM;
  return moved;
}

// Records "B" now and "E" when closed or destroyed, like TraceScope, but
// closable before the end of the enclosing block.
class TraceSpan {
 public:
  explicit TraceSpan(const char* name) : name_(name) {
    if (traceRecorder().enabled()) open_ = traceRecorder().record(name_, "", 'B');
  }
  ~TraceSpan() { close(); }
  void close() {
    if (!std::exchange(open_, false)) return;
    try {
      traceRecorder().record(name_, "", 'E');
    } catch (const std::bad_alloc&) {  // no memory for the label: the event is lost
    }
  }

 private:
  const char* name_;
  bool open_ = false;
};

}  // namespace

std::unique_ptr<NPUWatchdog> NPUWatchdog::create(EngineModel& model, AcceleratorImpl& acc, std::vector<CoreId> cores,
                                                 StatusCode& status) {
  if (cores.empty()) {
    KLOG_ERROR("A watchdog needs at least one core.");
    status = StatusCode::InternalError;
    return nullptr;
  }
  std::unique_ptr<NPUWatchdog> dog(new NPUWatchdog(model, acc, std::move(cores)));
  const CoreId main = dog->mainCore();
  for (size_t v = 0; v < model.variantCount(); ++v) {
    dog->plans_[v] = model.buildIoPlan(v, dog->mode_, dog->cores_, model.targetCores(), main);
    if (dog->plans_[v].controlRegisters.size() != dog->cores_.size()) {  // the model told why
      KLOG_ERROR("Variant {} has no IO plan for the core group of {:x}.", v, coreKey(main));
      status = StatusCode::Model_BrokenZRB;
      return nullptr;
    }
  }
  status = dog->driver_.allocateHostMemory(dog->rmemBuffer_, 4);
  if (status != StatusCode::OK) {
    dog->rmemBuffer_ = 0;
    return nullptr;
  }
  status = StatusCode::OK;
  return dog;
}

NPUWatchdog::NPUWatchdog(EngineModel& model, AcceleratorImpl& acc, std::vector<CoreId> cores)
    : model_(model),
      acc_(acc),
      driver_(acc.driver()),
      mode_(model.coreMode()),
      cores_(std::move(cores)),
      plans_(model.variantCount()),
      memoryHandle_(static_cast<uint32_t>(model.memoryHandle(cores_.front()))),
      ioInterleave_(acc.interleave()),
      dump_(readDumpSettings()) {
  const size_t slots = model.variantCount() > 0 ? std::max<size_t>(1, model.ioSlotOffsets(0).size()) : 1;
  slotBusy_.assign(slots, false);
  scratch_.resize(slots);
  if (model.variantCount() > 0) {
    const auto& rmem = model.rmemEntries(0);
    auto it = rmem.find(cores_.front());
    if (it != rmem.end())
      secondPost_ = std::any_of(it->second.begin(), it->second.end(), [](const RmemEntry& e) { return e.type == 14; });
  }
}

NPUWatchdog::~NPUWatchdog() {
  for (const Scratch& s : scratch_)
    if (s.address) driver_.freeHostMemory(s.address);
  if (rmemBuffer_) driver_.freeHostMemory(rmemBuffer_);
}

NPUWatchdog::DumpSettings NPUWatchdog::readDumpSettings() {
  DumpSettings settings;
  if (!getEnvFlag("OPHEL_DEV_DUMP_DDR_BIN")) return settings;
  // One character (O: interleaved), one more, the delay in ms, ";", the directory.
  const std::string value = std::getenv("OPHEL_DEV_DUMP_DDR_BIN");
  const size_t semicolon = value.find(';', 2);
  if (value.size() < 4 || semicolon == std::string::npos || semicolon < 3 || semicolon - 2 >= 32 ||
      !std::all_of(value.begin() + 2, value.begin() + static_cast<long>(semicolon),
                   [](char c) { return c >= '0' && c <= '9'; })) {
    KLOG_ERROR("OPHEL_DEV_DUMP_DDR_BIN=\"{}\" is not of the form <O|x><x><delay ms>;<directory>; no dumps.", value);
    return settings;
  }
  settings.on = true;
  settings.interleave = value[0] == 'O';
  settings.delayMs = static_cast<uint32_t>(std::atoi(value.substr(2, semicolon - 2).c_str()));
  settings.directory = value.substr(semicolon + 1);
  if (settings.directory.empty()) settings.directory = ".";
  if (settings.directory.back() != '/') settings.directory += '/';
  return settings;
}

size_t NPUWatchdog::acquireSlot(uint64_t order) {
  std::unique_lock lock(slotMutex_);
  size_t slot = 0;
  // In placement order too, so that the slots go round as the tasks came.
  slotFreed_.wait(lock, [&] {
    if (!awaitingSlot_.empty() && awaitingSlot_.lowest() < order) return false;
    for (slot = 0; slot < slotBusy_.size(); ++slot)
      if (!slotBusy_[slot]) return true;
    return false;
  });
  slotBusy_[slot] = true;
  awaitingSlot_.erase(order);
  lock.unlock();
  slotFreed_.notify_all();  // the next task in line may take a slot
  return slot;
}

void NPUWatchdog::releaseSlot(size_t slot) {
  {
    std::lock_guard lock(slotMutex_);
    slotBusy_[slot] = false;
  }
  slotFreed_.notify_all();
}

StatusCode NPUWatchdog::slotOffset(size_t v, size_t slot, uint64_t& offset) const {
  const auto& offsets = model_.ioSlotOffsets(v);
  if (slot < offsets.size()) {
    offset = offsets[slot];
    return StatusCode::OK;
  }
  if (slot == 0) {  // a variant without offsets has its one area at 0
    offset = 0;
    return StatusCode::OK;
  }
  KLOG_ERROR("Variant {} has no IO slot {} ({} slots).", v, slot, offsets.size());
  return StatusCode::Model_BrokenZRB;
}

StatusCode NPUWatchdog::scratch(size_t slot, uint64_t size, uint64_t& address) {
  Scratch& s = scratch_[slot];
  if (s.size < size) {
    if (s.address) driver_.freeHostMemory(s.address);
    s = {};
    uint64_t fresh = 0;
    const StatusCode status = driver_.allocateHostMemory(fresh, size);
    if (status != StatusCode::OK) return status;
    s = {fresh, size};
  }
  address = s.address;
  return StatusCode::OK;
}

size_t NPUWatchdog::itemPosition(const NPUTask& task, int32_t item) const {
  const uint32_t kind = model_.bundleKind(static_cast<size_t>(task.npuOpIndex));
  return static_cast<size_t>(kind == 5 || kind == 6 ? task.itemCount - 1 - item : item);
}

StatusCode NPUWatchdog::checkTask(const NPUTask& task) const {
  if (task.npuOpIndex < 0 || static_cast<size_t>(task.npuOpIndex) >= model_.variantCount()) {
    KLOG_ERROR("Task for variant {} of a model with {} variants.", task.npuOpIndex, model_.variantCount());
    return StatusCode::Model_InvalidVariantIdx;
  }
  const size_t v = static_cast<size_t>(task.npuOpIndex);
  const IoPlan& plan = plans_[v];
  if (plan.controlRegisters.size() > cores_.size()) {
    KLOG_ERROR("Variant {} waits for {} cores, but the core group has {}.", v, plan.controlRegisters.size(),
               cores_.size());
    return StatusCode::Model_BrokenZRB;
  }
  if (task.supplementary) {
    const auto& programs = model_.supplementary(v).programs;
    if (task.supplementaryIndex < 0 || static_cast<size_t>(task.supplementaryIndex) >= programs.size()) {
      KLOG_ERROR("Variant {} has no supplementary program {}.", v, task.supplementaryIndex);
      return StatusCode::Model_InvalidSupplementary;
    }
    return StatusCode::OK;
  }
  // A speed run carries no inputs and reads only the outputs it brings.
  if ((!task.inputs.empty() && task.inputs.size() != model_.inputIoTypes(v).size()) ||
      task.outputs.size() > model_.outputIoTypes(v).size() || plan.inputs.size() < task.inputs.size() ||
      plan.outputs.size() < task.outputs.size()) {
    KLOG_ERROR("Task with {} inputs and {} outputs for variant {} of {} inputs and {} outputs.", task.inputs.size(),
               task.outputs.size(), v, model_.inputIoTypes(v).size(), model_.outputIoTypes(v).size());
    return StatusCode::Model_ShapeMismatched;
  }
  return StatusCode::OK;
}

void NPUWatchdog::expectTask(uint64_t order) {
  {
    std::lock_guard lock(slotMutex_);
    awaitingSlot_.insert(order);
  }
  std::lock_guard lock(turnMutex_);
  expected_.insert(order);
}

void NPUWatchdog::forgetTask(uint64_t order) {
  {
    std::lock_guard lock(slotMutex_);
    awaitingSlot_.erase(order);
  }
  slotFreed_.notify_all();
  {
    std::lock_guard lock(turnMutex_);
    expected_.erase(order);
  }
  turn_.notify_all();
}

StatusCode NPUWatchdog::run(NPUTask& task, uint64_t order, bool& deferred) {
  deferred = false;
  // The next task's runs may start once this one's are through.
  struct Turn {
    NPUWatchdog& dog;
    uint64_t order;
    ~Turn() { dog.forgetTask(order); }
  } turn{*this, order};
  StatusCode status = checkTask(task);
  if (status != StatusCode::OK) {
    task.result.set_value(false);
    return status;
  }
  const size_t slot = acquireSlot(order);
  // Given back on every way out, an exception's too (no host memory).
  struct SlotHold {
    NPUWatchdog& dog;
    size_t slot;
    bool held = true;
    void release() {
      if (std::exchange(held, false)) dog.releaseSlot(slot);
    }
    ~SlotHold() { release(); }
  } hold{*this, slot};
  for (int32_t item = 0; item < task.itemCount; ++item) {
    StatusCode step = dispatchInput(task, item, slot);
    if (step == StatusCode::OK) {
      // The tasks placed earlier on the group run first (no wait for a
      // task that was never announced).
      std::unique_lock lock(turnMutex_);
      turn_.wait(lock, [&] { return expected_.empty() || expected_.lowest() >= order; });
    }
    if (step == StatusCode::OK) step = infer(task, slot, deferred);
    if (item + 1 == task.itemCount || step != StatusCode::OK) forgetTask(order);
    if (deferred) {
      // Not this task's failure: it runs again, whole, after the reset.
      return StatusCode::Acc_NPUTimeout;
    }
    if (step != StatusCode::OK) {
      status = step;
      break;
    }
    if (dump_.on)
      dumpDDRBin(dump_.interleave, dump_.delayMs,
                 dump_.directory + "bundle_" + std::to_string(task.npuOpIndex) + "_" + std::to_string(item) + ".bin");
    step = retrieveOutput(task, item, slot);
    if (step != StatusCode::OK && status == StatusCode::OK) status = step;  // the other items still run
  }
  hold.release();
  if (status == StatusCode::BadAlloc)
    task.result.failForMemory();
  else
    task.result.set_value(status == StatusCode::OK);
  return status;
}

StatusCode NPUWatchdog::dispatchInput(const NPUTask& task, int32_t item, size_t slot) {
  if (task.supplementary) return StatusCode::OK;
  TraceScope trace("copy to npu");
  const size_t v = static_cast<size_t>(task.npuOpIndex);
  const bool interleave = ioInterleave_ && model_.inputsInterleaved(v);
  const size_t position = itemPosition(task, item);
  uint64_t offset = 0;
  StatusCode status = slotOffset(v, slot, offset);
  if (status != StatusCode::OK) return status;
  const auto& types = model_.inputIoTypes(v);
  const IoPlan& plan = plans_[v];
  for (size_t i = 0; i < task.inputs.size(); ++i) {
    for (size_t j = 0; j < task.inputs[i].size(); ++j) {
      const Buffer& buf = task.inputs[i][j];
      uint64_t host = hostAddress(buf.data), size = buf.size;
      switch (types[i]) {
        case 0:
          size = buf.size / static_cast<uint64_t>(task.itemCount);
          if (position > 0) {
            status = scratch(slot, size, host);
            if (status != StatusCode::OK) return status;
            std::memcpy(hostBytes(host), static_cast<const uint8_t*>(buf.data) + position * size, size);
          }
          break;
        case 1:
        case 2:
          if (item != 0) continue;
          break;
        case 4:
          break;
        case 5:
          continue;
        default:
          KLOG_ERROR("Invalid IOType {}", types[i]);
          return StatusCode::Model_BrokenZRB;
      }
      if (j >= plan.inputs[i].size()) {
        KLOG_ERROR("Input {} has no device address for buffer {}.", i, j);
        return StatusCode::Model_BrokenZRB;
      }
      status = toDevice(plan.inputs[i][j] + offset, 0, size, host, interleave, "input", i, j);
      if (status != StatusCode::OK) return status;
    }
  }
  return StatusCode::OK;
}

StatusCode NPUWatchdog::toDevice(uint64_t address, uint64_t offset, uint64_t size, uint64_t host, bool interleave,
                                 const char* what, size_t i, size_t j) {
  bool outOfMemory = false;
  const uint64_t written = transferred(
      [&] { return writeDeviceMemory(driver_, address, offset, size, host, interleave, memoryHandle_); }, outOfMemory);
  if (written == size) return StatusCode::OK;
  if (outOfMemory) {
    KLOG_ERROR("Failed to write {} {} (buffer {}) to device memory: out of host memory.", what, i, j);
    return StatusCode::BadAlloc;
  }
  KLOG_ERROR("Failed to write {} {} (buffer {}) to device memory: {} of {} bytes at 0x{:x} written.", what, i, j,
             written, size, address + offset);
  return StatusCode::Driver_FailedToWriteMemoryBuffer;
}

StatusCode NPUWatchdog::fromDevice(uint64_t address, uint64_t size, uint64_t host, bool interleave, size_t i,
                                   size_t j) {
  bool outOfMemory = false;
  const uint64_t got = transferred(
      [&] { return readDeviceMemory(driver_, address, 0, size, host, interleave, memoryHandle_); }, outOfMemory);
  if (got == size) return StatusCode::OK;
  if (outOfMemory) {
    KLOG_ERROR("Failed to read output {} (buffer {}) from device memory: out of host memory.", i, j);
    return StatusCode::BadAlloc;
  }
  KLOG_ERROR("Failed to read output {} (buffer {}) from device memory: {} of {} bytes at 0x{:x} read.", i, j, got,
             size, address);
  return StatusCode::Driver_FailedToReadMemoryBuffer;
}

StatusCode NPUWatchdog::writePieces(const std::vector<ProgramPiece>& pieces, bool eachCoreInOrder) {
  auto write = [&](size_t k) {
    const ProgramPiece& piece = pieces[k];
    return toDevice(piece.address, piece.offset, piece.buffer.size, hostAddress(piece.buffer.data), ioInterleave_,
                    "program piece", k, 0);
  };
  StatusCode status = StatusCode::OK;
  if (eachCoreInOrder) {
    for (CoreId core : cores_)
      for (size_t k = 0; status == StatusCode::OK && k < pieces.size(); ++k)
        if (pieces[k].core == core) status = write(k);
    return status;
  }
  for (size_t k = 0; status == StatusCode::OK && k < pieces.size(); ++k)
    if (contains(cores_, pieces[k].core)) status = write(k);
  return status;
}

StatusCode NPUWatchdog::loadProgram(size_t v) {
  const NPUProgram& program = model_.program(v);
  if (program.kind == 1 || program.kind == 3) {
    TraceScope trace("copy npu binary");
    return writePieces(program.pieces, false);
  }
  if (program.kind != 2) return StatusCode::OK;
  // The instruction memory is filled by an init run of its own.
  TraceScope trace("init imem");
  auto piece = std::find_if(program.pieces.begin(), program.pieces.end(),
                            [&](const ProgramPiece& p) { return contains(cores_, p.core); });
  if (piece == program.pieces.end()) {
    KLOG_ERROR("No IMEM_INIT found");
    return StatusCode::Acc_NoIMemInitFound;
  }
  StatusCode status = toDevice(piece->address, piece->offset, piece->buffer.size, hostAddress(piece->buffer.data),
                               ioInterleave_, "program piece", static_cast<size_t>(piece - program.pieces.begin()), 0);
  if (status != StatusCode::OK) return status;
  status = driver_.postInfer(cores_);
  if (status != StatusCode::OK) {
    KLOG_ERROR("[{:x}] Failed to post the init imem run.", coreKey(cores_.front()));
    return status;
  }
  const uint64_t waitNs = seams::watchdogTimes().initWaitNs;
  // The first core that timed out, kept without allocating: the reset it
  // asks for must not be lost to a lack of host memory.
  const CoreId* timedOutCore = nullptr;
  for (const CoreId& core : cores_) {
    if (!driver_.waitDone(core, waitNs)) {
      KLOG_ERROR("[{:x}] Timeout occurred while init imem...", coreKey(core));
      if (timedOutCore == nullptr) timedOutCore = &core;
    }
  }
  return timedOutCore == nullptr ? StatusCode::OK : timedOut(*timedOutCore);
}

StatusCode NPUWatchdog::copyNpuBinary(const NPUTask& task) {
  TraceScope trace("copy npu binary");
  const auto& program = model_.supplementary(static_cast<size_t>(task.npuOpIndex))
                            .programs[static_cast<size_t>(task.supplementaryIndex)];
  return writePieces(program.pieces, false);
}

StatusCode NPUWatchdog::writeRmem(uint64_t address, uint32_t value) {
  std::memcpy(hostBytes(rmemBuffer_), &value, 4);
  bool outOfMemory = false;
  const uint64_t written = transferred(
      [&] { return writeDeviceMemory(driver_, address, 0, 4, rmemBuffer_, ioInterleave_, memoryHandle_); },
      outOfMemory);
  if (written != 4 && outOfMemory) {
    KLOG_ERROR("Failed to write RMEM at 0x{:x}: out of host memory.", address);
    return StatusCode::BadAlloc;
  }
  if (written != 4) {
    KLOG_ERROR("Failed to write RMEM: (nwritten=%d) != %d");
    return StatusCode::Driver_FailedToWriteMemoryBuffer;
  }
  return StatusCode::OK;
}

StatusCode NPUWatchdog::initRmem(const NPUTask& task, size_t slot) {
  TraceScope trace("init rmem");
  const size_t v = static_cast<size_t>(task.npuOpIndex);
  const auto& entries = model_.rmemEntries(v);
  for (CoreId core : cores_) {
    auto list = entries.find(core);
    if (list == entries.end()) continue;
    for (size_t k = 0; k < list->second.size(); ++k) {
      const RmemEntry& entry = list->second[k];
      uint32_t value = 0;
      if (task.supplementary) {
        const auto& types = model_.supplementary(v).programs[static_cast<size_t>(task.supplementaryIndex)].rmemTypes;
        auto at = std::find(types.begin(), types.end(), entry.type);
        if (at == types.end()) continue;
        const size_t i = static_cast<size_t>(at - types.begin());
        if (i >= task.supplementaryRmemValues.size()) {
          KLOG_ERROR("Failed to write RMEM: no supplementary argument {} ({} given).", i,
                     task.supplementaryRmemValues.size());
          return StatusCode::Model_InvalidSupplementary;
        }
        StatusCode status = writeRmem(entry.address, task.supplementaryRmemValues[i]);
        if (status != StatusCode::OK) return status;
        continue;
      }
      switch (entry.type) {
        case 1:
        case 2:
        case 11:
          // A task without sequence values (speed runs, the pipeline) writes
          // the 0 a request without sequence lengths computes.
          if (!task.rmemValues.empty() && k >= task.rmemValues.size()) {
            KLOG_ERROR("Failed to write RMEM: no value for entry {} ({} values).", k, task.rmemValues.size());
            return StatusCode::InternalError;
          }
          value = task.rmemValues.empty() ? 0 : task.rmemValues[k];
          break;
        case 13: {
          if (lastSlot_ == static_cast<long>(slot)) continue;
          uint64_t offset = 0;
          StatusCode status = slotOffset(v, slot, offset);
          if (status != StatusCode::OK) return status;
          value = static_cast<uint32_t>(offset);
          break;
        }
        case 14:
          continue;
        default:
          if (entry.type >= 3 && entry.type <= 10) continue;
          KLOG_ERROR("Failed to write RMEM: Invalid RmemType, 0x{:x}", entry.type);
          return StatusCode::Model_InvalidRmemType;
      }
      if (core.core != Core::GlobalCore) {
        StatusCode status = writeRmem(entry.address, value);
        if (status != StatusCode::OK) return status;
        continue;
      }
      // A global core's parameter goes to the same entry of every core of its cluster.
      for (CoreId target : model_.targetCores()) {
        if (target.cluster != core.cluster) continue;
        auto other = entries.find(target);
        if (other == entries.end() || k >= other->second.size()) {
          KLOG_ERROR("Failed to write RMEM: core {:x} has no entry {}.", coreKey(target), k);
          return StatusCode::Model_BrokenZRB;
        }
        StatusCode status = writeRmem(other->second[k].address, value);
        if (status != StatusCode::OK) return status;
      }
    }
  }
  return StatusCode::OK;
}

uint64_t NPUWatchdog::timeoutNs(size_t v) const {
  const seams::WatchdogTimes times = seams::watchdogTimes();
  const uint64_t expected = model_.finishedLatency(v);
  uint64_t t = expected > UINT64_MAX / 10 ? UINT64_MAX : expected * 10;
  if (t == 0) t = times.unknownNs;
  return std::max(t, times.floorNs);
}

StatusCode NPUWatchdog::timedOut(CoreId first) {
  if (std::getenv("OPHEL_DEV_SLEEP_ON_TIMEOUT") != nullptr) platform::sleepMs(kSleepOnTimeoutMs);
  // Only a reset that was asked for holds the group and the next tasks back
  // for it: they would otherwise wait for one that never comes.
  if (!acc_.requestReset(coreKey(first))) return StatusCode::BadAlloc;
  resetPending_ = true;
  return StatusCode::Acc_NPUTimeout;
}

StatusCode NPUWatchdog::infer(const NPUTask& task, size_t slot, bool& deferred) {
  std::lock_guard runLock(runMutex_);
  const size_t v = static_cast<size_t>(task.npuOpIndex);
  if (resetPending_) {
    // The run before this one timed out on the group; the card is about to
    // be reset and the task's turn comes after that.
    deferred = true;
    return StatusCode::Acc_NPUTimeout;
  }
  StatusCode status = task.supplementary ? copyNpuBinary(task) : loadProgram(v);
  if (status != StatusCode::OK) return status;
  status = initRmem(task, slot);
  if (status != StatusCode::OK) return status;
  lastSlot_ = static_cast<long>(slot);

  TraceSpan runTrace("run npu");
  driver_.setFootprint(acc_.getTotalBinarySize());
  if (slotBusy_.size() < 2 || !secondPost_) {
    status = driver_.postInfer(cores_);
  } else {
    uint64_t offset = 0;
    status = slotOffset(v, slot, offset);
    if (status == StatusCode::OK) status = driver_.postInfer(cores_, static_cast<uint32_t>(offset));
  }
  if (status != StatusCode::OK) {
    KLOG_ERROR("[{:x}] Failed to post the run.", coreKey(cores_.front()));
    return status;
  }
  const uint64_t t = timeoutNs(v);
  const uint64_t start = platform::ticks100ns();
  const bool blocking = driver_.isWaitDoneBlocking();
  if (!blocking)
    platform::sleepMs(std::max<uint32_t>(1, static_cast<uint32_t>(model_.consumedLatency(v)) / 1000000));
  const CoreId* timedOutCore = nullptr;  // the first, as in the init run
  {
    TraceSpan waitTrace("wait core");
    for (size_t i = 0; i < plans_[v].controlRegisters.size(); ++i) {
      if (!driver_.waitDone(cores_[i], t)) {
        KLOG_ERROR("[{:x}] Timeout occurred", coreKey(cores_[i]));
        if (timedOutCore == nullptr) timedOutCore = &cores_[i];
      }
    }
  }
  const uint64_t end1 = platform::ticks100ns();
  runTrace.close();
  if (timedOutCore != nullptr) return timedOut(*timedOutCore);
  const uint64_t end2 = platform::ticks100ns();
  if (!blocking && !task.supplementary) {
    const uint64_t a = (end1 - start) / 100 * 90, b = (end2 - start) / 100 * 90;
    uint64_t consumed = model_.consumedLatency(v), finished = model_.finishedLatency(v);
    if (consumed == 0 || consumed > a) consumed = a;
    if (finished == 0 || finished > b) finished = b;
    model_.setLatency(task.npuOpIndex, consumed, finished);
  }
  if (!task.supplementary) return StatusCode::OK;
  // The supplementary program took the regular program's place: put it back.
  TraceScope trace("copy npu binary");
  status = writePieces(model_.supplementary(v).pieces, true);
  if (status != StatusCode::OK) KLOG_ERROR("Failed to re-upload IMEM");
  return status;
}

StatusCode NPUWatchdog::retrieveOutput(const NPUTask& task, int32_t item, size_t slot) {
  if (task.supplementary) return StatusCode::OK;
  TraceScope trace("copy from npu");
  const size_t v = static_cast<size_t>(task.npuOpIndex);
  const bool interleave = ioInterleave_ && model_.outputsInterleaved(v);
  const size_t position = itemPosition(task, item);
  uint64_t offset = 0;
  StatusCode status = slotOffset(v, slot, offset);
  if (status != StatusCode::OK) return status;
  const auto& types = model_.outputIoTypes(v);
  const IoPlan& plan = plans_[v];
  for (size_t i = 0; i < task.outputs.size(); ++i) {
    for (size_t j = 0; j < task.outputs[i].size(); ++j) {
      const Buffer& buf = task.outputs[i][j];
      const uint8_t type = types[i];
      if (type == 5) continue;
      if (type > 5) {
        KLOG_ERROR("Invalid IOType {}", type);
        return StatusCode::Model_BrokenZRB;
      }
      if (j >= plan.outputs[i].size()) {
        KLOG_ERROR("Output {} has no device address for buffer {}.", i, j);
        return StatusCode::Model_BrokenZRB;
      }
      const uint64_t address = plan.outputs[i][j] + offset;
      uint64_t host = hostAddress(buf.data), size = buf.size;
      if (type == 3) {
        size = buf.size / static_cast<uint64_t>(task.itemCount);
        if (position > 0) {
          status = scratch(slot, size, host);
          if (status != StatusCode::OK) return status;
        }
      }
      status = fromDevice(address, size, host, interleave, i, j);
      if (status != StatusCode::OK) return status;
      if (type == 3 && position > 0) std::memcpy(static_cast<uint8_t*>(buf.data) + position * size, hostBytes(host), size);
      if ((type == 1 || type == 2) && item < task.itemCount - 1) {
        // The output feeds the next item's input of the same place.
        if (i >= plan.inputs.size() || j >= plan.inputs[i].size()) {
          KLOG_ERROR("Output {} writes back to input ({}, {}), which has no device address.", i, i, j);
          return StatusCode::Model_BrokenZRB;
        }
        status = toDevice(plan.inputs[i][j] + offset, 0, size, host, interleave, "output fed back as input", i, j);
        if (status != StatusCode::OK) return status;
      }
    }
  }
  return StatusCode::OK;
}

void NPUWatchdog::dumpDDRBin(bool interleave, uint32_t delayMs, const std::string& path) {
  platform::sleepMs(std::max<uint32_t>(1, delayMs));
  const CoreId main = cores_.front();
  auto mine = [&](CoreId c) { return mode_ == CoreMode::Multi ? c.cluster == main.cluster : c == main; };
  bool haveBase = false, haveEnd = false;
  uint64_t base = 0, end = 0;
  for (const DevicePlacement& p : model_.inputPlacements()) {
    if (!mine(p.core)) continue;
    base = haveBase ? std::min(base, p.address) : p.address;
    haveBase = true;
  }
  for (const SectionPlacement& s : model_.sectionPlacements()) {
    if (!mine(s.core)) continue;
    end = haveEnd ? std::max(end, s.address + s.size) : s.address + s.size;
    haveEnd = true;
  }
  if (!haveBase || !haveEnd || end <= base) {
    KLOG_ERROR("dumpDDRBin: Failed to get base_addr or end_addr, (0x{:x}, 0x{:x})", base, end);
    return;
  }
  const uint64_t size = end - base;
  if (size >= kMaxDumpSize) {
    KLOG_ERROR("dumpDDRBin: dump size is too big, {}", size);
    return;
  }
  uint64_t host = 0;
  if (driver_.allocateHostMemory(host, size) != StatusCode::OK) {
    KLOG_ERROR("Failed to allocate host memory of size, {}", size);
    return;
  }
  if (readDeviceMemory(driver_, base, 0, size, host, interleave, memoryHandle_) == size)
    utilkit::writeBinaryFile(path, hostBytes(host), size);
  else
    KLOG_ERROR("dumpDDRBin: Failed to read {} bytes at 0x{:x}", size, base);
  driver_.freeHostMemory(host);
}

}  // namespace kestrane
