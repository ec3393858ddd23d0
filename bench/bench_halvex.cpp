// Times the tensor operations on the cases of bench_cases.json (sizes 1e2,
// 1e5, 1e7; contiguous, transposed and broadcast layouts). Names match the
// numpy script so that compare.py can print ratios. Single-threaded.
#include <benchmark/benchmark.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "halvex/free_functions.h"
#include "halvex/functional.h"
#include "halvex/tensor.h"

#include "benchmark_usage.h"

namespace {

using kestrane::halvex::DType;
using kestrane::halvex::Tensor;
namespace F = kestrane::halvex::nn::functional;

struct Size {
  const char* name;
  int64_t rows, cols;
};
const Size kSizes[] = {{"1e2", 10, 10}, {"1e5", 100, 1000}, {"1e7", 1000, 10000}};

Tensor randomTensor(std::vector<int64_t> shape, DType dtype, uint32_t seed) {
  int64_t n = 1;
  for (int64_t s : shape) n *= s;
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-100.0, 100.0);
  std::vector<double> v(static_cast<size_t>(n));
  for (auto& x : v) x = dist(gen);
  return kestrane::halvex::fromVector(v).to(dtype).reshape(shape);
}

// rows x cols in the given layout: row-major, or the transpose of a
// cols x rows row-major tensor (column-major storage).
Tensor input(const Size& s, DType dtype, bool transposed, uint32_t seed) {
  if (transposed) return randomTensor({s.cols, s.rows}, dtype, seed).transpose(0, 1);
  return randomTensor({s.rows, s.cols}, dtype, seed);
}

void add(const std::string& name, std::function<void()> fn) {
  benchmark::RegisterBenchmark(name.c_str(), [fn](benchmark::State& state) {
    for (auto _ : state) fn();
  })->Unit(benchmark::kMicrosecond);
}

void registerAll() {
  for (const Size& s : kSizes) {
    const std::string n = s.name;
    for (DType dt : {DType::Float32, DType::Int32}) {
      const std::string t = kestrane::halvex::dtypeName(dt);
      for (bool tr : {false, true}) {
        const std::string layout = tr ? "transposed" : "contiguous";
        Tensor a = input(s, dt, tr, 1), b = input(s, dt, tr, 2);
        add("add/" + t + "/" + n + "/" + layout, [a, b] { benchmark::DoNotOptimize(a + b); });
        add("multiply/" + t + "/" + n + "/" + layout, [a, b] { benchmark::DoNotOptimize(a * b); });
        for (int64_t dim : {0, 1})
          add("sum_dim" + std::to_string(dim) + "/" + t + "/" + n + "/" + layout,
              [a, dim] { benchmark::DoNotOptimize(a.sum(dim, false)); });
      }
      Tensor a = input(s, dt, false, 1);
      Tensor row = randomTensor({1, s.cols}, dt, 3);
      add("add/" + t + "/" + n + "/broadcast", [a, row] { benchmark::DoNotOptimize(a + row); });
      add("multiply/" + t + "/" + n + "/broadcast", [a, row] { benchmark::DoNotOptimize(a * row); });
    }
    for (bool tr : {false, true}) {
      const std::string layout = tr ? "transposed" : "contiguous";
      Tensor a = input(s, DType::Float32, tr, 4);
      add("exp/float32/" + n + "/" + layout, [a] { benchmark::DoNotOptimize(a.exp()); });
      for (int64_t dim : {0, 1})
        add("argmax_dim" + std::to_string(dim) + "/float32/" + n + "/" + layout,
            [a, dim] { benchmark::DoNotOptimize(a.argmax(dim, false)); });
      add("softmax/float32/" + n + "/" + layout, [a] { benchmark::DoNotOptimize(F::softmax(a, 1)); });
    }
    Tensor a = input(s, DType::Float32, false, 5);
    add("sort/float32/" + n + "/contiguous", [a] { benchmark::DoNotOptimize(a.sort(1, false)); });
    add("topk/float32/" + n + "/contiguous", [a] { benchmark::DoNotOptimize(a.topk(5, 1, true, true)); });
    Tensor ai = input(s, DType::Int32, false, 6);
    add("sort/int32/" + n + "/contiguous", [ai] { benchmark::DoNotOptimize(ai.sort(1, false)); });
  }
  const std::vector<std::pair<std::string, std::vector<int64_t>>> resize = {
      {"1e2", {1, 1, 10, 10}}, {"1e5", {1, 10, 100, 100}}, {"1e7", {1, 10, 1000, 1000}}};
  for (const auto& [n, shape] : resize) {
    Tensor x = randomTensor(shape, DType::Float32, 7);
    F::InterpolateOptions opt;
    opt.size = {shape[2] * 2, shape[3] * 2};
    opt.mode = F::kInterpolateLinear;
    add("resize_linear/float32/" + n + "/contiguous", [x, opt] { benchmark::DoNotOptimize(F::interpolate(x, opt)); });
  }
  for (int64_t m : {128, 512}) {
    Tensor a = randomTensor({m, m}, DType::Float32, 8), b = randomTensor({m, m}, DType::Float32, 9);
    const std::string n = std::to_string(m);
    add("matmul/float32/" + n + "^3/contiguous", [a, b] { benchmark::DoNotOptimize(a.matmul(b)); });
    Tensor bt = b.transpose(0, 1);
    add("matmul/float32/" + n + "^3/transposed", [a, bt] { benchmark::DoNotOptimize(a.matmul(bt)); });
  }
}

}  // namespace

int main(int argc, char** argv) {
  kestrane::bench::initialize(&argc, argv,
                              "usage: bench_halvex [Google Benchmark flags]\n"
                              "Times the tensor operations on sizes 1e2, 1e5 and 1e7 in contiguous, transposed and\n"
                              "broadcast layouts, single-threaded; bench/compare.py sets them beside numpy.\n");
  registerAll();  // after --help: the inputs take seconds to make
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
