#include "layers/op_desc_type.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace kestrane {
namespace {

// The names in value order, as the model description's layer types use them.
// clang-format off
const std::vector<std::string> kNames = {
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

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Every other letter upper-cased: "gAtHeRnD".
std::string mixed(std::string s) {
  for (size_t i = 1; i < s.size(); i += 2) s[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
  return s;
}

TEST(OpDescTypeMapper, EveryNameMapsToItsValueInAnyCase) {
  ASSERT_EQ(kNames.size(), 77u);
  test::LogCapture log;
  for (size_t i = 0; i < kNames.size(); ++i) {
    const auto want = static_cast<OpDescType>(i);
    EXPECT_EQ(OpDescTypeMapper::fromString(kNames[i]), want) << kNames[i];
    EXPECT_EQ(OpDescTypeMapper::fromString(upper(kNames[i])), want) << kNames[i];
    EXPECT_EQ(OpDescTypeMapper::fromString(mixed(kNames[i])), want) << kNames[i];
  }
  EXPECT_EQ(log.count("Unknown string representation"), 0u);
}

TEST(OpDescTypeMapper, CamelCaseTypesOfModelDescriptions) {
  EXPECT_EQ(OpDescTypeMapper::fromString("GatherND"), OpDescType::GatherND);
  EXPECT_EQ(OpDescTypeMapper::fromString("NMS"), OpDescType::Nms);
  EXPECT_EQ(static_cast<int>(OpDescTypeMapper::fromString("NMS")), 71);
  EXPECT_EQ(static_cast<int>(OpDescTypeMapper::fromString("NonMaxSuppression")), 42);
  EXPECT_EQ(static_cast<int>(OpDescTypeMapper::fromString("InputConstant")), 69);
  EXPECT_EQ(static_cast<int>(OpDescTypeMapper::fromString("inputConstant")), 69);
  EXPECT_EQ(static_cast<int>(OpDescTypeMapper::fromString("DeepLearning")), 76);
}

TEST(OpDescTypeMapper, UnknownTextsLogTheirOwnSpelling) {
  test::LogCapture log;
  for (std::string text : {"", "Gather ", " gather", "Gathers", "Output", "G\xc3\x84THER"}) {
    EXPECT_EQ(OpDescTypeMapper::fromString(text), OpDescType::Unknown) << text;
  }
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "error|Unknown string representation of OpDescType: ");
  EXPECT_EQ(lines[1], "error|Unknown string representation of OpDescType: Gather ");
  EXPECT_EQ(lines[4], "error|Unknown string representation of OpDescType: Output");
  EXPECT_EQ(static_cast<int>(OpDescType::Unknown), 77);
}

}  // namespace
}  // namespace kestrane
