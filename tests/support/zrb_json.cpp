#include "support/zrb_json.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace kestrane::test::zrbw {

namespace {

using nlohmann::json;

template <typename T>
T get(const json& j, const char* key, T fallback) {
  return j.contains(key) ? j.at(key).get<T>() : fallback;
}

uint32_t hardwareCode(const json& j) {
  if (j.is_number()) return j.get<uint32_t>();
  static const std::map<std::string, uint32_t> names = {{"R412T", 0},   {"Taliss", 1},  {"Ebrill", 2},
                                                        {"Taliss2", 3}, {"Ebrill2", 4}, {"Dummy", 0x7FFFFFFE}};
  const auto it = names.find(j.get<std::string>());
  if (it == names.end()) throw std::invalid_argument("unknown target_hardware " + j.dump());
  return it->second;
}

std::vector<uint8_t> payload(const json& j, const std::string& baseDir) {
  if (j.is_string()) {
    const std::string text = j.get<std::string>();
    return {text.begin(), text.end()};
  }
  if (j.is_array()) return j.get<std::vector<uint8_t>>();
  if (j.contains("text")) return payload(j.at("text"), baseDir);
  if (j.contains("bytes")) return j.at("bytes").get<std::vector<uint8_t>>();
  if (j.contains("hex")) {
    std::string hex;
    for (char c : j.at("hex").get<std::string>()) {
      if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    }
    if (hex.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits in payload");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
  }
  if (j.contains("msgpack")) return json::to_msgpack(j.at("msgpack"));
  if (j.contains("file")) {
    std::filesystem::path path = j.at("file").get<std::string>();
    if (path.is_relative()) path = std::filesystem::path(baseDir) / path;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::invalid_argument("cannot read payload file " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  if (j.contains("random")) {
    const json& r = j.at("random");
    std::mt19937 engine(get<uint32_t>(r, "seed", 1));
    std::vector<uint8_t> out(r.at("size").get<size_t>());
    for (auto& b : out) b = static_cast<uint8_t>(engine());
    return out;
  }
  if (j.contains("repeat")) {
    const json& r = j.at("repeat");
    return std::vector<uint8_t>(r.at("size").get<size_t>(), get<uint8_t>(r, "byte", 0));
  }
  throw std::invalid_argument("unknown payload form " + j.dump());
}

uint32_t coreWord(const json& j) {
  if (j.contains("core_word")) return j.at("core_word").get<uint32_t>();
  return get<uint32_t>(j, "cluster", 0x10000) | get<uint32_t>(j, "core", 1);
}

uint32_t modeWord(const json& j) {
  if (j.contains("mode_word")) return j.at("mode_word").get<uint32_t>();
  uint32_t word = get<uint32_t>(j, "mode", 0) & 0xFu;
  for (uint32_t mode : get<std::vector<uint32_t>>(j, "supported_modes", {})) {
    if (mode < 1 || mode > 4) throw std::invalid_argument("supported mode out of 1..4");
    word |= 1u << (4 + mode);
  }
  for (uint32_t cluster : get<std::vector<uint32_t>>(j, "clusters", {})) {
    if (cluster == 0x10000) word |= 1u << 11;
    else if (cluster == 0x20000) word |= 1u << 12;
    else throw std::invalid_argument("cluster must be 65536 or 131072");
  }
  return word;
}

std::vector<Designation> designations(const json& j) {
  std::vector<Designation> out;
  for (const json& d : j) {
    Designation des;
    des.core_word = coreWord(d);
    des.mode_word = modeWord(d);
    des.flag_word = d.contains("flag_word") ? d.at("flag_word").get<uint32_t>()
                                            : (get<bool>(d, "flag", false) ? 1u : 0u) |
                                                  ((get<uint32_t>(d, "memory_type", 0) & 0x3Fu) << 1);
    des.address = get<uint64_t>(d, "address", 0);
    out.push_back(des);
  }
  return out;
}

Metadatum metadatum(const json& j, const std::string& baseDir) {
  Metadatum m;
  m.flags = get<uint32_t>(j, "flags", 0) | (get<bool>(j, "no_payload", false) ? 0x10u : 0u) |
            ((get<uint32_t>(j, "kind", 0) & 0xFFu) << 5);
  if (j.contains("payload")) m.payload = payload(j.at("payload"), baseDir);
  if (j.contains("size")) m.size = j.at("size").get<uint32_t>();
  return m;
}

std::vector<Metadatum> metadata(const json& j, const char* key, const std::string& baseDir) {
  std::vector<Metadatum> out;
  if (j.contains(key)) {
    for (const json& m : j.at(key)) out.push_back(metadatum(m, baseDir));
  }
  return out;
}

void triple(const json& j, const char* key, std::array<uint32_t, 13>& dims, size_t at, uint32_t fallback) {
  const auto v = get<std::vector<uint32_t>>(j, key, {fallback, fallback, fallback});
  if (v.size() != 3) throw std::invalid_argument(std::string(key) + " needs three values");
  for (size_t i = 0; i < 3; ++i) dims[at + i] = v[i];
}

IoEntry ioEntry(const json& j) {
  IoEntry io;
  io.name = get<std::string>(j, "name", "");
  io.designations = designations(get<json>(j, "designations", json::array()));
  io.size = get<uint64_t>(j, "size", 0);
  const bool perChannel = get<bool>(j, "per_channel", false);
  const bool hasChannelBytes = j.contains("channel_bytes");
  io.flags = j.contains("flags") ? j.at("flags").get<uint32_t>()
                                 : ioFlags(perChannel, get<uint32_t>(j, "io_type", 0), get<uint32_t>(j, "kind", 0),
                                           hasChannelBytes);
  if (j.contains("flags2")) {
    io.flags2 = j.at("flags2").get<uint32_t>();
  } else {
    for (uint32_t bit : get<std::vector<uint32_t>>(j, "bit_list", {})) io.flags2 |= 1u << (bit & 15u);
    io.flags2 |= (get<uint32_t>(j, "word2_nibble", 0) & 0xFu) << 15;
  }
  triple(j, "original", io.dims, 3, 1);
  const std::array<uint32_t, 3> original = {io.dims[3], io.dims[4], io.dims[5]};
  triple(j, "reshaped", io.dims, 0, 0);
  triple(j, "shape", io.dims, 6, 0);
  for (size_t i = 0; i < 3; ++i) {
    if (!j.contains("reshaped")) io.dims[i] = original[i];
    if (!j.contains("shape")) io.dims[6 + i] = original[i];
  }
  triple(j, "seq_index", io.dims, 9, 0xFFFFFFFFu);
  io.dims[12] = get<uint32_t>(j, "aux_word", 0);
  if (j.contains("scales")) {
    io.scales = j.at("scales").get<std::vector<float>>();
  } else {
    const uint32_t n = original[2] == 0 ? 0 : (perChannel ? original[2] : 1);
    io.scales.assign(n, 1.0f);
  }
  if (hasChannelBytes) io.channel_bytes = j.at("channel_bytes").get<std::vector<uint8_t>>();
  for (const json& g : get<json>(j, "io_groups", json::array())) {
    io.io_groups.push_back({g.at("first").get<std::vector<uint32_t>>(), g.at("second").get<std::vector<uint32_t>>(),
                            g.at("third").get<std::vector<uint32_t>>()});
  }
  io.extra_words = get<std::vector<uint32_t>>(j, "extra_words", {});
  return io;
}

std::vector<AxisGroup> axisGroups(const json& j) {
  std::vector<AxisGroup> out;
  for (const json& g : j) {
    AxisGroup group{g.at("key").get<uint32_t>(), {}};
    for (const json& a : g.at("axes")) {
      Axis axis;
      axis.word = a.contains("word") ? a.at("word").get<uint32_t>()
                                     : (get<uint32_t>(a, "axis_type", 0) & 0xFFu) |
                                           ((get<uint32_t>(a, "axis", 0) & 0xFu) << 8);
      axis.multiplier = get<float>(a, "multiplier", 1.0f);
      axis.offset = get<float>(a, "offset", 0.0f);
      group.axes.push_back(axis);
    }
    out.push_back(group);
  }
  return out;
}

SequenceLength sequenceLength(const json& j) {
  SequenceLength s;
  s.name = get<std::string>(j, "name", "");
  s.type_word = j.contains("type_word") ? j.at("type_word").get<uint32_t>()
                                        : (get<uint32_t>(j, "sequence_type", 0) & 0xFFu) |
                                              (get<bool>(j, "flag", false) ? 0x100u : 0u);
  s.max_size = get<uint32_t>(j, "max_size", 0);
  const auto extra = get<std::vector<uint32_t>>(j, "extra_words", {});
  for (size_t i = 0; i < extra.size() && i < 3; ++i) s.extra[i] = extra[i];
  s.input_axes = axisGroups(get<json>(j, "input_axes", json::array()));
  s.output_axes = axisGroups(get<json>(j, "output_axes", json::array()));
  s.sequence_rmem_ids = get<std::vector<uint32_t>>(j, "sequence_rmem_ids", {});
  s.cache_rmem_ids = get<std::vector<uint32_t>>(j, "cache_rmem_ids", {});
  return s;
}

SectionBinary sectionBinary(const json& j, const std::string& baseDir) {
  SectionBinary s;
  s.flags = j.contains("flags") ? j.at("flags").get<uint32_t>()
                                : binaryFlags(get<bool>(j, "no_payload", false), get<bool>(j, "flag1", false),
                                              get<uint32_t>(j, "memory_type", 0), get<uint32_t>(j, "attribute", 0));
  s.designations = designations(get<json>(j, "designations", json::array()));
  if (j.contains("payload")) s.payload = payload(j.at("payload"), baseDir);
  if (j.contains("size")) s.size = j.at("size").get<uint64_t>();
  return s;
}

CacheDesignation cacheDesignation(const json& j) {
  CacheDesignation c;
  c.type_word = j.contains("type_word") ? j.at("type_word").get<uint32_t>() : get<uint32_t>(j, "cache_type", 0);
  c.name = get<std::string>(j, "name", "");
  c.size = get<uint64_t>(j, "size", 0);
  for (const json& e : get<json>(j, "entries", json::array())) {
    c.entries.push_back({designations(get<json>(e, "designations", json::array())), get<uint32_t>(e, "value", 0)});
  }
  c.designations = designations(get<json>(j, "designations", json::array()));
  return c;
}

template <typename T, typename F>
std::vector<T> items(const json& j, const char* key, F&& make) {
  std::vector<T> out;
  if (j.contains(key)) {
    for (const json& item : j.at(key)) out.push_back(make(item));
  }
  return out;
}

Bundle bundle(const json& j, const std::string& baseDir) {
  Bundle b;
  b.bundle_word = get<uint32_t>(j, "bundle_word", 0);
  b.metadata = metadata(j, "metadata", baseDir);
  b.cores = items<Core>(j, "cores", [](const json& c) { return Core{coreWord(c), modeWord(c)}; });
  b.inputs = items<IoEntry>(j, "inputs", ioEntry);
  b.outputs = items<IoEntry>(j, "outputs", ioEntry);
  b.sequence_lengths = items<SequenceLength>(j, "sequence_lengths", sequenceLength);
  b.section_binaries =
      items<SectionBinary>(j, "section_binaries", [&](const json& s) { return sectionBinary(s, baseDir); });
  b.rmem_ids = items<RmemId>(j, "rmem_ids", [](const json& r) {
    return RmemId{get<uint32_t>(r, "type_word", get<uint32_t>(r, "rmem_type", 0)), get<uint32_t>(r, "value", 0),
                  get<float>(r, "multiplier", 1.0f), get<float>(r, "offset", 0.0f)};
  });
  b.cache_designations = items<CacheDesignation>(j, "cache_designations", cacheDesignation);
  return b;
}

}  // namespace

Model modelFromJson(const json& j, const std::string& baseDir) {
  Model m;
  uint32_t version = get<uint32_t>(j, "version", 6);
  if (version < 0x10000) version <<= 16;
  m.version = version;
  if (j.contains("target_hardware")) m.target_hardware = hardwareCode(j.at("target_hardware"));
  m.header_word = get<uint32_t>(j, "header_word", 0);
  m.header_word_ext = get<uint32_t>(j, "header_word_ext", 0);
  m.metadata = metadata(j, "metadata", baseDir);
  m.bundles = items<Bundle>(j, "bundles", [&](const json& b) { return bundle(b, baseDir); });
  if (j.contains("trailing")) m.trailing = payload(j.at("trailing"), baseDir);
  m.boundary = get<uint32_t>(j, "boundary", kBoundaryWord);
  m.noise_seed = get<uint32_t>(j, "noise_seed", 1);
  if (j.contains("ignored_value")) m.ignored_value = j.at("ignored_value").get<uint32_t>();
  m.overrides = get<std::map<std::string, uint32_t>>(j, "overrides", {});
  if (j.contains("checksum")) m.checksum = j.at("checksum").get<uint32_t>();
  return m;
}

json offsetsToJson(const Written& written) {
  json out = json::object();
  for (const auto& [label, offset] : written.offsets) out[label] = offset;
  return out;
}

}  // namespace kestrane::test::zrbw
