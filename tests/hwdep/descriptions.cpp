#include "descriptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/log_capture.h"

namespace kestrane::test {

namespace {

std::vector<uint8_t> renderSystemBlock(const std::vector<SystemItem>& items) {
  Bytes b;
  b.u32(static_cast<uint32_t>(items.size()));
  for (const SystemItem& item : items) {
    b.u32(item.id).u32(static_cast<uint32_t>(item.index));
    if (item.id < 0x10000) continue;
    b.u32(static_cast<uint32_t>(item.cores.size()));
    for (uint32_t core : item.cores) b.u32(core);
  }
  return b.data;
}

}  // namespace

void Overview::render(Bytes& b) const {
  b.str(vendor).str(product).str(family);
  b.u32(value0).u32(value1).u8(value2).u8(value3).u32(value4).u32(value5).u8(value6).u8(value7);
}

RecordAddresses ordinaryCoreAddresses(uint64_t c, uint64_t n) {
  const uint64_t buffer = 0x100000000 + 0x10000000 * c + 0x1000000 * n;
  const uint64_t status = 0x10300000 + 0x1000 * c + 0x100 * n;
  return {buffer,          buffer + 0xB00000, 0x109000000 + 0x10000000 * c + 0x400000 * n,
          0x800000000 + 0x200000000 * c + 0x80000000 * n,          buffer + 0x800000,
          buffer + 0xA00000, buffer + 0x900000, buffer + 0xC00000, status, status + 8,
          0x108800000 + 0x10000000 * c};
}

RecordAddresses globalCoreAddresses(uint64_t c) {
  RecordAddresses a = ordinaryCoreAddresses(c, 0);
  a[4] = a[10];                         // IMEM is GLOBALIMEM
  a[7] = 0x108C00000 + 0x10000000 * c;  // RMEM
  a[8] = 0x10300800 + 0x1000 * c;       // Status Register
  a[9] = a[8] + 8;                      // Control Register
  return a;
}

DescriptionV4 DescriptionV4::card() {
  DescriptionV4 d;
  for (uint64_t c = 0; c < 2; ++c) {
    std::vector<CoreRecord> records;
    for (uint64_t n = 0; n < 4; ++n) records.push_back({0, ordinaryCoreAddresses(c, n)});
    records.push_back({2, globalCoreAddresses(c)});
    d.clusters.push_back(records);
  }
  const char* flags[9] = {"000000000000000", "111011111101111", "111011001100000",
                          "100000001100000", "110000101100000", "100000001100000",
                          "100000001100000", "100000001100000", "100000000000000"};
  for (uint32_t i = 0; i < 9; ++i) {
    std::array<uint8_t, 15> f{};
    for (size_t k = 0; k < 15; ++k) f[k] = flags[i][k] == '1';
    d.modules.push_back({i, f});
  }
  return d;
}

std::vector<uint8_t> DescriptionV4::render() const {
  Bytes b;
  b.u32(4).tag(".OVL");
  overview.render(b);
  b.tag(".SYS").u32(static_cast<uint32_t>(clusters.size()));
  for (const auto& cluster : clusters) b.u32(static_cast<uint32_t>(cluster.size()));
  for (const auto& cluster : clusters) {
    for (const auto& record : cluster) b.u32(record.kind).all(record.addresses);
  }
  b.u64(closing0).u64(closing1);
  b.tag(".CFG").tag(".GBL").all(gbl);
  b.tag(".SWC").all(swc);
  b.tag(".SMD");
  for (const auto& [index, f] : modules) b.u32(index).all(f);
  return b.tag(".GNL").all(gnl).tag(".VOL").all(vol).tag(".CSW").all(csw).raw(trailer).data;
}

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

std::vector<uint8_t> DescriptionV2::render() const {
  Bytes b;
  overview.render(b.u32(2));
  const auto block = renderSystemBlock(system);
  b.u32(static_cast<uint32_t>(block.size())).append(block);
  for (const auto& row : rows) b.all(row);
  return b.all(systemValues).all(gbl).u8(gbl3).all(switches).all(general).u32(boundary).data;
}

std::vector<uint8_t> DescriptionV3::render() const {
  Bytes b;
  overview.render(b.u32(3).tag(".OVL"));
  const auto block = renderSystemBlock(system);
  b.tag(".SDS").u32(static_cast<uint32_t>(block.size())).append(block);
  const char* rowTags[3] = {".ABS", ".AGO", ".AGL"};
  for (size_t r = 0; r < 3; ++r) b.tag(rowTags[r]).all(rows[r]);
  b.tag(".MSC").all(msc).tag(".GBL").all(gbl).tag(".SWC").all(switches);
  return b.tag(".GNL").all(gnl).tag(".VOL").all(vol).tag(".CSW").all(csw).u32(boundary).data;
}

size_t findTag(const std::vector<uint8_t>& bytes, const char* tag) {
  return static_cast<size_t>(std::search(bytes.begin(), bytes.end(), tag, tag + 4) - bytes.begin());
}

bool replaceTag(std::vector<uint8_t>& bytes, const char* from, const char* to) {
  const size_t at = findTag(bytes, from);
  if (at == bytes.size()) return false;
  std::memcpy(bytes.data() + at, to, 4);
  return true;
}

std::vector<uint8_t> patchU32(std::vector<uint8_t> bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

void expectTruncationsFail(const std::vector<uint8_t>& full, const std::function<bool(size_t)>& fits,
                           bool dropsClusters) {
  for (size_t length = 0; length < full.size(); ++length) {
    // An exact-size copy so that the sanitizers catch any read past the end.
    const std::vector<uint8_t> bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    LogCapture capture;
    const hwdep::Platform p = parse(bytes);
    const auto lines = capture.lines();
    if (fits(length)) {
      EXPECT_TRUE(lines.empty()) << length << "\n" << capture.text();
      continue;
    }
    ASSERT_EQ(lines.size(), 2u) << length << "\n" << capture.text();
    EXPECT_EQ(lines[1], kNotRetrieved);
    EXPECT_TRUE(!dropsClusters || p.clusters().empty()) << length;
  }
}

void expectGeneralValues(const hwdep::Platform& p, const std::vector<SlotRange>& ranges,
                         const std::vector<uint64_t>& entries) {
  std::vector<uint64_t> expected(hwdep::Platform::kGeneralValues, hwdep::Platform::kUnset64);
  for (const auto& [slot, first, count] : ranges) {
    for (size_t i = 0; i < count; ++i) expected.at(slot + i) = entries.at(first + i);
  }
  for (size_t slot = 0; slot < expected.size(); ++slot) EXPECT_EQ(p.generalValue(slot), expected[slot]) << slot;
}

void expectRefusedWithoutClusters(const std::vector<std::vector<uint8_t>>& crafted) {
  for (const auto& bytes : crafted) {
    LogCapture capture;
    const hwdep::Platform p = parse(bytes);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u) << capture.text();
    EXPECT_EQ(lines[0].rfind("error|", 0), 0u) << capture.text();
    EXPECT_EQ(lines[1], kNotRetrieved);
    EXPECT_TRUE(p.clusters().empty());
  }
}

}  // namespace kestrane::test
