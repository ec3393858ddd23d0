// Data movement of the tensor library against memcpy of the same bytes, on a
// 2048 x 2048 float32 tensor (or a result of that size), single-threaded. After the usual output it
// prints each case's speed relative to memcpy measured in the same run (1.0:
// as fast as memcpy; the argmax and element-wise cases read other byte
// counts and are for bench/compare.py, which sets them beside numpy).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "halvex/free_functions.h"
#include "halvex/tensor.h"

#include "benchmark_usage.h"

using namespace kestrane::halvex;

namespace {

constexpr int64_t kSide = 2048;
constexpr int64_t kBytes = kSide * kSide * 4;
const std::string kSuffix = "/float32/2048";

Tensor randomTensor(std::vector<int64_t> shape, uint32_t seed) {
  int64_t n = 1;
  for (int64_t s : shape) n *= s;
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
  std::vector<double> v(static_cast<size_t>(n));
  for (auto& x : v) x = dist(gen);
  return fromVector(v).to(DType::Float32).reshape(shape);
}

void add(const std::string& name, std::function<void()> fn) {
  benchmark::RegisterBenchmark((name + kSuffix).c_str(), [fn](benchmark::State& state) {
    for (auto _ : state) fn();
    state.SetBytesProcessed(state.iterations() * kBytes);
  })->Unit(benchmark::kMicrosecond);
}

void registerAll() {
  // memcpy between the same kind of storage as the cases below (tensor
  // storage, allocated and advised the same way): from the source tensor of
  // the clones into a block touched before, and into a block allocated for
  // each copy as a clone does (the allocator hands back the block freed by
  // the copy before, so after the first copy no page is touched for the
  // first time).
  const Tensor a = randomTensor({kSide, kSide}, 1);
  const Tensor b = randomTensor({kSide, kSide}, 2);
  Tensor target = randomTensor({kSide, kSide}, 6);
  add("memcpy", [a, target] {
    std::memcpy(target.data(), a.data(), kBytes);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  });
  add("memcpy_new_block", [a] {
    TensorData block({kSide, kSide}, DType::Float32);
    std::memcpy(block.data(), a.data(), kBytes);
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  });
  add("clone", [a] { benchmark::DoNotOptimize(a.clone().data()); });
  add("clone_transposed", [a] { benchmark::DoNotOptimize(a.transpose(0, 1).contiguous().data()); });
  add("clone_flipped", [a] { benchmark::DoNotOptimize(a.flip({1}).clone().data()); });
  Tensor dst = randomTensor({kSide, kSide}, 3);
  const Tensor column = randomTensor({kSide, 1}, 4);
  const Tensor row = randomTensor({1, kSide}, 5);
  add("copy_broadcast", [dst, column]() mutable { benchmark::DoNotOptimize(dst.copy_(column).data()); });
  add("copy_broadcast_row", [dst, row]() mutable { benchmark::DoNotOptimize(dst.copy_(row).data()); });
  std::vector<int64_t> rows;
  for (int64_t i = 0; i < kSide; ++i) rows.push_back((i * 7) % kSide);
  const Tensor idx = fromVector(rows);
  add("index_select_rows", [a, idx] { benchmark::DoNotOptimize(a.index_select(0, idx).data()); });
  for (DType d : {DType::Int32, DType::Int64, DType::Int16, DType::UInt8, DType::Float64, DType::Bool}) {
    add(std::string("to_") + dtypeName(d), [a, d] { benchmark::DoNotOptimize(a.to(d).data()); });
  }
  const Tensor wide = a.to(DType::Float64);
  add("float64_to_float32", [wide] { benchmark::DoNotOptimize(wide.to(DType::Float32).data()); });
  const Tensor ints = a.to(DType::Int32);
  add("int32_to_float32", [ints] { benchmark::DoNotOptimize(ints.to(DType::Float32).data()); });
  add("int32_to_int8", [ints] { benchmark::DoNotOptimize(ints.to(DType::Int8).data()); });
  add("argmax_dim1", [a] { benchmark::DoNotOptimize(a.argmax(1, false).data()); });
  // Tile, each to a 2048 x 2048 float32 result: from one element, a row, a
  // column (repeats along the innermost dimension) and a 64 x 64 block.
  const Tensor one = randomTensor({1}, 7);
  add("tile_one_element", [one] { benchmark::DoNotOptimize(one.tile({kSide * kSide}).data()); });
  const Tensor firstRow = randomTensor({1, kSide}, 8);
  add("tile_row", [firstRow] { benchmark::DoNotOptimize(firstRow.tile({kSide, 1}).data()); });
  add("tile_column", [column] { benchmark::DoNotOptimize(column.tile({1, kSide}).data()); });
  const Tensor block = randomTensor({64, 64}, 9);
  add("tile_block", [block] { benchmark::DoNotOptimize(block.tile({kSide / 64, kSide / 64}).data()); });
  const Tensor at = a.transpose(0, 1), bt = b.transpose(0, 1);
  add("add_transposed", [at, bt] { benchmark::DoNotOptimize((at + bt).data()); });
  add("multiply_transposed", [at, bt] { benchmark::DoNotOptimize((at * bt).data()); });
}

// The console output, then the speed of each case relative to memcpy. With
// --benchmark_repetitions each case counts with its fastest repetition (the
// least disturbed by other work on the machine).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      const std::string name = r.benchmark_name();
      const double t = r.GetAdjustedCPUTime();
      auto it = std::find_if(times_.begin(), times_.end(), [&](const auto& e) { return e.first == name; });
      if (it == times_.end()) {
        times_.emplace_back(name, t);
      } else {
        it->second = std::min(it->second, t);
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    double memcpyTime = 0;
    for (const auto& [name, t] : times_) {
      if (name.rfind("memcpy/", 0) == 0) memcpyTime = t;
    }
    if (memcpyTime <= 0) return;
    std::printf("\n%-40s %12s %10s\n", "case", "cpu us", "x memcpy");
    for (const auto& [name, t] : times_) std::printf("%-40s %12.1f %10.2f\n", name.c_str(), t, memcpyTime / t);
  }

 private:
  std::vector<std::pair<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  kestrane::bench::initialize(&argc, argv,
                              "usage: bench_halvex_copy [Google Benchmark flags]\n"
                              "Times data movement of the tensor library against memcpy of the same bytes on a\n"
                              "2048 x 2048 float32 tensor, single-threaded, then prints each case's speed relative\n"
                              "to memcpy; bench/compare.py sets the cases beside numpy.\n");
  registerAll();  // after --help: the inputs take seconds to make
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
