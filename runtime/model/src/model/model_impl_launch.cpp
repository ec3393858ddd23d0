// Launch and disposal: the model on an accelerator.

#include "model/model_impl.h"

namespace kestrane {

// Disposing a model that is not launched does nothing and succeeds.
StatusCode ModelImpl::dispose() {
  if (!launched_) return StatusCode::OK;
  launched_ = false;
  return StatusCode::OK;
}

}  // namespace kestrane
