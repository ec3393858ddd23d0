#include "support/zrb_json.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <stdexcept>

#include "hwdep/memory_type.h"
#include "hwdep/platform.h"
#include "layers/description_numbers.h"
#include "model/description_nesting.h"
#include "support/program_text.h"

namespace kestrane::test::zrbw {

namespace {

using nlohmann::json;

// ---- Checking a description before anything is built ----
// A misspelt key or a value its field cannot hold is refused at its JSON
// pointer, instead of a file the test did not mean (or a wrong message from
// deep in the writer). Messages: "<pointer>: unknown key", "<pointer>:
// <value> is out of range (<allowed>)", "<pointer>: expected <kind>, got
// <value>", "<pointer>: required key missing".

using Check = std::function<void(const json&, const std::string&)>;

struct Field {
  const char* key;
  Check check;
  bool required = false;
};

[[noreturn]] void refuse(const std::string& at, const std::string& problem) {
  throw std::invalid_argument((at.empty() ? "/" : at) + ": " + problem);
}

std::string shown(const json& j) {
  if (j.is_array()) return "an array";
  if (j.is_object()) return "an object";
  return j.dump();
}

std::string child(const std::string& at, const std::string& key) {
  std::string escaped;
  for (char c : key) escaped += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
  return at + "/" + escaped;
}

void expect(bool ok, const json& j, const std::string& at, const char* kind) {
  if (!ok) refuse(at, std::string("expected ") + kind + ", got " + shown(j));
}

// Numbers built in C++ are signed, parsed ones unsigned when not negative.
bool negative(const json& j) { return !j.is_number_unsigned() && j.get<int64_t>() < 0; }

// A whole number from `lo` to `hi`.
Check whole(int64_t lo, uint64_t hi) {
  const std::string allowed = std::to_string(lo) + " to " + std::to_string(hi);
  return [=](const json& j, const std::string& at) {
    expect(j.is_number_integer(), j, at, "a whole number");
    const bool in = negative(j) ? j.get<int64_t>() >= lo
                                : j.get<uint64_t>() <= hi && (lo <= 0 || j.get<uint64_t>() >= uint64_t(lo));
    if (!in) refuse(at, j.dump() + " is out of range (" + allowed + ")");
  };
}

const Check word = whole(0, 0xFFFFFFFFu), longWord = whole(0, UINT64_MAX), byte = whole(0, 255);

Check among(std::set<uint64_t> values, std::string allowed) {
  return [=](const json& j, const std::string& at) {
    expect(j.is_number_integer(), j, at, "a whole number");
    if (negative(j) || !values.count(j.get<uint64_t>())) {
      refuse(at, j.dump() + " is out of range (" + allowed + ")");
    }
  };
}

const Check boolean = [](const json& j, const std::string& at) { expect(j.is_boolean(), j, at, "true or false"); };
const Check text = [](const json& j, const std::string& at) { expect(j.is_string(), j, at, "a string"); };
const Check number = [](const json& j, const std::string& at) { expect(j.is_number(), j, at, "a number"); };

// A value that sits `above` levels down in a model description and keeps
// the description within the runtime's nesting bound. Counted without
// recursion: the MessagePack writer recurses once per level, so a hostile
// description must be refused before it gets there.
Check withinNesting(size_t above) {
  return [above](const json& j, const std::string& at) {
    std::vector<std::pair<const json*, size_t>> open = {{&j, above}};
    while (!open.empty()) {
      const auto [value, depth] = open.back();
      open.pop_back();
      if (!value->is_structured()) continue;
      if (depth == kMaxDescriptionNesting) {
        refuse(at, "nested deeper than the " + std::to_string(kMaxDescriptionNesting) +
                       " levels a model description may have");
      }
      for (const json& item : *value) open.emplace_back(&item, depth + 1);
    }
  };
}

// An array of `least` to `most` `item`s.
Check list(Check item, size_t least = 0, size_t most = SIZE_MAX) {
  return [=](const json& j, const std::string& at) {
    expect(j.is_array(), j, at, "an array");
    if (j.size() < least || j.size() > most) {
      refuse(at, std::string("expected ") + (least == most ? "" : "at most ") + std::to_string(most) + " values, got " +
                     std::to_string(j.size()));
    }
    for (size_t i = 0; i < j.size(); ++i) item(j[i], at + "/" + std::to_string(i));
  };
}

// An object of these keys only (`open`: other keys are let through).
void record(const json& j, const std::string& at, const std::vector<Field>& fields, bool open = false) {
  expect(j.is_object(), j, at, "an object");
  for (const auto& item : j.items()) {
    const std::string& key = item.key();
    const auto field = std::find_if(fields.begin(), fields.end(), [&](const Field& f) { return key == f.key; });
    if (field != fields.end()) {
      field->check(item.value(), child(at, key));
    } else if (!open) {
      refuse(child(at, key), "unknown key");
    }
  }
  for (const Field& f : fields) {
    if (f.required && !j.contains(f.key)) refuse(child(at, f.key), "required key missing");
  }
}

Check recordOf(std::vector<Field> fields, bool open = false) {
  return [fields = std::move(fields), open](const json& j, const std::string& at) { record(j, at, fields, open); };
}

const std::map<std::string, uint32_t>& hardwareNames() {
  static const std::map<std::string, uint32_t> names = {{"R412T", 0},   {"Taliss", 1},  {"Ebrill", 2},
                                                        {"Taliss2", 3}, {"Ebrill2", 4}, {"Dummy", 0x7FFFFFFE}};
  return names;
}

void checkHardware(const json& j, const std::string& at) {
  if (j.is_number()) return word(j, at);
  expect(j.is_string(), j, at, "a number or a name");
  if (!hardwareNames().count(j.get<std::string>())) {
    refuse(at, j.dump() + " is out of range (R412T, Taliss, Ebrill, Taliss2, Ebrill2, Dummy or a number)");
  }
}

void checkRegion(const json& j, const std::string& at) {
  expect(j.is_string(), j, at, "a string");
  std::string names;
  for (uint32_t type = 0; type <= 30; ++type) {
    const std::string name = hwdep::memoryTypeName(type);
    if (name == "Error") continue;
    if (name == j.get<std::string>()) return;
    names += (names.empty() ? "" : ", ") + name;
  }
  refuse(at, j.dump() + " is out of range (" + names + ")");
}

void checkModelDescription(const json& j, const std::string& at) {
  // The runtime reads a shape as 64-bit integers, so it cannot nest; a
  // layer lands on the document's top level. A float of whole value within
  // int64 is read as that integer, so it is written as given.
  static const Check dimension = [](const json& d, const std::string& where) {
    if (d.is_number_float() && exactInt64(d)) return;
    whole(INT64_MIN, INT64_MAX)(d, where);
  };
  static const Check shape = list(dimension);
  static const Check tensors = list(recordOf({{"name", text, true}, {"shape", shape, true}}));
  // Layers carry any further key as given.
  static const Check layers = list([](const json& layer, const std::string& where) {
    withinNesting(1)(layer, where);
    record(layer, where, {{"layerName", text, true}, {"isUnsupported", boolean}}, true);
  });
  record(j, at, {{"inputs", tensors}, {"outputs", tensors}, {"tensors", tensors}, {"layers", layers}});
}

void checkPayload(const json& j, const std::string& at) {
  if (j.is_string()) return;
  if (j.is_array()) return list(byte)(j, at);
  static const std::vector<Field> forms = {
      {"text", text},
      {"hex",
       [](const json& h, const std::string& where) {
         text(h, where);
         const std::string s = h.get<std::string>();
         const auto digits =
             std::count_if(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
         if (digits % 2 != 0) refuse(where, "expected an even number of hex digits, got " + std::to_string(digits));
       }},
      {"bytes", list(byte)},
      {"file", text},
      {"msgpack", withinNesting(0)},
      {"model_description", checkModelDescription},
      {"random", recordOf({{"size", longWord, true}, {"seed", word}})},
      {"repeat", recordOf({{"size", longWord, true}, {"byte", byte}})}};
  expect(j.is_object(), j, at, "a string, an array of bytes or an object");
  record(j, at, forms);
  if (j.size() != 1) refuse(at, "expected one payload form, got " + std::to_string(j.size()));
}

const Check cluster = among({0x10000, 0x20000}, "65536 or 131072");

// The fields that name a core and its mode, of cores and designations.
std::vector<Field> coreFields() {
  return {{"core_word", word},       {"cluster", cluster},
          {"core", whole(0, 0xFFFF)}, {"mode_word", word},
          {"mode", whole(0, 15)},     {"supported_modes", list(whole(1, 4))},
          {"clusters", list(cluster)}};
}

void checkDesignation(const json& j, const std::string& at) {
  static const std::vector<Field> fields = [] {
    auto f = coreFields();
    f.insert(f.end(), {{"flag_word", word}, {"flag", boolean}, {"memory_type", whole(0, 63)},
                       {"address", longWord}, {"region", checkRegion}, {"each_core", boolean}});
    return f;
  }();
  record(j, at, fields);
}

const Check designationList = list(checkDesignation);

void checkCore(const json& j, const std::string& at) {
  static const std::vector<Field> fields = [] {
    auto f = coreFields();
    f.insert(f.end(), {{"values", list(longWord, 3, 3)}, {"all_local", boolean}});
    return f;
  }();
  record(j, at, fields);
}

void checkMetadatum(const json& j, const std::string& at) {
  static const std::vector<Field> fields = {{"flags", word},
                                            {"no_payload", boolean},
                                            {"kind", whole(0, 255)},
                                            {"payload", checkPayload},
                                            {"size", word}};
  record(j, at, fields);
}

void checkIoEntry(const json& j, const std::string& at) {
  static const Check triple = list(word, 3, 3);
  static const Check words = list(word);
  static const std::vector<Field> fields = {
      {"name", text},
      {"designations", designationList},
      {"size", longWord},
      {"flags", word},
      {"per_channel", boolean},
      {"io_type", whole(0, 15)},
      {"kind", whole(0, 255)},
      {"flags2", word},
      {"bit_list", list(whole(0, 14))},
      {"word2_nibble", whole(0, 15)},
      {"original", triple},
      {"reshaped", triple},
      {"shape", triple},
      // -1 stands for the all-ones word.
      {"seq_index", list(whole(-1, 0xFFFFFFFFu), 3, 3)},
      {"aux_word", word},
      {"scales", list(number)},
      {"channel_bytes", list(byte)},
      {"io_groups", list(recordOf({{"first", words, true}, {"second", words, true}, {"third", words, true}}))},
      {"extra_words", words},
      {"seq_lengths", triple},
      {"seq_extra", word},
      {"address", longWord}};
  record(j, at, fields);
}

void checkSequenceLength(const json& j, const std::string& at) {
  static const Check axes =
      list(recordOf({{"key", word, true},
                     {"axes", list(recordOf({{"word", word},
                                             {"axis_type", whole(0, 255)},
                                             {"axis", whole(0, 15)},
                                             {"multiplier", number},
                                             {"offset", number}})),
                      true}}));
  static const std::vector<Field> fields = {{"name", text},
                                            {"type_word", word},
                                            {"sequence_type", whole(0, 255)},
                                            {"flag", boolean},
                                            {"max_size", word},
                                            {"extra_words", list(word, 0, 3)},
                                            {"input_axes", axes},
                                            {"output_axes", axes},
                                            {"sequence_rmem_ids", list(word)},
                                            {"cache_rmem_ids", list(word)}};
  record(j, at, fields);
}

std::string programText(const json& j);
uint64_t regionAddress(uint32_t coreWord, const std::string& name);

// Assembled once here, its regions taken on Cluster0 Core1, so that a
// malformed line is refused at the program's pointer; each section is
// assembled for its own cores when written.
void checkProgram(const json& j, const std::string& at) {
  if (!j.is_string()) list(text)(j, at);
  try {
    assembleProgramText(programText(j), [](const std::string& region) { return regionAddress(0x10001u, region); });
  } catch (const std::invalid_argument& e) {
    refuse(at, e.what());
  }
}

void checkSectionBinary(const json& j, const std::string& at) {
  static const std::vector<Field> fields = {{"flags", word},
                                            {"no_payload", boolean},
                                            {"flag1", boolean},
                                            {"memory_type", whole(0, 31)},
                                            {"attribute", whole(0, 255)},
                                            {"designations", designationList},
                                            {"payload", checkPayload},
                                            {"size", longWord},
                                            {"program", checkProgram}};
  record(j, at, fields);
}

void checkRmemId(const json& j, const std::string& at) {
  static const std::vector<Field> fields = {
      {"type_word", word}, {"rmem_type", word}, {"value", word}, {"multiplier", number}, {"offset", number}};
  record(j, at, fields);
}

void checkCacheDesignation(const json& j, const std::string& at) {
  static const std::vector<Field> fields = {
      {"type_word", word},
      {"cache_type", word},
      {"name", text},
      {"size", longWord},
      {"entries", list(recordOf({{"designations", designationList}, {"value", word}}))},
      {"designations", designationList}};
  record(j, at, fields);
}

void checkBundle(const json& j, const std::string& at) {
  static const std::vector<Field> fields = {{"bundle_word", word},
                                            {"metadata", list(checkMetadatum)},
                                            {"cores", list(checkCore)},
                                            {"inputs", list(checkIoEntry)},
                                            {"outputs", list(checkIoEntry)},
                                            {"sequence_lengths", list(checkSequenceLength)},
                                            {"section_binaries", list(checkSectionBinary)},
                                            {"rmem_ids", list(checkRmemId)},
                                            {"cache_designations", list(checkCacheDesignation)}};
  record(j, at, fields);
}

void checkDescription(const json& j) {
  static const std::vector<Field> fields = {
      {"comment", text},
      {"version", among({1, 2, 3, 4, 5, 6, 0x10000, 0x10001, 0x10002, 0x20000, 0x20001, 0x20002, 0x30000, 0x40000,
                         0x50000, 0x60000},
                        "1 to 6, or 65536 to 65538, 131072 to 131074, 196608, 262144, 327680, 393216")},
      {"target_hardware", checkHardware},
      {"header_word", word},
      {"header_word_ext", word},
      {"metadata", list(checkMetadatum)},
      {"bundles", list(checkBundle)},
      {"trailing", checkPayload},
      {"boundary", among({kBoundaryWord, kSwappedBoundaryWord}, "305419896 or 2018915346")},
      {"noise_seed", word},
      {"ignored_value", word},
      {"overrides", [](const json& o, const std::string& at) {
         expect(o.is_object(), o, at, "an object");
         for (const auto& [label, value] : o.items()) word(value, child(at, label));
       }},
      {"checksum", word}};
  record(j, "", fields);
}

// ---- Building the writer's records ----

template <typename T>
T get(const json& j, const char* key, T fallback) {
  return j.contains(key) ? j.at(key).get<T>() : fallback;
}

uint32_t hardwareCode(const json& j) {
  if (j.is_number()) return j.get<uint32_t>();
  return hardwareNames().at(j.get<std::string>());
}

// The MessagePack model description from its short form: named shapes of
// the inputs, outputs and further tensors, and the layer objects in order.
json modelDescription(const json& j) {
  json info;
  json shapes = json::object();
  auto names = [&](const char* key) {
    std::vector<std::string> out;
    for (const json& t : get<json>(j, key, json::array())) {
      out.push_back(t.at("name").get<std::string>());
      shapes[out.back()] = t.at("shape");
    }
    return out;
  };
  info["modelInputList"] = names("inputs");
  info["modelOutputList"] = names("outputs");
  names("tensors");
  json doc;
  std::vector<std::string> order;
  for (json layer : get<json>(j, "layers", json::array())) {
    const std::string name = layer.at("layerName").get<std::string>();
    const bool cpu = get<bool>(layer, "isUnsupported", false);
    layer["isUnsupported"] = cpu;
    if (!layer.contains("layerType")) layer["layerType"] = "DeepLearning";
    for (const char* key : {"inputList", "outputList", "removeActList"}) {
      if (!layer.contains(key)) layer[key] = json::array();
    }
    if (cpu && !layer.contains("srcShape")) layer["srcShape"] = shapes.contains(name) ? shapes[name] : json::array();
    order.push_back(name);
    doc[name] = layer;
  }
  info["layerOrder"] = order;
  info["srcShapeMap"] = shapes;
  doc["info"] = info;
  return doc;
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
  if (j.contains("model_description")) return json::to_msgpack(modelDescription(j.at("model_description")));
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

// The device address of a memory region of a core, from the hardware
// description compiled into the library.
uint64_t regionAddress(uint32_t coreWord, const std::string& name) {
  static const hwdep::Platform platform;
  for (uint32_t type = 0; type <= 30; ++type) {
    if (hwdep::memoryTypeName(type) != name) continue;
    try {
      const auto& cluster = platform.getCluster(static_cast<int32_t>(coreWord & 0xFFFF0000u));
      const auto& core = platform.getCoreEntry(cluster, coreWord & 0xFFFFu);
      return platform.lookupU64ById(core, static_cast<int32_t>(type));
    } catch (const std::out_of_range&) {
      throw std::invalid_argument("core " + std::to_string(coreWord) + " has no region " + name);
    }
  }
  throw std::invalid_argument("unknown region " + name);
}

Designation designation(const json& d, uint32_t core) {
  Designation des;
  des.core_word = core;
  des.mode_word = modeWord(d);
  des.flag_word = d.contains("flag_word") ? d.at("flag_word").get<uint32_t>()
                                          : (get<bool>(d, "flag", false) ? 1u : 0u) |
                                                ((get<uint32_t>(d, "memory_type", 0) & 0x3Fu) << 1);
  des.address = get<uint64_t>(d, "address", 0);
  if (d.contains("region")) des.address += regionAddress(core, d.at("region").get<std::string>());
  return des;
}

// "each_core" places a copy on every core of the bundle whose mode is the
// designation's mode.
std::vector<Designation> designations(const json& j, const std::vector<Core>& cores) {
  std::vector<Designation> out;
  for (const json& d : j) {
    if (!get<bool>(d, "each_core", false)) {
      out.push_back(designation(d, coreWord(d)));
      continue;
    }
    const uint32_t mode = get<uint32_t>(d, "mode", 0) & 0xFu;
    for (const Core& core : cores) {
      if ((core.mode_word & 0xFu) == mode) out.push_back(designation(d, core.core_word));
    }
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

IoEntry ioEntry(const json& j, const std::vector<Core>& cores) {
  IoEntry io;
  io.name = get<std::string>(j, "name", "");
  io.designations = designations(get<json>(j, "designations", json::array()), cores);
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
  const auto seq = get<std::vector<uint32_t>>(j, "seq_lengths", {0, 0, 0});
  if (seq.size() != 3) throw std::invalid_argument("seq_lengths needs three values");
  std::copy(seq.begin(), seq.end(), io.seq_lengths.begin());
  io.seq_extra = get<uint32_t>(j, "seq_extra", 0);
  io.address = get<uint64_t>(j, "address", 0);
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

std::string programText(const json& j) {
  if (j.is_string()) return j.get<std::string>();
  std::string text;
  for (const json& line : j) text += line.get<std::string>() + "\n";
  return text;
}

// A section whose "program" names regions of its core becomes one section
// per designation, each with the program for that core.
std::vector<SectionBinary> sectionBinaries(const json& j, const std::vector<Core>& cores, const std::string& baseDir) {
  SectionBinary s;
  s.flags = j.contains("flags") ? j.at("flags").get<uint32_t>()
                                : binaryFlags(get<bool>(j, "no_payload", false), get<bool>(j, "flag1", false),
                                              get<uint32_t>(j, "memory_type", 0), get<uint32_t>(j, "attribute", 0));
  s.designations = designations(get<json>(j, "designations", json::array()), cores);
  if (j.contains("size")) s.size = j.at("size").get<uint64_t>();
  if (!j.contains("program")) {
    if (j.contains("payload")) s.payload = payload(j.at("payload"), baseDir);
    return {s};
  }
  const std::string text = programText(j.at("program"));
  if (!programTextNeedsCore(text)) {
    s.payload = assembleProgramText(text);
    return {s};
  }
  std::vector<SectionBinary> out;
  for (const Designation& d : s.designations) {
    SectionBinary one = s;
    one.designations = {d};
    one.payload = assembleProgramText(text, [&](const std::string& region) { return regionAddress(d.core_word, region); });
    out.push_back(std::move(one));
  }
  return out;
}

CacheDesignation cacheDesignation(const json& j, const std::vector<Core>& cores) {
  CacheDesignation c;
  c.type_word = j.contains("type_word") ? j.at("type_word").get<uint32_t>() : get<uint32_t>(j, "cache_type", 0);
  c.name = get<std::string>(j, "name", "");
  c.size = get<uint64_t>(j, "size", 0);
  for (const json& e : get<json>(j, "entries", json::array())) {
    c.entries.push_back(
        {designations(get<json>(e, "designations", json::array()), cores), get<uint32_t>(e, "value", 0)});
  }
  c.designations = designations(get<json>(j, "designations", json::array()), cores);
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
  for (const json& c : get<json>(j, "cores", json::array())) {
    // "all_local": the four cores of both clusters in the entry's mode.
    const bool all = get<bool>(c, "all_local", false);
    for (uint32_t n = 0; n < (all ? 8u : 1u); ++n) {
      Core core{all ? (0x10000u << (n / 4)) | (n % 4 + 1) : coreWord(c), modeWord(c), {}};
      const auto values = get<std::vector<uint64_t>>(c, "values", {0, 0, 0});
      if (values.size() != 3) throw std::invalid_argument("values needs three numbers");
      std::copy(values.begin(), values.end(), core.values.begin());
      b.cores.push_back(core);
    }
  }
  const auto& cores = b.cores;
  b.inputs = items<IoEntry>(j, "inputs", [&](const json& e) { return ioEntry(e, cores); });
  b.outputs = items<IoEntry>(j, "outputs", [&](const json& e) { return ioEntry(e, cores); });
  b.sequence_lengths = items<SequenceLength>(j, "sequence_lengths", sequenceLength);
  for (const json& s : get<json>(j, "section_binaries", json::array())) {
    for (SectionBinary& one : sectionBinaries(s, cores, baseDir)) b.section_binaries.push_back(std::move(one));
  }
  b.rmem_ids = items<RmemId>(j, "rmem_ids", [](const json& r) {
    return RmemId{get<uint32_t>(r, "type_word", get<uint32_t>(r, "rmem_type", 0)), get<uint32_t>(r, "value", 0),
                  get<float>(r, "multiplier", 1.0f), get<float>(r, "offset", 0.0f)};
  });
  b.cache_designations =
      items<CacheDesignation>(j, "cache_designations", [&](const json& c) { return cacheDesignation(c, cores); });
  return b;
}

}  // namespace

Model modelFromJson(const json& j, const std::string& baseDir) {
  checkDescription(j);
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
