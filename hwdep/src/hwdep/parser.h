#pragma once

#include <cstdint>
#include <memory>

#include "hwdep/byte_reader.h"
#include "hwdep/platform.h"

namespace kestrane::hwdep {

// The reader of one description format version.
class Parser {
 public:
  virtual ~Parser() = default;
  // Fills `platform` from the `length` bytes at `data` (version word
  // included); false when the description cannot be read. Never reads
  // outside the bytes.
  virtual bool populate(Platform& platform, const uint8_t* data, uint32_t length) = 0;
};

// The parser of a format version (1 to 4); null for any other version.
std::unique_ptr<Parser> createParser(uint32_t formatVersion);

// How the older formats map overview value 5 (1, 2, 3) and version 4 (1 to 4)
// onto their codes.
enum class OverviewCode5 { UpToThree, UpToFour };

// Vendor, product and device-family strings.
bool readOverviewStrings(ByteReader& reader, Platform& platform);
// The 20 bytes of overview numbers, stored value 0 to value 7.
bool readOverviewNumbers(ByteReader& reader, Platform& platform, OverviewCode5 code5);

}  // namespace kestrane::hwdep
