#pragma once

#include <exception>
#include <string>

#include "kestrane/status.h"

namespace ophel {

// Where the OphelError hint sends readers; the version's major.minor and the
// API page are appended.
inline constexpr const char* kDocumentationBase = "https://docs.kestrane.dev/";

// "<StatusName> occurred.", followed by a line pointing at the documentation of
// `version` when it has the "vX.Y.Z" shape (nothing for "N/A" or a text
// without '.').
std::string ophelErrorMessage(kestrane::StatusCode code, const std::string& version);

// Thrown by bound calls for a non-zero status; the module turns it into the
// Python exception ophel.OphelError with the same text.
class OphelError : public std::exception {
 public:
  explicit OphelError(kestrane::StatusCode code);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The bound calls' one way of reporting a native failure.
inline void throwIfFailed(kestrane::StatusCode code) {
  if (code != kestrane::StatusCode::OK) throw OphelError(code);
}

}  // namespace ophel
