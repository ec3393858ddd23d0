#include "kestrane/acc.h"

#include <new>

#include "core/log.h"
#include "engine/acc_impl.h"

namespace kestrane {

std::unique_ptr<Accelerator> Accelerator::create(StatusCode& sc) { return create(0, sc); }

std::unique_ptr<Accelerator> Accelerator::create(int dev_no, StatusCode& sc) {
  auto impl = AcceleratorImpl::create(dev_no, sc);
  if (!impl) {
    KLOG_ERROR("Accelerator not created.");
    return nullptr;
  }
  try {
    std::unique_ptr<Accelerator> acc(new Accelerator(std::move(impl)));
    sc = StatusCode::OK;
    return acc;
  } catch (const std::bad_alloc&) {  // the card closes again with `impl`
    KLOG_ERROR("Accelerator not created: no host memory.");
    sc = StatusCode::BadAlloc;
    return nullptr;
  }
}

std::unique_ptr<Accelerator> Accelerator::create(int dev_no, bool, StatusCode& sc) {
  KLOG_WARN(
      "Deprecated: `Accelerator::create(int dev_no, bool verbose, StatusCode& sc)`. Use "
      "`Accelerator::create(int dev_no, StatusCode& sc)` instead.");
  return create(dev_no, sc);
}

Accelerator::Accelerator(std::unique_ptr<AcceleratorImpl> impl) : impl_(std::move(impl)) {}
Accelerator::Accelerator(Accelerator&& other) noexcept = default;
Accelerator& Accelerator::operator=(Accelerator&& other) noexcept = default;
Accelerator::~Accelerator() = default;

std::vector<CoreId> Accelerator::getAvailableCores() {
  return impl_ ? impl_->getAvailableCores() : std::vector<CoreId>{};
}

}  // namespace kestrane
