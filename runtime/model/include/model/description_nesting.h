#pragma once

#include <cstddef>

namespace kestrane {

// Levels of nested maps and arrays a model description may have (its
// top-level map is one). Real descriptions nest a handful; the bound keeps
// the MessagePack reader's recursion, one call per level, far from the end
// of the stack, under the sanitizers too. The model-file writer of the tests
// refuses to write past it.
inline constexpr std::size_t kMaxDescriptionNesting = 256;

}  // namespace kestrane
