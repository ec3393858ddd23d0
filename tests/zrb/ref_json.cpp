#include "ref_json.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <type_traits>

namespace kestrane::test::ref {

namespace {

using nlohmann::json;

std::string toHex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::vector<uint8_t> readBytes(const std::string& path, uint64_t offset, uint64_t size) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> out(size);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
  out.resize(static_cast<size_t>(in.gcount()));
  return out;
}

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The bare file name of a path inside the temporary directory.
std::string relativePath(const zrb::ZRB& model, const std::string& path) {
  const std::string dir = model.getTempDirectory().string() + "/";
  return path.compare(0, dir.size(), dir) == 0 ? path.substr(dir.size()) : path;
}

json coreId(const CoreId& id) {
  return {{"cluster", static_cast<int64_t>(static_cast<int32_t>(id.cluster))},
          {"core", static_cast<int64_t>(static_cast<int32_t>(id.core))}};
}

json core(const zrb::CoreConfig& c) {
  return {{"core_id", coreId(c.core_id)}, {"value0", c.value0},         {"value1", c.value1},
          {"value2", c.value2},           {"mode", c.mode},             {"pow2_a", c.pow2_a},
          {"pow2_b", c.pow2_b},           {"mode_bit10", c.mode_bit10}, {"supported_modes", c.supported_modes},
          {"clusters", c.clusters}};
}

json designations(const std::vector<zrb::Designation>& list) {
  json out = json::array();
  for (const auto& d : list) {
    out.push_back({{"core_id", coreId(d.core_id)},
                   {"address", d.address},
                   {"flag", d.flag},
                   {"mode", d.mode},
                   {"linked_cores", d.linked_cores},
                   {"core_config", core(d.core_config)},
                   {"memory_type", d.memory_type}});
  }
  return out;
}

json metadata(const zrb::ZRB& model, const std::vector<zrb::Metadatum>& list) {
  json out = json::array();
  for (const auto& m : list) {
    out.push_back({{"size", m.size},
                   {"path", relativePath(model, m.path)},
                   {"kind", m.kind},
                   {"flag0", m.flag0},
                   {"flag1", m.flag1},
                   {"flag2", m.flag2},
                   {"flag3", m.flag3},
                   {"flag13", m.flag13},
                   {"no_payload", m.no_payload},
                   {"data", m.data},
                   {"payload_hex", m.path.empty() ? "" : toHex(readAll(m.path))}});
  }
  return out;
}

template <typename Io>
json io(const Io& e) {
  json groups = json::array();
  for (const auto& g : e.io_groups) groups.push_back({{"first", g.first}, {"second", g.second}, {"third", g.third}});
  std::vector<double> scales(e.scales.begin(), e.scales.end());
  json out = {{"designations", designations(e.designations)},
              {"original_height", e.original_height},
              {"original_width", e.original_width},
              {"original_channel", e.original_channel},
              {"height", e.height},
              {"width", e.width},
              {"channel", e.channel},
              {"reshaped_height", e.reshaped_height},
              {"reshaped_width", e.reshaped_width},
              {"reshaped_channel", e.reshaped_channel},
              {"per_channel", e.per_channel},
              {"scales", scales},
              {"io_type", e.io_type},
              {"io_groups", groups},
              {"size", e.size},
              {"seq_length_height", e.seq_length_height},
              {"seq_length_width", e.seq_length_width},
              {"seq_length_channel", e.seq_length_channel},
              {"kind", e.kind},
              {"bit_list", e.bit_list},
              {"word2_nibble", e.word2_nibble},
              {"has_channel_bytes", e.has_channel_bytes},
              {"channel_bytes", e.channel_bytes},
              {"seq_index_height", e.seq_index_height},
              {"seq_index_width", e.seq_index_width},
              {"seq_index_channel", e.seq_index_channel},
              {"aux_word", e.aux_word},
              {"name", e.name}};
  if constexpr (std::is_same_v<Io, zrb::Input>) {
    out["seq_extra_word"] = e.seq_extra_word;
  }
  return out;
}

json axes(const std::map<int32_t, std::vector<zrb::SequenceLengthAxis>>& map) {
  json out = json::object();
  for (const auto& [key, list] : map) {
    json items = json::array();
    for (const auto& a : list) {
      items.push_back({{"axis_type", a.axis_type},
                       {"axis", a.axis},
                       {"multiplier", static_cast<double>(a.multiplier)},
                       {"offset", static_cast<double>(a.offset)}});
    }
    out[std::to_string(key)] = items;
  }
  return out;
}

json bundle(const zrb::ZRB& model, const zrb::Bundle& b) {
  json inputs = json::array(), outputs = json::array(), lengths = json::array(), binaries = json::array(),
       rmemIds = json::array(), caches = json::array(), cores = json::array();
  for (const auto& c : b.cores) cores.push_back(core(c));
  for (const auto& e : b.inputs) inputs.push_back(io(e));
  for (const auto& e : b.outputs) outputs.push_back(io(e));
  for (const auto& s : b.sequence_lengths) {
    lengths.push_back({{"sequence_type", s.sequence_type},
                       {"flag_bit8", s.flag},
                       {"max_size", s.max_size},
                       {"further_words", s.extra_words},
                       {"input_axes", axes(s.input_axes)},
                       {"output_axes", axes(s.output_axes)},
                       {"sequence_rmem_ids", s.sequence_rmem_ids},
                       {"cache_rmem_ids", s.cache_rmem_ids},
                       {"name", s.name}});
  }
  for (const auto& s : b.section_binaries) {
    std::string payload;
    if (!s.path.empty()) payload = toHex(s.keep_in_file ? readBytes(s.path, s.offset, s.size) : readAll(s.path));
    binaries.push_back({{"designations", designations(s.designations)},
                        {"path", s.keep_in_file ? s.path : relativePath(model, s.path)},
                        {"size", s.size},
                        {"no_payload", s.no_payload},
                        {"flag_bit1", s.flag1},
                        {"memory_type", s.memory_type},
                        {"attribute", s.attribute},
                        {"keep_in_file", s.keep_in_file},
                        {"offset", s.offset},
                        {"payload_hex", payload}});
  }
  for (const auto& r : b.rmem_ids) {
    rmemIds.push_back({{"rmem_type", r.rmem_type},
                       {"value", r.value},
                       {"multiplier", static_cast<double>(r.multiplier)},
                       {"offset", static_cast<double>(r.offset)}});
  }
  for (const auto& c : b.cache_designations) {
    json entries = json::array();
    for (const auto& e : c.entries) entries.push_back({{"value", e.value}, {"designations", designations(e.designations)}});
    caches.push_back({{"designations", designations(c.designations)},
                      {"size", c.size},
                      {"cache_type", c.cache_type},
                      {"name", c.name},
                      {"entries", entries}});
  }
  return {{"bundle_word", b.bundle_word},
          {"cores", cores},
          {"inputs", inputs},
          {"outputs", outputs},
          {"sequence_lengths", lengths},
          {"section_binaries", binaries},
          {"metadata", metadata(model, b.metadata)},
          {"rmem_ids", rmemIds},
          {"cache_designations", caches}};
}

void strip(json& value) {
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end();) {
      if (it.key().rfind('_', 0) == 0 || it.key() == "payload_file_offset") {
        it = value.erase(it);
      } else {
        strip(*it);
        ++it;
      }
    }
  } else if (value.is_array()) {
    for (auto& item : value) strip(item);
  }
}

}  // namespace

std::vector<uint8_t> parseHexListing(const std::string& text) {
  std::vector<uint8_t> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream tokens(line);
    std::string token;
    while (tokens >> token) {
      const auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'); };
      if (token.size() != 2 || !isDigit(token[0]) || !isDigit(token[1]))
        throw std::invalid_argument("not a hex byte: '" + token + "'");
      out.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
  }
  return out;
}

nlohmann::json modelToJson(const zrb::ZRB& model) {
  json bundles = json::array();
  for (const auto& b : model.getBundles()) bundles.push_back(bundle(model, b));
  return {{"format_version", model.getFormatVersion()},
          {"header_word", model.getHeaderWord()},
          {"target_hardware", model.getTargetHardware()},
          {"header_word_ext", model.getHeaderWordExt()},
          {"metadata", metadata(model, model.getMetadata())},
          {"bundles", bundles}};
}

nlohmann::json withoutAnnotations(nlohmann::json expected) {
  strip(expected);
  return expected;
}

std::string readTextFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace kestrane::test::ref
