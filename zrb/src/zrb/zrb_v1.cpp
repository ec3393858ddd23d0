// Format version 1: a tag-free layout addressed by offsets, read whole into
// memory. One bundle; designations of inputs and outputs come from the
// hardware description. Every offset is checked against the end of the
// entries (the file end less the trailing checksum) before it is read.

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>

#include "core/log.h"
#include "hwdep/platform.h"
#include "legacy_io.h"
#include "tagged_reader.h"
#include "utilkit/fs_utils.h"
#include "zrb/readers.h"

namespace kestrane::zrb {

uint32_t byteSum(const uint8_t* bytes, uint64_t length) {
  uint32_t sum = 0;
  for (uint64_t i = 0; i < length; ++i) sum += bytes[i];
  return sum;
}

namespace {

// Designations of version 1 have mode 0 and the core configuration of their
// own core; the file gives no memory type.
Designation designationOf(const CoreId& id, uint64_t address, bool flag) {
  Designation d;
  d.core_id = id;
  d.address = address;
  d.flag = flag;
  d.mode = 0;
  d.core_config.core_id = id;
  d.core_config.mode = 0;
  return d;
}

}  // namespace

std::vector<Designation> platformDesignations(const hwdep::Platform& platform, uint64_t address, bool keepSpecialCores) {
  std::vector<Designation> out;
  for (const uint32_t clusterId : platform.getClusterIds()) {
    const auto& cluster = platform.getCluster(static_cast<int32_t>(clusterId));
    for (const uint32_t coreId : platform.getCoreIdsOfCluster(cluster)) {
      if (!keepSpecialCores && (coreId == 0xFFFD || coreId == 0xFFFE)) continue;
      out.push_back(designationOf({static_cast<Cluster>(clusterId), static_cast<Core>(coreId)}, address, false));
    }
  }
  return out;
}

std::vector<Designation> platformDesignations(uint64_t address, bool keepSpecialCores) {
  const hwdep::Platform platform;
  return platformDesignations(platform, address, keepSpecialCores);
}

namespace v1 {
namespace {

constexpr uint64_t kHeaderBytes = 24;
constexpr uint64_t kCoreCountAt = 20;
constexpr uint64_t kCoreEntryBytes = 36;
constexpr uint64_t kChecksumBytes = 4;
// Address, six shape words and the flags word come before the scales; the
// scale checksum and an ignored word after them.
constexpr uint64_t kIoHeadBytes = 36;
constexpr uint64_t kIoTailBytes = 8;
constexpr uint64_t kCandidateDesignationBytes = 12;

uint32_t wordAt(const std::vector<uint8_t>& bytes, uint64_t at) {
  uint32_t v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

uint64_t longWordAt(const std::vector<uint8_t>& bytes, uint64_t at) {
  uint64_t v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

// Where the parts of one file lie. Entries live in [0, end): the trailing
// checksum is not theirs.
struct Layout {
  uint32_t coreCount = 0;
  uint64_t inputsAt = 0;   // the input section's ignored word
  uint64_t outputsAt = 0;  // likewise for outputs
  uint64_t binariesAt = 0;
  uint64_t end = 0;
};

// One input or output entry: its offset and number of scales.
struct IoSpan {
  uint64_t at = 0;
  uint64_t scaleCount = 0;
};

// One binary candidate: designation count and where its payload lies.
struct CandidateSpan {
  uint64_t at = 0;
  uint32_t designationCount = 0;
  uint64_t payloadAt = 0;
  uint32_t payloadSize = 0;
};

bool fits(const Layout& layout, uint64_t at, uint64_t bytes) {
  return at <= layout.end && bytes <= layout.end - at;
}

void reportOutOfBounds(const char* what) {
  std::cerr << "Validation Failed, " << what << " runs past the end of the file!" << std::endl;
}

// Walks one input or output section starting at its ignored word; calls
// `visit` for every entry and returns the offset after the section, or
// nothing when an entry runs past the end.
template <typename Visit>
std::optional<uint64_t> walkIoSection(const std::vector<uint8_t>& bytes, const Layout& layout, uint64_t at,
                                      const char* what, Visit&& visit) {
  if (!fits(layout, at, 8)) {
    reportOutOfBounds(what);
    return std::nullopt;
  }
  const uint32_t count = wordAt(bytes, at + 4);
  at += 8;
  for (uint32_t i = 0; i < count; ++i) {
    if (!fits(layout, at, kIoHeadBytes)) {
      reportOutOfBounds(what);
      return std::nullopt;
    }
    const bool perChannel = (wordAt(bytes, at + 32) & 1u) != 0;
    const uint64_t scales = perChannel ? wordAt(bytes, at + 16) : 1;
    const uint64_t length = kIoHeadBytes + 4 * scales + kIoTailBytes;
    if (!fits(layout, at, length)) {
      reportOutOfBounds(what);
      return std::nullopt;
    }
    if (!visit(IoSpan{at, scales})) return std::nullopt;
    at += length;
  }
  return at;
}

template <typename Visit>
bool walkCandidates(const std::vector<uint8_t>& bytes, const Layout& layout, Visit&& visit) {
  uint64_t at = layout.binariesAt;
  if (!fits(layout, at, 8)) {
    reportOutOfBounds("Binary section");
    return false;
  }
  const uint32_t count = wordAt(bytes, at + 4);
  at += 8;
  for (uint32_t i = 0; i < count; ++i) {
    CandidateSpan span;
    span.at = at;
    if (!fits(layout, at, 4)) {
      reportOutOfBounds("Binary candidate");
      return false;
    }
    span.designationCount = wordAt(bytes, at);
    const uint64_t sizeAt = at + 4 + kCandidateDesignationBytes * span.designationCount;
    if (!fits(layout, at + 4, kCandidateDesignationBytes * span.designationCount + 4)) {
      reportOutOfBounds("Binary candidate");
      return false;
    }
    span.payloadSize = wordAt(bytes, sizeAt);
    span.payloadAt = sizeAt + 4;
    if (!fits(layout, span.payloadAt, uint64_t{span.payloadSize} + 8)) {
      reportOutOfBounds("Binary candidate");
      return false;
    }
    if (!visit(span)) return false;
    at = span.payloadAt + span.payloadSize + 8;
  }
  return true;
}

// The fixed part of the layout: header, core entries and where the input
// section starts. Refuses a file too short for its header and checksum.
std::optional<Layout> headLayout(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kHeaderBytes + kChecksumBytes) {
    std::cerr << "Validation Failed, File Too Short!" << std::endl;
    return std::nullopt;
  }
  Layout layout;
  layout.end = bytes.size() - kChecksumBytes;
  layout.coreCount = wordAt(bytes, kCoreCountAt);
  if (!fits(layout, kHeaderBytes, kCoreEntryBytes * layout.coreCount)) {
    reportOutOfBounds("Core section");
    return std::nullopt;
  }
  layout.inputsAt = kHeaderBytes + kCoreEntryBytes * layout.coreCount;
  return layout;
}

bool scaleChecksumHolds(const std::vector<uint8_t>& bytes, const IoSpan& span) {
  const uint64_t scalesAt = span.at + kIoHeadBytes;
  return byteSum(bytes.data() + scalesAt, 4 * span.scaleCount) == wordAt(bytes, scalesAt + 4 * span.scaleCount);
}

bool isVersion1(uint32_t version) { return version == kVersion0 || version == kVersion1 || version == kVersion2; }

// A version-1 word, then the four kinds of checksum, in order, stopping at
// the first failure. On success `layout` has every section's offset.
bool verifyBytes(const std::vector<uint8_t>& bytes, Layout& layout) {
  const auto head = headLayout(bytes);
  if (!head) return false;
  layout = *head;
  if (!isVersion1(wordAt(bytes, 4))) {
    std::cerr << "Validation Failed, Wrong Format Version!" << std::endl;
    return false;
  }
  if (byteSum(bytes.data(), layout.end) != wordAt(bytes, layout.end)) {
    std::cerr << "Validation Failed, Total Checksum Error!" << std::endl;
    return false;
  }
  const auto checkScales = [&](const char* message) {
    return [&bytes, message](const IoSpan& span) {
      if (scaleChecksumHolds(bytes, span)) return true;
      std::cerr << message << std::endl;
      return false;
    };
  };
  const auto outputsAt = walkIoSection(bytes, layout, layout.inputsAt, "Input section",
                                       checkScales("Validation Failed, Input Scale Checksum Error!"));
  if (!outputsAt) return false;
  layout.outputsAt = *outputsAt;
  const auto binariesAt = walkIoSection(bytes, layout, layout.outputsAt, "Output section",
                                        checkScales("Validation Failed, Output Scale Checksum Error!"));
  if (!binariesAt) return false;
  layout.binariesAt = *binariesAt;
  return walkCandidates(bytes, layout, [&bytes](const CandidateSpan& span) {
    if (byteSum(bytes.data() + span.payloadAt, span.payloadSize) == wordAt(bytes, span.payloadAt + span.payloadSize))
      return true;
    std::cerr << "Validation Failed, Binary Candidates Checksum Error!" << std::endl;
    return false;
  });
}

// Reads the whole file silently: an unreadable file is refused without a
// message.
bool readWhole(const std::string& path, std::vector<uint8_t>& bytes) {
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      utilkit::throwIfOutOfMemory(errno);
      return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) return false;
    in.seekg(0, std::ios::beg);
    bytes.resize(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size)) return false;
    return true;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return false;
  }
}

// Cluster rule of core entries and candidate designations.
CoreId v1CoreId(uint32_t word, uint32_t version) {
  const uint32_t cluster = version == kVersion0 ? static_cast<uint32_t>(Cluster::Cluster0) : (word & 0xFFFF0000u);
  return CoreId{static_cast<Cluster>(cluster), static_cast<Core>(word & 0xFFFFu)};
}

template <typename Io>
Io readIo(const std::vector<uint8_t>& bytes, const IoSpan& span, const std::vector<Designation>& designations) {
  Io io;
  io.designations = designations;
  const uint64_t address = longWordAt(bytes, span.at);
  for (auto& d : io.designations) d.address = address;
  io.original_height = wordAt(bytes, span.at + 8);
  io.original_width = wordAt(bytes, span.at + 12);
  io.original_channel = wordAt(bytes, span.at + 16);
  io.height = wordAt(bytes, span.at + 20);
  io.width = wordAt(bytes, span.at + 24);
  io.channel = wordAt(bytes, span.at + 28);
  io.per_channel = (wordAt(bytes, span.at + 32) & 1u) != 0;
  io.reshaped_height = io.original_height;
  io.reshaped_width = io.original_width;
  io.reshaped_channel = io.original_channel;
  io.scales.resize(span.scaleCount);
  if (span.scaleCount != 0) std::memcpy(io.scales.data(), bytes.data() + span.at + kIoHeadBytes, 4 * span.scaleCount);
  io.io_type = 0;
  io.kind = 0;
  detail::completeLegacyIo(io);
  return io;
}

}  // namespace

bool verify(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (!readWhole(path, bytes)) return false;
  Layout layout;
  return verifyBytes(bytes, layout);
}

bool load(const std::string& path, ZRB& model) {
  if (!detail::hasTempDirectory(model, path)) return false;
  std::vector<uint8_t> bytes;
  if (!readWhole(path, bytes)) return false;
  Layout layout;
  if (!verifyBytes(bytes, layout)) return false;

  const uint32_t version = wordAt(bytes, 4);
  if (!isVersion1(version)) {
    KLOG_ERROR("Unexpected format version, {}", version);
    return false;
  }
  model.setHeader(version, wordAt(bytes, 12), wordAt(bytes, 8));

  return detail::guardedLoad(path, [&] {
    Bundle bundle;
    bundle.setBundleWord(0);
    uint64_t firstValueOfLastCore = 0;
    for (uint32_t c = 0; c < layout.coreCount; ++c) {
      const uint64_t at = kHeaderBytes + kCoreEntryBytes * c;
      CoreConfig core;
      core.core_id = v1CoreId(wordAt(bytes, at), version);
      firstValueOfLastCore = longWordAt(bytes, at + 4);
      if (version != kVersion2) core.value0 = firstValueOfLastCore;
      core.value1 = longWordAt(bytes, at + 12);
      core.value2 = longWordAt(bytes, at + 20);
      core.mode = static_cast<uint32_t>(CoreMode::Single);
      core.pow2_a = core.pow2_b = wordAt(bytes, at + 28) >> 1;
      bundle.cores.push_back(std::move(core));
    }

    const hwdep::Platform platform;
    const auto designations = platformDesignations(platform, 0, false);
    walkIoSection(bytes, layout, layout.inputsAt, "Input section", [&](const IoSpan& span) {
      bundle.inputs.push_back(readIo<Input>(bytes, span, designations));
      return true;
    });
    walkIoSection(bytes, layout, layout.outputsAt, "Output section", [&](const IoSpan& span) {
      bundle.outputs.push_back(readIo<Output>(bytes, span, designations));
      return true;
    });

    // Only a file that has a core entry has a last one to take the size of
    // the payload-less binary from.
    if (version == kVersion2 && layout.coreCount > 0 && firstValueOfLastCore != 0) {
      SectionBinary reserved;
      reserved.designations = designations;
      reserved.size = static_cast<uint32_t>(firstValueOfLastCore);
      reserved.no_payload = true;
      bundle.section_binaries.push_back(std::move(reserved));
    }

    uint32_t index = 0;
    const bool written = walkCandidates(bytes, layout, [&](const CandidateSpan& span) {
      SectionBinary binary;
      for (uint32_t k = 0; k < span.designationCount; ++k) {
        const uint64_t at = span.at + 4 + kCandidateDesignationBytes * k;
        binary.designations.push_back(designationOf(v1CoreId(wordAt(bytes, at), version), longWordAt(bytes, at + 4), true));
      }
      binary.path = (model.getTempDirectory() / ("binary" + std::to_string(index++) + ".bin")).string();
      binary.size = span.payloadSize;
      if (!utilkit::writeBinaryFile(binary.path, bytes.data() + span.payloadAt, span.payloadSize)) {
        KLOG_ERROR("Failed to write a section binary file, {}", binary.path);
        return false;
      }
      bundle.section_binaries.push_back(std::move(binary));
      return true;
    });
    if (!written) return false;
    model.setBundles({std::move(bundle)});
    return true;
  });
}

}  // namespace v1
}  // namespace kestrane::zrb
