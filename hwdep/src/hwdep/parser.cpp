#include "hwdep/parser.h"

#include "hwdep/parser_v1.h"
#include "hwdep/parser_v2.h"
#include "hwdep/parser_v3.h"
#include "hwdep/parser_v4.h"

namespace kestrane::hwdep {

std::unique_ptr<Parser> createParser(uint32_t formatVersion) {
  switch (formatVersion) {
    case 1:
      return std::make_unique<ParserV1>();
    case 2:
      return std::make_unique<ParserV2>();
    case 3:
      return std::make_unique<ParserV3>();
    case 4:
      return std::make_unique<ParserV4>();
    default:
      return nullptr;
  }
}

bool readOverviewStrings(ByteReader& reader, Platform& platform) {
  std::string vendor, product, family;
  if (!reader.string(vendor) || !reader.string(product) || !reader.string(family)) return false;
  platform.setVendor(std::move(vendor));
  platform.setProduct(std::move(product));
  platform.setDeviceFamily(std::move(family));
  return true;
}

bool readOverviewNumbers(ByteReader& reader, Platform& platform, OverviewCode5 code5) {
  if (!reader.need(20)) return false;
  uint32_t value0 = 0, value1 = 0, value4 = 0, value5 = 0;
  uint8_t value2 = 0, value3 = 0, value6 = 0, value7 = 0;
  reader.u32(value0);
  reader.u32(value1);
  reader.u8(value2);
  reader.u8(value3);
  reader.u32(value4);
  reader.u32(value5);
  reader.u8(value6);
  reader.u8(value7);
  const uint32_t maxCode5 = code5 == OverviewCode5::UpToFour ? 4 : 3;
  platform.setOvlValue0(value0);
  platform.setHardwareVersion(value1);
  platform.setOvlCode2(value2 <= 4 ? value2 : Platform::kUnsetCode);
  platform.setOvlFlag3(value3 != 0);
  platform.setOvlValue4(value4);
  platform.setOvlCode5(value5 >= 1 && value5 <= maxCode5 ? value5 - 1 : Platform::kUnsetCode);
  platform.setOvlFlag6(value6 != 0);
  platform.setOvlFlag7(value7 != 0);
  return true;
}

}  // namespace kestrane::hwdep
