#pragma once

#include <string>

#include "kestrane/export.h"

namespace kestrane {

// Library version: "v" and three numbers.
KESTRANE_API const std::string& getOphelVersion();
// Source revision the library was built from: eight lower-case hex digits.
KESTRANE_API const std::string& getOphelGitVersion();
// Product and vendor named by the compiled-in hardware description.
KESTRANE_API const std::string& getOphelProduct();
KESTRANE_API const std::string& getOphelVendor();

}  // namespace kestrane
