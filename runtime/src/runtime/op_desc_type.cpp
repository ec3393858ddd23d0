#include <unordered_map>

#include "runtime/log.h"
#include "runtime/op_desc_type.h"

namespace kestrane {

namespace {

// The lower-case names in value order: the position is the type's value.
constexpr const char* kNames[] = {
    "adding",        "abs",          "and",          "div",          "exp",
    "floor",         "input",        "matmul",       "minimum",      "multiply",
    "nonzero",       "not",          "relu",         "rsqrt",        "sqrt",
    "sigmoid",       "softplus",     "sub",          "tanh",         "erf",
    "hardswish",     "addpartial",   "addingconstant", "argmax",     "cast",
    "concatenate",   "clip",         "devicebridge", "divconstant",  "equal",
    "flatten",       "gathernd",     "gather",       "gatherconstant", "gemmconstant",
    "instancenormalization", "greater", "groupnormalization", "layernormalization", "less",
    "mod",           "multiplyconstant", "nonmaxsuppression", "or",  "pow",
    "reducemax",     "reducemean",   "reduceprod",   "reducesum",    "reshape",
    "resize",        "scatternd",    "slice",        "softmax",      "squeeze",
    "stridedslice",  "subconstant",  "tile",         "topkindices",  "topkvalues",
    "transpose",     "unpack",       "unsqueeze",    "where",        "xor",
    "log",           "split",        "expand",       "range",        "inputconstant",
    "reducemin",     "nms",          "shape",        "constantofshape", "bridge",
    "reverse",       "deeplearning",
};
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
