// libFuzzer target: one layer object of a model description, then its host
// execution on small input tensors. Input: the layer's JSON text, a zero
// byte, then the inputs: a count byte, and per input a dtype byte, a rank
// byte and one byte per size (0 to 5); then the element bytes, taken in turn
// by the inputs (starting again at the first when they run out). Hostile
// sizes come from the attributes, not the inputs.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "halvex/tensor.h"
#include "layers/op_desc.h"

namespace {

using kestrane::halvex::DType;
using kestrane::halvex::Tensor;
using kestrane::halvex::TensorData;
using kestrane::fuzz::Cursor;

std::vector<Tensor> inputTensors(Cursor& c) {
  std::vector<TensorData> inputs;
  const int count = c.next() % 4;
  for (int i = 0; i < count; ++i) {
    const auto dtype = static_cast<DType>(c.next() % 8);
    std::vector<int64_t> shape(c.next() % 5);
    for (auto& s : shape) s = c.next() % 6;
    inputs.emplace_back(shape, dtype);
  }
  Cursor elements = c.rest();
  for (TensorData& t : inputs) {
    if (t.numel() > 0) {
      elements.fill(t.data(), static_cast<size_t>(t.numel() * t.elementSize()));
      // bool elements hold 0 or 1.
      if (t.dtype() == DType::Bool) {
        for (int64_t k = 0; k < t.numel(); ++k) static_cast<uint8_t*>(t.data())[k] &= 1;
      }
    }
  }
  return {inputs.begin(), inputs.end()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrane::fuzz::quietLogs();
  const auto* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t textSize = zero == nullptr ? size : static_cast<size_t>(zero - data);
  const nlohmann::json layer =
      nlohmann::json::parse(std::string(reinterpret_cast<const char*>(data), textSize), nullptr, false);
  if (!layer.is_object()) return 0;
  kestrane::StatusCode status = kestrane::StatusCode::OK;
  const kestrane::OpDesc desc(layer, -1, &status);
  if (status != kestrane::StatusCode::OK) return 0;
  Cursor cursor(zero == nullptr ? data + size : zero + 1, zero == nullptr ? 0 : size - textSize - 1);
  const std::vector<Tensor> inputs = inputTensors(cursor);
  desc.runCPU(inputs, &status);
  return 0;
}
