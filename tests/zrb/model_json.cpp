#include "model_json.h"

#include <filesystem>

#include "utilkit/fs_utils.h"

namespace kestrane::test {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

json coreId(const CoreId& id) {
  return {{"cluster", static_cast<uint32_t>(id.cluster)}, {"core", static_cast<uint32_t>(id.core)}};
}

json coreConfig(const zrb::CoreConfig& c) {
  return {{"core_id", coreId(c.core_id)},   {"value0", c.value0},
          {"value1", c.value1},             {"value2", c.value2},
          {"mode", c.mode},                 {"pow2_a", c.pow2_a},
          {"pow2_b", c.pow2_b},             {"mode_bit10", c.mode_bit10},
          {"supported_modes", c.supported_modes}, {"clusters", c.clusters}};
}

json designations(const std::vector<zrb::Designation>& list) {
  json out = json::array();
  for (const auto& d : list) {
    out.push_back({{"core_id", coreId(d.core_id)},
                   {"address", d.address},
                   {"flag", d.flag},
                   {"mode", d.mode},
                   {"linked_cores", d.linked_cores},
                   {"core_config", coreConfig(d.core_config)},
                   {"memory_type", d.memory_type}});
  }
  return out;
}

// The payload file's name inside the temporary directory, and its content.
void payloadFields(json& out, const std::string& path, const fs::path& tempDir) {
  if (path.empty()) {
    out["path"] = "";
    out["payload_hex"] = "";
    return;
  }
  const fs::path p(path);
  out["path"] = p.parent_path() == tempDir ? p.filename().string() : path;
  std::vector<uint8_t> bytes;
  out["payload_hex"] = utilkit::readBinaryFile(path, bytes) ? hexOf(bytes) : "<unreadable>";
}

json metadata(const std::vector<zrb::Metadatum>& list, const fs::path& tempDir) {
  json out = json::array();
  for (const auto& m : list) {
    json j = {{"size", m.size},         {"kind", m.kind},         {"flag0", m.flag0},
              {"flag1", m.flag1},       {"flag2", m.flag2},       {"flag3", m.flag3},
              {"flag13", m.flag13},     {"no_payload", m.no_payload}, {"data", m.data}};
    payloadFields(j, m.path, tempDir);
    out.push_back(j);
  }
  return out;
}

json ioEntry(const zrb::IoEntry& e) {
  json groups = json::array();
  for (const auto& g : e.io_groups) groups.push_back({{"first", g.first}, {"second", g.second}, {"third", g.third}});
  return {{"designations", designations(e.designations)},
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
          {"scales", e.scales},
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
}

json axes(const std::map<int32_t, std::vector<zrb::SequenceLengthAxis>>& map) {
  json out = json::object();
  for (const auto& [key, list] : map) {
    json items = json::array();
    for (const auto& a : list) {
      items.push_back({{"axis_type", a.axis_type}, {"axis", a.axis}, {"multiplier", a.multiplier}, {"offset", a.offset}});
    }
    out[std::to_string(key)] = items;
  }
  return out;
}

json bundle(const zrb::Bundle& b, const fs::path& tempDir) {
  json j;
  j["bundle_word"] = b.bundle_word;
  j["cores"] = json::array();
  for (const auto& c : b.cores) j["cores"].push_back(coreConfig(c));
  j["inputs"] = json::array();
  for (const auto& in : b.inputs) {
    json e = ioEntry(in);
    e["seq_extra_word"] = in.seq_extra_word;
    j["inputs"].push_back(e);
  }
  j["outputs"] = json::array();
  for (const auto& out : b.outputs) j["outputs"].push_back(ioEntry(out));
  j["sequence_lengths"] = json::array();
  for (const auto& s : b.sequence_lengths) {
    j["sequence_lengths"].push_back({{"sequence_type", s.sequence_type},
                                     {"flag_bit8", s.flag_bit8},
                                     {"max_size", s.max_size},
                                     {"further_words", s.further_words},
                                     {"input_axes", axes(s.input_axes)},
                                     {"output_axes", axes(s.output_axes)},
                                     {"sequence_rmem_ids", s.sequence_rmem_ids},
                                     {"cache_rmem_ids", s.cache_rmem_ids},
                                     {"name", s.name}});
  }
  j["section_binaries"] = json::array();
  for (const auto& s : b.section_binaries) {
    json e = {{"designations", designations(s.designations)},
              {"size", s.size},
              {"no_payload", s.no_payload},
              {"flag_bit1", s.flag_bit1},
              {"memory_type", s.memory_type},
              {"attribute", s.attribute},
              {"keep_in_file", s.keep_in_file},
              {"offset", s.offset}};
    if (s.keep_in_file) {
      e["path"] = s.path;
    } else {
      payloadFields(e, s.path, tempDir);
    }
    j["section_binaries"].push_back(e);
  }
  j["metadata"] = metadata(b.metadata, tempDir);
  j["rmem_ids"] = json::array();
  for (const auto& r : b.rmem_ids) {
    j["rmem_ids"].push_back(
        {{"rmem_type", r.rmem_type}, {"value", r.value}, {"multiplier", r.multiplier}, {"offset", r.offset}});
  }
  j["cache_designations"] = json::array();
  for (const auto& c : b.cache_designations) {
    json entries = json::array();
    for (const auto& e : c.entries) entries.push_back({{"value", e.value}, {"designations", designations(e.designations)}});
    j["cache_designations"].push_back({{"designations", designations(c.designations)},
                                       {"size", c.size},
                                       {"cache_type", c.cache_type},
                                       {"name", c.name},
                                       {"entries", entries}});
  }
  return j;
}

void diff(const json& expected, const json& actual, const std::string& path, const std::vector<std::string>& skip,
          std::vector<std::string>& out) {
  if (expected.is_object() && actual.is_object()) {
    for (const auto& [key, value] : expected.items()) {
      if (key.rfind('_', 0) == 0 || std::find(skip.begin(), skip.end(), key) != skip.end()) continue;
      if (!actual.contains(key)) {
        out.push_back(path + "." + key + ": missing");
        continue;
      }
      diff(value, actual.at(key), path + "." + key, skip, out);
    }
    return;
  }
  if (expected.is_array() && actual.is_array()) {
    if (expected.size() != actual.size()) {
      out.push_back(path + ": " + std::to_string(expected.size()) + " items expected, " +
                    std::to_string(actual.size()) + " read");
      return;
    }
    for (size_t i = 0; i < expected.size(); ++i) {
      diff(expected[i], actual[i], path + "[" + std::to_string(i) + "]", skip, out);
    }
    return;
  }
  if (expected != actual) out.push_back(path + ": expected " + expected.dump() + ", read " + actual.dump());
}

}  // namespace

std::string hexOf(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

json modelToJson(const zrb::ZRB& model) {
  const fs::path& tempDir = model.getTempDirectory();
  json j = {{"format_version", model.getFormatVersion()},
            {"header_word", model.getHeaderWord()},
            {"target_hardware", model.getTargetHardware()},
            {"header_word_ext", model.getHeaderWordExt()},
            {"metadata", metadata(model.getMetadata(), tempDir)},
            {"bundles", json::array()}};
  for (const auto& b : model.getBundles()) j["bundles"].push_back(bundle(b, tempDir));
  return j;
}

std::vector<std::string> jsonDifferences(const json& expected, const json& actual,
                                         const std::vector<std::string>& skip) {
  std::vector<std::string> out;
  diff(expected, actual, "", skip, out);
  return out;
}

}  // namespace kestrane::test
