// One synchronous inference call through the public API, as a C++ user makes
// it, timed request by request: the C++ side of bench/python_overhead.py,
// which makes the same call on the same model file from Python.
//
//   bench_infer_call MODEL.zrb [requests]
//
// Prints, for the returning form and the form that fills the caller's arrays,
// "<form> <p50 us> <p99 us>" on one line each. The model runs on one core
// (Cluster0 Core0) with float32 data of its input shape.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestrane/acc.h"
#include "kestrane/log.h"
#include "kestrane/model.h"

#include "bench_args.h"

using namespace kestrane;
using Clock = std::chrono::steady_clock;

namespace {

template <typename F>
void measure(const char* form, int rounds, F call) {
  std::vector<double> us;
  for (int i = 0; i < rounds + rounds / 10; ++i) {
    const auto t0 = Clock::now();
    if (!call()) {
      std::fprintf(stderr, "%s failed\n", form);
      std::exit(1);
    }
    const double t = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    if (i >= rounds / 10) us.push_back(t);  // the first tenth warms up
  }
  std::sort(us.begin(), us.end());
  std::printf("%s %.2f %.2f\n", form, us[us.size() / 2], us[us.size() * 99 / 100]);
}

}  // namespace

constexpr const char* kUsage =
    "usage: bench_infer_call MODEL.zrb [REQUESTS]\n"
    "Times one synchronous inference call through the public API on one core of the simulated card\n"
    "(the C++ side of bench/python_overhead.py) and prints \"<form> <p50 us> <p99 us>\" for the\n"
    "returning form and the form that fills the caller's arrays.\n"
    "  MODEL.zrb  the model file (tools/zrbgen makes one from tests/models/identity_int8.json)\n"
    "  REQUESTS   requests per form (default 20000; fewer than 100 count as 100)\n";

int main(int argc, char** argv) {
  namespace bench = kestrane::bench;
  if (bench::asksHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 2 || argc > 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (argv[1][0] == '-') bench::refuseArgument(argv[0], std::string("unknown option ") + argv[1]);
  long rounds = 20000;
  if (argc > 2 && !bench::wholeNumber(argv[2], 1, 100000000, rounds)) {
    bench::refuseArgument(argv[0], std::string("requests must be 1 to 100000000, not ") + argv[2]);
  }
  rounds = std::max(100L, rounds);
  setLogLevel(LogLevel::WARN);
  StatusCode sc = StatusCode::OK;
  auto acc = Accelerator::create(0, sc);
  ModelConfig config;
  config.setSingleCoreMode(std::vector<CoreId>{{Cluster::Cluster0, Core::Core0}});
  if (!acc) {
    std::fprintf(stderr, "%s: no accelerator on card 0\n", argv[0]);
    return 1;
  }
  auto model = Model::create(argv[1], config, sc);
  if (!model) {
    std::fprintf(stderr, "%s: no model from %s\n", argv[0], argv[1]);
    return 1;
  }
  if (model->launch(*acc) != StatusCode::OK) return 1;

  const std::vector<int64_t> shape = model->getModelInputShape()[0];
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  std::vector<float> data(static_cast<size_t>(n), 3.0f);
  std::vector<NDArray<float>> in(1);
  in[0].data = internal::NDArrayData(data.data());
  in[0].num_elements = n;
  in[0].shape = shape;

  measure("returning", static_cast<int>(rounds), [&] {
    std::vector<NDArray<float>> out = model->infer(in, 0, sc);
    return sc == StatusCode::OK;
  });
  std::vector<NDArray<float>> out;
  model->infer(in, out, 0);
  measure("into", static_cast<int>(rounds), [&] { return model->infer(in, out, 0) == StatusCode::OK; });
  return 0;
}
