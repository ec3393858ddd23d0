#pragma once

// End-to-end runs of the shared test models on a simulated card, through the
// public Accelerator and Model.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/taliss_monitor.h"
#include "engine/acc_impl.h"
#include "engine/test_seams.h"
#include "kestrane/acc.h"
#include "kestrane/model.h"
#include "model_fixture.h"
#include "platform/shared_memory.h"
#include "simcard/card_registry.h"
#include "simcard/sim_card.h"
#include "support/log_capture.h"

namespace kestrane::test {

using Values = std::vector<float>;

// Values k * step for random integers k in [lo, hi].
inline Values steps(size_t n, float step, int lo, int hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(lo, hi);
  Values v(n);
  for (float& x : v) x = static_cast<float>(dist(rng)) * step;
  return v;
}

// An array owning a copy of `values`.
template <typename T>
NDArray<T> arrayOf(std::vector<int64_t> shape, const std::vector<T>& values) {
  NDArray<T> a;
  StatusCode status = StatusCode::OK;
  a.data = internal::NDArrayData(static_cast<int64_t>(values.size() * sizeof(T)), status);
  EXPECT_EQ(status, StatusCode::OK);
  std::copy(values.begin(), values.end(), a.ptr());
  a.num_elements = static_cast<int64_t>(values.size());
  a.shape = std::move(shape);
  return a;
}

template <typename T>
std::vector<T> valuesOf(const NDArray<T>& a) {
  return std::vector<T>(a.ptr(), a.ptr() + a.num_elements);
}

// HWC items (n, h, w, c) as CHW items (n, c, h, w), and back.
template <typename T>
std::vector<T> toCHW(const std::vector<T>& v, size_t n, size_t h, size_t w, size_t c) {
  std::vector<T> out(v.size());
  for (size_t b = 0; b < n; ++b)
    for (size_t y = 0; y < h; ++y)
      for (size_t x = 0; x < w; ++x)
        for (size_t k = 0; k < c; ++k) out[((b * c + k) * h + y) * w + x] = v[((b * h + y) * w + x) * c + k];
  return out;
}

// Single-core mode on one core (cluster 0 or 1, core 0 to 3).
inline ModelConfig onCore(int cluster, int core) {
  ModelConfig config;
  config.setSingleCoreMode(std::vector<CoreId>{
      {cluster == 0 ? Cluster::Cluster0 : Cluster::Cluster1, static_cast<Core>(core + 1)}});
  return config;
}

// Card 0's accelerator, below the public API; the driver's connection
// details are kept off the output.
inline std::unique_ptr<AcceleratorImpl> openAcceleratorImpl(StatusCode& status) {
  ::testing::internal::CaptureStdout();
  auto acc = AcceleratorImpl::create(0, status);
  ::testing::internal::GetCapturedStdout();
  return acc;
}

class InferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    monitorName_ = "kestrane_monitor_inference_" + std::to_string(getpid());
    platform::SharedMemory::unlink(monitorName_);
    TalissMonitor::setBlockName(monitorName_);
    simcard::detachAllCards();
    card_ = simcard::attachCard(0, {});
  }
  void TearDown() override {
    models_.clear();
    acc_.reset();
    seams::setWatchdogTimes({});
    card_.reset();
    simcard::detachAllCards();
    platform::SharedMemory::unlink(monitorName_);
  }

  Accelerator& accelerator() {
    if (!acc_) {
      StatusCode status = StatusCode::InternalError;
      ::testing::internal::CaptureStdout();  // the driver's connection details
      acc_ = Accelerator::create(0, status);
      ::testing::internal::GetCapturedStdout();
      EXPECT_EQ(status, StatusCode::OK);
    }
    return *acc_;
  }

  // A model of the description, created and launched; it lives until the
  // test ends (before the accelerator goes).
  Model& launch(const json& description, const ModelConfig& config = ModelConfig()) {
    Model* model = create(description, config);
    EXPECT_EQ(model->launch(accelerator()), StatusCode::OK);
    return *model;
  }
  Model* create(const json& description, const ModelConfig& config = ModelConfig()) {
    files_.push_back(writeModel(description));
    StatusCode status = StatusCode::InternalError;
    models_.push_back(Model::create(files_.back()->path(), config, status));
    EXPECT_EQ(status, StatusCode::OK);
    return models_.back().get();
  }

  // The cpu_layers model with its last layer, "result", replaced by
  // `layers` (the last of them named "result", reading "npu_out" of shape
  // (2, 2, 2, 4)), given one request: its status, the shape of its first
  // output and the lines it logged.
  struct HostLayersRun {
    StatusCode status;
    std::vector<int64_t> shape;
    std::vector<std::string> lines;
  };
  HostLayersRun runHostLayers(const json& layers) {
    json desc = testModel("cpu_layers");
    json& described = desc["metadata"][0]["payload"]["model_description"]["layers"];
    described.erase(2);
    for (const json& layer : layers) described.push_back(layer);
    Model& model = launch(desc, onCore(0, 0));
    LogCapture log;
    HostLayersRun run{StatusCode::InternalError, {}, {}};
    auto y = model.infer({arrayOf<float>({2, 2, 2, 4}, steps(32, 0.5f, -20, 20, 16))}, run.status);
    if (!y.empty()) run.shape = y[0].shape;
    run.lines = log.lines();
    return run;
  }

  std::shared_ptr<simcard::SimCard> card_;
  std::unique_ptr<Accelerator> acc_;
  std::vector<std::unique_ptr<TempModelFile>> files_;
  std::vector<std::unique_ptr<Model>> models_;
  std::string monitorName_;
};

}  // namespace kestrane::test
