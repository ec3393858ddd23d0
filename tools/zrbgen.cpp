// zrbgen: writes a model file (format version 1 to 6) from a JSON
// description, for Python tests and the demo. The description's format is in
// docs/zrbgen.md.
//
//   zrbgen DESCRIPTION.json OUTPUT.zrb [--offsets OFFSETS.json]
//
// DESCRIPTION "-" reads standard input. --offsets writes the offset of every
// labelled field, so a test can corrupt a chosen word. A key the format does
// not have or a value out of its field's range is refused at its JSON
// pointer. Exit status 0 on success, 1 with one line on standard error
// otherwise; -h or --help prints the usage.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "support/zrb_json.h"
#include "support/zrb_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: zrbgen DESCRIPTION.json OUTPUT.zrb [--offsets OFFSETS.json]\n"
    "Writes a model file from a JSON description (\"-\": standard input); --offsets writes the\n"
    "byte offset of every labelled field. The description's format: docs/zrbgen.md.\n";

int usage() {
  std::cerr << kUsage;
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrane::test;
  if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
    std::cout << kUsage;
    return 0;
  }
  if (argc != 3 && argc != 5) return usage();
  if (argc == 5 && std::string(argv[3]) != "--offsets") return usage();
  const std::string input = argv[1];
  try {
    nlohmann::json description;
    std::string baseDir = ".";
    if (input == "-") {
      description = nlohmann::json::parse(std::cin);
    } else {
      std::ifstream in(input);
      if (!in) {
        std::cerr << "zrbgen: cannot read " << input << "\n";
        return 1;
      }
      description = nlohmann::json::parse(in);
      baseDir = std::filesystem::path(input).parent_path().string();
      if (baseDir.empty()) baseDir = ".";
    }
    const zrbw::Written written = zrbw::write(zrbw::modelFromJson(description, baseDir));
    if (!zrbw::writeFile(argv[2], written.bytes)) {
      std::cerr << "zrbgen: cannot write " << argv[2] << "\n";
      return 1;
    }
    if (argc == 5) {
      std::ofstream out(argv[4]);
      out << zrbw::offsetsToJson(written).dump(1) << "\n";
      if (!out) {
        std::cerr << "zrbgen: cannot write " << argv[4] << "\n";
        return 1;
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "zrbgen: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
