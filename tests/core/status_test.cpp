#include <gtest/gtest.h>

#include <set>

#include "kestrane/status.h"

using kestrane::StatusCode;
using kestrane::statusCodeName;

namespace {
std::string name(int32_t v) { return statusCodeName(static_cast<StatusCode>(v)); }
}  // namespace

TEST(StatusCodeName, MatchesFullTable) {
  const std::vector<std::pair<int, const char*>> table = {
      {0, "OK"}, {1, "Driver_NotInitialized"}, {2, "Model_NoTargetCores"}, {3, "Model_FailedToLoadZRB"},
      {4, "Model_FailedToOpenScaleFile"}, {5, "Model_InvalidScaleValue"}, {6, "Model_FailedToOpenOutputScale"},
      {7, "Model_InvalidOutputScaleValue"}, {8, "Model_FailedToOpenSectionBinary"}, {9, "Model_NotLaunched"},
      {10, "Model_NotAlive"}, {11, "Acc_CoreAlreadyInUse"}, {12, "Acc_NoSuchModel"},
      {13, "Driver_FailedToAllocateHostMemory"}, {14, "Driver_FailedToWriteMemoryBuffer"},
      {15, "Driver_FailedToReadMemoryBuffer"}, {16, "Model_ZRBAndModelConfigNotMatch"},
      {17, "Model_NoGlobalCoreWithGlobalMultiMode"}, {18, "NotImplemented"}, {19, "Model_FailedToOpenModelDescFile"},
      {20, "Model_BrokenZRB"}, {21, "Model_ShapeMismatched"}, {22, "Model_DtypeMismatched"}, {23, "InternalError"},
      {24, "Driver_FailedToClaimCores"}, {25, "Driver_FailedToUnclaimCores"}, {26, "Model_IsPacked"},
      {27, "Model_IsNotPacked"}, {28, "Acc_TaskQueueNotFound"}, {29, "MemoryPool_BufNotFound"},
      {30, "MemoryPool_AllocatorNotSet"}, {32, "Model_FailedToAllocMemory"}, {33, "Driver_FailedToPostInfer"},
      {34, "Driver_FailedToWaitDone"}, {35, "Driver_WaitDoneTimeout"}, {36, "Model_PredictError"},
      {37, "Model_FailedToSaveTensor"}, {38, "Model_UnexpectedMemoryFormat"}, {39, "BadAlloc"},
      {40, "Model_TaskQueueClosed"}, {41, "Model_TaskQueueTimeout"}, {42, "Acc_NPUTimeout"},
      {43, "Acc_NoIMemInitFound"}, {44, "Driver_FailedToAllocateModelMemory"}, {45, "Driver_FailedToBuildCmaIoReq"},
      {46, "Driver_FailedToFreeModelMemory"}, {47, "Driver_WrongBaseAddress"}, {48, "Model_IsNotSupportedHardware"},
      {49, "Driver_FailedToLockCore"}, {50, "Driver_FailedToUnlockCore"}, {51, "Model_InvalidNPUDtype"},
      {52, "Model_InvalidRmemType"}, {53, "Model_CacheOverflow"}, {54, "Model_NoCache"},
      {55, "Model_AsyncPipelineCheckFailed"}, {56, "Model_AsyncPipelineNotAlive"}, {57, "Model_AsyncPipelineTimeout"},
      {58, "Future_NotValid"}, {59, "Model_InvalidSupplementary"}, {60, "Model_NumCacheMismatched"},
      {61, "Model_FailedToFindDirectory"}, {62, "Model_FailedToOpenCacheFile"}, {63, "Model_BufferSizeMismatched"},
      {64, "Model_InvalidVariantIdx"}, {65, "Model_AlreadyLaunched"}};
  ASSERT_EQ(table.size(), 65u);
  for (const auto& [value, text] : table) EXPECT_EQ(name(value), text) << value;
  EXPECT_EQ(name(17).size(), 37u);
}

TEST(StatusCodeName, UnknownValuesGetADistinctText) {
  std::set<std::string> known;
  for (int v = 0; v <= 65; ++v) known.insert(name(v));
  for (int v : {31, 66, -1, 1000}) {
    const std::string text = name(v);
    EXPECT_EQ(text, "UnknownStatusCode(" + std::to_string(v) + ")");
    if (v != 31) {
      EXPECT_EQ(known.count(text), 0u);
    }
  }
}
