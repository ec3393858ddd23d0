#include "hwdep/parser_v1.h"

#include <array>
#include <string>

namespace kestrane::hwdep {

namespace {

constexpr size_t kHeaderBytes = 216;  // version word, 52 words, entry count
constexpr size_t kEntryBytes = 184;

uint32_t wordAt(const uint8_t* data, size_t position) {
  return static_cast<uint32_t>(data[position]) | static_cast<uint32_t>(data[position + 1]) << 8 |
         static_cast<uint32_t>(data[position + 2]) << 16 | static_cast<uint32_t>(data[position + 3]) << 24;
}

uint32_t word(const uint8_t* data, size_t k) { return wordAt(data, 4 + 4 * k); }

uint32_t coreIdOfEntry(uint32_t entryId) {
  if (entryId == 0) return 0xFFFE;
  return entryId <= 4 ? entryId : 0xFFFF;
}

// Where a field of a core entry goes.
enum class Target { Address, System2, System3, Gbl2, Gbl0, Gbl1 };
struct Field {
  uint32_t offset;
  Target target;
  uint32_t memoryType;
};
// In the order the fields are read; of the values outside the addresses, the
// entry read last wins.
constexpr std::array<Field, 22> kFields = {{
    {8, Target::Address, 12},   {16, Target::Address, 13},  {24, Target::Address, 14},
    {32, Target::Address, 15},  {40, Target::Address, 17},  {48, Target::Address, 7},
    {56, Target::Address, 0},   {64, Target::Address, 2},   {72, Target::Address, 1},
    {80, Target::Address, 3},   {88, Target::Address, 4},   {96, Target::Address, 5},
    {112, Target::Address, 18}, {120, Target::Address, 19}, {128, Target::Address, 24},
    {136, Target::Address, 25}, {144, Target::System2, 0},  {152, Target::System3, 0},
    {160, Target::Gbl2, 0},     {168, Target::Gbl0, 0},     {176, Target::Gbl1, 0},
    {104, Target::Address, 6},
}};

}  // namespace

bool ParserV1::populate(Platform& platform, const uint8_t* data, uint32_t length) {
  // Every position below is checked here, before anything is stored.
  ByteReader reader(data, length);
  if (!reader.need(kHeaderBytes)) return false;
  const uint32_t count = word(data, 52);
  if (!reader.need(kHeaderBytes + uint64_t{kEntryBytes} * count)) return false;
  const uint32_t familySize = word(data, 0);
  if (!reader.need(familySize)) return false;

  entries_.clear();
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t position = 212 + static_cast<uint32_t>(kEntryBytes) * i;
    entries_[wordAt(data, 4 + position)] = position;
  }
  for (const auto& [id, position] : entries_) platform.setEntryOffset(static_cast<int32_t>(id), position);

  platform.setDeviceFamily(std::string(reinterpret_cast<const char*>(data + length - familySize), familySize));

  ClusterEntry& cluster = platform.resetCluster(0x10000);
  for (const auto& [id, position] : entries_) {
    CoreEntry fresh;
    fresh.id = coreIdOfEntry(id);
    fresh.cluster = &cluster;
    cluster.putCore(fresh);
    CoreEntry& core = platform.getCoreEntry(cluster, fresh.id);
    const size_t entry = 4 + position;
    for (const Field& field : kFields) {
      const uint32_t value = wordAt(data, entry + field.offset);
      switch (field.target) {
        case Target::Address:
          core.setAddress(field.memoryType, value);
          break;
        case Target::System2:
          platform.setSystemValue(2, value);
          break;
        case Target::System3:
          platform.setSystemValue(3, value);
          break;
        case Target::Gbl2:
          platform.setGblValue(2, value);
          break;
        case Target::Gbl0:
          platform.setGblValue(0, value);
          break;
        case Target::Gbl1:
          platform.setGblValue(1, value);
          break;
      }
    }
  }

  for (size_t slot = 0; slot < 8; ++slot) platform.setSwitch(slot, word(data, 32 + slot) != 0);
  for (size_t k = 5; k <= 31; ++k) platform.setGeneralValue(k - 5, word(data, k));
  for (size_t k = 40; k <= 46; ++k) platform.setGeneralValue(45 + (k - 40), word(data, k));
  for (size_t k = 47; k <= 51; ++k) platform.setGeneralValue(55 + (k - 47), word(data, k));
  return true;
}

}  // namespace kestrane::hwdep
