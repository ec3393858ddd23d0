// Launch and disposal: the model on an accelerator, and the program
// buffers that runs reload.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/log.h"
#include "core/trace_scope.h"
#include "create/launch_sections.h"
#include "engine/lasting_writes.h"
#include "model/model_impl.h"
#include "utilkit/fs_utils.h"

namespace kestrane {

namespace {

using launch_sections::kSupplementarySection;
const std::vector<uint8_t> kSupplementaryRmemTypes = {3, 4, 5, 6, 7, 8, 9, 10};

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// The longest section without payload among those launch reads.
uint64_t longestZeroSection(const std::vector<zrb::Bundle>& bundles) {
  uint64_t longest = 0;
  for (const zrb::Bundle& bundle : bundles) {
    const uint32_t kind = launch_sections::programKind(bundle);
    for (const zrb::SectionBinary& s : bundle.section_binaries)
      if (s.no_payload && launch_sections::launchReads(kind, s, bundles.size() > 1))
        longest = std::max<uint64_t>(longest, s.size);
  }
  return longest;
}

// Keeps a buffer of `pool` in `list`; one the list has no room for goes
// back to the pool before the failure goes on.
void keep(MemoryPool<AcceleratorImpl>& pool, std::vector<Buffer>& list, const Buffer& buffer) {
  try {
    list.push_back(buffer);
  } catch (...) {
    pool.freeHostMemory(buffer);
    throw;
  }
}

// One step of giving a launch back: should it throw (nothing on the way
// allocates, but all the same), the line is logged, `failed` says so and the
// steps after it still run.
template <typename F>
void step(const char* what, StatusCode& failed, F&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    KLOG_ERROR("Disposing the model: {} failed: {}", what, e.what());
    failed = StatusCode::InternalError;
  }
}

}  // namespace

ModelImpl::CallScope::CallScope(const ModelImpl& model) : lock_(model.stateMutex_, std::defer_lock) {
  // A dispose that waits turns new requests away, so the running ones can
  // drain (readers may otherwise pass a waiting writer for ever).
  if (model.disposing_.load() > 0) return;
  lock_.lock();
  launched_ = model.launched_.load();
}

StatusCode ModelImpl::launch(AcceleratorImpl* accelerator) {
  TraceScope trace("launch");
  std::unique_lock lock(stateMutex_);
  if (launched_) {
    KLOG_ERROR("Model has already been launched on the `Accelerator`. Please check the usage of your model object.");
    return StatusCode::Model_AlreadyLaunched;
  }
  if (accelerator == nullptr) {
    KLOG_ERROR("Model launched on no accelerator.");
    return StatusCode::InternalError;
  }
  accelerator_ = accelerator;
  pool_.setAllocator(accelerator);
  StatusCode status = StatusCode::OK;
  try {
    taskQueue_ = accelerator->setModel(this, status);
    if (status == StatusCode::OK) status = initializeNPUBinBuffers();
    if (status == StatusCode::OK) status = initializeSupplementaryBuffers();
    if (status == StatusCode::OK && config_.getAsyncPipelineEnabled()) status = startPipeline();
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Failed to launch the model - out of host memory.");
    status = StatusCode::BadAlloc;
  }
  if (status != StatusCode::OK) {
    giveBackLaunch(taskQueue_ != nullptr);  // nothing of the attempt stays
    return status;
  }
  launched_ = true;
  KLOG_INFO("Model launched.");
  return StatusCode::OK;
}

StatusCode ModelImpl::giveBackLaunch(bool registered) {
  StatusCode status = StatusCode::OK, failed = StatusCode::OK;
  if (registered) step("unregistering", failed, [&] { status = accelerator_->dispose(this); });
  taskQueue_.reset();
  step("returning the program buffers", failed, [&] {
    freeSupplementaryBuffers();
    freeNPUBinBuffers();
    freeZeroBlock();
  });
  step("detaching the memory pool", failed, [&] { pool_.setAllocator(nullptr); });
  accelerator_ = nullptr;
  if (config_.getCoreAllocationPolicy() == CoreAllocationPolicy::Auto) targetCores_.clear();
  return status != StatusCode::OK ? status : failed;
}

StatusCode ModelImpl::dispose() {
  // Every step runs whatever one before it did, so that the model keeps no
  // registration, buffer, pool allocator or disposal count behind.
  StatusCode failed = StatusCode::OK;
  ++disposing_;
  step("closing the queue", failed, [&] {
    // Before waiting for the requests running: the pipeline goes first (its
    // last jobs still run on the queue), then the queue closes, so that the
    // tasks still waiting fail at once and each running request ends within
    // one run's time-out instead of one per task queued behind it.
    std::shared_lock early(stateMutex_);
    if (launched_) {
      closePipeline();
      accelerator_->closeTaskQueue(this);
    }
  });
  std::unique_lock lock(stateMutex_);
  --disposing_;  // the requests that waited now see the model disposed
  if (!launched_) return StatusCode::OK;
  launched_ = false;
  step("closing the pipeline", failed, [&] { closePipeline(); });
  StatusCode status = giveBackLaunch(true);
  if (status == StatusCode::OK) status = failed;
  if (status != StatusCode::OK)
    KLOG_WARN("Model disposed. (status code: {})", static_cast<int32_t>(status));
  else
    KLOG_INFO("Model disposed.");
  return status;
}

StatusCode ModelImpl::readSectionBinary(const zrb::SectionBinary& section, Buffer& out) {
  if (section.no_payload) {
    // Nothing in the file: the section starts as zeros, as its upload does.
    // A block of its own each would let a small file claim gigabytes.
    if (zeroBlock_.data == nullptr) {
      const uint64_t size = longestZeroSection(zrb_->getBundles());
      const StatusCode status = pool_.allocateHostMemory(size, zeroBlock_);
      if (status != StatusCode::OK) {
        zeroBlock_ = {};
        return status;
      }
      if (size > 0) std::memset(zeroBlock_.data, 0, size);
    }
    out = {zeroBlock_.data, section.size};
    return StatusCode::OK;
  }
  File file(utilkit::openFile(section.path, "rb"), &std::fclose);
  if (!file) {
    KLOG_ERROR("Failed to open the section binary {}", section.path);
    return StatusCode::Model_BrokenZRB;
  }
  uint64_t size = section.size;
  if (section.keep_in_file) {
    if (fseeko(file.get(), static_cast<off_t>(section.offset), SEEK_SET) != 0) {
      KLOG_ERROR("Failed to seek to the section binary at {} in {}", section.offset, section.path);
      return StatusCode::Model_BrokenZRB;
    }
  } else {
    const off_t length = fseeko(file.get(), 0, SEEK_END) == 0 ? ftello(file.get()) : -1;
    if (length < 0 || fseeko(file.get(), 0, SEEK_SET) != 0) {
      KLOG_ERROR("Failed to measure the section binary {}", section.path);
      return StatusCode::Model_BrokenZRB;
    }
    size = static_cast<uint64_t>(length);
  }
  const StatusCode status = pool_.allocateHostMemory(size, out);
  if (status != StatusCode::OK) return status;
  if (size > 0 && std::fread(out.data, 1, size, file.get()) != size) {
    KLOG_ERROR("Failed to read {} bytes of the section binary from {}", size, section.path);
    pool_.freeHostMemory(out);
    out = {};
    return StatusCode::Model_BrokenZRB;
  }
  return StatusCode::OK;
}

// A run writes its pieces one after another: keep of each only what no later
// piece on its core overwrites, so that a section placed many times over
// itself is written once per run.
StatusCode ModelImpl::keepLastingPieces(std::vector<ProgramPiece>& pieces, std::vector<Buffer>& buffers) {
  std::vector<DevicePlacement> writes;
  writes.reserve(pieces.size());
  for (const ProgramPiece& p : pieces) writes.push_back({p.core, p.address, p.buffer.size});
  const std::vector<std::vector<WritePart>> parts = lastingParts(writes, accelerator_->interleave());
  std::vector<ProgramPiece> kept;
  for (size_t i = 0; i < pieces.size(); ++i) {
    // Zeros are the same at every offset: the zero block serves every part.
    const bool zeros = zeroBlock_.data != nullptr && pieces[i].buffer.data == zeroBlock_.data;
    for (const WritePart& part : parts[i]) {
      Buffer buffer{pieces[i].buffer.data, part.size};
      if (part.offset != 0 && !zeros) {
        const StatusCode status = pool_.allocateHostMemory(part.size, buffer);
        if (status != StatusCode::OK) return status;
        keep(pool_, buffers, buffer);
        std::memcpy(buffer.data, static_cast<const uint8_t*>(pieces[i].buffer.data) + part.offset, part.size);
      }
      kept.push_back({buffer, pieces[i].core, pieces[i].address, part.offset});
    }
  }
  pieces = std::move(kept);
  return StatusCode::OK;
}

StatusCode ModelImpl::initializeNPUBinBuffers() {
  freeNPUBinBuffers();
  const auto& bundles = zrb_->getBundles();
  // One bundle: its program stays where registration uploaded it.
  if (bundles.size() == 1) return StatusCode::OK;
  for (size_t b = 0; b < bundles.size(); ++b) {
    const auto& sections = bundles[b].section_binaries;
    NPUProgram& program = programs_[b];
    program.kind = launch_sections::programKind(bundles[b]);
    if (program.kind == 3 &&
        std::any_of(sections.begin(), sections.end(), [](const zrb::SectionBinary& s) { return s.memory_type == 4; }))
      KLOG_WARN("Either imem init or imem init start should exist; not both. Will prefer initstart.");
    for (const zrb::SectionBinary& s : sections) {
      if (!launch_sections::isProgramSection(program.kind, s)) continue;
      Buffer buffer;
      const StatusCode status = readSectionBinary(s, buffer);
      if (status != StatusCode::OK) return status;
      if (!s.no_payload) keep(pool_, program.buffers, buffer);
      for (const zrb::Designation& d : s.designations) {
        const CoreId core = designationCore(d);
        if (hasTargetCore(core)) program.pieces.push_back({buffer, core, d.address});
      }
    }
    // An init program runs from its first piece alone.
    if (program.kind == 2) continue;
    const StatusCode status = keepLastingPieces(program.pieces, program.buffers);
    if (status != StatusCode::OK) return status;
  }
  return StatusCode::OK;
}

StatusCode ModelImpl::initializeSupplementaryBuffers() {
  freeSupplementaryBuffers();
  const auto& bundles = zrb_->getBundles();
  for (size_t b = 0; b < bundles.size(); ++b) {
    SupplementaryRecord& record = supplementaries_[b];
    for (const zrb::SectionBinary& s : bundles[b].section_binaries) {
      if (!launch_sections::isSupplementarySection(s)) continue;
      std::vector<Buffer>* buffers = &record.buffers;
      std::vector<ProgramPiece>* pieces = &record.pieces;
      if (s.memory_type == kSupplementarySection) {
        // Every such section of the bundle joins the first usable program.
        auto target = std::find_if(record.programs.begin(), record.programs.end(),
                                   [](const SupplementaryProgram& p) { return p.busy == 0; });
        if (target == record.programs.end()) {
          record.programs.push_back({0, {}, {}, kSupplementaryRmemTypes});
          target = record.programs.end() - 1;
        }
        buffers = &target->buffers;
        pieces = &target->pieces;
      }
      Buffer buffer;
      const StatusCode status = readSectionBinary(s, buffer);
      if (status != StatusCode::OK) return status;  // what was read goes back with the records
      if (!s.no_payload) keep(pool_, *buffers, buffer);
      for (const zrb::Designation& d : s.designations) {
        const CoreId core = designationCore(d);
        if (hasTargetCore(core)) pieces->push_back({buffer, core, d.address});
      }
    }
    StatusCode status = keepLastingPieces(record.pieces, record.buffers);
    for (size_t p = 0; p < record.programs.size() && status == StatusCode::OK; ++p)
      status = keepLastingPieces(record.programs[p].pieces, record.programs[p].buffers);
    if (status != StatusCode::OK) return status;
  }
  return StatusCode::OK;
}

void ModelImpl::freeNPUBinBuffers() {
  for (NPUProgram& program : programs_) {
    for (const Buffer& buffer : program.buffers) pool_.freeHostMemory(buffer);
    program = NPUProgram{};
  }
}

void ModelImpl::freeZeroBlock() {
  if (zeroBlock_.data != nullptr) pool_.freeHostMemory(zeroBlock_);
  zeroBlock_ = {};
}

void ModelImpl::freeSupplementaryBuffers() {
  for (SupplementaryRecord& record : supplementaries_) {
    for (const SupplementaryProgram& program : record.programs)
      for (const Buffer& buffer : program.buffers) pool_.freeHostMemory(buffer);
    for (const Buffer& buffer : record.buffers) pool_.freeHostMemory(buffer);
    record = SupplementaryRecord{};
  }
}

}  // namespace kestrane
