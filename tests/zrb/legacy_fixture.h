#pragma once

// Sample models of format versions 1 to 4 for the writer, shaped so that
// reading them exercises what each version has of its own: derived
// sequence lengths (3, 4), the older core and designation words (2, 3),
// the sub-version differences (2) and the platform designations and
// checksums (1).

#include <cstdint>
#include <string>

#include "support/zrb_writer.h"

namespace kestrane::test {

// Versions 2 to 4 get two bundles (the second with a payload of
// `bigPayload` bytes), version 1 its one bundle with three candidates.
zrbw::Model legacySampleModel(uint32_t version, size_t bigPayload = 3000, size_t smallPayload = 700);

// "V4", "V2_1", "V1_0", ...: a test-name suffix for the version word.
std::string versionName(uint32_t version);

inline bool isVersion1(uint32_t version) { return (version >> 16) == 1; }
inline bool isVersion2(uint32_t version) { return (version >> 16) == 2; }

}  // namespace kestrane::test
