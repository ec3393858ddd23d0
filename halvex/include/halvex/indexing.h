#pragma once

#include <cstdint>
#include <vector>

#include "halvex/tensor.h"

namespace kestrane::halvex::indexing {

enum class TensorIndexKind : uint32_t {
  Full = 0,     // the whole dimension
  Integer = 1,  // one position; the dimension disappears
  Slice = 2,    // positions start to stop - 1; the dimension stays
  Tensor = 3,   // one position read from a one-element tensor, or a bool mask over the whole tensor
};

// One index applied to one dimension.
class TensorIndex {
 public:
  // Full.
  TensorIndex() = default;
  // Integer.
  TensorIndex(int64_t position) : integer(position), kind(TensorIndexKind::Integer) {}  // NOLINT
  // Slice [start, stop); a stop of -1 reaches to the end of the dimension.
  TensorIndex(int64_t sliceStart, int64_t sliceStop)
      : start(sliceStart), stop(sliceStop), kind(TensorIndexKind::Slice) {}
  // Tensor: a one-element index tensor or a bool mask.
  TensorIndex(const halvex::Tensor& t);  // NOLINT

  static TensorIndex full() { return {}; }
  static TensorIndex slice(int64_t sliceStart, int64_t sliceStop = -1) { return {sliceStart, sliceStop}; }

  int64_t integer = 0;
  int64_t start = 0;
  int64_t stop = -1;
  halvex::Tensor tensor;
  TensorIndexKind kind = TensorIndexKind::Full;
};

// One Tensor record per coordinate held by idx (its elements as int64), to be
// applied to the leading dimensions of a data tensor; a 0-d idx gives one.
std::vector<TensorIndex> makeTensorIndices(const halvex::Tensor& idx);

}  // namespace kestrane::halvex::indexing
