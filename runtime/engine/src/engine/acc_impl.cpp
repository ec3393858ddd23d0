#include "engine/acc_impl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

#include "config/globals.h"
#include "core/log.h"
#include "driver/device_memory_access.h"
#include "driver/taliss_device.h"
#include "engine/lasting_writes.h"
#include "engine/npu_task_scheduler.h"
#include "engine/test_seams.h"
#include "hwdep/platform.h"
#include "platform/clock.h"
#include "platform/system_error.h"
#include "platform/thread_start.h"
#include "utilkit/fs_utils.h"

namespace kestrane {

namespace {

constexpr uint64_t kChunk = 0x100000;  // 1 MiB per driver call
constexpr uint64_t kResetKeepsFrom = 0x800000000;
constexpr uint32_t kSectionNotUploaded = 7;
constexpr uint32_t kTaliss2Register = 0x1030206C;
constexpr int kClaimAttempts = 5;

uint8_t* hostBytes(uint64_t address) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address)); }

// A DMA buffer of the driver, freed on every way out.
class StagingBuffer {
 public:
  StagingBuffer(Driver& driver, uint64_t size) : driver_(driver) {
    status_ = driver_.allocateHostMemory(address_, size);
    if (status_ != StatusCode::OK) address_ = 0;
  }
  ~StagingBuffer() {
    if (address_) driver_.freeHostMemory(address_);
  }
  StagingBuffer(const StagingBuffer&) = delete;
  StagingBuffer& operator=(const StagingBuffer&) = delete;
  StatusCode status() const { return status_; }
  uint64_t address() const { return address_; }
  uint8_t* bytes() const { return hostBytes(address_); }

 private:
  Driver& driver_;
  uint64_t address_ = 0;
  StatusCode status_ = StatusCode::OK;
};

class File {
 public:
  explicit File(const std::string& path) : file_(utilkit::openFile(path, "rb")) {}
  ~File() {
    if (file_) std::fclose(file_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  std::FILE* get() const { return file_; }

 private:
  std::FILE* file_;
};

bool onCores(const std::vector<CoreId>& cores, CoreId core) {
  return std::find(cores.begin(), cores.end(), core) != cores.end();
}

}  // namespace

std::unique_ptr<AcceleratorImpl> AcceleratorImpl::create(int card, StatusCode& status) {
  platform::beginTimerPeriod(1);
  std::unique_ptr<AcceleratorImpl> acc;
  try {
    auto device = TalissDevice::create(card, status);
    if (device) acc.reset(new AcceleratorImpl(std::move(device)));
  } catch (...) {  // no host memory: the period goes back as on any failure
    platform::endTimerPeriod(1);
    throw;
  }
  if (!acc) {
    platform::endTimerPeriod(1);
    return nullptr;
  }
  // From here the destructor gives the timer period back.
  const std::string family = seams::deviceFamily().value_or(processPlatform().getDeviceFamily());
  acc->interleave_ = family != "Taliss2";
  if (family == "Taliss2") acc->driver_->writeRegister(kTaliss2Register, 0);
  if (!platform::startThread(acc->resetThread_, &AcceleratorImpl::resetMain, acc.get())) {
    KLOG_ERROR("Failed to start the reset thread: {}", platform::systemErrorText(platform::lastError()));
    status = StatusCode::InternalError;
    return nullptr;
  }
  status = StatusCode::OK;
  return acc;
}

AcceleratorImpl::AcceleratorImpl(std::unique_ptr<Driver> driver) : driver_(std::move(driver)) {}

AcceleratorImpl::~AcceleratorImpl() {
  // Each model disposes itself, which calls back dispose(model). The lock is
  // not held across a model's dispose: its asynchronous pipeline may wait
  // for tasks that need a reset, which needs the lock. The lists are read
  // in place, one model at a time, so that nothing here allocates.
  for (;;) {
    EngineModel* model = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (models_.empty()) break;
      model = models_.front();
    }
    disposeModel(*model);
    if (isRegistered(model)) dispose(model);  // a model that did not call back
  }
  resetRequests_.close();
  if (resetThread_.joinable()) resetThread_.join();
  // No reset drops a model now. Those a failed reset dropped still hold this
  // accelerator (its pool and queue calls) until they dispose themselves.
  for (;;) {
    EngineModel* model = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (dropped_.empty()) break;
      model = dropped_.front();
    }
    disposeModel(*model);  // calls back dispose(model)
    std::lock_guard lock(mutex_);
    dropped_.remove(model);  // one that did not call back is not asked again
  }
  platform::endTimerPeriod(1);
  schedulers_.clear();
  queues_.clear();
  driver_.reset();
}

void AcceleratorImpl::disposeModel(EngineModel& model) {
  try {
    model.dispose();
  } catch (const std::exception& e) {  // the accelerator still goes; the engine's side follows
    KLOG_ERROR("Failed to dispose model {}: {}", model.path(), e.what());
  }
}

bool AcceleratorImpl::isRegistered(const EngineModel* model) const {
  std::lock_guard lock(mutex_);
  return std::find(models_.begin(), models_.end(), model) != models_.end();
}

std::vector<CoreId> AcceleratorImpl::getAvailableCores() {
  std::vector<CoreId> cores;
  StatusCode status = StatusCode::OK;
  driver_->getAvailableCores(cores, status);
  if (status != StatusCode::OK) cores.clear();
  return cores;
}

StatusCode AcceleratorImpl::allocateHostMemory(void*& address, uint64_t size) {
  uint64_t host = 0;
  const StatusCode status = driver_->allocateHostMemory(host, size);
  if (status == StatusCode::OK) address = hostBytes(host);
  return status;
}

StatusCode AcceleratorImpl::freeHostMemory(void* address) {
  return driver_->freeHostMemory(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address)));
}

void AcceleratorImpl::setFootprint(CoreId core, uint64_t bytes) {
  auto it = footprint_.find(core);
  if (it == footprint_.end()) {
    if (bytes == 0) return;  // as it was: clearing one never allocates
    it = footprint_.emplace(core, 0).first;
  }
  totalFootprint_ += bytes - it->second;  // modulo 2^64: the sum follows the map
  it->second = bytes;
}

std::shared_ptr<TaskQueue> AcceleratorImpl::setModel(EngineModel* model, StatusCode& status) {
  if (model == nullptr) {
    status = StatusCode::InternalError;
    return nullptr;
  }
  if (isRegistered(model)) {
    KLOG_ERROR("The model is already registered with this accelerator.");
    status = StatusCode::Model_AlreadyLaunched;
    return nullptr;
  }
  std::vector<CoreId> claimed;
  bool holding = false;  // `claimed` are this launch's cores
  // Takes back whatever the launch got so far; the model was not registered
  // before, so its queue, scheduler and place in the list are the launch's.
  auto undo = [&] {
    std::lock_guard lock(mutex_);
    auto queue = queues_.find(model);
    if (queue != queues_.end()) {
      queue->second->close();
      queues_.erase(queue);
    }
    removeScheduler(model);
    removeModel(model);
    if (!holding) return;
    for (CoreId core : claimed) setFootprint(core, 0);
    try {
      driver_->unclaimCores(claimed);
    } catch (const std::bad_alloc&) {
      KLOG_ERROR("Failed to give back the model's {} cores - out of host memory.", claimed.size());
    }
  };
  try {
    const ModelConfig& config = model->config();
    if (config.getCoreAllocationPolicy() == CoreAllocationPolicy::Manual) {
      claimed = model->targetCores();
      if (claimed.empty()) {
        KLOG_ERROR("No target core specified!");
        status = StatusCode::Model_NoTargetCores;
        return nullptr;
      }
      std::vector<CoreId> available;
      driver_->getAvailableCores(available, status);
      if (status != StatusCode::OK) {
        KLOG_ERROR("Failed to ask the card for its free cores.");
        return nullptr;
      }
      for (CoreId core : claimed) {
        if (!onCores(available, core)) {
          KLOG_ERROR("Core is already in use.");
          status = StatusCode::Acc_CoreAlreadyInUse;
          return nullptr;
        }
      }
      status = driver_->claimCores(claimed);
      if (status != StatusCode::OK) {
        KLOG_ERROR("Failed to claim the model's {} cores.", claimed.size());
        return nullptr;
      }
      holding = true;
    } else {
      const std::vector<CoreId> allowed = model->singleModeCores();
      const int needed = config.getNumCores();
      if (needed <= 0) {
        KLOG_ERROR("No target core specified!");
        status = StatusCode::Model_NoTargetCores;
        return nullptr;
      }
      for (int attempt = 0; attempt < kClaimAttempts && !holding; ++attempt) {
        std::vector<CoreId> available, candidates;
        driver_->getAvailableCores(available, status);
        if (status != StatusCode::OK) {
          KLOG_ERROR("Failed to ask the card for its free cores.");
          return nullptr;
        }
        for (CoreId core : available)
          if (core.core != Core::GlobalCore && onCores(allowed, core)) candidates.push_back(core);
        if (candidates.size() < static_cast<size_t>(needed)) {
          KLOG_ERROR("There are not enough available cores. {} < {}", candidates.size(), needed);
          status = StatusCode::Acc_CoreAlreadyInUse;
          return nullptr;
        }
        candidates.resize(static_cast<size_t>(needed));
        status = driver_->claimCores(candidates);
        if (status == StatusCode::OK) {
          claimed = std::move(candidates);
          holding = true;
        }
      }
      if (!holding) {  // with the last claim's status
        KLOG_ERROR("Failed to claim {} cores in {} attempts.", needed, kClaimAttempts);
        return nullptr;
      }
      model->setTargetCoreIds(claimed);
    }

    status = uploadBinaries(model, true);
    if (status != StatusCode::OK) {
      undo();
      return nullptr;
    }
    std::lock_guard lock(mutex_);
    models_.push_back(model);
    auto queue = std::make_shared<TaskQueue>();
    queues_[model] = queue;
    status = createScheduler(model);
    if (status != StatusCode::OK) {
      undo();
      return nullptr;
    }
    return queue;
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Failed to register the model with the accelerator - out of host memory.");
    undo();
    status = StatusCode::BadAlloc;
    return nullptr;
  }
}

void AcceleratorImpl::removeModel(EngineModel* model) { models_.remove(model); }

StatusCode AcceleratorImpl::createScheduler(EngineModel* model) {
  std::lock_guard lock(mutex_);
  auto queue = queues_.find(model);
  if (queue == queues_.end()) return StatusCode::Acc_TaskQueueNotFound;
  if (schedulers_.count(model)) removeScheduler(model);
  StatusCode status = StatusCode::OK;
  auto scheduler = NPUTaskScheduler::create(*model, *this, queue->second, status);
  if (!scheduler) return status;
  schedulers_[model] = std::move(scheduler);
  return StatusCode::OK;
}

StatusCode AcceleratorImpl::removeScheduler(EngineModel* model) {
  std::lock_guard lock(mutex_);
  auto it = schedulers_.find(model);
  if (it == schedulers_.end()) return StatusCode::Acc_NoSuchModel;
  it->second->stop();
  schedulers_.erase(it);  // joins the workers
  return StatusCode::OK;
}

StatusCode AcceleratorImpl::closeTaskQueue(EngineModel* model) {
  std::lock_guard lock(mutex_);
  auto queue = queues_.find(model);
  if (queue == queues_.end()) return StatusCode::Acc_TaskQueueNotFound;
  queue->second->close();
  auto scheduler = schedulers_.find(model);
  if (scheduler != schedulers_.end()) scheduler->second->wakeDispatcher();
  // One by one, so that closing allocates nothing.
  for (NPUTask task; queue->second->takeFront(task);) task.result.set_value(false);
  return StatusCode::OK;
}

StatusCode AcceleratorImpl::dispose(EngineModel* model) {
  std::lock_guard lock(mutex_);
  dropped_.remove(model);
  const bool registered = std::find(models_.begin(), models_.end(), model) != models_.end();
  const StatusCode status = release(model, registered);
  if (registered) removeModel(model);
  return status;
}

StatusCode AcceleratorImpl::release(EngineModel* model, bool registered) {
  StatusCode status = closeTaskQueue(model);
  if (status != StatusCode::OK) KLOG_ERROR("Failed to get task queue.");
  if (!registered) {
    KLOG_ERROR("Failed to dispose model.");
    if (status == StatusCode::OK) status = StatusCode::Acc_NoSuchModel;
  }
  const StatusCode removed = removeScheduler(model);
  queues_.erase(model);
  if (!registered) return status;  // its cores may be another model's by now
  for (CoreId core : model->targetCores()) setFootprint(core, 0);
  const StatusCode unclaimed = driver_->unclaimCores(model->targetCores());
  if (status != StatusCode::OK) return status;
  return removed != StatusCode::OK ? removed : unclaimed;
}

void AcceleratorImpl::disposeAll() {
  std::lock_guard lock(mutex_);
  while (!models_.empty()) {
    EngineModel* model = models_.back();
    if (release(model, true) != StatusCode::OK) KLOG_ERROR("Failed to dispose model, {}", model->path());
    // Whatever happened, it is gone, and is told when the accelerator goes;
    // moved between the lists, so that nothing is allocated.
    dropped_.splice(dropped_.end(), models_, std::prev(models_.end()));
  }
}

StatusCode AcceleratorImpl::uploadBinaries(EngineModel* model, bool initial) {
  StagingBuffer staging(*driver_, kChunk);
  if (staging.status() != StatusCode::OK) return staging.status();
  const std::vector<CoreId> cores = model->targetCores();
  const std::vector<DevicePlacement> inputs = model->inputPlacements();
  const std::vector<SectionPlacement> sections = model->sectionPlacements();

  // Each core's region reaches from its lowest input to the end of its highest section.
  for (CoreId core : cores) {
    bool haveBase = false;
    uint64_t base = 0, span = 0;
    for (const DevicePlacement& p : inputs) {
      if (p.core != core) continue;
      base = haveBase ? std::min(base, p.address) : p.address;
      haveBase = true;
    }
    if (haveBase)
      for (const SectionPlacement& s : sections)
        if (s.core == core && s.address >= base) span = std::max(span, s.address - base + s.size);
    {
      std::lock_guard lock(mutex_);
      setFootprint(core, span);
    }
    uint64_t handle = 0;
    const StatusCode status = driver_->allocateCoreMemory(core, span, handle);
    if (status != StatusCode::OK) return status;
    model->setMemoryHandle(core, static_cast<int32_t>(handle & 0xFFFFFFFF));
  }

  auto write = [&](const SectionPlacement& s, uint64_t done, uint64_t n) {
    const auto handle = static_cast<uint32_t>(model->memoryHandle(s.core));
    const uint64_t written = writeDeviceMemory(*driver_, s.address, done, n, staging.address(), interleave_, handle);
    if (written == n) return true;
    KLOG_ERROR("Failed to write a section binary to device memory: {} of {} bytes at 0x{:x} written ({}).", written,
               n, s.address + done, s.hasPayload ? s.path : "zeros");
    return false;
  };
  // Sections without payload start as zeros; payloads follow. Of each, only
  // what no later one on its core overwrites is written.
  std::vector<const SectionPlacement*> order;
  for (const SectionPlacement& s : sections)
    if (initial && !s.hasPayload && onCores(cores, s.core)) order.push_back(&s);
  for (const SectionPlacement& s : sections) {
    if (s.type == kSectionNotUploaded || !s.hasPayload || !onCores(cores, s.core)) continue;
    if (!initial && s.address >= kResetKeepsFrom) continue;  // DDR survives a reset
    order.push_back(&s);
  }
  std::vector<DevicePlacement> writes;
  writes.reserve(order.size());
  for (const SectionPlacement* s : order) writes.push_back({s->core, s->address, s->size});
  const std::vector<std::vector<WritePart>> parts = lastingParts(writes, interleave_, kChunk);
  // A part goes in the chunks the whole section would, cut to the part, so
  // that each transfer reaches what the section's own transfer did.
  auto chunkAt = [](uint64_t at, uint64_t end) { return std::min(kChunk - at % kChunk, end - at); };
  std::memset(staging.bytes(), 0, kChunk);
  for (size_t i = 0; i < order.size(); ++i) {
    const SectionPlacement& s = *order[i];
    if (parts[i].empty()) continue;
    if (!s.hasPayload) {
      for (const WritePart& part : parts[i])
        for (uint64_t at = part.offset, end = part.offset + part.size, n = 0; at < end; at += n)
          if (!write(s, at, n = chunkAt(at, end))) return StatusCode::Driver_FailedToWriteMemoryBuffer;
      continue;
    }
    File file(s.path);
    if (file.get() == nullptr) {
      KLOG_ERROR("Could not find {}, Abort.", s.path);
      return StatusCode::Model_FailedToOpenSectionBinary;
    }
    for (const WritePart& part : parts[i]) {
      const uint64_t at = s.offset + part.offset;
      if (at != 0 && fseeko(file.get(), static_cast<off_t>(at), SEEK_SET) != 0) {
        KLOG_ERROR("Failed to seek to offset {} of {}.", at, s.path);
        return StatusCode::Model_BrokenZRB;
      }
      for (uint64_t at = part.offset, end = part.offset + part.size, n = 0; at < end; at += n) {
        n = chunkAt(at, end);
        const uint64_t got = std::fread(staging.bytes(), 1, n, file.get());
        if (got != n) {
          KLOG_ERROR("Failed to read section binary ({} vs {})", got, n);
          return StatusCode::Model_BrokenZRB;
        }
        if (!write(s, at, n)) return StatusCode::Driver_FailedToWriteMemoryBuffer;
      }
    }
  }
  return StatusCode::OK;
}

}  // namespace kestrane
