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
// Heap use is counted by this program's own operator new and delete.

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "kestrane/log.h"
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

}  // namespace

int main(int argc, char** argv) {
  kestrane::bench::initialize(&argc, argv,
                              "usage: bench_model_create [Google Benchmark flags]\n"
                              "Times model creation per byte of a format-4 file of thousands of inputs and\n"
                              "RmemIds at two sizes (Format4/1, Format4/4), and takes the heap peak of refusing a\n"
                              "kilobyte file that claims a huge shape (HugeOriginalShape, under 64 MiB).\n");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
