#pragma once

#include <cstdint>
#include <string>

namespace kestrane {

// Layer types of a model description. The values are fixed: they are the
// positions of the lower-case names in the type table.
enum class OpDescType : int32_t {
  Adding = 0,
  Abs,
  And,
  Div,
  Exp,
  Floor,
  Input,
  MatMul,
  Minimum,
  Multiply,
  NonZero = 10,
  Not,
  Relu,
  Rsqrt,
  Sqrt,
  Sigmoid,
  Softplus,
  Sub,
  Tanh,
  Erf,
  HardSwish = 20,
  AddPartial,
  AddingConstant,
  ArgMax,
  Cast,
  Concatenate,
  Clip,
  DeviceBridge,
  DivConstant,
  Equal,
  Flatten = 30,
  GatherND,
  Gather,
  GatherConstant,
  GemmConstant,
  InstanceNormalization,
  Greater,
  GroupNormalization,
  LayerNormalization,
  Less,
  Mod = 40,
  MultiplyConstant,
  NonMaxSuppression,
  Or,
  Pow,
  ReduceMax,
  ReduceMean,
  ReduceProd,
  ReduceSum,
  Reshape,
  Resize = 50,
  ScatterND,
  Slice,
  Softmax,
  Squeeze,
  StridedSlice,
  SubConstant,
  Tile,
  TopKIndices,
  TopKValues,
  Transpose = 60,
  Unpack,
  Unsqueeze,
  Where,
  Xor,
  Log,
  Split,
  Expand,
  Range,
  InputConstant,
  ReduceMin = 70,
  Nms,
  Shape,
  ConstantOfShape,
  Bridge,
  Reverse,
  DeepLearning,
  // The result of a text that names no type.
  Unknown = 77,
};

// The name table of the layer types.
class OpDescTypeMapper {
 public:
  // The type whose lower-case name equals the text with its ASCII letters
  // lower-cased; Unknown (after one error line) when none does.
  static OpDescType fromString(const std::string& text);
};

}  // namespace kestrane
