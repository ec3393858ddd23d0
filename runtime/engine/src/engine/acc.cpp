#include "kestrane/acc.h"

#include "core/guarded_call.h"
#include "core/log.h"
#include "engine/acc_impl.h"

namespace kestrane {

std::unique_ptr<Accelerator> Accelerator::create(StatusCode& sc) { return create(0, sc); }

std::unique_ptr<Accelerator> Accelerator::create(int dev_no, StatusCode& sc) {
  std::unique_ptr<Accelerator> acc;
  sc = guardedCall("Accelerator::create", [&] {
    StatusCode status = StatusCode::InternalError;
    auto impl = AcceleratorImpl::create(dev_no, status);
    if (impl) acc.reset(new Accelerator(std::move(impl)));
    return status;
  });
  if (!acc) KLOG_ERROR("Accelerator not created.");
  return acc;
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
