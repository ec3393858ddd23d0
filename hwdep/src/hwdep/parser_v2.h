#pragma once

#include "hwdep/parser.h"

namespace kestrane::hwdep {

// Format version 2: untagged, sequential, closed by a boundary word.
class ParserV2 : public Parser {
 public:
  bool populate(Platform& platform, const uint8_t* data, uint32_t length) override;
};

}  // namespace kestrane::hwdep
