#pragma once

// Symbols of the public API are the only ones libkestrane.so exports.
#define KESTRANE_API __attribute__((visibility("default")))
