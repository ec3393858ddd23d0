// libFuzzer target: a model file is created as a model, launched on the
// simulated card and given requests. Input: seven bytes of choices, then
// the file. The choices pick
//   0: the path (low three bits): float arrays, int8 arrays, buffers of the
//      model, buffers of a variant handle, the asynchronous pipeline, or the
//      cache operations of a sequence model; 0x08 CHW (for the cache path:
//      the cache files of a folder as well); 0x10 int8 results as floats;
//      the top three bits a batch of 1 to 8;
//   1: the cores (low three bits: one core, two cores, multi-core over one
//      cluster or both, global4, global8) and a forced bundle (top four
//      bits, 0 for none);
//   2: the variant whose input shapes the requests take;
//   3: the length taken for a dimension -k (1 to k);
//   4: the cache size of the requests;
//   5, 6: the tail (0 to 32) of the cache operations and the head it is
//      moved behind.
// The requests' data are the file's bytes in turn. Whatever the file holds,
// each step must answer with a status and stay inside its memory. The host
// memory one input may take is bounded: a file whose costs only the card
// bounds is then refused as out of memory, not a crash of the target.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/test_seams.h"
#include "fuzz_support.h"
#include "kestrane/acc.h"
#include "kestrane/model.h"
#include "platform/host_allowance.h"
#include "simcard/card_registry.h"

namespace {

using namespace kestrane;
using kestrane::fuzz::Cursor;
using Shapes = std::vector<std::vector<int64_t>>;

// Elements of all inputs of one request together: the data alone would
// otherwise dominate the run.
constexpr int64_t kMaxRequestElements = int64_t{1} << 22;
// Host memory of one input: the ASan cap of a single block (256 MiB), well
// within the 2 GiB that scripts/fuzz gives the process.
constexpr uint64_t kHostAllowance = uint64_t{256} << 20;
constexpr size_t kChoices = 7;

enum class Path { FloatArrays, Int8Arrays, ModelBuffers, VariantBuffers, Async, Cache };

struct Choices {
  Path path = Path::FloatArrays;
  bool chw = false;
  bool toFloat = false;
  int batch = 1;
  uint8_t cores = 0;
  int forcedBundle = -1;
  uint8_t variant = 0;
  uint8_t length = 0;
  uint32_t cacheSize = 0;
  int tail = 0;
  int head = 0;
};

Choices readChoices(Cursor& c) {
  Choices k;
  const uint8_t path = c.next();
  k.path = static_cast<Path>((path & 7) % 6);
  k.chw = (path & 0x08) != 0;
  k.toFloat = (path & 0x10) != 0;
  k.batch = 1 + (path >> 5);
  const uint8_t cores = c.next();
  k.cores = cores & 7;
  k.forcedBundle = (cores >> 4) - 1;
  k.variant = c.next();
  k.length = c.next();
  k.cacheSize = c.next();
  k.tail = c.next() % 33;
  k.head = c.next();
  return k;
}

ModelConfig configOf(const Choices& k) {
  ModelConfig config;
  const CoreId first{Cluster::Cluster0, Core::Core0};
  switch (k.cores % 6) {
    case 0: config.setSingleCoreMode(std::vector<CoreId>{first}); break;
    case 1: config.setSingleCoreMode(std::vector<CoreId>{first, {Cluster::Cluster1, Core::Core1}}); break;
    case 2: config.setMultiCoreMode({Cluster::Cluster0}); break;
    case 3: config.setMultiCoreMode({Cluster::Cluster0, Cluster::Cluster1}); break;
    case 4: config.setGlobal4CoreMode({Cluster::Cluster0}); break;
    default: config.setGlobal8CoreMode(); break;
  }
  config.forceSingleNPUBundle(k.forcedBundle);
  config.setAsyncPipelineEnabled(k.path == Path::Async);
  return config;
}

// A new card for each input, so that what one input leaves in device memory
// neither changes the next nor adds up. It goes with the input: its threads
// end before the leak check that follows an input.
std::unique_ptr<Accelerator> freshAccelerator() {
  // A program that never ends is stopped quickly (eight requests in a row
  // stay well within the 3 s an input may take): the watchdog's rule is
  // tested elsewhere.
  static const bool once = (seams::setWatchdogTimes({50000000ull, 200000000ull, 200000000ull}), true);
  (void)once;
  simcard::attachCard(0, {});
  StatusCode status = StatusCode::OK;
  return Accelerator::create(0, status);
}

// The request shapes of described input shapes (a dimension -k as a length
// of 1 to k, a batch in front of items of three dimensions or in place of a
// leading 1 of four, the last three dimensions in CHW order when asked);
// fewer than described when a shape cannot be made or the request would be
// too large.
Shapes requestShapes(const Shapes& described, uint8_t length, int batch, bool chw) {
  Shapes shapes;
  int64_t total = 0;
  for (const std::vector<int64_t>& d : described) {
    std::vector<int64_t> shape;
    for (int64_t n : d) {
      if (n == INT64_MIN) return {};
      shape.push_back(n < 0 ? 1 + length % -n : n);
    }
    if (batch > 1 && shape.size() == 3) shape.insert(shape.begin(), batch);
    if (batch > 1 && shape.size() == 4 && shape[0] == 1) shape[0] = batch;
    if (chw && shape.size() >= 3) std::rotate(shape.end() - 3, shape.end() - 1, shape.end());
    int64_t elements = 1;
    bool empty = false;
    for (int64_t n : shape) {
      if (n == 0) {
        empty = true;
      } else {
        if (elements > kMaxRequestElements / n) return {};
        elements *= n;
      }
    }
    total += empty ? 0 : elements;
    if (total > kMaxRequestElements) return {};
    shapes.push_back(std::move(shape));
  }
  return shapes;
}

int64_t elementsOf(const std::vector<int64_t>& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

template <typename T>
std::vector<NDArray<T>> arrays(const Shapes& shapes, Cursor& data) {
  std::vector<NDArray<T>> list;
  for (const std::vector<int64_t>& shape : shapes) {
    NDArray<T> array;
    const int64_t n = elementsOf(shape);
    StatusCode status = StatusCode::OK;
    array.data = internal::NDArrayData(n * static_cast<int64_t>(sizeof(T)), status);
    if (status != StatusCode::OK) return {};
    data.fill(array.ptr(), static_cast<size_t>(n) * sizeof(T));
    array.num_elements = n;
    array.shape = shape;
    list.push_back(std::move(array));
  }
  return list;
}

// Host items of the given buffer infos for reposition calls: `items` items
// each, or nothing when they would be too large.
std::vector<std::vector<float>> hostItems(const std::vector<BufferInfo>& infos, int items, Cursor& data) {
  std::vector<std::vector<float>> lists;
  uint64_t elements = 0;
  for (const BufferInfo& info : infos) {
    const uint64_t item = info.original_size();
    if (item > static_cast<uint64_t>(kMaxRequestElements)) return {};
    elements += item * static_cast<uint64_t>(items);
    if (elements > static_cast<uint64_t>(kMaxRequestElements)) return {};
    lists.emplace_back(info.original_size() * static_cast<uint64_t>(items));
    data.fill(lists.back().data(), lists.back().size() * sizeof(float));
  }
  return lists;
}

std::vector<float*> pointers(std::vector<std::vector<float>>& lists) {
  std::vector<float*> list;
  for (auto& l : lists) list.push_back(l.data());
  return list;
}

void arrayRequest(Model& model, const Shapes& shapes, const Choices& k, Cursor& data) {
  StatusCode sc = StatusCode::OK;
  if (k.path == Path::FloatArrays) {
    const auto in = arrays<float>(shapes, data);
    if (k.chw) model.inferCHW(in, k.cacheSize, sc);
    else model.infer(in, k.cacheSize, sc);
  } else if (k.toFloat) {
    const auto in = arrays<int8_t>(shapes, data);
    if (k.chw) model.inferCHWToFloat(in, k.cacheSize, sc);
    else model.inferToFloat(in, k.cacheSize, sc);
  } else {
    const auto in = arrays<int8_t>(shapes, data);
    if (k.chw) model.inferCHW(in, k.cacheSize, sc);
    else model.infer(in, k.cacheSize, sc);
  }
}

// One item through buffers of the model: acquired, filled from host data,
// run and read back.
void modelBufferRequest(Model& model, const Shapes& shapes, const Choices& k, Cursor& data) {
  std::vector<std::vector<float>> host = hostItems(model.getInputBufferInfo(), 1, data);
  std::vector<Buffer> ins = model.acquireInputBuffer(), outs = model.acquireOutputBuffer();
  model.repositionInputs(pointers(host), ins);
  if (k.toFloat) {
    std::vector<NDArray<float>> results;
    model.inferBufferToFloat(ins, results, shapes, k.cacheSize);
  } else if (model.inferBuffer(ins, outs, shapes, k.cacheSize) == StatusCode::OK) {
    std::vector<std::vector<float>> results;
    model.repositionOutputs(outs, results);
  }
  model.releaseBuffer(ins);
  model.releaseBuffer(outs);
}

// A batch through buffers of one variant's handle.
void variantBufferRequest(Model& model, ModelVariantHandle& handle, const Shapes& shapes, const Choices& k,
                          Cursor& data) {
  std::vector<std::vector<float>> host = hostItems(handle.getInputBufferInfo(), k.batch, data);
  std::vector<std::vector<Buffer>> ins = handle.acquireInputBuffers(k.batch),
                                   outs = handle.acquireOutputBuffers(k.batch);
  handle.repositionInputs(pointers(host), ins);
  if (k.toFloat) {
    std::vector<std::vector<float>> results;
    model.inferBufferToFloat(ins, results, shapes, k.cacheSize);
  } else if (model.inferBuffer(ins, outs, shapes, k.cacheSize) == StatusCode::OK) {
    std::vector<std::vector<float>> results;
    handle.repositionOutputs(outs, results);
  }
  handle.releaseBuffers(ins);
  handle.releaseBuffers(outs);
}

template <typename T>
void collect(std::vector<Future<T>>& futures) {
  for (Future<T>& f : futures) {
    StatusCode sc = StatusCode::OK;
    f.get(sc);
  }
}

// `batch` requests in flight at once, one item each.
void asyncRequests(Model& model, const Shapes& shapes, const Choices& k, Cursor& data) {
  StatusCode sc = StatusCode::OK;
  if (k.toFloat) {
    std::vector<Future<float>> futures;
    for (int i = 0; i < k.batch; ++i) {
      const auto in = arrays<int8_t>(shapes, data);
      futures.push_back(k.chw ? model.inferAsyncCHWToFloat(in, sc) : model.inferAsyncToFloat(in, sc));
    }
    collect(futures);
  } else if (k.chw) {
    std::vector<Future<int8_t>> futures;
    for (int i = 0; i < k.batch; ++i) futures.push_back(model.inferAsyncCHW(arrays<int8_t>(shapes, data), sc));
    collect(futures);
  } else {
    std::vector<Future<float>> futures;
    for (int i = 0; i < k.batch; ++i) futures.push_back(model.inferAsync(arrays<float>(shapes, data), sc));
    collect(futures);
  }
}

// A request that fills the cache, then every cache operation on it.
void cacheOperations(Model& model, const Shapes& shapes, const Choices& k, Cursor& data) {
  StatusCode sc = StatusCode::OK;
  model.infer(arrays<float>(shapes, data), k.cacheSize, sc);
  std::vector<std::vector<int8_t>> dumped = model.dumpCacheMemory(sc);
  if (sc == StatusCode::OK) model.loadCacheMemory(dumped);
  std::vector<bool> mask;
  for (int i = 0; i < k.tail; ++i) mask.push_back((data.next() & 1) != 0);
  const int size = model.filterCacheTail(static_cast<int>(k.cacheSize), k.tail, mask, sc);
  model.moveCacheTail(k.head, k.tail, size, sc);
  if (k.chw) {
    static const std::string folder =
        (std::filesystem::temp_directory_path() / ("kestrane_fuzz_cache_" + std::to_string(getpid()))).string();
    if (model.dumpCacheMemory(folder) == StatusCode::OK) model.loadCacheMemory(folder);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  model.resetCacheMemory();
}

void run(Model& model, const Choices& k, Cursor& data) {
  const int variants = model.getNumModelVariants();
  if (variants <= 0) return;
  StatusCode sc = StatusCode::OK;
  const std::unique_ptr<ModelVariantHandle> handle = model.getModelVariantHandle(k.variant % variants, sc);
  if (!handle) return;
  // Only array requests carry a batch in their shapes; buffers and
  // asynchronous requests take one item per shape. Buffer shapes are HWC.
  const Shapes& described = handle->getModelInputShape();
  const bool arrays = k.path == Path::FloatArrays || k.path == Path::Int8Arrays;
  const bool hwc = k.path == Path::ModelBuffers || k.path == Path::VariantBuffers || k.path == Path::Cache;
  const Shapes shapes = requestShapes(described, k.length, arrays ? k.batch : 1, k.chw && !hwc);
  if (shapes.size() != described.size()) return;
  switch (k.path) {
    case Path::FloatArrays:
    case Path::Int8Arrays: arrayRequest(model, shapes, k, data); break;
    case Path::ModelBuffers: modelBufferRequest(model, shapes, k, data); break;
    case Path::VariantBuffers: variantBufferRequest(model, *handle, shapes, k, data); break;
    case Path::Async: asyncRequests(model, shapes, k, data); break;
    case Path::Cache: cacheOperations(model, shapes, k, data); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("kestrane_fuzz_run_" + std::to_string(getpid()) + ".zrb")).string();
  kestrane::fuzz::quietLogs();
  if (size < kChoices) return 0;
  Cursor input(data, size);
  const Choices choices = readChoices(input);
  Cursor file = input.rest();
  std::vector<uint8_t> bytes(data + kChoices, data + size);
  kestrane::fuzz::fixChecksum(bytes);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::unique_ptr<Accelerator> acc = freshAccelerator();
  if (!acc) {
    simcard::detachCard(0);
    return 0;
  }
  platform::setHostAllowance(kHostAllowance);
  StatusCode status = StatusCode::OK;
  std::unique_ptr<Model> model = Model::create(path, configOf(choices), status);
  if (model && model->launch(*acc) == StatusCode::OK) run(*model, choices, file);
  model.reset();
  acc.reset();
  simcard::detachCard(0);
  platform::setHostAllowance(std::nullopt);
  return 0;
}
