// The public Model's asynchronous inference and cache memory operations.

#include "core/guarded_call.h"
#include "kestrane/model.h"
#include "model/model_impl.h"

namespace kestrane {

namespace {

// The request's future, its status in `sc`.
template <typename T, typename F>
Future<T> guardedFuture(const char* name, StatusCode& sc, F&& request) {
  Future<T> future;
  sc = guardedCall(name, [&] {
    StatusCode status = StatusCode::InternalError;
    future = request(status);
    return status;
  });
  return future;
}

// The operation's result, its status in `sc`; `failed` when it threw.
template <typename F>
int guardedCount(const char* name, StatusCode& sc, int failed, F&& operation) {
  int result = failed;
  sc = guardedCall(name, [&] {
    StatusCode status = StatusCode::InternalError;
    result = operation(status);
    return status;
  });
  return result;
}

}  // namespace

Future<float> Model::inferAsync(const std::vector<NDArray<float>>& inputs, StatusCode& sc) {
  return guardedFuture<float>("Model::inferAsync", sc,
                              [&](StatusCode& status) { return impl_->inferAsync(inputs, MemoryFormat::HWC, status); });
}
Future<int8_t> Model::inferAsync(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc) {
  return guardedFuture<int8_t>("Model::inferAsync", sc, [&](StatusCode& status) {
    return impl_->inferAsync(inputs, MemoryFormat::HWC, status);
  });
}
Future<float> Model::inferAsyncCHW(const std::vector<NDArray<float>>& inputs, StatusCode& sc) {
  return guardedFuture<float>("Model::inferAsyncCHW", sc,
                              [&](StatusCode& status) { return impl_->inferAsync(inputs, MemoryFormat::CHW, status); });
}
Future<int8_t> Model::inferAsyncCHW(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc) {
  return guardedFuture<int8_t>("Model::inferAsyncCHW", sc, [&](StatusCode& status) {
    return impl_->inferAsync(inputs, MemoryFormat::CHW, status);
  });
}
Future<float> Model::inferAsyncToFloat(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc) {
  return guardedFuture<float>("Model::inferAsyncToFloat", sc, [&](StatusCode& status) {
    return impl_->inferAsyncToFloat(inputs, MemoryFormat::HWC, status);
  });
}
Future<float> Model::inferAsyncCHWToFloat(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc) {
  return guardedFuture<float>("Model::inferAsyncCHWToFloat", sc, [&](StatusCode& status) {
    return impl_->inferAsyncToFloat(inputs, MemoryFormat::CHW, status);
  });
}

std::vector<std::vector<int8_t>> Model::dumpCacheMemory(StatusCode& sc) {
  std::vector<std::vector<int8_t>> areas;
  sc = guardedCall("Model::dumpCacheMemory", [&] { return impl_->dumpCacheMemory(areas); });
  return areas;
}
StatusCode Model::dumpCacheMemory(std::vector<std::vector<int8_t>>& out) {
  return guardedCall("Model::dumpCacheMemory", [&] { return impl_->dumpCacheMemory(out); });
}
StatusCode Model::dumpCacheMemory(const std::string& directory) {
  return guardedCall("Model::dumpCacheMemory", [&] { return impl_->dumpCacheMemory(directory); });
}
StatusCode Model::loadCacheMemory(const std::vector<std::vector<int8_t>>& buffers) {
  return guardedCall("Model::loadCacheMemory", [&] { return impl_->loadCacheMemory(buffers); });
}
StatusCode Model::loadCacheMemory(const std::string& directory) {
  return guardedCall("Model::loadCacheMemory", [&] { return impl_->loadCacheMemory(directory); });
}

int Model::filterCacheTail(int cache_size, int tail_size, const std::vector<bool>& mask, StatusCode& sc) {
  return guardedCount("Model::filterCacheTail", sc, cache_size, [&](StatusCode& status) {
    return static_cast<int>(impl_->filterCacheTail(static_cast<uint32_t>(cache_size), tail_size, mask, &status));
  });
}
int Model::moveCacheTail(int num_head, int num_tail, int cache_size, StatusCode& sc) {
  return guardedCount("Model::moveCacheTail", sc, cache_size, [&](StatusCode& status) {
    return static_cast<int>(
        impl_->moveCacheTail(static_cast<uint32_t>(num_head), num_tail, static_cast<uint32_t>(cache_size), &status));
  });
}
void Model::resetCacheMemory() { impl_->resetCacheMemory(); }

}  // namespace kestrane
