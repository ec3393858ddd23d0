#pragma once

#include <optional>

#include "hwdep/parser.h"

namespace kestrane::hwdep {

// Format version 3: eleven tagged sections .OVL .SDS .ABS .AGO .AGL .MSC .GBL
// .SWC .GNL .VOL .CSW, closed by a boundary word.
class ParserV3 : public Parser {
 public:
  bool populate(Platform& platform, const uint8_t* data, uint32_t length) override;

  // As ParserV4::goOffset, over the version 3 tags.
  static std::optional<size_t> goOffset(const uint8_t* data, size_t k, size_t position, size_t remaining);
};

}  // namespace kestrane::hwdep
