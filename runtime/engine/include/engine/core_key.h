#pragma once

#include <cstdint>

#include "kestrane/type.h"

namespace kestrane {

// The 32-bit core key cluster | core (0x10003 for Cluster0 Core2) that reset
// requests and messages carry.
inline uint32_t coreKey(CoreId id) { return static_cast<uint32_t>(id.cluster) | static_cast<uint32_t>(id.core); }

}  // namespace kestrane
