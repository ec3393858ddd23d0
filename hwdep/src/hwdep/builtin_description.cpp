#include "hwdep/builtin_description.h"

// The compiled-in hardware description, format version 4: two clusters of
// four cores and a global core each. Little-endian, no padding.

#define HD_U8(v) static_cast<uint8_t>(v)
#define HD_U32(v) HD_U8((v)&0xFF), HD_U8(((v) >> 8) & 0xFF), HD_U8(((v) >> 16) & 0xFF), HD_U8(((v) >> 24) & 0xFF)
#define HD_U64(v) HD_U32((v)&0xFFFFFFFFull), HD_U32(((v) >> 32) & 0xFFFFFFFFull)
#define HD_TAG(a, b, c, d) HD_U8(a), HD_U8(b), HD_U8(c), HD_U8(d)
// kind, then BUFFER, WMEM, type 26, DDR, IMEM, DLMEM, CLMEM, RMEM, Status
// Register, Control Register, GLOBALIMEM.
#define HD_CORE(kind, buffer, wmem, t26, ddr, imem, dlmem, clmem, rmem, status, control, globalImem)          \
  HD_U32(kind), HD_U64(buffer), HD_U64(wmem), HD_U64(t26), HD_U64(ddr), HD_U64(imem), HD_U64(dlmem),      \
      HD_U64(clmem), HD_U64(rmem), HD_U64(status), HD_U64(control), HD_U64(globalImem)
#define HD_MODULE(index, f0, f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13, f14) \
  HD_U32(index), f0, f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13, f14

namespace kestrane::hwdep {

extern const uint8_t kBuiltinDescription[] = {
    HD_U32(4u),
    // .OVL: vendor, product, device family, then the overview numbers.
    HD_TAG('.', 'O', 'V', 'L'),
    HD_U32(8u), 'k', 'e', 's', 't', 'r', 'a', 'n', 'e',
    HD_U32(10u), 't', 'a', 'l', 'i', 's', 's', '2', '-', 'v', '4',
    HD_U32(7u), 'T', 'a', 'l', 'i', 's', 's', '2',
    HD_U32(5u), HD_U32(3u), HD_U8(3), HD_U8(1), HD_U32(25u), HD_U32(3u), HD_U8(1), HD_U8(1),
    // .SYS: two clusters of five records each.
    HD_TAG('.', 'S', 'Y', 'S'),
    HD_U32(2u), HD_U32(5u), HD_U32(5u),
    HD_CORE(0u, 0x100000000ull, 0x100B00000ull, 0x109000000ull, 0x800000000ull, 0x100800000ull, 0x100A00000ull,
            0x100900000ull, 0x100C00000ull, 0x10300000ull, 0x10300008ull, 0x108800000ull),
    HD_CORE(0u, 0x101000000ull, 0x101B00000ull, 0x109400000ull, 0x880000000ull, 0x101800000ull, 0x101A00000ull,
            0x101900000ull, 0x101C00000ull, 0x10300100ull, 0x10300108ull, 0x108800000ull),
    HD_CORE(0u, 0x102000000ull, 0x102B00000ull, 0x109800000ull, 0x900000000ull, 0x102800000ull, 0x102A00000ull,
            0x102900000ull, 0x102C00000ull, 0x10300200ull, 0x10300208ull, 0x108800000ull),
    HD_CORE(0u, 0x103000000ull, 0x103B00000ull, 0x109C00000ull, 0x980000000ull, 0x103800000ull, 0x103A00000ull,
            0x103900000ull, 0x103C00000ull, 0x10300300ull, 0x10300308ull, 0x108800000ull),
    HD_CORE(2u, 0x100000000ull, 0x100B00000ull, 0x109000000ull, 0x800000000ull, 0x108800000ull, 0x100A00000ull,
            0x100900000ull, 0x108C00000ull, 0x10300800ull, 0x10300808ull, 0x108800000ull),
    HD_CORE(0u, 0x110000000ull, 0x110B00000ull, 0x119000000ull, 0xA00000000ull, 0x110800000ull, 0x110A00000ull,
            0x110900000ull, 0x110C00000ull, 0x10301000ull, 0x10301008ull, 0x118800000ull),
    HD_CORE(0u, 0x111000000ull, 0x111B00000ull, 0x119400000ull, 0xA80000000ull, 0x111800000ull, 0x111A00000ull,
            0x111900000ull, 0x111C00000ull, 0x10301100ull, 0x10301108ull, 0x118800000ull),
    HD_CORE(0u, 0x112000000ull, 0x112B00000ull, 0x119800000ull, 0xB00000000ull, 0x112800000ull, 0x112A00000ull,
            0x112900000ull, 0x112C00000ull, 0x10301200ull, 0x10301208ull, 0x118800000ull),
    HD_CORE(0u, 0x113000000ull, 0x113B00000ull, 0x119C00000ull, 0xB80000000ull, 0x113800000ull, 0x113A00000ull,
            0x113900000ull, 0x113C00000ull, 0x10301300ull, 0x10301308ull, 0x118800000ull),
    HD_CORE(2u, 0x110000000ull, 0x110B00000ull, 0x119000000ull, 0xA00000000ull, 0x118800000ull, 0x110A00000ull,
            0x110900000ull, 0x118C00000ull, 0x10301800ull, 0x10301808ull, 0x118800000ull),
    HD_U64(0xDEADFFFFull), HD_U64(0xC0DEBEEFull),
    // .CFG has no content.
    HD_TAG('.', 'C', 'F', 'G'),
    HD_TAG('.', 'G', 'B', 'L'),
    HD_U32(4u), HD_U32(0u),
    HD_TAG('.', 'S', 'W', 'C'),
    1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    HD_TAG('.', 'S', 'M', 'D'),
    HD_MODULE(0u, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0),
    HD_MODULE(1u, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1),
    HD_MODULE(2u, 1, 1, 1, 0, 1, 1, 0, 0, 1, 1, 0, 0, 0, 0, 0),
    HD_MODULE(3u, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0),
    HD_MODULE(4u, 1, 1, 0, 0, 0, 0, 1, 0, 1, 1, 0, 0, 0, 0, 0),
    HD_MODULE(5u, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0),
    HD_MODULE(6u, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0),
    HD_MODULE(7u, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0),
    HD_MODULE(8u, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0),
    HD_TAG('.', 'G', 'N', 'L'),
    HD_U64(4ull), HD_U64(1ull), HD_U64(1ull), HD_U64(2ull), HD_U64(3ull), HD_U64(3ull), HD_U64(4ull),
    HD_U64(2ull), HD_U64(1ull), HD_U64(64ull), HD_U64(64ull), HD_U64(3ull), HD_U64(1048576ull), HD_U64(26ull),
    HD_U64(11ull), HD_U64(0ull), HD_U64(0ull), HD_U64(2ull), HD_U64(128ull), HD_U64(4ull), HD_U64(4ull),
    HD_U64(4ull), HD_U64(2ull), HD_U64(4ull), HD_U64(8ull), HD_U64(2ull), HD_U64(384ull), HD_U64(4ull),
    HD_U64(5ull), HD_U64(11ull), HD_U64(5ull), HD_U64(5ull), HD_U64(16ull), HD_U64(0xFFFFFFFFFFFFFFFEull),
    HD_U64(3ull), HD_U64(64ull), HD_U64(12ull), HD_U64(46ull), HD_U64(26ull), HD_U64(65536ull),
    HD_TAG('.', 'V', 'O', 'L'),
    HD_U64(256ull), HD_U64(256ull), HD_U64(256ull), HD_U64(128ull), HD_U64(128ull), HD_U64(128ull),
    HD_U64(16ull), HD_U64(4096ull),
    HD_TAG('.', 'C', 'S', 'W'),
    HD_U32(3u), HD_U32(0u), HD_U32(0u), HD_U32(1u), HD_U32(1024u),
    // Trailer, not read.
    '0', 'x', '1', '2', '3', '4', '5', '6', '7', '8'};

extern const uint32_t kBuiltinDescriptionLength = sizeof(kBuiltinDescription);

}  // namespace kestrane::hwdep
