#include "ophel_error.h"

#include "kestrane/version.h"

namespace ophel {

std::string ophelErrorMessage(kestrane::StatusCode code, const std::string& version) {
  std::string message = kestrane::statusCodeName(code) + " occurred.";
  if (version == "N/A") return message;
  const size_t lastDot = version.rfind('.');
  if (lastDot == std::string::npos) return message;
  message += "\nPlease visit ";
  message += kDocumentationBase;
  message += version.substr(0, lastDot);
  message += "/doxygen/html_en/group__CPPAPI.html for more details.";
  return message;
}

OphelError::OphelError(kestrane::StatusCode code)
    : message_(ophelErrorMessage(code, kestrane::getOphelVersion())) {}

}  // namespace ophel
