// Model creation from files that stress it, with the figures that bound it:
//
//   Format4/k: a format-4 file of k x 4000 inputs and outputs, each input
//   opening a sequence length, and k x 20000 RmemIds linked to every length
//   (the shape of file whose lists the reader shares). k = 1 is about a
//   megabyte; time per byte of file should stay flat from k = 1 to k = 4
//   (creation near linear in the file).
//
//   HugeOriginalShape: a file of about one kilobyte whose input claims an
//   original shape of 1 x 1 x 268435456 elements in an NPU area of 16. Its
//   creation is refused; the peak of heap memory it took must stay under
//   64 MiB (the check fails the benchmark otherwise).
//
//   RepeatedLayerCreate/n: a model description whose layer order names one
//   host layer n times (n = 50000 is about 0.4 MB). Creation refuses it;
//   its time and heap peak per byte of file stay small and flat.
//
//   VariantsOverRecordsCreate/n: n model variants over one bundle of n
//   inputs, each variant an NPU layer without inputs (n = 500 is about
//   150 kB). Creation refuses it before it builds record tables per variant;
//   the heap peak per byte stays flat (the time is mostly one temporary file
//   per variant).
//
//   HostChainCreate/n, HostChainSummary/n: a valid chain of n host layers
//   after one NPU layer (n = 10000 is about a megabyte), created and
//   summarised. Time and heap peak per byte of file should stay flat from
//   n = 10000 to n = 40000.
//
//   These rows print ns_per_byte and heap_per_byte; the larger size also
//   prints ns_ratio and heap_ratio, its figures over the smaller size's
//   (near 1 is linear in the file).
//
// Heap use is counted by this program's own operator new and delete.

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "kestrane/log.h"
#include "kestrane/summary.h"
#include "model/model_impl.h"
#include "support/zrb_json.h"
#include "support/zrb_test_file.h"
#include "support/zrb_writer.h"

#include "benchmark_usage.h"

namespace {

std::atomic<int64_t> liveBytes{0};
std::atomic<int64_t> peakBytes{0};

void* counted(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  const auto now = liveBytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p))) +
                   static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
  return p;
}

// operator delete below hands malloc's blocks back to free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void uncounted(void* p) {
  if (p == nullptr) return;
  liveBytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
  std::free(p);
}

}  // namespace

void* operator new(size_t n) { return counted(std::malloc(n == 0 ? 1 : n)); }
void* operator new[](size_t n) { return counted(std::malloc(n == 0 ? 1 : n)); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, size_t) noexcept { uncounted(p); }
void operator delete[](void* p, size_t) noexcept { uncounted(p); }

namespace {

using nlohmann::json;
using namespace kestrane;
namespace zrbw = kestrane::test::zrbw;

json ioEntry(const std::string& name, std::vector<uint32_t> seq, uint32_t address) {
  return {{"name", name},     {"original", {1, 1, 16}}, {"io_type", 5},   {"kind", 0}, {"word2_nibble", 2},
          {"seq_lengths", seq}, {"designations", {{{"each_core", true}, {"address", address}}}}};
}

// One bundle on Cluster0 Core0: every input opens a sequence length on its
// height (at most 4), every RmemId (types 1 and 2 in turn) is linked to all
// of them; outputs take a channel word no input has and join none, but the
// first, which joins length 0.
std::vector<uint8_t> format4File(size_t k) {
  const size_t ios = 4000 * k, rmemIds = 20000 * k;
  json inputs = json::array(), outputs = json::array(), rmem = json::array();
  for (size_t i = 0; i < ios; ++i) {
    inputs.push_back(ioEntry("in" + std::to_string(i), {4, 0, 0}, 4096));
    outputs.push_back(ioEntry("out" + std::to_string(i), {i == 0 ? 3u : 0u, 0, i == 0 ? 0u : 9u}, 8192));
  }
  for (size_t i = 0; i < rmemIds; ++i) rmem.push_back({{"type_word", i % 2 == 0 ? 1 : 2}, {"value", i}});
  const json bundle = {
      {"cores", {{{"core_word", 0x10001}, {"mode", 0}}}},
      {"inputs", inputs},
      {"outputs", outputs},
      {"rmem_ids", rmem},
      {"section_binaries",
       {{{"memory_type", 0}, {"program", {"copy ddr+0x2000 ddr+0x1000 16"}},
         {"designations", {{{"each_core", true}, {"region", "IMEM"}}}}}}}};
  return zrbw::write(zrbw::modelFromJson({{"version", 4}, {"target_hardware", "Taliss2"}, {"bundles", {bundle}}}))
      .bytes;
}

// The input claims 2^28 elements of one item; its NPU area holds 16.
std::vector<uint8_t> hugeOriginalFile() {
  json in = ioEntry("in", {0, 0, 0}, 4096);
  in.erase("seq_lengths");
  in["original"] = {1, 1, 268435456};
  in["reshaped"] = {1, 1, 16};
  in["shape"] = {1, 1, 16};
  in["io_type"] = 0;
  json out = ioEntry("out", {0, 0, 0}, 8192);
  out.erase("seq_lengths");
  const json bundle = {
      {"cores", {{{"core_word", 0x10001}, {"mode", 0}}}},
      {"inputs", {in}},
      {"outputs", {out}},
      {"section_binaries",
       {{{"memory_type", 0}, {"program", {"copy ddr+0x2000 ddr+0x1000 16"}},
         {"designations", {{{"each_core", true}, {"region", "IMEM"}}}}}}}};
  return zrbw::write(zrbw::modelFromJson({{"version", 6}, {"target_hardware", "Taliss2"}, {"bundles", {bundle}}}))
      .bytes;
}

ModelConfig oneCore() {
  ModelConfig config;
  config.setSingleCoreMode(std::vector<CoreId>{{Cluster::Cluster0, Core::Core0}});
  return config;
}

void Format4(benchmark::State& state) {
  setLogLevel(LogLevel::OFF);
  const auto k = static_cast<size_t>(state.range(0));
  const std::vector<uint8_t> bytes = format4File(k);
  const kestrane::test::TempModelFile file(bytes);
  StatusCode status = StatusCode::OK;
  for (auto _ : state) {
    std::unique_ptr<ModelImpl> model = ModelImpl::create(file.path(), oneCore(), status);
    benchmark::DoNotOptimize(model.get());
  }
  if (status != StatusCode::OK) state.SkipWithError("the format-4 file was not created");
  state.counters["file_KiB"] = static_cast<double>(bytes.size()) / 1024.0;
  state.counters["ns_per_byte"] = benchmark::Counter(
      static_cast<double>(bytes.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(Format4)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

void HugeOriginalShape(benchmark::State& state) {
  setLogLevel(LogLevel::OFF);
  const std::vector<uint8_t> bytes = hugeOriginalFile();
  const kestrane::test::TempModelFile file(bytes);
  StatusCode status = StatusCode::OK;
  int64_t peak = 0;
  for (auto _ : state) {
    const int64_t before = liveBytes.load();
    peakBytes.store(before);
    std::unique_ptr<ModelImpl> model = ModelImpl::create(file.path(), oneCore(), status);
    benchmark::DoNotOptimize(model.get());
    peak = std::max(peak, peakBytes.load() - before);
  }
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
  state.counters["peak_heap_MiB"] = static_cast<double>(peak) / (1 << 20);
  if (status != StatusCode::Model_BrokenZRB) state.SkipWithError("the hostile file was not refused as broken");
  if (peak >= (int64_t{64} << 20)) state.SkipWithError("creation took 64 MiB or more");
}
BENCHMARK(HugeOriginalShape)->Unit(benchmark::kMillisecond);

// ---- Model descriptions of many layers ----

// Figures per byte of file. The first size run of a family is kept, so that
// a larger size of the same family prints the ratio of its figures to it.
struct PerByte {
  int64_t size = 0;
  double ns = 0;
  double heap = 0;
};

std::map<std::string, PerByte>& firstSizes() {
  static std::map<std::string, PerByte> figures;
  return figures;
}

// Runs `run` on the file at every iteration and prints its time and heap
// peak per byte of the file (and their ratios to the family's first size).
template <typename Run>
void perByte(benchmark::State& state, const std::string& family, const std::vector<uint8_t>& bytes, Run run) {
  setLogLevel(LogLevel::OFF);
  const kestrane::test::TempModelFile file(bytes);
  int64_t peak = 0;
  double seconds = 0;
  for (auto _ : state) {
    const int64_t before = liveBytes.load();
    peakBytes.store(before);
    const auto start = std::chrono::steady_clock::now();
    run(file.path());
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    peak = std::max(peak, peakBytes.load() - before);
  }
  const auto size = static_cast<double>(bytes.size());
  const PerByte figures{state.range(0), seconds * 1e9 / static_cast<double>(state.iterations()) / size,
                        static_cast<double>(peak) / size};
  state.counters["file_KiB"] = size / 1024.0;
  state.counters["ns_per_byte"] = figures.ns;
  state.counters["heap_per_byte"] = figures.heap;
  const auto [first, inserted] = firstSizes().emplace(family, figures);
  if (inserted || first->second.size == figures.size) {
    first->second = figures;
    return;
  }
  state.counters["ns_ratio"] = figures.ns / first->second.ns;
  state.counters["heap_ratio"] = figures.heap / first->second.heap;
}

// A version-6 file of one copying bundle on Cluster0 Core0 with `inputs`
// (16 elements each) and the output "npu_out", and `descriptions` (short
// form of the test writer) as its metadata entries.
std::vector<uint8_t> copyModelFile(json inputs, const json& descriptions) {
  for (json& in : inputs) in.erase("seq_lengths");
  json out = ioEntry("npu_out", {0, 0, 0}, 8192);
  out.erase("seq_lengths");
  const json bundle = {
      {"cores", {{{"core_word", 0x10001}, {"mode", 0}}}},
      {"inputs", std::move(inputs)},
      {"outputs", {out}},
      {"section_binaries",
       {{{"memory_type", 0}, {"program", {"copy ddr+0x2000 ddr+0x1000 16"}},
         {"designations", {{{"each_core", true}, {"region", "IMEM"}}}}}}}};
  json metadata = json::array();
  for (const json& d : descriptions) metadata.push_back({{"payload", {{"model_description", d}}}});
  return zrbw::write(zrbw::modelFromJson(
                         {{"version", 6}, {"target_hardware", "Taliss2"}, {"metadata", metadata}, {"bundles", {bundle}}}))
      .bytes;
}

// One NPU layer "npu" from the model input "x" to "npu_out", then `layers`
// (host layers in the test writer's short form); the model output is
// `output`.
std::vector<uint8_t> hostLayersFile(json layers, const std::string& output) {
  const json shape = {1, 1, 1, 16};
  const json npu = {{"layerName", "npu"}, {"inputList", {"x"}}, {"outputList", {"npu_out"}}};
  layers.insert(layers.begin(), npu);
  const json description = {{"inputs", {{{"name", "x"}, {"shape", shape}}}},
                            {"outputs", {{{"name", output}, {"shape", shape}}}},
                            {"tensors", {{{"name", "npu_out"}, {"shape", shape}}}},
                            {"layers", std::move(layers)}};
  return copyModelFile(json::array({ioEntry("x", {0, 0, 0}, 4096)}), json::array({description}));
}

json reluLayer(const std::string& name, const std::string& input, bool dropsInput) {
  return {{"layerName", name},
          {"layerType", "Relu"},
          {"isUnsupported", true},
          {"inputList", {input}},
          {"removeActList", dropsInput ? json{input} : json::array()}};
}

// A chain of n host layers l0 .. l<n-1>, each dropping its input.
std::vector<uint8_t> hostChainFile(size_t n) {
  json layers = json::array();
  for (size_t i = 0; i < n; ++i)
    layers.push_back(reluLayer("l" + std::to_string(i), i == 0 ? "npu_out" : "l" + std::to_string(i - 1), true));
  return hostLayersFile(std::move(layers), "l" + std::to_string(n - 1));
}

// One host layer named n times over in the layer order.
std::vector<uint8_t> repeatedLayerFile(size_t n) {
  return hostLayersFile(json(n, reluLayer("h", "npu_out", false)), "h");
}

// n variants over a bundle of n inputs, each variant an NPU layer without
// inputs (refused: the operation has n).
std::vector<uint8_t> variantsFile(size_t n) {
  const json npu = {{"layerName", "npu"}};
  const json description = {{"inputs", json::array()}, {"outputs", json::array()}, {"layers", {npu}}};
  return copyModelFile(json(n, ioEntry("x", {0, 0, 0}, 4096)), json(n, description));
}

void createCounted(benchmark::State& state, const std::string& family, const std::vector<uint8_t>& bytes) {
  StatusCode status = StatusCode::OK;
  perByte(state, family, bytes, [&](const std::string& path) {
    std::unique_ptr<ModelImpl> model = ModelImpl::create(path, oneCore(), status);
    benchmark::DoNotOptimize(model.get());
  });
  state.counters["created"] = status == StatusCode::OK ? 1 : 0;
}

void RepeatedLayerCreate(benchmark::State& state) {
  createCounted(state, "RepeatedLayerCreate", repeatedLayerFile(static_cast<size_t>(state.range(0))));
}
BENCHMARK(RepeatedLayerCreate)->Arg(50000)->Arg(200000)->Unit(benchmark::kMillisecond);

void VariantsOverRecordsCreate(benchmark::State& state) {
  createCounted(state, "VariantsOverRecordsCreate", variantsFile(static_cast<size_t>(state.range(0))));
}
BENCHMARK(VariantsOverRecordsCreate)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);

void HostChainCreate(benchmark::State& state) {
  const std::vector<uint8_t> bytes = hostChainFile(static_cast<size_t>(state.range(0)));
  createCounted(state, "HostChainCreate", bytes);
  if (state.counters["created"] == 0) state.SkipWithError("the chain was not created");
}
BENCHMARK(HostChainCreate)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);

void HostChainSummary(benchmark::State& state) {
  const std::vector<uint8_t> bytes = hostChainFile(static_cast<size_t>(state.range(0)));
  size_t length = 0;
  perByte(state, "HostChainSummary", bytes, [&](const std::string& path) { length = getModelSummary(path).size(); });
  if (length == 0) state.SkipWithError("the chain has no summary");
}
BENCHMARK(HostChainSummary)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  kestrane::bench::initialize(&argc, argv,
                              "usage: bench_model_create [Google Benchmark flags]\n"
                              "Times model creation per byte of a format-4 file of thousands of inputs and\n"
                              "RmemIds at two sizes (Format4/1, Format4/4), and takes the heap peak of refusing a\n"
                              "kilobyte file that claims a huge shape (HugeOriginalShape, under 64 MiB).\n"
                              "Times and takes the heap peak per byte of refusing a layer order that repeats one\n"
                              "layer (RepeatedLayerCreate), of refusing many variants over many records\n"
                              "(VariantsOverRecordsCreate) and of creating and summarising a chain of host layers\n"
                              "(HostChainCreate, HostChainSummary), at two sizes each, with their ratios.\n");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
