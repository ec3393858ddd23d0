// Greedy non-maximum suppression per batch item and class.

#include <fmt/ranges.h>

#include <cmath>
#include <cstring>

#include "halvex/free_functions.h"
#include "layers/op_desc.h"
#include "op_desc_util.h"

namespace kestrane {

using halvex::DType;
using halvex::Tensor;

namespace {

// The description's score threshold that means "no threshold".
constexpr double kNoScoreThreshold = -99999.0;

struct Box {
  double x1, y1, x2, y2;
  double area() const { return std::abs(x2 - x1) * std::abs(y2 - y1); }
};

// Intersection over union with the bounds of `best` kept as they are: boxes
// in the range 0 to 1 overlap by fractions.
double iou(const Box& best, const Box& other) {
  double w = std::max(std::min(other.x2, best.x2) - std::max(other.x1, best.x1), 0.0);
  double h = std::max(std::min(other.y2, best.y2) - std::max(other.y1, best.y1), 0.0);
  double inter = w * h;
  return inter / (best.area() + other.area() - inter);
}

}  // namespace

StatusCode OpDesc::predictNonMaxSuppression(const TensorList& inputs, Tensor* result) const {
  if (inputs.size() < 2) OPDESC_PREDICT_ERROR("Layer {} of type {} needs boxes and scores.", layerName, layerType);
  const Tensor& boxes = inputs[0];
  const Tensor& scores = inputs[1];
  if (boxes.ndim() != 3 || boxes.size(2) != 4 || scores.ndim() != 3 || scores.size(0) != boxes.size(0) ||
      scores.size(2) != boxes.size(1)) {
    OPDESC_PREDICT_ERROR("Layer {} of type {}: boxes [{}] and scores [{}] do not fit [B, N, 4] and [B, C, N].",
                         layerName, layerType, fmt::join(boxes.shape(), ", "), fmt::join(scores.shape(), ", "));
  }
  const int64_t numBatches = scores.size(0);
  const int64_t numClasses = scores.size(1);
  const int64_t n = boxes.size(1);
  // Read into lists of our own: the inputs are never written.
  const std::vector<double> coords = halvex::toDoubleVector(boxes);
  const std::vector<double> allScores = halvex::toDoubleVector(scores);
  std::vector<Box> all(static_cast<size_t>(numBatches * n));
  for (size_t i = 0; i < all.size(); ++i) {
    const double* c = coords.data() + i * 4;
    all[i] = is_center ? Box{c[0] - c[2] * 0.5, c[1] - c[3] * 0.5, 0, 0} : Box{c[0], c[1], c[2], c[3]};
    if (is_center) {
      all[i].x2 = all[i].x1 + c[2];
      all[i].y2 = all[i].y1 + c[3];
    }
  }

  std::vector<int32_t> selected;
  std::vector<int64_t> candidates;
  std::vector<double> candidateScores;
  // Scores without elements select nothing; their batch and class counts may
  // be any sizes, whose product need not even fit.
  for (int64_t b = 0; b < (allScores.empty() ? 0 : numBatches); ++b) {
    for (int64_t c = 0; c < numClasses; ++c) {
      const double* s = allScores.data() + (b * numClasses + c) * n;
      candidates.clear();
      candidateScores.clear();
      for (int64_t i = 0; i < n; ++i) {
        if (score_thres == kNoScoreThreshold || s[i] > score_thres) {
          candidates.push_back(i);
          candidateScores.push_back(s[i]);
        }
      }
      if (candidates.empty()) continue;
      // Best first, ties in the tensor library's sort order.
      std::vector<int64_t> order = opdesc::int64Values(std::get<1>(halvex::fromVector(candidateScores).sort(0, true)));
      const Box* bx = all.data() + b * n;
      int64_t kept = 0;
      while (!order.empty()) {
        const int64_t best = order.front();
        if (!(candidateScores[static_cast<size_t>(best)] > 0.0)) break;
        const int64_t box = candidates[static_cast<size_t>(best)];
        selected.insert(selected.end(), {static_cast<int32_t>(b), static_cast<int32_t>(c), static_cast<int32_t>(box)});
        if (max_output > 0 && ++kept >= max_output) break;
        std::vector<int64_t> rest;
        for (size_t j = 1; j < order.size(); ++j) {
          const int64_t other = candidates[static_cast<size_t>(order[j])];
          if (iou(bx[box], bx[other]) < iou_thres) rest.push_back(order[j]);
        }
        order.swap(rest);
      }
    }
  }
  const int64_t k = static_cast<int64_t>(selected.size() / 3);
  *result = halvex::fromVector(selected).reshape({k, 3}).to(boxes.dtype());
  return StatusCode::OK;
}

}  // namespace kestrane
