#include "hwdep/parser_v3.h"

#include <array>

#include "core/log.h"
#include "hwdep/system_block.h"

namespace kestrane::hwdep {

namespace {

constexpr std::array<uint32_t, 11> kTags = {tagWord(".OVL"), tagWord(".SDS"), tagWord(".ABS"), tagWord(".AGO"),
                                            tagWord(".AGL"), tagWord(".MSC"), tagWord(".GBL"), tagWord(".SWC"),
                                            tagWord(".GNL"), tagWord(".VOL"), tagWord(".CSW")};
enum Section : size_t { kOvl, kSds, kAbs, kAgo, kAgl, kMsc, kGbl, kSwc, kGnl, kVol, kCsw };

constexpr uint32_t kBoundary = 0x12345678;
// Memory types of the ten values of each template row.
constexpr std::array<uint32_t, 10> kTemplateTypes = {12, 17, 26, 7, 0, 2, 1, 24, 25, 23};
const std::vector<uint32_t> kAddressOrder = {24, 25, 0, 1, 2, 7, 12, 17, 26, 23};
constexpr std::array<size_t, 9> kSwitchSlots = {2, 3, 4, 14, 5, 6, 7, 8, 15};
constexpr std::array<size_t, 27> kGnlSlots = {27, 1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
                                              14, 15, 18, 19, 20, 21, 22, 23, 24, 26, 28, 29, 30};
constexpr std::array<size_t, 7> kVolSlots = {46, 47, 48, 49, 50, 51, 60};

}  // namespace

std::optional<size_t> ParserV3::goOffset(const uint8_t* data, size_t k, size_t position, size_t remaining) {
  return seekSectionTag(data, position, remaining, kTags.data(), kTags.size(), k,
                        spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION});
}

bool ParserV3::populate(Platform& platform, const uint8_t* data, uint32_t length) {
  ByteReader reader(data, length);
  auto seek = [&](size_t k, size_t from) -> std::optional<size_t> {
    auto found = goOffset(data, k, from, length - from);
    if (found) reader.seek(*found);
    return found;
  };
  auto readU64s = [&](size_t count, auto&& store) {
    if (!reader.need(8 * count)) return false;
    for (size_t i = 0; i < count; ++i) {
      uint64_t value = 0;
      reader.u64(value);
      store(i, value);
    }
    return true;
  };

  if (!seek(kOvl, 0) || !readOverviewStrings(reader, platform)) return false;
  const size_t numbers = reader.position();
  if (!readOverviewNumbers(reader, platform, OverviewCode5::UpToThree)) return false;

  if (!seek(kSds, numbers)) return false;
  int32_t systemSize = 0;
  if (!reader.i32(systemSize)) return false;
  if (systemSize < 0) {
    KLOG_ERROR("Hardware description has a negative system block size: {}.", systemSize);
    return false;
  }
  const size_t system = reader.position();
  if (!reader.need(static_cast<uint64_t>(systemSize))) return false;
  ByteReader block(data + system, static_cast<size_t>(systemSize));

  size_t from = system;
  for (size_t section : {kAbs, kAgo, kAgl}) {
    const auto at = seek(section, from);
    const auto row = static_cast<uint32_t>(section - kAbs);
    if (!at || !readU64s(kTemplateTypes.size(), [&](size_t i, uint64_t v) {
          platform.setAddressTemplate(row, kTemplateTypes[i], v);
        }))
      return false;
    from = *at;
  }
  const auto msc = seek(kMsc, from);
  if (!msc || !readU64s(2, [&](size_t i, uint64_t v) { platform.setSystemValue(i, v); })) return false;

  const auto gbl = seek(kGbl, *msc);
  if (!gbl || !reader.need(8)) return false;
  for (size_t i = 0; i < 2; ++i) {
    uint32_t value = 0;
    reader.u32(value);
    platform.setGblValue(i, value);
  }

  if (!seek(kSwc, *gbl) || !reader.need(kSwitchSlots.size())) return false;
  for (size_t slot : kSwitchSlots) {
    uint8_t value = 0;
    reader.u8(value);
    platform.setSwitch(slot, value != 0);
  }

  const auto gnl = seek(kGnl, reader.position());
  if (!gnl || !readU64s(kGnlSlots.size(), [&](size_t i, uint64_t v) { platform.setGeneralValue(kGnlSlots[i], v); }))
    return false;
  const auto vol = seek(kVol, *gnl);
  if (!vol || !readU64s(kVolSlots.size(), [&](size_t i, uint64_t v) { platform.setGeneralValue(kVolSlots[i], v); }))
    return false;

  if (!seek(kCsw, *vol) || !reader.need(4 * Platform::kCswValues)) return false;
  for (size_t i = 0; i < Platform::kCswValues; ++i) {
    uint32_t value = 0;
    reader.u32(value);
    platform.setCswValue(i, value);
  }
  uint32_t boundary = 0;
  if (!reader.u32(boundary) || boundary != kBoundary) return false;
  SystemBlock systemBlock;
  return systemBlock.read(block) && systemBlock.apply(platform, kAddressOrder);
}

}  // namespace kestrane::hwdep
