// The memory pool's own cost, against an allocator that only counts out
// addresses (the pool never touches the memory), in the calling thread's
// CPU time:
//
//   NewBuffer/n: handing out buffers new to the pool while n to 2n are out
//   (the pool filled to n first, untimed; the timed n cover one growth of
//   the pool's room whatever its policy, so the figure is the amortised
//   cost); the cost per buffer should be flat over n = 8192, 32768 and
//   65536.
//
//   FirstRequest: the buffers of a model's first request from an empty
//   pool, an input and an output buffer per item, taken and given back,
//   for batches of 8192 and 32768 items; the ratio of the two stays near 4
//   (linear) and at most 6.
//
//   HeldBuffers: 10000 and 40000 new buffers taken and held, then given
//   back; the ratio stays near 4 and at most 6.
//
// FirstRequest and HeldBuffers print the best of their iterations at both
// counts and the ratio.

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "benchmark_usage.h"
#include "engine/memory_pool.h"
#include "kestrane/log.h"

namespace kestrane {
namespace {

// Distinct addresses, nothing behind them.
struct AddressAllocator {
  StatusCode allocateHostMemory(void*& address, uint64_t size) {
    next += std::max<uint64_t>(size, 64);
    address = reinterpret_cast<void*>(next);
    return StatusCode::OK;
  }
  StatusCode freeHostMemory(void*) { return StatusCode::OK; }
  uintptr_t next = 1 << 20;
};

using Pool = MemoryPool<AddressAllocator>;

double threadNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Takes `count` buffers of `size` into `out`; false when one is refused.
bool take(Pool& pool, size_t count, uint64_t size, std::vector<Buffer>& out) {
  for (size_t i = 0; i < count; ++i) {
    Buffer b;
    if (pool.allocateHostMemory(size, b) != StatusCode::OK) return false;
    out.push_back(b);
  }
  return true;
}

void giveBack(Pool& pool, std::vector<Buffer>& held) {
  for (const Buffer& b : held) pool.freeHostMemory(b);
  held.clear();
}

void NewBuffer(benchmark::State& state) {
  setLogLevel(LogLevel::OFF);
  const auto out = static_cast<size_t>(state.range(0));
  AddressAllocator allocator;
  std::vector<Buffer> held;
  held.reserve(2 * out);
  bool ok = true;
  for (auto _ : state) {
    state.PauseTiming();
    auto pool = std::make_unique<Pool>();
    pool->setAllocator(&allocator);
    ok = take(*pool, out, 1024, held) && ok;
    state.ResumeTiming();
    ok = take(*pool, out, 1024, held) && ok;
    state.PauseTiming();
    giveBack(*pool, held);
    pool.reset();
    state.ResumeTiming();
  }
  if (!ok) state.SkipWithError("a hand-out was refused");
  // Seconds per timed buffer (printed as n for nanoseconds, u for microseconds).
  state.counters["per_buffer"] =
      benchmark::Counter(static_cast<double>(out) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(NewBuffer)->Arg(8192)->Arg(32768)->Arg(65536)->Iterations(10)->Unit(benchmark::kMillisecond);

// Best thread CPU time of `run` on a fresh pool at two counts, and their
// ratio, as the row's counters.
template <typename Run>
void twoCounts(benchmark::State& state, size_t small, size_t large, Run run) {
  setLogLevel(LogLevel::OFF);
  AddressAllocator allocator;
  double best[2] = {0, 0};
  bool ok = true, first = true;
  for (auto _ : state) {
    const size_t counts[2] = {small, large};
    for (int i = 0; i < 2; ++i) {
      auto pool = std::make_unique<Pool>();
      pool->setAllocator(&allocator);
      std::vector<Buffer> held;
      held.reserve(2 * counts[i]);
      const double start = threadNs();
      ok = run(*pool, counts[i], held) && ok;
      const double ns = threadNs() - start;
      best[i] = first ? ns : std::min(best[i], ns);
    }
    first = false;
  }
  if (!ok) state.SkipWithError("a hand-out was refused");
  state.counters["ms_small"] = best[0] / 1e6;
  state.counters["ms_large"] = best[1] / 1e6;
  state.counters["ratio"] = best[1] / best[0];
}

// A request's inputs, then its outputs, one buffer per item each, then all back.
void FirstRequest(benchmark::State& state) {
  twoCounts(state, 8192, 32768, [](Pool& pool, size_t items, std::vector<Buffer>& held) {
    const bool ok = take(pool, items, 1024, held) && take(pool, items, 2048, held);
    giveBack(pool, held);
    return ok;
  });
}
BENCHMARK(FirstRequest)->Iterations(5)->Unit(benchmark::kMillisecond);

void HeldBuffers(benchmark::State& state) {
  twoCounts(state, 10000, 40000, [](Pool& pool, size_t count, std::vector<Buffer>& held) {
    const bool ok = take(pool, count, 1024, held);
    giveBack(pool, held);
    return ok;
  });
}
BENCHMARK(HeldBuffers)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrane

int main(int argc, char** argv) {
  kestrane::bench::initialize(&argc, argv,
                              "usage: bench_memory_pool [Google Benchmark flags]\n"
                              "Times the memory pool's hand-outs against an allocator that only counts out\n"
                              "addresses: the cost per buffer new to the pool with 8192, 32768 and 65536 out\n"
                              "(NewBuffer, n to 2n out; flat), and the first request of a batch of 8192 and of 32768 items\n"
                              "(FirstRequest) and 10000 and 40000 buffers held (HeldBuffers), with the ratio of\n"
                              "the two (about 4 when linear).\n");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
