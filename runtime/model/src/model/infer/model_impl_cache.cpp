// Cache memory of sequence models: dump and load of every cache area (to
// lists or files), reset, and the rearrangements of the cache tail that the
// bundle's supplementary program performs on the device.

#include <algorithm>
#include <filesystem>
#include <exception>
#include <future>
#include <new>
#include <system_error>

#include "core/log.h"
#include "core/trace_scope.h"
#include "model/cache_rearrangement.h"
#include "model/model_impl.h"
#include "platform/host_allowance.h"
#include "utilkit/fs_utils.h"

namespace kestrane {

namespace {

constexpr const char* kNoCache = "Model doesn't have KV-cache";

// The supplementary program that rearranges the cache: the first usable one.
int findRearrangement(const SupplementaryRecord& record) {
  const auto& programs = record.programs;
  const auto it =
      std::find_if(programs.begin(), programs.end(), [](const SupplementaryProgram& p) { return p.busy == 0; });
  return it == programs.end() ? -1 : static_cast<int>(it - programs.begin());
}

// Runs one cache operation: host blocks as large as the model's cache areas
// (or the caller's files) may not fit in memory.
template <typename F>
StatusCode guarded(const char* operation, F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Failed to {} cache memory - out of host memory.", operation);
    return StatusCode::BadAlloc;
  } catch (const std::exception& e) {
    KLOG_ERROR("Failed to {} cache memory - {}", operation, e.what());
    return StatusCode::InternalError;
  }
}

// A zeroed host block of one cache area.
std::vector<int8_t> areaBlock(uint64_t size) {
  platform::takeHostAllowanceOrThrow(size);
  return std::vector<int8_t>(size, 0);
}

// The caller's list holds one block of each cache area's size.
StatusCode checkCacheBuffers(const char* operation, const std::vector<CacheRecord>& records,
                             const std::vector<std::vector<int8_t>>& buffers) {
  if (buffers.size() != records.size()) {
    KLOG_ERROR("Failed to {} cache memory - The number of cache is mismatched (expected: {}, actual: {})", operation,
               records.size(), buffers.size());
    return StatusCode::Model_NumCacheMismatched;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    const CacheInfo& info = records[i].info;
    if (buffers[i].size() != info.size) {
      KLOG_ERROR("Failed to {} cache memory - {}(Index: {}): Wrong buffer size (expected: {}, actual: {})",
                 operation, info.name, i, info.size, buffers[i].size());
      return StatusCode::Model_BufferSizeMismatched;
    }
  }
  return StatusCode::OK;
}

}  // namespace

const zrb::Designation* ModelImpl::cachePlacement(size_t area, const char* operation) const {
  const CacheRecord& record = cacheRecords_[area];
  if (!record.rows.empty()) {
    for (const zrb::Designation& d : record.rows.front().designations)
      if (hasTargetCore(designationCore(d))) return &d;
  }
  KLOG_ERROR("Failed to {} cache memory - {}(Index: {}): no placement on the model's cores.", operation,
             record.info.name, area);
  return nullptr;
}

template <typename F>
StatusCode ModelImpl::withCache(const char* operation, F&& body) {
  return guarded(operation, [&] {
    if (cacheRecords_.empty()) {
      KLOG_ERROR(kNoCache);
      return StatusCode::Model_NoCache;
    }
    CallScope scope(*this);
    if (!scope) return StatusCode::Model_NotLaunched;
    return body();
  });
}

StatusCode ModelImpl::dumpArea(size_t area, void* host) {
  const zrb::Designation* placement = cachePlacement(area, "dump");
  if (placement == nullptr) return StatusCode::Model_NoCache;
  return accelerator_->dumpFromNPU(host, placement->address, 0, cacheRecords_[area].info.size);
}

StatusCode ModelImpl::loadArea(size_t area, const void* host) {
  const zrb::Designation* placement = cachePlacement(area, "load");
  if (placement == nullptr) return StatusCode::Model_NoCache;
  return accelerator_->loadToNPU(host, placement->address, 0, cacheRecords_[area].info.size);
}

std::vector<std::vector<int8_t>> ModelImpl::dumpCacheMemory(StatusCode& status) {
  std::vector<std::vector<int8_t>> buffers;
  status = dumpCacheMemory(buffers);
  return buffers;
}

StatusCode ModelImpl::dumpCacheMemory(std::vector<std::vector<int8_t>>& buffers) {
  TraceScope trace("dump cache memory");
  return withCache("dump", [&] {
    if (buffers.empty()) {
      for (const CacheRecord& record : cacheRecords_) buffers.push_back(areaBlock(record.info.size));
    }
    const StatusCode checked = checkCacheBuffers("dump", cacheRecords_, buffers);
    if (checked != StatusCode::OK) return checked;
    for (size_t i = 0; i < cacheRecords_.size(); ++i) {
      const StatusCode status = dumpArea(i, buffers[i].data());
      if (status != StatusCode::OK) return status;
    }
    return StatusCode::OK;
  });
}

StatusCode ModelImpl::dumpCacheMemory(const std::string& directory) {
  TraceScope trace("dump cache memory");
  return withCache("dump", [&] {
    std::error_code ec;
    if (!directory.empty()) std::filesystem::create_directory(directory, ec);
    if (directory.empty() || ec || !std::filesystem::is_directory(directory, ec)) {
      KLOG_ERROR("Failed to dump cache memory - cannot create the directory \"{}\": {}", directory,
                 ec ? ec.message() : std::string("not a directory"));
      return StatusCode::Model_FailedToFindDirectory;
    }
    for (size_t i = 0; i < cacheRecords_.size(); ++i) {
      const CacheInfo& info = cacheRecords_[i].info;
      std::vector<int8_t> block = areaBlock(info.size);
      const StatusCode status = dumpArea(i, block.data());
      if (status != StatusCode::OK) return status;
      // A file that cannot be written completely loses the area: say so.
      if (!utilkit::writeBinaryFile(cacheFilePath(directory, info.layer_hash), block.data(), block.size()))
        return StatusCode::Model_FailedToOpenCacheFile;
    }
    return StatusCode::OK;
  });
}

StatusCode ModelImpl::loadCacheMemory(const std::vector<std::vector<int8_t>>& buffers) {
  TraceScope trace("load cache memory");
  return withCache("load", [&] {
    const StatusCode checked = checkCacheBuffers("load", cacheRecords_, buffers);
    if (checked != StatusCode::OK) return checked;
    for (size_t i = 0; i < cacheRecords_.size(); ++i) {
      const StatusCode status = loadArea(i, buffers[i].data());
      if (status != StatusCode::OK) return status;
    }
    return StatusCode::OK;
  });
}

StatusCode ModelImpl::loadCacheMemory(const std::string& directory) {
  TraceScope trace("load cache memory");
  return withCache("load", [&] {
    std::error_code ec;
    if (directory.empty() || !std::filesystem::is_directory(directory, ec)) {
      KLOG_ERROR("{} is not directory.", directory);
      return StatusCode::Model_FailedToFindDirectory;
    }
    for (size_t i = 0; i < cacheRecords_.size(); ++i) {
      const CacheInfo& info = cacheRecords_[i].info;
      std::vector<uint8_t> bytes;
      if (!utilkit::readBinaryFile(cacheFilePath(directory, info.layer_hash), bytes))
        return StatusCode::Model_FailedToOpenCacheFile;
      if (bytes.size() != info.size) {
        KLOG_ERROR("Failed to load cache memory - {}: Wrong buffer size (expected: {}, actual: {})", info.name,
                   info.size, bytes.size());
        return StatusCode::Model_BufferSizeMismatched;
      }
      const StatusCode status = loadArea(i, bytes.data());
      if (status != StatusCode::OK) return status;
    }
    return StatusCode::OK;
  });
}

uint32_t ModelImpl::filterCacheTail(uint32_t cacheSize, int32_t tailSize, const std::vector<bool>& mask,
                                    StatusCode* status) {
  TraceScope trace("filter cache tail");
  StatusCode ignored = StatusCode::OK;
  StatusCode& sc = status ? *status : ignored;
  CallScope scope(*this);
  if (!scope) {
    sc = StatusCode::Model_NotLaunched;
    return cacheSize;
  }
  if (npuOpDescs_.size() > 1) {
    KLOG_ERROR("`filterCacheTail` is not available for a a model with CPU-offload.");
    sc = StatusCode::Model_InvalidSupplementary;
    return cacheSize;
  }
  const CacheRearrangement plan = planFilterCacheTail(cacheSize, tailSize, mask, npuOpDescs_[0].maxCacheSize());
  sc = plan.status;
  if (sc != StatusCode::OK) return cacheSize;
  sc = rearrange(0, plan.args);
  return sc == StatusCode::OK ? plan.newCacheSize : cacheSize;
}

uint32_t ModelImpl::moveCacheTail(uint32_t numHead, int32_t numTail, uint32_t cacheSize, StatusCode* status) {
  TraceScope trace("move cache tail");
  StatusCode ignored = StatusCode::OK;
  StatusCode& sc = status ? *status : ignored;
  CallScope scope(*this);
  if (!scope) {
    sc = StatusCode::Model_NotLaunched;
    return cacheSize;
  }
  if (npuOpDescs_.size() > 1) {
    KLOG_ERROR("`moveCacheTail` is not available for a a model with CPU-offload.");
    sc = StatusCode::Model_InvalidSupplementary;
    return cacheSize;
  }
  const NPUOpDesc& op = npuOpDescs_[0];
  const uint32_t granule = op.inputs().empty() ? 0 : op.inputs()[0].channelGranule;
  const CacheRearrangement plan = planMoveCacheTail(numHead, numTail, cacheSize, op.maxCacheSize(), granule);
  sc = plan.status;
  if (sc != StatusCode::OK || !plan.run) return cacheSize;
  sc = rearrange(0, plan.args);
  return sc == StatusCode::OK ? plan.newCacheSize : cacheSize;
}

void ModelImpl::resetCacheMemory() {
  TraceScope trace("reset cache memory");
  CallScope scope(*this);
  if (!scope) {
    KLOG_ERROR("Failed to reset cache memory - the model is not launched.");
    return;
  }
  // Each operation's failure has been logged where it happened.
  for (size_t i = 0; i < npuOpDescs_.size(); ++i) {
    if (findRearrangement(supplementaries_[i]) >= 0)
      rearrange(static_cast<int>(i), resetArguments(npuOpDescs_[i].maxCacheSize()));
    else
      accelerator_->resetCacheMemory(this, i);
  }
}

StatusCode ModelImpl::rearrangeCacheMemory(int npuOpIdx, const RearrangeArgs& args) {
  CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  return rearrange(npuOpIdx, args);
}

StatusCode ModelImpl::rearrange(int npuOpIdx, const RearrangeArgs& args) {
  const int entry = npuOpIdx >= 0 && static_cast<size_t>(npuOpIdx) < supplementaries_.size()
                        ? findRearrangement(supplementaries_[static_cast<size_t>(npuOpIdx)])
                        : -1;
  if (entry < 0) {
    KLOG_ERROR("Failed to rearrange cache memory - bundle_{} doesn't support cache rearrangement", npuOpIdx);
    return StatusCode::Model_InvalidSupplementary;
  }
  return runSupplementary(npuOpIdx, entry, std::vector<uint32_t>(args.begin(), args.end()));
}

StatusCode ModelImpl::runSupplementaryInfer(int npuOpIdx, int supplementaryIdx, const std::vector<uint32_t>& rmemArgs) {
  CallScope scope(*this);
  if (!scope) return StatusCode::Model_NotLaunched;
  return runSupplementary(npuOpIdx, supplementaryIdx, rmemArgs);
}

StatusCode ModelImpl::runSupplementary(int npuOpIdx, int supplementaryIdx, const std::vector<uint32_t>& rmemArgs) {
  if (npuOpIdx < 0 || static_cast<size_t>(npuOpIdx) >= supplementaries_.size() || supplementaryIdx < 0 ||
      static_cast<size_t>(supplementaryIdx) >= supplementaries_[static_cast<size_t>(npuOpIdx)].programs.size()) {
    KLOG_ERROR("Failed to run supplementary infer - invalid `npu_op_idx` ({}) or `supplementary_idx` ({})", npuOpIdx,
               supplementaryIdx);
    return StatusCode::Model_InvalidSupplementary;
  }
  const SupplementaryProgram& program =
      supplementaries_[static_cast<size_t>(npuOpIdx)].programs[static_cast<size_t>(supplementaryIdx)];
  if (rmemArgs.size() != program.rmemTypes.size()) {
    KLOG_ERROR("Failed to run supplementary infer - The size of `rmem_args` ({}) does not match the desired size ({}).",
               rmemArgs.size(), program.rmemTypes.size());
    return StatusCode::Model_InvalidSupplementary;
  }
  NPUTask task;
  task.npuOpIndex = npuOpIdx;
  task.itemCount = 1;
  task.coreMode = config_.getCoreMode();
  task.cores = targetCores_;
  task.supplementary = 1;
  task.supplementaryIndex = supplementaryIdx;
  task.supplementaryRmemValues = rmemArgs;
  std::future<bool> done = task.result.get_future();
  if (!taskQueue_->push(std::move(task))) return StatusCode::Model_NotLaunched;
  // Bounded by the engine's watchdog; a dropped task reports false.
  return awaitTask(done) ? StatusCode::OK : StatusCode::Model_NotAlive;
}

}  // namespace kestrane
