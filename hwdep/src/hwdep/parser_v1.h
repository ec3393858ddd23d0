#pragma once

#include <map>

#include "hwdep/parser.h"

namespace kestrane::hwdep {

// Format version 1: untagged, fixed positions, one cluster (0x10000) of
// 184-byte core entries.
class ParserV1 : public Parser {
 public:
  bool populate(Platform& platform, const uint8_t* data, uint32_t length) override;

 private:
  // Entry id to entry position (counted from the byte after the version
  // word), walked in ascending id order.
  std::map<uint32_t, uint32_t> entries_;
};

}  // namespace kestrane::hwdep
