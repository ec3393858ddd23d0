#include "kestrane/type.h"

#include <cstdlib>

#include <fmt/format.h>

#include "platform/host_allowance.h"

namespace kestrane {

std::string layerHash(const std::string& name) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : name) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return fmt::format("{:016x}", hash);
}

namespace internal {

NDArrayData::NDArrayData(std::shared_ptr<void> owner) : owner_(std::move(owner)), data_(owner_.get()) {}

NDArrayData::NDArrayData(void* borrowed) : data_(borrowed) {}

NDArrayData::NDArrayData(int64_t bytes, StatusCode& status) {
  status = StatusCode::BadAlloc;
  if (bytes < 0 || !platform::takeHostAllowance(static_cast<uint64_t>(bytes))) return;
  void* p = std::malloc(static_cast<size_t>(bytes));
  if (p == nullptr) return;
  owner_ = std::shared_ptr<void>(p, std::free);
  data_ = p;
  status = StatusCode::OK;
}

NDArrayData::NDArrayData(const NDArrayData& other) = default;

NDArrayData& NDArrayData::operator=(const NDArrayData& other) {
  if (this != &other) {
    owner_ = other.owner_;
    data_ = other.data_;
  }
  return *this;
}

// The source is left empty: a kept data pointer would dangle once the new
// owner lets the memory go.
NDArrayData::NDArrayData(NDArrayData&& other) noexcept
    : owner_(std::move(other.owner_)), data_(std::exchange(other.data_, nullptr)) {}

NDArrayData& NDArrayData::operator=(NDArrayData&& other) noexcept {
  if (this != &other) {
    owner_ = std::move(other.owner_);
    data_ = std::exchange(other.data_, nullptr);
  }
  return *this;
}

NDArrayData::~NDArrayData() = default;

}  // namespace internal
}  // namespace kestrane
