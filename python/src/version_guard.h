#pragma once

#include <string>

namespace ophel {

// The module runs only on the interpreter series it was compiled for: the
// interpreter's version text must begin with `compiled` ("3.11") and the next
// character must not be a digit ("3.110" is another series).
bool interpreterMatches(const char* compiled, const char* runtime);

// The ImportError text for an interpreter that does not match.
std::string versionMismatchMessage(const char* compiled, const char* runtime);

}  // namespace ophel
