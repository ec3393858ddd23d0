// libFuzzer target: a model file is created as a model, launched on the
// simulated card and given one request of its description's input shapes
// (a dimension -k as k), float data of ones. Whatever the file holds, each
// step must answer with a status and stay inside its memory.

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
#include "simcard/card_registry.h"

namespace {

using namespace kestrane;

// Requests larger than this many elements per input are not made: the
// data alone would dominate the run.
constexpr int64_t kMaxRequestElements = int64_t{1} << 22;

Accelerator* accelerator() {
  static const std::unique_ptr<Accelerator> acc = [] {
    simcard::detachAllCards();
    simcard::attachCard(0, {});
    // A program that never ends is stopped quickly: the watchdog's rule is
    // tested elsewhere.
    seams::setWatchdogTimes({100000000ull, 500000000ull, 500000000ull});
    StatusCode status = StatusCode::OK;
    return Accelerator::create(0, status);
  }();
  return acc.get();
}

// The request's shape of one described input, or empty when it has none
// that can be made.
std::vector<int64_t> requestShape(const std::vector<int64_t>& described) {
  if (described.size() != 3) return {};
  std::vector<int64_t> shape;
  int64_t elements = 1;
  for (int64_t d : described) {
    if (d == 0 || d == INT64_MIN) return {};
    const int64_t n = d < 0 ? -d : d;
    if (n > kMaxRequestElements / elements) return {};
    elements *= n;
    shape.push_back(n);
  }
  return shape;
}

void runOnce(Model& model) {
  std::vector<NDArray<float>> inputs;
  for (const std::vector<int64_t>& described : model.getModelInputShape()) {
    const std::vector<int64_t> shape = requestShape(described);
    if (shape.empty()) return;
    const int64_t n = shape[0] * shape[1] * shape[2];
    NDArray<float> array;
    StatusCode status = StatusCode::OK;
    array.data = internal::NDArrayData(n * static_cast<int64_t>(sizeof(float)), status);
    if (status != StatusCode::OK) return;
    std::fill(array.ptr(), array.ptr() + n, 1.0f);
    array.num_elements = n;
    array.shape = shape;
    inputs.push_back(std::move(array));
  }
  std::vector<NDArray<float>> outputs;
  model.infer(inputs, outputs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("kestrane_fuzz_run_" + std::to_string(getpid()) + ".zrb")).string();
  kestrane::fuzz::quietLogs();
  Accelerator* acc = accelerator();
  if (acc == nullptr) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  kestrane::fuzz::fixChecksum(bytes);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  ModelConfig config;
  config.setSingleCoreMode(std::vector<CoreId>{{Cluster::Cluster0, Core::Core0}});
  StatusCode status = StatusCode::OK;
  std::unique_ptr<Model> model = Model::create(path, config, status);
  if (!model || model->launch(*acc) != StatusCode::OK) return 0;
  runOnce(*model);
  return 0;
}
