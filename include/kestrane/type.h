#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kestrane/export.h"
#include "kestrane/status.h"

namespace kestrane {

enum class Cluster : int32_t { Cluster0 = 0x10000, Cluster1 = 0x20000, Error = 0x7FFF0000 };

// All stands for every core of a cluster in configuration calls and is never
// stored in a CoreId list; GlobalCore is the per-cluster global core.
enum class Core : int32_t {
  Core0 = 1,
  Core1 = 2,
  Core2 = 3,
  Core3 = 4,
  All = 0xFFFC,
  GlobalCore = 0xFFFE,
  Error = 0xFFFF,
};

enum class CoreMode : uint8_t { Single = 0, Multi = 1, Global = 2, Global4 = 3, Global8 = 4, Error = 15 };
enum class CoreAllocationPolicy : int32_t { Auto = 0, Manual = 1 };
enum class SchedulePolicy : int32_t { FIFO = 0, LIFO = 1, ByPriority = 2, Undefined = 3 };
enum class LatencySetPolicy : int32_t { Auto = 0, Manual = 1 };
enum class MaintenancePolicy : int32_t { Maintain = 0, DropExpired = 1, Undefined = 2 };
enum class InferenceResult : int32_t { Successful = 0, Expired = 1, Unexpected = 2 };
enum class CollaborationModel : int32_t { Unified = 0, Separated = 1, Undefined = 2 };
enum class CoreStatus : int32_t { Vacant = 0, Ready = 1, Idle = 2, Running = 3 };
enum class CacheType : uint8_t { Default = 0, Batch = 1, Error = 15 };
enum class LogLevel : int8_t { DEBUG = 1, INFO = 2, WARN = 3, ERR = 4, FATAL = 5, OFF = 6 };

struct CoreId {
  Cluster cluster = Cluster::Error;
  Core core = Core::Error;

  friend bool operator==(const CoreId& a, const CoreId& b) {
    return a.cluster == b.cluster && a.core == b.core;
  }
  friend bool operator!=(const CoreId& a, const CoreId& b) { return !(a == b); }
  // Cluster first, then core, both as signed 32-bit values.
  friend bool operator<(const CoreId& a, const CoreId& b) {
    return std::pair(static_cast<int32_t>(a.cluster), static_cast<int32_t>(a.core)) <
           std::pair(static_cast<int32_t>(b.cluster), static_cast<int32_t>(b.core));
  }
};

struct Scale {
  std::vector<float> scale_list;
  float scale = 0.0f;
  bool is_uniform = false;

  // Unchecked, like a plain array access; callers keep i inside scale_list
  // unless the scale is uniform.
  float operator[](int32_t i) const { return is_uniform ? scale : scale_list[static_cast<size_t>(i)]; }
};

struct BufferInfo {
  uint32_t original_height = 0;
  uint32_t original_width = 0;
  uint32_t original_channel = 0;
  uint32_t reshaped_height = 0;
  uint32_t reshaped_width = 0;
  uint32_t reshaped_channel = 0;
  uint32_t height = 0;
  uint32_t width = 0;
  uint32_t channel = 0;
  uint32_t max_height = 0;
  uint32_t max_width = 0;
  uint32_t max_channel = 0;
  uint32_t max_cache_size = 0;

  // 64-bit products: a wrapped 32-bit size would undersize buffers.
  uint64_t original_size() const {
    return uint64_t{original_height} * original_width * original_channel;
  }
  uint64_t reshaped_size() const {
    return uint64_t{reshaped_height} * reshaped_width * reshaped_channel;
  }
  uint64_t size() const { return uint64_t{height} * width * channel; }
};

// A host memory block in NPU layout; a memory pool knows a buffer by its
// data pointer alone.
struct Buffer {
  void* data = nullptr;
  uint64_t size = 0;
};

// 16 lower-case hex digits of the 64-bit FNV-1a hash of `name`.
KESTRANE_API std::string layerHash(const std::string& name);

struct CacheInfo {
  CacheType cache_type = CacheType::Error;
  std::string name;
  std::string layer_hash;
  uint64_t size = 0;
  uint64_t num_batches = 0;
};

namespace internal {

// Storage of an NDArray: owned through a shared pointer with a deleter, or
// borrowed from the caller (empty owner).
class KESTRANE_API NDArrayData {
 public:
  NDArrayData() = default;
  explicit NDArrayData(std::shared_ptr<void> owner);
  explicit NDArrayData(void* borrowed);
  // Allocates `bytes` with malloc; status BadAlloc (and no storage) when the
  // allocation fails or the size is negative.
  NDArrayData(int64_t bytes, StatusCode& status);

  NDArrayData(const NDArrayData& other);
  NDArrayData& operator=(const NDArrayData& other);
  NDArrayData(NDArrayData&& other) noexcept;
  NDArrayData& operator=(NDArrayData&& other) noexcept;
  ~NDArrayData();

  void* data() const { return data_; }

 private:
  std::shared_ptr<void> owner_;
  void* data_ = nullptr;
};

}  // namespace internal

// The unit of data crossing the public API; copies share the storage.
template <typename T>
struct NDArray {
  int64_t num_elements = 0;
  internal::NDArrayData data;
  std::vector<int64_t> shape;

  T* ptr() const { return static_cast<T*>(data.data()); }
};

}  // namespace kestrane
