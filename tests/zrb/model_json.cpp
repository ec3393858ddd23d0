#include "model_json.h"

#include <filesystem>

#include "utilkit/fs_utils.h"

namespace kestrane::test {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// A field under its own name.
#define KV(object, field) {#field, (object).field}

json coreId(const CoreId& id) {
  return {{"cluster", static_cast<uint32_t>(id.cluster)}, {"core", static_cast<uint32_t>(id.core)}};
}

json coreConfig(const zrb::CoreConfig& c) {
  return {{"core_id", coreId(c.core_id)}, KV(c, value0), KV(c, value1), KV(c, value2), KV(c, mode),
          KV(c, pow2_a), KV(c, pow2_b), KV(c, mode_bit10), KV(c, supported_modes), KV(c, clusters)};
}

json designations(const std::vector<zrb::Designation>& list) {
  json out = json::array();
  for (const auto& d : list) {
    out.push_back({{"core_id", coreId(d.core_id)}, KV(d, address), KV(d, flag), KV(d, mode), KV(d, linked_cores),
                   {"core_config", coreConfig(d.core_config)}, KV(d, memory_type)});
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
    json j = {KV(m, size), KV(m, kind), KV(m, flag0), KV(m, flag1), KV(m, flag2),
              KV(m, flag3), KV(m, flag13), KV(m, no_payload), KV(m, data)};
    payloadFields(j, m.path, tempDir);
    out.push_back(j);
  }
  return out;
}

json ioEntry(const zrb::IoEntry& e) {
  json groups = json::array();
  for (const auto& g : e.io_groups) groups.push_back({{"first", g.first}, {"second", g.second}, {"third", g.third}});
  return {{"designations", designations(e.designations)},
          {"io_groups", groups},
          KV(e, original_height), KV(e, original_width), KV(e, original_channel), KV(e, height),
          KV(e, width), KV(e, channel), KV(e, reshaped_height), KV(e, reshaped_width),
          KV(e, reshaped_channel), KV(e, per_channel), KV(e, scales), KV(e, io_type),
          KV(e, size), KV(e, seq_length_height), KV(e, seq_length_width), KV(e, seq_length_channel),
          KV(e, kind), KV(e, bit_list), KV(e, word2_nibble), KV(e, has_channel_bytes),
          KV(e, channel_bytes), KV(e, seq_index_height), KV(e, seq_index_width), KV(e, seq_index_channel),
          KV(e, aux_word), KV(e, name)};
}

json axes(const std::map<int32_t, std::vector<zrb::SequenceLengthAxis>>& map) {
  json out = json::object();
  for (const auto& [key, list] : map) {
    json items = json::array();
    for (const auto& a : list) {
      items.push_back({KV(a, axis_type), KV(a, axis), KV(a, multiplier), KV(a, offset)});
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
    j["sequence_lengths"].push_back({KV(s, sequence_type), KV(s, flag_bit8), KV(s, max_size), KV(s, further_words),
                                     {"input_axes", axes(s.input_axes)}, {"output_axes", axes(s.output_axes)},
                                     {"sequence_rmem_ids", s.sequence_rmem_ids.ids()}, {"cache_rmem_ids", s.cache_rmem_ids.ids()}, KV(s, name)});
  }
  j["section_binaries"] = json::array();
  for (const auto& s : b.section_binaries) {
    json e = {{"designations", designations(s.designations)}, KV(s, size), KV(s, no_payload), KV(s, flag_bit1),
              KV(s, memory_type), KV(s, attribute), KV(s, keep_in_file), KV(s, offset)};
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
    j["rmem_ids"].push_back({KV(r, rmem_type), KV(r, value), KV(r, multiplier), KV(r, offset)});
  }
  j["cache_designations"] = json::array();
  for (const auto& c : b.cache_designations) {
    json entries = json::array();
    for (const auto& e : c.entries) entries.push_back({{"value", e.value}, {"designations", designations(e.designations)}});
    j["cache_designations"].push_back({{"designations", designations(c.designations)}, KV(c, size), KV(c, cache_type),
                                       KV(c, name), {"entries", entries}});
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
