#pragma once

// Helpers shared by the host execution of the layers.

#include <cstdint>
#include <vector>

#include "core/log.h"
#include "halvex/tensor.h"
#include "kestrane/status.h"

// Logs one error line and reports Model_PredictError from a StatusCode-returning function.
#define OPDESC_PREDICT_ERROR(...)                      \
  do {                                                 \
    KLOG_ERROR(__VA_ARGS__);                           \
    return ::kestrane::StatusCode::Model_PredictError; \
  } while (0)

namespace kestrane::opdesc {

// axis counted from the end when negative; false when it lies outside
// [-rank, rank - 1].
inline bool normaliseAxis(int64_t axis, int64_t rank, int64_t* out) {
  if (axis < -rank || axis >= rank) return false;
  *out = axis < 0 ? axis + rank : axis;
  return true;
}

// The elements as int64 in row-major order (floats truncated toward zero).
std::vector<int64_t> int64Values(const halvex::Tensor& t);

// The first element as float64; 0 for a tensor without elements.
double firstValue(const halvex::Tensor& t);

// A copy with storage of its own in the dtype (never an alias of t).
halvex::Tensor ownCopy(const halvex::Tensor& t, halvex::DType dtype);

}  // namespace kestrane::opdesc
