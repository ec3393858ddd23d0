#include "hwdep/parser_v4.h"

#include <array>
#include <vector>

#include "core/log.h"

namespace kestrane::hwdep {

namespace {

constexpr std::array<uint32_t, 9> kTags = {tagWord(".OVL"), tagWord(".SYS"), tagWord(".CFG"),
                                           tagWord(".GBL"), tagWord(".SWC"), tagWord(".SMD"),
                                           tagWord(".GNL"), tagWord(".VOL"), tagWord(".CSW")};
enum Section : size_t { kOvl = 0, kSys = 1, kGbl = 3, kSwc = 4, kSmd = 5, kGnl = 6, kVol = 7, kCsw = 8 };

constexpr size_t kCoreRecordBytes = 92;
// Memory types of the eleven addresses of a core record, in record order.
constexpr std::array<MemoryType, 11> kRecordTypes = {
    MemoryType::BUFFER, MemoryType::WMEM,   MemoryType::Unnamed26,      MemoryType::DDR,
    MemoryType::IMEM,   MemoryType::DLMEM,  MemoryType::CLMEM,          MemoryType::RMEM,
    MemoryType::StatusRegister, MemoryType::ControlRegister, MemoryType::GLOBALIMEM};
// Switch slot of .SWC byte 0 to 10.
constexpr std::array<size_t, 11> kSwitchSlots = {3, 5, 2, 15, 4, 17, 16, 18, 19, 20, 21};
constexpr size_t kModules = 9;
constexpr size_t kModuleBytes = 19;
// General-value slot of .GNL entry 0 to 39.
constexpr std::array<size_t, 40> kGnlSlots = {27, 1,  2,  3,  4,  5,  6,  7,  33, 8,  9,  10, 11, 12,
                                              13, 14, 15, 34, 35, 18, 19, 20, 21, 22, 23, 24, 36, 37,
                                              38, 39, 40, 41, 42, 43, 26, 28, 44, 29, 30, 31};
// General-value slot of .VOL entry 0 to 7.
constexpr std::array<size_t, 8> kVolSlots = {46, 47, 48, 49, 50, 51, 61, 60};

uint32_t coreIdOfKind(uint32_t kind, uint32_t& ordinaryCount) {
  switch (kind) {
    case 0:
      return ++ordinaryCount;
    case 1:
      return 0xFFFD;
    case 2:
      return 0xFFFE;
    default:
      return 0xFFFF;
  }
}

}  // namespace

std::optional<size_t> ParserV4::goOffset(const uint8_t* data, size_t k, size_t position, size_t remaining) {
  return seekSectionTag(data, position, remaining, kTags.data(), kTags.size(), k,
                        spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION});
}

bool ParserV4::readSystem(ByteReader& reader, Platform& platform) {
  int32_t clusterCount = 0;
  if (!reader.i32(clusterCount)) return false;
  const size_t clusters = clusterCount > 0 ? static_cast<size_t>(clusterCount) : 0;
  if (!reader.need(uint64_t{4} * clusters)) return false;
  std::vector<uint32_t> recordCounts(clusters);
  uint64_t records = 0;
  for (auto& count : recordCounts) {
    reader.u32(count);
    records += count;
  }
  // Checked before anything is stored, so absurd counts change nothing.
  const uint64_t bytes =
      records <= (UINT64_MAX - 16) / kCoreRecordBytes ? records * kCoreRecordBytes + 16 : UINT64_MAX;
  if (!reader.need(bytes)) return false;
  for (size_t i = 0; i < clusters; ++i) {
    ClusterEntry& cluster = platform.resetCluster(static_cast<uint32_t>(i + 1) * 0x10000u);
    uint32_t ordinaryCount = 0;
    for (uint32_t r = 0; r < recordCounts[i]; ++r) {
      uint32_t kind = 0;
      reader.u32(kind);
      CoreEntry core;
      core.id = coreIdOfKind(kind, ordinaryCount);
      core.cluster = &cluster;
      for (MemoryType type : kRecordTypes) {
        uint64_t address = 0;
        reader.u64(address);
        core.setAddress(static_cast<uint32_t>(type), address);
      }
      cluster.putCore(core);
    }
  }
  uint64_t closing0 = 0, closing1 = 0;
  reader.u64(closing0);
  reader.u64(closing1);
  platform.setSystemValue(0, closing0);
  platform.setSystemValue(1, closing1);
  return true;
}

bool ParserV4::populate(Platform& platform, const uint8_t* data, uint32_t length) {
  ByteReader reader(data, length);
  auto seek = [&](size_t k, size_t from) -> std::optional<size_t> {
    auto found = goOffset(data, k, from, length - from);
    if (found) reader.seek(*found);
    return found;
  };

  if (!seek(kOvl, 0)) return false;
  if (!readOverviewStrings(reader, platform) || !readOverviewNumbers(reader, platform, OverviewCode5::UpToFour))
    return false;

  const auto sys = seek(kSys, reader.position());
  if (!sys || !readSystem(reader, platform)) return false;

  const auto gbl = seek(kGbl, *sys);
  if (!gbl || !reader.need(8)) return false;
  for (size_t i = 0; i < 2; ++i) {
    uint32_t value = 0;
    reader.u32(value);
    platform.setGblValue(i, value);
  }

  const auto swc = seek(kSwc, *gbl);
  if (!swc || !reader.need(kSwitchSlots.size())) return false;
  for (size_t slot : kSwitchSlots) {
    uint8_t value = 0;
    reader.u8(value);
    platform.setSwitch(slot, value != 0);
  }

  if (!seek(kSmd, *swc) || !reader.need(kModules * kModuleBytes)) return false;
  for (uint32_t position = 0; position < kModules; ++position) {
    uint32_t index = 0;
    reader.u32(index);
    if (index != position) KLOG_ERROR("Module description does not match with the spec!");
    ModuleEntry entry;
    entry.index = position;
    for (bool& flag : entry.flags) {
      uint8_t value = 0;
      reader.u8(value);
      flag = value != 0;
    }
    platform.modules().emplace(position, entry);
  }

  const auto gnl = seek(kGnl, reader.position());
  if (!gnl || !reader.need(8 * kGnlSlots.size())) return false;
  for (size_t slot : kGnlSlots) {
    uint64_t value = 0;
    reader.u64(value);
    platform.setGeneralValue(slot, value);
  }

  const auto vol = seek(kVol, *gnl);
  if (!vol || !reader.need(8 * kVolSlots.size())) return false;
  for (size_t slot : kVolSlots) {
    uint64_t value = 0;
    reader.u64(value);
    platform.setGeneralValue(slot, value);
  }

  if (!seek(kCsw, *vol) || !reader.need(4 * Platform::kCswValues)) return false;
  for (size_t i = 0; i < Platform::kCswValues; ++i) {
    uint32_t value = 0;
    reader.u32(value);
    platform.setCswValue(i, value);
  }
  return true;
}

}  // namespace kestrane::hwdep
