#pragma once

#include <memory>

#include "kestrane/acc.h"

namespace ophel {

// What an Accelerator object holds: the native accelerator and the card
// index it was opened with (for its repr).
struct AcceleratorHandle {
  std::unique_ptr<kestrane::Accelerator> native;
  int card = 0;
};

}  // namespace ophel
