#pragma once

// Included by tensor.h: the strided element iterator.

#include <algorithm>
#include <type_traits>

#include "halvex/tensor.h"

namespace kestrane::halvex {

namespace detail {
// Logs "Both ratio ({}) and shape({}) are not 1." (kept out of the header's
// template so that the logger is not pulled into every user).
void logBadRatio(int64_t ratio, int64_t size);
}  // namespace detail

// Visits the elements of any layout in row-major index order. The innermost
// dimensions that form one evenly strided block are fused into a run walked
// with a constant step; the multi-dimensional carry happens once per run.
// Broadcast ratios stretch size-1 dimensions by giving them stride 0; a
// repeated innermost dimension becomes a run of step 0.
//
// T is only the type an element is accessed through; movement is in bytes.
// Besides the element-wise ++, remainingInRun()/advance(n) let a kernel take
// a whole stretch of equal steps at once (see forEachStretch in iteration.h).
// All layout arithmetic is 64-bit.
template <typename T>
class Tensor::IterImpl {
 public:
  using Byte = std::conditional_t<std::is_const<T>::value, const char, char>;

  IterImpl(const Tensor& t, bool begin, IntArrayRef ratios = {}, int32_t stepMultiplier = 1)
      : shape_(t.shape()), strides_(t.strides()), counters_(t.shape().size(), 0) {
    Byte* base = t.basePtr();
    bool hasRatios = !ratios.empty();
    auto ratioAt = [&](size_t d) { return d < ratios.size() ? ratios[d] : int64_t{1}; };
    bool emptyWalk = !shape_.empty() && t.numel() == 0;
    if (hasRatios) {
      for (int64_t r : ratios) emptyWalk = emptyWalk || r == 0;
    }
    if (emptyWalk || !t.defined()) {
      current_ = base;
      step_ = t.elementSize() > 0 ? t.elementSize() : 1;
      return;
    }
    int64_t unit = 0;
    if (shape_.empty()) {
      shape_ = {1};
      strides_ = {t.elementSize()};
      counters_ = {0};
      unit = t.elementSize();
      runLength_ = 1;
      // A stretched 0-d tensor walks its one dimension as an outer one.
      outerDims_ = ratioAt(0) != 1 ? 1 : 0;
    } else {
      unit = strides_.back() != 0 ? strides_.back() : t.elementSize();
      int64_t run = unit;
      runLength_ = 1;
      int64_t d = static_cast<int64_t>(shape_.size()) - 1;
      for (; d >= 0; --d) {
        size_t ud = static_cast<size_t>(d);
        if (strides_[ud] == run && ratioAt(ud) == 1) {
          run *= shape_[ud];
          runLength_ *= shape_[ud];
        } else {
          break;
        }
      }
      outerDims_ = static_cast<int32_t>(d + 1);
    }
    step_ = unit * stepMultiplier;
    if (hasRatios) {
      for (size_t d = 0; d < ratios.size() && d < shape_.size(); ++d) {
        if (ratios[d] == 1) continue;
        if (shape_[d] == 1) {
          shape_[d] = ratios[d];
          strides_[d] = 0;
        } else {
          detail::logBadRatio(ratios[d], shape_[d]);
        }
      }
    }
    // A repeated innermost dimension (stride 0, from expand or a ratio) is a
    // run of step 0 rather than one run per element.
    const size_t last = shape_.size() - 1;
    if (outerDims_ == static_cast<int32_t>(shape_.size()) && strides_[last] == 0 && shape_[last] > 1) {
      step_ = 0;
      runLength_ = shape_[last];
      outerDims_ = static_cast<int32_t>(last);
    }
    if (!begin) {
      current_ = nullptr;
      counters_[0] = shape_[0];
      return;
    }
    current_ = base;
    for (size_t d = 0; d < shape_.size(); ++d) {
      if (strides_[d] < 0) current_ += (shape_[d] - 1) * -strides_[d];
    }
    runLeft_ = runLength_;
    if (outerDims_ == static_cast<int32_t>(shape_.size())) {
      shape_.push_back(1);
      strides_.push_back(step_);
    }
  }

  T& operator*() const { return *reinterpret_cast<T*>(current_); }
  IterImpl& operator++() {
    advance(1);
    return *this;
  }
  bool operator==(const IterImpl& other) const { return current_ == other.current_; }
  bool operator!=(const IterImpl& other) const { return current_ != other.current_; }

  Byte* current() const { return current_; }
  // Bytes from one element of the current run to the next.
  int64_t step() const { return step_; }
  // Elements left in the current run, the current one included.
  int64_t remainingInRun() const { return current_ == nullptr ? 0 : runLeft_; }
  // Moves n elements on; n must not exceed remainingInRun().
  void advance(int64_t n) {
    current_ += n * step_;
    runLeft_ -= n;
    if (runLeft_ == 0) carry();
  }

 private:
  void carry() {
    for (int32_t d = outerDims_ - 1; d >= 0; --d) {
      size_t ud = static_cast<size_t>(d);
      current_ += strides_[ud] - shape_[ud + 1] * strides_[ud + 1];
      if (++counters_[ud] < shape_[ud]) {
        runLeft_ = runLength_;
        return;
      }
      counters_[ud] = 0;
    }
    current_ = nullptr;
  }

  std::vector<int64_t> shape_;
  std::vector<int64_t> strides_;
  std::vector<int64_t> counters_;
  int64_t step_ = 1;
  Byte* current_ = nullptr;
  // Elements per run and elements left in the current one (counted rather
  // than compared with an end address, so that a run may have step 0).
  int64_t runLength_ = 0;
  int64_t runLeft_ = 0;
  int32_t outerDims_ = 0;
};

}  // namespace kestrane::halvex
