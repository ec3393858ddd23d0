#include "layers/op_desc_type.h"

#include <unordered_map>

#include "core/log.h"

namespace kestrane {

namespace {

// The lower-case names in value order: the position is the type's value.
// clang-format off
constexpr const char* kNames[] = {
    /*  0 */ "adding", "abs", "and", "div", "exp", "floor", "input", "matmul", "minimum", "multiply",
    /* 10 */ "nonzero", "not", "relu", "rsqrt", "sqrt", "sigmoid", "softplus", "sub", "tanh", "erf",
    /* 20 */ "hardswish", "addpartial", "addingconstant", "argmax", "cast",
             "concatenate", "clip", "devicebridge", "divconstant", "equal",
    /* 30 */ "flatten", "gathernd", "gather", "gatherconstant", "gemmconstant",
             "instancenormalization", "greater", "groupnormalization", "layernormalization", "less",
    /* 40 */ "mod", "multiplyconstant", "nonmaxsuppression", "or", "pow",
             "reducemax", "reducemean", "reduceprod", "reducesum", "reshape",
    /* 50 */ "resize", "scatternd", "slice", "softmax", "squeeze",
             "stridedslice", "subconstant", "tile", "topkindices", "topkvalues",
    /* 60 */ "transpose", "unpack", "unsqueeze", "where", "xor", "log", "split", "expand", "range", "inputconstant",
    /* 70 */ "reducemin", "nms", "shape", "constantofshape", "bridge", "reverse", "deeplearning",
};
// clang-format on
static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(OpDescType::Unknown),
              "one name per layer type");

}  // namespace

OpDescType OpDescTypeMapper::fromString(const std::string& text) {
  static const std::unordered_map<std::string, OpDescType> table = [] {
    std::unordered_map<std::string, OpDescType> t;
    for (size_t i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
      t.emplace(kNames[i], static_cast<OpDescType>(i));
    }
    return t;
  }();
  std::string lower = text;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  auto it = table.find(lower);
  if (it != table.end()) return it->second;
  KLOG_ERROR("Unknown string representation of OpDescType: {}", text);
  return OpDescType::Unknown;
}

}  // namespace kestrane
