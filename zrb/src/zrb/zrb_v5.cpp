#include "tagged_reader.h"
#include "zrb/readers.h"

namespace kestrane::zrb::v5 {

// Version 6 without the header extension word, the thirteenth dimension
// word and the third sequence word, and with plain cache designations.
bool verify(LoaderV2& loader) { return detail::verifyTagged(loader, 8); }

bool load(const std::string& path, ZRB& model, bool keepBinariesInFile) {
  static constexpr detail::V6FamilyLayout kLayout{kVersion, false, 12, 2, false};
  return detail::loadV6Family(path, model, keepBinariesInFile, kLayout);
}

}  // namespace kestrane::zrb::v5
