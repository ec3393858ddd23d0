#pragma once

#include <memory>

#include "kestrane/acc.h"

namespace ophel {

// What an Accelerator object holds: the native accelerator.
struct AcceleratorHandle {
  std::unique_ptr<kestrane::Accelerator> native;
};

}  // namespace ophel
