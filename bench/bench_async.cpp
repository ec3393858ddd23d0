// Asynchronous throughput against synchronous throughput on the simulated
// card, with a fixed-delay program: the identity model whose every run
// takes kDelayUs. The baseline, measured in the same run, is one caller's
// synchronous rate on one core; the pipeline on N cores should reach about
// N times that (the aim: at least 0.9 x N). Each rate is the median of five
// measurements.
//
//   bench_async [requests per core, default 100]

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/taliss_monitor.h"
#include "kestrane/acc.h"
#include "kestrane/log.h"
#include "kestrane/model.h"
#include "platform/shared_memory.h"
#include "simcard/card_registry.h"
#include "support/zrb_json.h"
#include "support/zrb_test_file.h"
#include "support/zrb_writer.h"

#include "bench_args.h"

using namespace kestrane;
namespace zrbw = kestrane::test::zrbw;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kDelayUs = 2000;

nlohmann::json delayedIdentity() {
  nlohmann::json model = nlohmann::json::parse(R"({
    "version": 6, "target_hardware": "Taliss2",
    "bundles": [{
      "cores": [{"all_local": true, "mode": 0}],
      "inputs": [{"name": "in", "original": [4, 4, 8], "shape": [4, 4, 64], "io_type": 0, "kind": 0,
                  "word2_nibble": 2, "scales": [1.0], "designations": [{"each_core": true, "address": 4096}]}],
      "outputs": [{"name": "out", "original": [4, 4, 8], "shape": [4, 4, 64], "io_type": 0, "kind": 0,
                   "word2_nibble": 2, "scales": [1.0], "designations": [{"each_core": true, "address": 8192}]}],
      "section_binaries": [{"memory_type": 0, "designations": [{"each_core": true, "region": "IMEM"}]}]
    }]})");
  model["bundles"][0]["section_binaries"][0]["program"] = {"copy ddr+0x2000 ddr+0x1000 1024",
                                                           "delay " + std::to_string(kDelayUs)};
  return model;
}

NDArray<float> input() {
  NDArray<float> a;
  StatusCode sc = StatusCode::OK;
  a.num_elements = 128;
  a.shape = {4, 4, 8};
  a.data = internal::NDArrayData(int64_t{128 * sizeof(float)}, sc);
  for (int i = 0; i < 128; ++i) a.ptr()[i] = static_cast<float>(i % 100 - 50);
  return a;
}

ModelConfig onCores(int n) {
  std::vector<CoreId> cores;
  for (int k = 0; k < n; ++k)
    cores.push_back({k < 4 ? Cluster::Cluster0 : Cluster::Cluster1, static_cast<Core>(k % 4 + 1)});
  ModelConfig config;
  config.setSingleCoreMode(cores);
  config.setAsyncPipelineEnabled(true);
  return config;
}

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Requests per second of one caller running `n` requests one after another.
double syncRate(Model& model, int n) {
  const std::vector<NDArray<float>> in{input()};
  StatusCode sc = StatusCode::OK;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    model.infer(in, sc);
    if (sc != StatusCode::OK) std::exit(1);
  }
  return n / seconds(start);
}

// Requests per second of one caller queueing `n` requests and collecting them.
double asyncRate(Model& model, int n) {
  const std::vector<NDArray<float>> in{input()};
  std::vector<Future<float>> futures;
  futures.reserve(static_cast<size_t>(n));
  StatusCode sc = StatusCode::OK;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    futures.push_back(model.inferAsync(in, sc));
    if (sc != StatusCode::OK) std::exit(1);
  }
  for (auto& f : futures) {
    f.get(sc);
    if (sc != StatusCode::OK) std::exit(1);
  }
  return n / seconds(start);
}

// The median of five measurements: the card's threads share the machine.
template <typename F>
double median(F measure) {
  std::vector<double> rates;
  for (int i = 0; i < 5; ++i) rates.push_back(measure());
  std::sort(rates.begin(), rates.end());
  return rates[2];
}

}  // namespace

constexpr const char* kUsage =
    "usage: bench_async [REQUESTS_PER_CORE]\n"
    "Asynchronous against synchronous throughput on 1, 2, 4 and 8 cores of the simulated card, with\n"
    "a program that takes 2000 us per run; each rate is the median of five measurements.\n"
    "  REQUESTS_PER_CORE  requests per core and measurement (default 100)\n";

int main(int argc, char** argv) {
  long perCore = 100;
  if (kestrane::bench::asksHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 2) kestrane::bench::refuseArgument(argv[0], std::string("unexpected argument ") + argv[2]);
  if (argc > 1 && argv[1][0] == '-' && !std::isdigit(static_cast<unsigned char>(argv[1][1]))) {
    kestrane::bench::refuseArgument(argv[0], std::string("unknown option ") + argv[1]);
  }
  if (argc > 1 && !kestrane::bench::wholeNumber(argv[1], 1, 1000000, perCore)) {
    kestrane::bench::refuseArgument(argv[0], std::string("requests per core must be 1 to 1000000, not ") + argv[1]);
  }
  setLogLevel(LogLevel::WARN);
  const std::string monitor = "kestrane_monitor_bench_async_" + std::to_string(getpid());
  TalissMonitor::setBlockName(monitor);
  simcard::detachAllCards();
  auto card = simcard::attachCard(0);
  test::TempModelFile file(zrbw::write(zrbw::modelFromJson(delayedIdentity())).bytes);
  StatusCode sc = StatusCode::OK;
  auto acc = Accelerator::create(0, sc);
  if (sc != StatusCode::OK) return 1;

  std::printf("fixed-delay program: %u us per run, %ld requests per core\n", kDelayUs, perCore);
  std::printf("%5s %12s %12s %12s %14s\n", "cores", "sync req/s", "async req/s", "async/sync", "async/(N*base)");
  double base = 0;
  for (int cores : {1, 2, 4, 8}) {
    auto model = Model::create(file.path(), onCores(cores), sc);
    if (sc != StatusCode::OK || model->launch(*acc) != StatusCode::OK) return 1;
    syncRate(*model, 5);  // warm the pool
    asyncRate(*model, cores);
    const double sync = median([&] { return syncRate(*model, static_cast<int>(perCore)); });
    if (cores == 1) base = sync;
    const double async = median([&] { return asyncRate(*model, static_cast<int>(perCore) * cores); });
    std::printf("%5d %12.1f %12.1f %12.2f %14.2f\n", cores, sync, async, async / sync, async / (cores * base));
  }
  acc.reset();
  card.reset();
  simcard::detachAllCards();
  platform::SharedMemory::unlink(monitor);
  return 0;
}
