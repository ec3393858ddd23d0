#include <gtest/gtest.h>

#include <set>

#include "kestrane/status.h"

using kestrane::StatusCode;

namespace {
std::string name(int32_t v) { return kestrane::statusCodeName(static_cast<StatusCode>(v)); }
}  // namespace

TEST(StatusCodeName, MatchesFullTableAndUnknownValuesGetADistinctText) {
  // By value from 0; 31 has no name.
  const std::vector<const char*> table = {
      "OK", "Driver_NotInitialized", "Model_NoTargetCores", "Model_FailedToLoadZRB", "Model_FailedToOpenScaleFile",
      "Model_InvalidScaleValue", "Model_FailedToOpenOutputScale", "Model_InvalidOutputScaleValue",
      "Model_FailedToOpenSectionBinary", "Model_NotLaunched", "Model_NotAlive", "Acc_CoreAlreadyInUse",
      "Acc_NoSuchModel", "Driver_FailedToAllocateHostMemory", "Driver_FailedToWriteMemoryBuffer",
      "Driver_FailedToReadMemoryBuffer", "Model_ZRBAndModelConfigNotMatch", "Model_NoGlobalCoreWithGlobalMultiMode",
      "NotImplemented", "Model_FailedToOpenModelDescFile", "Model_BrokenZRB", "Model_ShapeMismatched",
      "Model_DtypeMismatched", "InternalError", "Driver_FailedToClaimCores", "Driver_FailedToUnclaimCores",
      "Model_IsPacked", "Model_IsNotPacked", "Acc_TaskQueueNotFound", "MemoryPool_BufNotFound",
      "MemoryPool_AllocatorNotSet", nullptr, "Model_FailedToAllocMemory", "Driver_FailedToPostInfer",
      "Driver_FailedToWaitDone", "Driver_WaitDoneTimeout", "Model_PredictError", "Model_FailedToSaveTensor",
      "Model_UnexpectedMemoryFormat", "BadAlloc", "Model_TaskQueueClosed", "Model_TaskQueueTimeout", "Acc_NPUTimeout",
      "Acc_NoIMemInitFound", "Driver_FailedToAllocateModelMemory", "Driver_FailedToBuildCmaIoReq",
      "Driver_FailedToFreeModelMemory", "Driver_WrongBaseAddress", "Model_IsNotSupportedHardware",
      "Driver_FailedToLockCore", "Driver_FailedToUnlockCore", "Model_InvalidNPUDtype", "Model_InvalidRmemType",
      "Model_CacheOverflow", "Model_NoCache", "Model_AsyncPipelineCheckFailed", "Model_AsyncPipelineNotAlive",
      "Model_AsyncPipelineTimeout", "Future_NotValid", "Model_InvalidSupplementary", "Model_NumCacheMismatched",
      "Model_FailedToFindDirectory", "Model_FailedToOpenCacheFile", "Model_BufferSizeMismatched",
      "Model_InvalidVariantIdx", "Model_AlreadyLaunched"};
  ASSERT_EQ(table.size(), 66u);
  std::set<std::string> known;
  for (int v = 0; v < 66; ++v) {
    if (table[v]) {
      EXPECT_EQ(name(v), table[v]) << v;
    }
    known.insert(name(v));
  }
  for (int v : {31, 66, -1, 1000}) {
    EXPECT_EQ(name(v), "UnknownStatusCode(" + std::to_string(v) + ")");
    if (v != 31) {
      EXPECT_EQ(known.count(name(v)), 0u);
    }
  }
}
