#pragma once

#include <string>

namespace kestrane::platform {

// The calling thread's last error of this layer (an errno value), as the
// driver layer reads it after a failed call.
int lastError();
void setLastError(int error);

// The system's message text for an error number, without a line end.
std::string systemErrorText(int error);

}  // namespace kestrane::platform
