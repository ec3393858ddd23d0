#include "legacy_descriptions.h"

namespace kestrane::test {

std::vector<uint8_t> DescriptionV1::render() const {
  Bytes b;
  b.u32(1).u32(static_cast<uint32_t>(family.size()));
  for (size_t k = 1; k < 52; ++k) b.u32(words[k]);
  b.u32(static_cast<uint32_t>(entries.size()));
  for (const Entry& e : entries) {
    b.u32(e.id).u32(0xEEEEEEEE);
    for (uint32_t f : e.fields) b.u32(f).u32(0xEEEEEEEE);
  }
  b.raw(family);
  return b.data;
}

std::vector<uint8_t> renderSystemBlock(const std::vector<SystemItem>& items) {
  Bytes b;
  b.u32(static_cast<uint32_t>(items.size()));
  for (const SystemItem& item : items) {
    b.u32(item.id).i32(item.index);
    if (item.id < 0x10000) continue;
    b.u32(static_cast<uint32_t>(item.cores.size()));
    for (uint32_t core : item.cores) b.u32(core);
  }
  return b.data;
}

void Overview::render(Bytes& b) const {
  b.str(vendor).str(product).str(family);
  b.u32(value0).u32(value1).u8(value2).u8(value3).u32(value4).u32(value5).u8(value6).u8(value7);
}

std::vector<uint8_t> DescriptionV2::render() const {
  Bytes b;
  b.u32(2);
  overview.render(b);
  const auto block = renderSystemBlock(system);
  b.u32(static_cast<uint32_t>(block.size())).append(block);
  for (const auto& row : rows) {
    for (uint64_t v : row) b.u64(v);
  }
  for (uint64_t v : systemValues) b.u64(v);
  for (uint32_t v : gbl) b.u32(v);
  b.u8(gbl3);
  for (uint8_t v : switches) b.u8(v);
  for (uint64_t v : general) b.u64(v);
  b.u32(boundary);
  return b.data;
}

std::vector<uint8_t> DescriptionV3::render() const {
  Bytes b;
  b.u32(3).tag(".OVL");
  overview.render(b);
  const auto block = renderSystemBlock(system);
  b.tag(".SDS").u32(static_cast<uint32_t>(block.size())).append(block);
  const char* rowTags[3] = {".ABS", ".AGO", ".AGL"};
  for (size_t r = 0; r < 3; ++r) {
    b.tag(rowTags[r]);
    for (uint64_t v : rows[r]) b.u64(v);
  }
  b.tag(".MSC").u64(msc[0]).u64(msc[1]);
  b.tag(".GBL").u32(gbl[0]).u32(gbl[1]);
  b.tag(".SWC");
  for (uint8_t v : switches) b.u8(v);
  b.tag(".GNL");
  for (uint64_t v : gnl) b.u64(v);
  b.tag(".VOL");
  for (uint64_t v : vol) b.u64(v);
  b.tag(".CSW");
  for (uint32_t v : csw) b.u32(v);
  b.u32(boundary);
  return b.data;
}

}  // namespace kestrane::test
