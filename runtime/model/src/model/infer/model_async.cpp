// The public Model's asynchronous inference and cache memory operations.

#include "kestrane/model.h"
#include "model/model_impl.h"

namespace kestrane {

Future<float> Model::inferAsync(const std::vector<NDArray<float>>& inputs, StatusCode& sc) {
  return impl_->inferAsync(inputs, MemoryFormat::HWC, sc);
}
Future<int8_t> Model::inferAsync(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc) {
  return impl_->inferAsync(inputs, MemoryFormat::HWC, sc);
}
Future<float> Model::inferAsyncCHW(const std::vector<NDArray<float>>& inputs, StatusCode& sc) {
  return impl_->inferAsync(inputs, MemoryFormat::CHW, sc);
}
Future<int8_t> Model::inferAsyncCHW(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc) {
  return impl_->inferAsync(inputs, MemoryFormat::CHW, sc);
}
Future<float> Model::inferAsyncToFloat(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc) {
  return impl_->inferAsyncToFloat(inputs, MemoryFormat::HWC, sc);
}
Future<float> Model::inferAsyncCHWToFloat(const std::vector<NDArray<int8_t>>& inputs, StatusCode& sc) {
  return impl_->inferAsyncToFloat(inputs, MemoryFormat::CHW, sc);
}

std::vector<std::vector<int8_t>> Model::dumpCacheMemory(StatusCode& sc) { return impl_->dumpCacheMemory(sc); }
StatusCode Model::dumpCacheMemory(std::vector<std::vector<int8_t>>& out) { return impl_->dumpCacheMemory(out); }
StatusCode Model::dumpCacheMemory(const std::string& directory) { return impl_->dumpCacheMemory(directory); }
StatusCode Model::loadCacheMemory(const std::vector<std::vector<int8_t>>& buffers) {
  return impl_->loadCacheMemory(buffers);
}
StatusCode Model::loadCacheMemory(const std::string& directory) { return impl_->loadCacheMemory(directory); }

int Model::filterCacheTail(int cache_size, int tail_size, const std::vector<bool>& mask, StatusCode& sc) {
  return static_cast<int>(impl_->filterCacheTail(static_cast<uint32_t>(cache_size), tail_size, mask, &sc));
}
int Model::moveCacheTail(int num_head, int num_tail, int cache_size, StatusCode& sc) {
  return static_cast<int>(
      impl_->moveCacheTail(static_cast<uint32_t>(num_head), num_tail, static_cast<uint32_t>(cache_size), &sc));
}
void Model::resetCacheMemory() { impl_->resetCacheMemory(); }

}  // namespace kestrane
