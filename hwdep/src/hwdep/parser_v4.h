#pragma once

#include <optional>

#include "hwdep/parser.h"

namespace kestrane::hwdep {

// Format version 4: tagged sections .OVL .SYS .CFG .GBL .SWC .SMD .GNL .VOL
// .CSW, found by a byte-wise search for their tags.
class ParserV4 : public Parser {
 public:
  bool populate(Platform& platform, const uint8_t* data, uint32_t length) override;

  // Position after the first tag of section k or a later one found in the
  // `remaining` bytes from `position`; logs and returns nothing otherwise.
  static std::optional<size_t> goOffset(const uint8_t* data, size_t k, size_t position, size_t remaining);

 private:
  static bool readSystem(ByteReader& reader, Platform& platform);
};

}  // namespace kestrane::hwdep
