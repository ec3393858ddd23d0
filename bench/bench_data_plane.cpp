// The data plane of one inference item: reposition, transposition, float16
// conversion and int8 quantisation, each beside memcpy of the same bytes.
// bench/data_plane_compare.py runs it together with the numpy equivalents.
//
// Every case is named <case>/<H>x<W>x<C>; the bytes counted are the host
// float32 bytes of the item (the int8 bytes for the 1-byte transposition),
// and memcpy/<bytes> is the baseline for the same count. Every case reads
// and writes half a page apart in one block, as the baseline does.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dataplane/half_precision.h"
#include "dataplane/reposition.h"
#include "dataplane/transpose.h"

#include "benchmark_usage.h"

using namespace kestrane;

namespace {

struct Shape {
  uint32_t h, w, c;
  std::string name() const { return std::to_string(h) + "x" + std::to_string(w) + "x" + std::to_string(c); }
  size_t count() const { return size_t{h} * w * c; }
};

const Shape kShapes[] = {{224, 224, 3}, {56, 56, 64}, {1, 1, 1000}, {1080, 1920, 3}};

std::vector<float> hostFloats(size_t n) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

BufferInfo info(const Shape& s, uint32_t npuChannels) {
  BufferInfo i;
  i.original_height = i.reshaped_height = i.height = s.h;
  i.original_width = i.reshaped_width = i.width = s.w;
  i.original_channel = i.reshaped_channel = s.c;
  i.channel = npuChannels;
  return i;
}

// A record as model creation builds it: kind 0 gets its index runs.
IORecord record(const BufferInfo& bi, uint8_t kind, uint32_t granule, uint8_t npuDtype) {
  IORecord r;
  r.info = bi;
  r.layoutKind = kind;
  r.npuDtype = npuDtype;
  r.channelGranule = granule;
  r.scale.is_uniform = true;
  r.scale.scale = 40.0f;
  const std::vector<uint32_t> table = buildRepositionIndex(bi, granule, MemoryFormat::HWC, true);
  r.copyRuns = {packIndexRuns(table, true)};
  if (kind == 0) r.indexTables = {table, buildRepositionIndex(bi, granule, MemoryFormat::CHW, true)};
  return r;
}

// A source and a destination in one block, half a page apart as memcpy's
// baseline has them: where two separate allocations fall decides whether
// stores and loads 4 KiB apart stall each other, which would time the heap
// instead of the kernel.
template <typename Src, typename Dst>
class Apart {
 public:
  Apart(size_t srcCount, size_t dstCount) {
    const size_t srcBytes = srcCount * sizeof(Src), dstBytes = dstCount * sizeof(Dst);
    gap_ = (srcBytes + 4095) / 4096 * 4096 + 2048;
    block_.assign((gap_ + dstBytes) / 64 + 2, {});
  }
  Src* src() { return reinterpret_cast<Src*>(base()); }
  Dst* dst() { return reinterpret_cast<Dst*>(base() + gap_); }

 private:
  struct alignas(64) Line {
    uint8_t bytes[64];
  };
  uint8_t* base() { return block_.front().bytes; }
  std::vector<Line> block_;
  size_t gap_ = 0;
};

template <typename F>
void run(benchmark::State& state, size_t bytes, F&& f) {
  for (auto _ : state) {
    f();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void registerShape(const Shape& s) {
  const std::string n = s.name();
  const size_t t = s.count();

  // Baselines for the two byte counts used below.
  for (size_t bytes : {t, 4 * t}) {
    benchmark::RegisterBenchmark(("memcpy/" + std::to_string(bytes)).c_str(), [bytes](benchmark::State& st) {
      // Source and destination half a page apart: no 4K aliasing slows the
      // baseline down by accident.
      Apart<uint8_t, uint8_t> io(bytes, bytes);
      std::memset(io.src(), 1, bytes);
      run(st, bytes, [&] { std::memcpy(io.dst(), io.src(), bytes); });
    });
  }

  // Dense float32 item through the runs of a layout that always relays out:
  // one run covering the slice.
  benchmark::RegisterBenchmark(("dense_reposition/" + n).c_str(), [s, t](benchmark::State& st) {
    const IORecord r = record(info(s, s.c), 2, s.c, 0);
    Apart<float, float> io(t, t);
    const std::vector<float> src = hostFloats(t);
    std::copy(src.begin(), src.end(), io.src());
    run(st, 4 * t, [&] { repositionToNPU(io.dst(), io.src(), r, MemoryFormat::HWC, {}); });
  });

  if (s.c == 3) {
    // float32 pixels of 3 channels into NPU pixels of 4.
    benchmark::RegisterBenchmark(("pad_3to4_f32/" + n).c_str(), [s, t](benchmark::State& st) {
      const IORecord r = record(info(s, 4), 0, 4, 0);
      Apart<float, float> io(t, t / 3 * 4);
      const std::vector<float> src = hostFloats(t);
      std::copy(src.begin(), src.end(), io.src());
      run(st, 4 * t, [&] { repositionToNPU(io.dst(), io.src(), r, MemoryFormat::HWC, {}); });
    });
    // Quantised to int8 and padded: the usual image input.
    benchmark::RegisterBenchmark(("pad_3to4_int8/" + n).c_str(), [s, t](benchmark::State& st) {
      const IORecord r = record(info(s, 4), 0, 4, 2);
      Apart<float, int8_t> io(t, t / 3 * 4);
      const std::vector<float> src = hostFloats(t);
      std::copy(src.begin(), src.end(), io.src());
      run(st, 4 * t, [&] { repositionToNPU(io.dst(), io.src(), r, MemoryFormat::HWC, {}); });
    });
  }

  // 1-byte transposition, both directions.
  benchmark::RegisterBenchmark(("transpose_chw_to_hwc_u8/" + n).c_str(), [s, t](benchmark::State& st) {
    Apart<uint8_t, uint8_t> io(t, t);
    std::memset(io.src(), 3, t);
    run(st, t, [&] { transposeCHWToHWC<uint8_t>(io.dst(), io.src(), s.h, s.w, s.c); });
  });
  benchmark::RegisterBenchmark(("transpose_hwc_to_chw_u8/" + n).c_str(), [s, t](benchmark::State& st) {
    Apart<uint8_t, uint8_t> io(t, t);
    std::memset(io.src(), 3, t);
    run(st, t, [&] { transposeHWCToCHW<uint8_t>(io.dst(), io.src(), s.h, s.w, s.c); });
  });

  benchmark::RegisterBenchmark(("float_to_half/" + n).c_str(), [t](benchmark::State& st) {
    Apart<float, uint16_t> io(t, t);
    const std::vector<float> src = hostFloats(t);
    std::copy(src.begin(), src.end(), io.src());
    run(st, 4 * t, [&] { floatToHalfArray(io.dst(), io.src(), static_cast<int>(t)); });
  });
  benchmark::RegisterBenchmark(("half_to_float/" + n).c_str(), [t](benchmark::State& st) {
    const std::vector<float> f = hostFloats(t);
    Apart<uint16_t, float> io(t, t);
    floatToHalfArray(io.src(), f.data(), static_cast<int>(t));
    run(st, 4 * t, [&] { halfToFloatArray(io.dst(), io.src(), static_cast<int>(t)); });
  });

  benchmark::RegisterBenchmark(("quantize_int8/" + n).c_str(), [t](benchmark::State& st) {
    Apart<float, int8_t> io(t, t);
    const std::vector<float> src = hostFloats(t);
    std::copy(src.begin(), src.end(), io.src());
    Scale scale;
    scale.is_uniform = true;
    scale.scale = 40.0f;
    run(st, 4 * t, [&] {
      quantizeToNPU(io.dst(), io.src(), scale, 1, 1, static_cast<int>(t), MemoryFormat::HWC, NPUDtype::Int8);
    });
  });
}

}  // namespace

int main(int argc, char** argv) {
  for (const Shape& s : kShapes) registerShape(s);
  kestrane::bench::initialize(&argc, argv,
                              "usage: bench_data_plane [Google Benchmark flags]\n"
                              "Times the data plane of one inference item (reposition, transposition, float16\n"
                              "conversion, int8 quantisation) beside memcpy of the same bytes, cases named\n"
                              "<case>/<H>x<W>x<C>; bench/data_plane_compare.py sets them beside numpy.\n");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
