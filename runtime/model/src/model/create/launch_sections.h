#pragma once

// Which section binaries launch reads from the model file into host
// buffers: shared by launch and by the creation check that refuses a file
// whose read would fail.

#include <cstdint>

#include "zrb/records.h"

namespace kestrane::launch_sections {

constexpr uint32_t kSupplementarySection = 7;

// The program a bundle runs from its sections: 1 the sections of memory
// type up to 3, 2 the imem init (4), 3 the imem init start (5), preferred.
inline uint32_t programKind(const zrb::Bundle& bundle) {
  bool init = false, initStart = false;
  for (const zrb::SectionBinary& s : bundle.section_binaries) {
    init = init || s.memory_type == 4;
    initStart = initStart || s.memory_type == 5;
  }
  return initStart ? 3 : init ? 2 : 1;
}

inline bool isProgramSection(uint32_t kind, const zrb::SectionBinary& s) {
  return kind == 1 ? s.memory_type <= 3 : s.memory_type == (kind == 2 ? 4u : 5u);
}

inline bool isSupplementarySection(const zrb::SectionBinary& s) {
  const uint32_t type = s.memory_type;
  return type == 0 || type == 4 || type == 5 || type == kSupplementarySection;
}

// A model of one bundle runs the program uploaded at registration and reads
// only its supplementary sections; one of several bundles reads its program
// too.
// `kind` is the bundle's programKind.
inline bool launchReads(uint32_t kind, const zrb::SectionBinary& s, bool severalBundles) {
  return isSupplementarySection(s) || (severalBundles && isProgramSection(kind, s));
}

}  // namespace kestrane::launch_sections
