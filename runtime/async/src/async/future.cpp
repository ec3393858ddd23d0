#include "async/future_impl.h"

#include <exception>
#include <new>

#include "core/log.h"
#include "dataplane/tensor_utils.h"

namespace kestrane {

template <typename T>
std::vector<NDArray<T>> FutureImpl<T>::get(int64_t timeoutMs, StatusCode& status) {
  if (!manager_) {
    status = StatusCode::Model_AsyncPipelineNotAlive;
    return {};
  }
  try {
    std::vector<halvex::Tensor> tensors;
    status = manager_->getOutput(jobId_, tensors, timeoutMs);
    if (status != StatusCode::OK) return {};
    std::vector<NDArray<T>> arrays;
    arrays.reserve(tensors.size());
    for (const halvex::Tensor& tensor : tensors) {
      arrays.push_back(moveToNDArray<T>(tensor));
      // Only a wrong output type gives no storage (moveToNDArray logged it).
      if (arrays.back().ptr() == nullptr && tensor.numel() != 0) {
        status = StatusCode::InternalError;
        return {};
      }
    }
    return arrays;
  } catch (const std::bad_alloc&) {
    KLOG_ERROR("Out of memory while collecting the outputs of job {}.", jobId_);
    status = StatusCode::BadAlloc;
  } catch (const std::exception& e) {
    KLOG_ERROR("Failed to collect the outputs of job {}: {}", jobId_, e.what());
    status = StatusCode::InternalError;
  }
  return {};
}

template <typename T>
bool FutureImpl<T>::waitFor(int64_t timeoutMs) {
  return manager_ && manager_->waitFor(jobId_, timeoutMs);
}

template <typename T>
void FutureImpl<T>::release() {
  if (manager_) manager_->release(jobId_);
}

template <typename T>
Future<T>::Future() = default;

template <typename T>
Future<T>::Future(std::unique_ptr<FutureImpl<T>> impl) : impl_(std::move(impl)), valid_(impl_ != nullptr) {}

template <typename T>
Future<T>::Future(Future&& other) noexcept : impl_(std::move(other.impl_)), valid_(other.valid_) {
  other.valid_ = false;
}

template <typename T>
Future<T>& Future<T>::operator=(Future&& other) noexcept {
  if (this != &other) {
    // The request held so far is released without being collected and
    // without waiting: its manager frees its outputs, now or when they come.
    if (valid_ && impl_) impl_->release();
    impl_ = std::move(other.impl_);
    valid_ = other.valid_;
    other.valid_ = false;
  }
  return *this;
}

template <typename T>
Future<T>::~Future() {
  collectIfPending();
}

template <typename T>
void Future<T>::collectIfPending() {
  if (valid_ && impl_) {
    KLOG_WARN("Future is being destroyed before its output is retrieved.");
    StatusCode ignored = StatusCode::OK;
    impl_->get(AsyncInferJobManager::kWaitMs, ignored);
  }
  valid_ = false;
  impl_.reset();
}

template <typename T>
std::vector<NDArray<T>> Future<T>::get(StatusCode& status) {
  if (!valid_ || !impl_) {
    KLOG_ERROR("`Future::get` was called with an invalid future.");
    status = StatusCode::Future_NotValid;
    return {};
  }
  // Cleared first: a second get is refused even when this one fails.
  valid_ = false;
  return impl_->get(AsyncInferJobManager::kWaitMs, status);
}

template <typename T>
bool Future<T>::waitFor(int64_t timeoutMs) {
  if (!valid_ || !impl_) {
    KLOG_WARN("`Future::waitFor` was called with an invalid future.");
    return false;
  }
  return impl_->waitFor(timeoutMs);
}

template class FutureImpl<int8_t>;
template class FutureImpl<float>;
template class Future<int8_t>;
template class Future<float>;

}  // namespace kestrane
