// Synchronous inference on the simulated card, end to end through the public
// Model: the host's cost per request beside the card's own run and bare
// thread hand-offs measured in the same run, what one request costs in
// context switches, heap allocations and CPU time, and the throughput of a
// batch over 1, 2, 4 and 8 cores beside the card's nominal rate.
//
//   host overhead = Model::infer - the card's own run (p50 and p99 each),
//   where the card's own run is the driver's write, post, wait and read of
//   the same bytes and program on another core (what the engine adds
//   nothing to). A request crosses two threads (caller -> dispatcher ->
//   worker -> caller), so its floor is the two-hop hand-off; the one-hop
//   round trip is shown beside it.
//
//   Per request, over a loop of requests in steady state: context switches
//   of every thread of the process (getrusage), heap allocations (malloc
//   and friends of this binary, counted), and CPU time of every thread
//   against the wall time.
//
//   bench_inference [requests] [--trace PATH] [--infer-only]
//     requests: per latency figure (at least 100, default 5000);
//     --trace PATH: records the trace events of the Model::infer pass there;
//     --infer-only: only the Model::infer requests (for a profiler).

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>

#include <nlohmann/json.hpp>

#include "config/globals.h"
#include "driver/device_memory_access.h"
#include "driver/taliss_device.h"
#include "hwdep/platform.h"
#include "kestrane/acc.h"
#include "kestrane/log.h"
#include "kestrane/model.h"
#include "kestrane/trace.h"
#include "support/zrb_json.h"
#include "support/zrb_test_file.h"
#include "support/zrb_writer.h"

#include "bench_args.h"

using namespace kestrane;
namespace zrbw = kestrane::test::zrbw;
using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

// Every heap allocation of the process goes through these (operator new
// calls malloc); they count and hand over to the C library.
namespace {
std::atomic<uint64_t> gAllocations{0};
}  // namespace

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t n) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
void* memalign(size_t alignment, size_t n) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(alignment, n);
}
void* aligned_alloc(size_t alignment, size_t n) noexcept { return memalign(alignment, n); }
int posix_memalign(void** out, size_t alignment, size_t n) noexcept {
  void* p = memalign(alignment, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}

namespace {

constexpr uint32_t kItem = 64;  // bytes of the tiny model's input and output

// A model of one int8 input and output of kItem values on every local core;
// its program copies the input to the output, after `delayUs` of run time.
json tinyModel(uint32_t delayUs) {
  json program = {"copy ddr+0x2000 ddr+0x1000 " + std::to_string(kItem)};
  if (delayUs) program.push_back("delay " + std::to_string(delayUs));
  auto io = [](const char* name, uint32_t address) {
    return json{{"name", name},        {"original", {1, 1, kItem}}, {"io_type", 5}, {"kind", 0},
                {"word2_nibble", 2},   {"designations", {{{"each_core", true}, {"address", address}}}}};
  };
  return {{"version", 6},
          {"target_hardware", "Taliss2"},
          {"bundles",
           {{{"cores", {{{"all_local", true}, {"mode", 0}}}},
             {"inputs", {io("in", 0x1000)}},
             {"outputs", {io("out", 0x2000)}},
             {"section_binaries",
              {{{"memory_type", 0}, {"program", program}, {"designations", {{{"each_core", true}, {"region", "IMEM"}}}}}}}}}}};
}

std::unique_ptr<test::TempModelFile> modelFile(uint32_t delayUs) {
  return std::make_unique<test::TempModelFile>(zrbw::write(zrbw::modelFromJson(tinyModel(delayUs), ".")).bytes);
}

CoreId core(int cluster, int index) {
  return {cluster == 0 ? Cluster::Cluster0 : Cluster::Cluster1, static_cast<Core>(index + 1)};
}

struct Percentiles {
  double p50 = 0, p99 = 0;
};

template <typename F>
Percentiles measure(int rounds, F f) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds + rounds / 10; ++i) {
    const auto t0 = Clock::now();
    f();
    const double t = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    if (i >= rounds / 10) us.push_back(t);  // the first tenth warms up
  }
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// The card's own run: write, post, wait, read on `id` through the driver.
// With `busyNeighbour`, another thread keeps offering its CPU meanwhile, as
// the threads of a request that look before they block do: an idle virtual
// CPU wakes far slower than a busy one, which would favour the request.
template <typename Report>
Percentiles cardRun(int rounds, bool busyNeighbour, Report&& report) {
  std::atomic<bool> stop{false};
  std::thread neighbour;
  if (busyNeighbour)
    neighbour = std::thread([&] {
      while (!stop) std::this_thread::yield();
    });
  StatusCode status = StatusCode::OK;
  auto device = TalissDevice::create(0, status);
  const hwdep::Platform& platform = processPlatform();
  const auto& entry = platform.getCoreEntry(platform.getCluster(0x20000), 4);
  const uint64_t ddr = platform.lookupU64ById(entry, 7), imem = platform.lookupU64ById(entry, 0);
  const CoreId id = core(1, 3);
  // Made once: the request's side allocates nothing of its own per call
  // either, so the allocations beyond the card's run do not count this.
  const std::vector<CoreId> ids{id};
  uint64_t host = 0, result = 0;
  if (!device || device->claimCores(ids) != StatusCode::OK ||
      device->allocateHostMemory(host, 4096) != StatusCode::OK ||
      device->allocateHostMemory(result, kItem) != StatusCode::OK)
    return {};
  auto* bytes = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(host));
  // The same program as the model's.
  const zrbw::Model m = zrbw::modelFromJson(tinyModel(0), ".");
  const std::vector<uint8_t>& program = m.bundles[0].section_binaries[0].payload;
  std::memcpy(bytes, program.data(), program.size());
  writeDeviceMemory(*device, imem, 0, program.size(), host, false, 0);
  auto run = [&] {
    std::memset(bytes, 7, kItem);
    writeDeviceMemory(*device, ddr + 0x1000, 0, kItem, host, false, 0);
    device->postInfer(ids);
    device->waitDone(id, 10000000000ull);
    readDeviceMemory(*device, ddr + 0x2000, 0, kItem, result, false, 0);
  };
  auto r = measure(rounds, run);
  report(run);
  device->freeHostMemory(host);
  device->freeHostMemory(result);
  device->unclaimCores(ids);
  stop = true;
  if (neighbour.joinable()) neighbour.join();
  return r;
}

// One waiting side of a hand-off: a flag under a mutex and a condition
// variable, the plain blocking way.
struct Signal {
  std::mutex m;
  std::condition_variable cv;
  bool set = false;
  void post() {
    {
      std::lock_guard lock(m);
      set = true;
    }
    cv.notify_one();
  }
  void wait() {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return set; });
    set = false;
  }
};

// A request handed from the caller through `hops` threads in turn and back
// to the caller, each thread blocking until its turn: one hop is a round
// trip to one thread, two hops the road of a request through a dispatcher
// and a worker.
class HandOff {
 public:
  explicit HandOff(int hops) : signals_(static_cast<size_t>(hops) + 1) {
    for (int i = 0; i < hops; ++i)
      threads_.emplace_back([this, i] {
        for (;;) {
          signals_[static_cast<size_t>(i)].wait();
          if (stop_) return;
          signals_[static_cast<size_t>(i) + 1].post();
        }
      });
  }
  ~HandOff() {
    stop_ = true;
    for (size_t i = 0; i + 1 < signals_.size(); ++i) signals_[i].post();
    for (auto& t : threads_) t.join();
  }
  void operator()() {
    signals_.front().post();
    signals_.back().wait();
  }

 private:
  std::vector<Signal> signals_;  // [i] wakes thread i; the last wakes the caller
  std::vector<std::thread> threads_;
  std::atomic<bool> stop_{false};
};

template <typename F>
Percentiles handOff(int rounds, int hops, F&& report) {
  HandOff h(hops);
  const Percentiles p = measure(rounds, [&] { h(); });
  report(h);
  return p;
}

// Per call of `f`, over `calls` calls in a row: context switches of every
// thread of the process, heap allocations, CPU time of every thread and
// wall time (us).
struct PerCall {
  double switches = 0, allocations = 0, cpuUs = 0, wallUs = 0;
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

template <typename F>
PerCall perCall(int calls, F&& f) {
  rusage r0{}, r1{};
  getrusage(RUSAGE_SELF, &r0);
  const uint64_t a0 = gAllocations.load();
  const auto t0 = Clock::now();
  for (int i = 0; i < calls; ++i) f();
  const auto t1 = Clock::now();
  const uint64_t a1 = gAllocations.load();
  getrusage(RUSAGE_SELF, &r1);
  const double n = calls;
  PerCall p;
  p.switches = static_cast<double>((r1.ru_nvcsw + r1.ru_nivcsw) - (r0.ru_nvcsw + r0.ru_nivcsw)) / n;
  p.allocations = static_cast<double>(a1 - a0) / n;
  p.cpuUs = (seconds(r1.ru_utime) + seconds(r1.ru_stime) - seconds(r0.ru_utime) - seconds(r0.ru_stime)) * 1e6 / n;
  p.wallUs = std::chrono::duration<double, std::micro>(t1 - t0).count() / n;
  return p;
}

void printPerCall(const char* what, const PerCall& p) {
  std::printf("  %-46s %6.2f switches %6.1f allocations   CPU %6.1f us / wall %6.1f us = %.2f\n", what, p.switches,
              p.allocations, p.cpuUs, p.wallUs, p.cpuUs / p.wallUs);
}

// A difference of two separate loops printed as measured: work of the
// card's own threads that falls in one loop and not the other (a run thread
// growing its buffers) can tip it below zero, so such a row is marked
// rather than hidden.
const char* belowZeroMark(std::initializer_list<double> differences) {
  for (double d : differences) {
    if (d < 0) return "   (below zero: the two sides were measured in separate loops, not the same requests)";
  }
  return "";
}

// The median of five measurements: the card's threads share the machine.
template <typename F>
double median(F measure) {
  std::vector<double> v;
  for (int i = 0; i < 5; ++i) v.push_back(measure());
  std::sort(v.begin(), v.end());
  return v[2];
}

}  // namespace

constexpr const char* kUsage =
    "usage: bench_inference [REQUESTS] [--trace PATH] [--infer-only]\n"
    "Synchronous inference on the simulated card through Model::infer: the host's overhead per\n"
    "request beside the card's own run and thread hand-offs, the context switches, heap\n"
    "allocations and CPU time of a request, and the throughput over 1, 2, 4 and 8 cores.\n"
    "  REQUESTS       requests per latency figure (default 5000; fewer than 100 count as 100)\n"
    "  --trace PATH   records the trace events of the Model::infer pass in PATH\n"
    "  --infer-only   only the Model::infer requests (for a profiler)\n";

int main(int argc, char** argv) {
  namespace bench = kestrane::bench;
  if (bench::asksHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  long requests = 5000;
  std::string tracePath;
  bool inferOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--trace") {
      if (i + 1 == argc) bench::refuseArgument(argv[0], "--trace needs a PATH");
      tracePath = argv[++i];
    } else if (arg == "--infer-only") {
      inferOnly = true;
    } else if (!arg.empty() && arg[0] == '-') {
      bench::refuseArgument(argv[0], "unknown option " + arg);
    } else if (!bench::wholeNumber(argv[i], 1, 100000000, requests)) {
      bench::refuseArgument(argv[0], "requests must be 1 to 100000000, not " + arg);
    }
  }
  const int rounds = static_cast<int>(std::max(100L, requests));
  setLogLevel(LogLevel::WARN);
  StatusCode sc = StatusCode::OK;
  std::unique_ptr<Accelerator> acc = Accelerator::create(0, sc);
  if (!acc) return 1;

  // ---- Host overhead per synchronous request ----
  auto tiny = modelFile(0);
  ModelConfig one;
  one.setSingleCoreMode(std::vector<CoreId>{core(0, 0)});
  auto model = Model::create(tiny->path(), one, sc);
  if (!model || model->launch(*acc) != StatusCode::OK) return 1;
  std::vector<int8_t> data(kItem, 3);
  std::vector<NDArray<int8_t>> in(1), out;
  in[0].data = internal::NDArrayData(data.data());
  in[0].num_elements = kItem;
  in[0].shape = {1, 1, kItem};
  if (!tracePath.empty() && !startTracingEvents(tracePath.c_str())) {
    std::fprintf(stderr, "cannot write the trace to %s\n", tracePath.c_str());
    return 1;
  }
  const Percentiles infer = measure(rounds, [&] { model->infer(in, out); });
  if (!tracePath.empty()) stopTracingEvents();
  const PerCall inferCost = perCall(rounds, [&] { model->infer(in, out); });
  if (inferOnly) {
    std::printf("Model::infer p50 %.1f p99 %.1f us\n", infer.p50, infer.p99);
    printPerCall("Model::infer", inferCost);
    return 0;
  }
  PerCall cardCost;
  const Percentiles idle = cardRun(rounds, false, [&](auto& run) { cardCost = perCall(rounds, run); });
  const Percentiles card = cardRun(rounds, true, [](auto&) {});
  PerCall oneCost, twoCost;
  const Percentiles oneHop = handOff(rounds, 1, [&](HandOff& h) { oneCost = perCall(rounds, h); });
  const Percentiles twoHop = handOff(rounds, 2, [&](HandOff& h) { twoCost = perCall(rounds, h); });
  std::printf("Synchronous inference of %u int8 values, %d requests (us)%s\n", kItem, rounds,
              tracePath.empty() ? "" : ", Model::infer traced");
  std::printf("  %-46s p50 %8.1f   p99 %8.1f\n", "Model::infer", infer.p50, infer.p99);
  std::printf("  %-46s p50 %8.1f   p99 %8.1f\n", "card's own run (driver)", idle.p50, idle.p99);
  std::printf("  %-46s p50 %8.1f   p99 %8.1f\n", "card's own run (driver, a busy neighbour)", card.p50, card.p99);
  std::printf("  %-46s p50 %8.1f   p99 %8.1f\n", "one-hop hand-off (caller -> thread -> caller)", oneHop.p50, oneHop.p99);
  std::printf("  %-46s p50 %8.1f   p99 %8.1f\n", "two-hop hand-off (caller -> 2 threads)", twoHop.p50, twoHop.p99);
  // The card's run the request makes is the plain one when the request's
  // threads block while they wait, the one beside a busy neighbour when
  // they spin: the faster of the two is taken, which counts against us.
  const Percentiles own{std::min(idle.p50, card.p50), std::min(idle.p99, card.p99)};
  const Percentiles host{infer.p50 - own.p50, infer.p99 - own.p99};
  std::printf("  host overhead (Model::infer - faster card's own run): p50 %.1f = %.2f x two-hop p50, "
              "p99 %.1f = %.2f x two-hop p99%s\n",
              host.p50, host.p50 / twoHop.p50, host.p99, host.p99 / twoHop.p99, belowZeroMark({host.p50, host.p99}));
  std::printf("Per request, %d in a row\n", rounds);
  printPerCall("Model::infer", inferCost);
  printPerCall("card's own run (driver)", cardCost);
  const double extraSwitches = inferCost.switches - cardCost.switches;
  const double extraAllocations = inferCost.allocations - cardCost.allocations;
  std::printf("  %-46s %6.2f switches %6.1f allocations%s\n", "Model::infer beyond the card's own run", extraSwitches,
              extraAllocations, belowZeroMark({extraSwitches, extraAllocations}));
  printPerCall("one-hop hand-off", oneCost);
  printPerCall("two-hop hand-off", twoCost);
  std::printf("\n");
  model.reset();

  // ---- Throughput over cores ----
  // Each item is one run of kDelayUs on its core: n cores can do at most
  // n * 1e6 / kDelayUs items per second (the card's nominal rate).
  constexpr uint32_t kDelayUs = 2000;
  constexpr int kCalls = 10;
  auto slow = modelFile(kDelayUs);
  std::printf("Throughput, %u us per run, single-core mode, median of 5 x %d calls (items/s)\n", kDelayUs, kCalls);
  std::printf("  %5s %10s %10s %10s %12s\n", "cores", "rate", "nominal", "of nominal", "x one core");
  double base = 0;
  for (int n : {1, 2, 4, 8}) {
    std::vector<CoreId> cores;
    for (int i = 0; i < n; ++i) cores.push_back(core(i / 4, i % 4));
    ModelConfig config;
    config.setSingleCoreMode(cores);
    auto m = Model::create(slow->path(), config, sc);
    if (!m || m->launch(*acc) != StatusCode::OK) return 1;
    const int batch = 16 * n;
    std::vector<int8_t> items(static_cast<size_t>(batch) * kItem, 1);
    std::vector<NDArray<int8_t>> bin(1), bout;
    bin[0].data = internal::NDArrayData(items.data());
    bin[0].num_elements = static_cast<int64_t>(items.size());
    bin[0].shape = {batch, 1, 1, kItem};
    m->infer(bin, bout);  // warm-up
    const double rate = median([&] {
      const auto t0 = Clock::now();
      for (int i = 0; i < kCalls; ++i) m->infer(bin, bout);
      return kCalls * batch / std::chrono::duration<double>(Clock::now() - t0).count();
    });
    const double nominal = n * 1e6 / kDelayUs;
    if (n == 1) base = rate;
    std::printf("  %5d %10.0f %10.0f %9.0f%% %11.2fx\n", n, rate, nominal, 100 * rate / nominal, rate / base);
  }
  return 0;
}
