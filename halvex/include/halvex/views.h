#pragma once

// The two functions reshaping rests on.

#include <cstdint>
#include <vector>

#include "halvex/array_ref.h"

namespace kestrane::halvex {

// Replaces one -1 in shape by n divided by the product of the other sizes.
// False (after one error line) when the shape holds two -1, a -1 beside a 0,
// or a negative size other than -1; the shape is then left as it was.
bool fillMinusOneDim(std::vector<int64_t>& shape, int64_t n);

// Strides under which newShape walks the elements of the old layout in the
// same row-major order, or an empty list when no such strides exist.
std::vector<int64_t> computeViewStrides(IntArrayRef oldShape, IntArrayRef oldStrides, IntArrayRef newShape);

}  // namespace kestrane::halvex
