// The README's main job: loads the model file made from examples/demo_model.json,
// launches it on card 0 of the simulated card, runs a batch through it and
// checks the results against the same computation on the host.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "kestrane/acc.h"
#include "kestrane/log.h"
#include "kestrane/model.h"
#include "kestrane/status.h"
#include "kestrane/version.h"

namespace {

using namespace kestrane;

constexpr int kBatch = 4, kValues = 16;

// What the model computes: the card's int8 scores 2 q + 1 of the input
// rounded to int8 steps, then the host's softmax of each item's scores.
void reference(const std::vector<float>& x, std::vector<float>& scores, std::vector<float>& prob) {
  scores.resize(x.size());
  prob.resize(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const float q = std::min(127.0f, std::max(-128.0f, std::floor(x[i] + 0.5f)));
    scores[i] = std::min(127.0f, std::max(-128.0f, 2 * q + 1));
  }
  for (size_t item = 0; item < x.size(); item += kValues) {
    const float top = *std::max_element(scores.begin() + item, scores.begin() + item + kValues);
    float sum = 0;
    for (int k = 0; k < kValues; ++k) sum += prob[item + k] = std::exp(scores[item + k] - top);
    for (int k = 0; k < kValues; ++k) prob[item + k] /= sum;
  }
}

int fail(const char* what, StatusCode status) {
  std::printf("%s failed: %s\n", what, statusCodeName(status).c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: %s MODEL.zrb\n", argv[0]);
    return 2;
  }
  setLogLevel(LogLevel::WARN);
  std::printf("ophel %s (revision %s), %s %s\n\n", getOphelVersion().c_str(), getOphelGitVersion().c_str(),
              getOphelVendor().c_str(), getOphelProduct().c_str());

  StatusCode status = StatusCode::OK;
  auto acc = Accelerator::create(0, status);
  if (!acc) return fail("Opening card 0", status);
  auto model = Model::create(argv[1], status);
  if (!model) return fail("Loading the model", status);
  const auto& shape = model->getModelInputShape()[0];
  std::printf("\nmodel %s: input (%lld, %lld, %lld), %zu outputs\n", argv[1], static_cast<long long>(shape[0]),
              static_cast<long long>(shape[1]), static_cast<long long>(shape[2]),
              model->getModelOutputShape().size());
  status = model->launch(*acc);
  if (status != StatusCode::OK) return fail("Launching the model", status);
  std::printf("launched on %zu cores\n", model->getTargetCores().size());

  // A batch of four items of 16 values each.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-4, 4);
  std::vector<float> x(kBatch * kValues);
  for (float& v : x) v = dist(rng);
  std::vector<NDArray<float>> inputs(1);
  inputs[0].data = internal::NDArrayData(x.data());
  inputs[0].num_elements = static_cast<int64_t>(x.size());
  inputs[0].shape = {kBatch, 1, 1, kValues};
  std::vector<NDArray<float>> outputs = model->infer(inputs, status);
  if (status != StatusCode::OK) return fail("Inference", status);

  std::vector<float> scores, prob;
  reference(x, scores, prob);
  double worst = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    worst = std::max<double>(worst, std::abs(outputs[0].ptr()[i] - scores[i]));
    worst = std::max<double>(worst, std::abs(outputs[1].ptr()[i] - prob[i]));
  }
  std::printf("\nitem 0 of %d:      x   scores     prob\n", kBatch);
  for (int k = 0; k < kValues; ++k)
    std::printf("              %6.2f   %6.0f   %.4f\n", x[k], outputs[0].ptr()[k], outputs[1].ptr()[k]);
  model->dispose();

  const bool same = worst <= 1e-6;
  std::printf("\nlargest difference from the host reference over the batch: %g (%s)\n", worst,
              same ? "match" : "MISMATCH");
  return same ? 0 : 1;
}
