#pragma once

// Normalisation, softmax, softplus and 4-D interpolation.

#include <cstdint>
#include <vector>

#include "halvex/tensor.h"

namespace kestrane::halvex::nn::functional {

struct GroupNormOptions {
  int64_t num_groups = 1;
  double eps = 1e-5;
  Tensor weight;  // one scale per channel
  Tensor bias;    // one offset per channel
};

struct InstanceNormOptions {
  double eps = 1e-5;
  Tensor weight;  // optional
  Tensor bias;    // optional
};

struct LayerNormOptions {
  std::vector<int64_t> normalized_shape;
  double eps = 1e-5;
  Tensor weight;
  Tensor bias;
};

inline constexpr int8_t kInterpolateNearest = 20;
inline constexpr int8_t kInterpolateLinear = 21;

struct InterpolateOptions {
  std::vector<int64_t> size;  // output sizes of the spatial dimensions, height first
  int8_t mode = kInterpolateNearest;
};

// Normalises each group of num_groups consecutive channels of [N, C, ...].
Tensor group_norm(const Tensor& input, const GroupNormOptions& options);
// Normalises each channel of each sample of [N, C, ...].
Tensor instance_norm(const Tensor& input, const InstanceNormOptions& options);
// Normalises over the trailing dimensions given by normalized_shape.
Tensor layer_norm(const Tensor& input, const LayerNormOptions& options);
// exp(x - max) / sum along dim; integer inputs compute in float32.
Tensor softmax(const Tensor& input, int64_t dim);
// log(exp(x) + 1).
Tensor softplus(const Tensor& input);
// Resizes the two spatial dimensions of a float32 or float64 [N, C, H, W] tensor.
Tensor interpolate(const Tensor& input, const InterpolateOptions& options);

}  // namespace kestrane::halvex::nn::functional
