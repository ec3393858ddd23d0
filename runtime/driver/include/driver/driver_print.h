#pragma once

// The driver layer reports to standard output as plain text, not to the logger.

namespace kestrane {

// printf to standard output, then flush.
void driverPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "*E: [SystemDriver] " + the formatted message + "\n", then flush.
void driverPrintError(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestrane
