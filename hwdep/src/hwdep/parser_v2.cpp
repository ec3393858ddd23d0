#include "hwdep/parser_v2.h"

#include <array>

#include "hwdep/system_block.h"

namespace kestrane::hwdep {

namespace {

constexpr uint32_t kBoundary = 0x12345678;
// Memory type of each of the 21 values of a template row.
constexpr std::array<uint32_t, 21> kTemplateOrder = {12, 13, 14, 15, 16, 3, 4, 5, 6, 18, 17,
                                                     7,  0,  2,  1,  20, 21, 22, 24, 25, 23};
// Order in which the core addresses are stored.
const std::vector<uint32_t> kAddressOrder = {24, 25, 0, 1, 2, 7, 12, 13, 14, 15, 16,
                                             17, 3, 4, 5, 6, 18, 20, 21, 22, 23};

// General-value slots of the 42 values: 27 from slot 0, 7 from 45, 5 from 55,
// 3 from 52.
size_t generalSlot(size_t i) {
  if (i < 27) return i;
  if (i < 34) return 45 + (i - 27);
  if (i < 39) return 55 + (i - 34);
  return 52 + (i - 39);
}

}  // namespace

bool ParserV2::populate(Platform& platform, const uint8_t* data, uint32_t length) {
  ByteReader reader(data, length, 4);
  if (!readOverviewStrings(reader, platform) || !readOverviewNumbers(reader, platform, OverviewCode5::UpToThree))
    return false;

  uint32_t systemSize = 0;
  if (!reader.u32(systemSize) || !reader.need(systemSize)) return false;
  ByteReader system(data + reader.position(), systemSize);
  reader.skip(systemSize);

  if (!reader.need(3 * 8 * kTemplateOrder.size())) return false;
  for (uint32_t row = 0; row < 3; ++row) {
    for (uint32_t type : kTemplateOrder) {
      uint64_t value = 0;
      reader.u64(value);
      platform.setAddressTemplate(row, type, value);
    }
  }
  if (!reader.need(5 * 8 + 3 * 4 + 1 + 13)) return false;
  for (size_t i = 0; i < 5; ++i) {
    uint64_t value = 0;
    reader.u64(value);
    platform.setSystemValue(i, value);
  }
  for (size_t i = 0; i < 3; ++i) {
    uint32_t value = 0;
    reader.u32(value);
    platform.setGblValue(i, value);
  }
  uint8_t byte = 0;
  reader.u8(byte);
  platform.setGblValue(3, byte);
  for (size_t slot = 1; slot <= 13; ++slot) {
    reader.u8(byte);
    platform.setSwitch(slot, byte != 0);
  }
  if (!reader.need(42 * 8)) return false;
  for (size_t i = 0; i < 42; ++i) {
    uint64_t value = 0;
    reader.u64(value);
    platform.setGeneralValue(generalSlot(i), value);
  }

  uint32_t boundary = 0;
  if (!reader.u32(boundary) || boundary != kBoundary) return false;
  SystemBlock block;
  return block.read(system) && block.apply(platform, kAddressOrder);
}

}  // namespace kestrane::hwdep
