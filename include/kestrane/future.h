#pragma once

// The handle of one asynchronous inference request: Model::inferAsync and
// its variants return one. get() waits for the request and hands over its
// outputs, once; waitFor() tells whether the request has finished.
//
// A Future is movable, not copyable, and used by one thread at a time;
// different futures may be waited on from different threads at once. A
// future may outlive its model: once the model is disposed, a request that
// had not finished reads Model_AsyncPipelineNotAlive, and one that had
// finished still hands over its outputs.

#include <cstdint>
#include <memory>
#include <vector>

#include "kestrane/export.h"
#include "kestrane/status.h"
#include "kestrane/type.h"

namespace kestrane {

template <typename T>
class FutureImpl;

// T is int8_t or float.
template <typename T>
class KESTRANE_API Future {
 public:
  // Not valid: get() refuses it.
  Future();
  // Made by the runtime; valid when impl is set.
  explicit Future(std::unique_ptr<FutureImpl<T>> impl);
  Future(Future&& other) noexcept;
  // Lets go of the request held so far without collecting it, then takes the
  // other's.
  Future& operator=(Future&& other) noexcept;
  Future(const Future&) = delete;
  Future& operator=(const Future&) = delete;
  // A future whose outputs were never requested collects its request first
  // (waiting at most 11000 ms for it), so that nothing of it is left behind.
  ~Future();

  // The request's outputs, waiting at most 11000 ms; the status is OK or the
  // request's failure. A second call (also after a failed first one) and a
  // call on a future that is not valid give Future_NotValid.
  std::vector<NDArray<T>> get(StatusCode& status);
  // Whether the request has finished within timeoutMs milliseconds; the
  // outputs stay to be collected by get().
  bool waitFor(int64_t timeoutMs);

 private:
  void collectIfPending();

  std::unique_ptr<FutureImpl<T>> impl_;
  bool valid_ = false;
};

extern template class KESTRANE_API Future<int8_t>;
extern template class KESTRANE_API Future<float>;

}  // namespace kestrane
