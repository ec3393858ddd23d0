// Data movement of the tensor library against memcpy of the same bytes.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "halvex/free_functions.h"
#include "halvex/indexing.h"
#include "halvex/tensor.h"

using namespace kestrane::halvex;

namespace {

constexpr int64_t kSide = 2048;
constexpr int64_t kBytes = kSide * kSide * 4;

Tensor filled() { return full({kSide, kSide}, 1.25f); }

void BM_Memcpy(benchmark::State& state) {
  std::vector<float> a(kSide * kSide, 1.25f), b(kSide * kSide);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), kBytes);
    benchmark::DoNotOptimize(b.data());
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_CloneRowMajor(benchmark::State& state) {
  Tensor t = filled();
  for (auto _ : state) benchmark::DoNotOptimize(t.clone().data());
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_CloneTransposed(benchmark::State& state) {
  Tensor t = filled().transpose(0, 1);
  for (auto _ : state) benchmark::DoNotOptimize(t.clone().data());
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_CloneFlipped(benchmark::State& state) {
  Tensor t = filled().flip({1});
  for (auto _ : state) benchmark::DoNotOptimize(t.clone().data());
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_CopyBroadcastColumn(benchmark::State& state) {
  Tensor column = full({kSide, 1}, 2.0f);
  Tensor dst = filled();
  for (auto _ : state) benchmark::DoNotOptimize(dst.copy_(column).data());
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_ConvertFloat32ToInt32(benchmark::State& state) {
  Tensor t = filled();
  for (auto _ : state) benchmark::DoNotOptimize(t.to(DType::Int32).data());
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_IndexSelectRows(benchmark::State& state) {
  Tensor t = filled();
  std::vector<int64_t> rows;
  for (int64_t i = 0; i < kSide; ++i) rows.push_back((i * 7) % kSide);
  Tensor idx = fromVector(rows);
  for (auto _ : state) benchmark::DoNotOptimize(t.index_select(0, idx).data());
  state.SetBytesProcessed(state.iterations() * kBytes);
}

}  // namespace

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_CloneRowMajor);
BENCHMARK(BM_CloneTransposed);
BENCHMARK(BM_CloneFlipped);
BENCHMARK(BM_CopyBroadcastColumn);
BENCHMARK(BM_ConvertFloat32ToInt32);
BENCHMARK(BM_IndexSelectRows);
BENCHMARK_MAIN();
