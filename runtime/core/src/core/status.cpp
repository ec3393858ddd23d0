#include "kestrane/status.h"

#include <array>
#include <string_view>

namespace kestrane {

namespace {
constexpr std::array<std::string_view, 66> kNames = {
    "OK",
    "Driver_NotInitialized",
    "Model_NoTargetCores",
    "Model_FailedToLoadZRB",
    "Model_FailedToOpenScaleFile",
    "Model_InvalidScaleValue",
    "Model_FailedToOpenOutputScale",
    "Model_InvalidOutputScaleValue",
    "Model_FailedToOpenSectionBinary",
    "Model_NotLaunched",
    "Model_NotAlive",
    "Acc_CoreAlreadyInUse",
    "Acc_NoSuchModel",
    "Driver_FailedToAllocateHostMemory",
    "Driver_FailedToWriteMemoryBuffer",
    "Driver_FailedToReadMemoryBuffer",
    "Model_ZRBAndModelConfigNotMatch",
    "Model_NoGlobalCoreWithGlobalMultiMode",
    "NotImplemented",
    "Model_FailedToOpenModelDescFile",
    "Model_BrokenZRB",
    "Model_ShapeMismatched",
    "Model_DtypeMismatched",
    "InternalError",
    "Driver_FailedToClaimCores",
    "Driver_FailedToUnclaimCores",
    "Model_IsPacked",
    "Model_IsNotPacked",
    "Acc_TaskQueueNotFound",
    "MemoryPool_BufNotFound",
    "MemoryPool_AllocatorNotSet",
    "",  // 31 has no enumerator
    "Model_FailedToAllocMemory",
    "Driver_FailedToPostInfer",
    "Driver_FailedToWaitDone",
    "Driver_WaitDoneTimeout",
    "Model_PredictError",
    "Model_FailedToSaveTensor",
    "Model_UnexpectedMemoryFormat",
    "BadAlloc",
    "Model_TaskQueueClosed",
    "Model_TaskQueueTimeout",
    "Acc_NPUTimeout",
    "Acc_NoIMemInitFound",
    "Driver_FailedToAllocateModelMemory",
    "Driver_FailedToBuildCmaIoReq",
    "Driver_FailedToFreeModelMemory",
    "Driver_WrongBaseAddress",
    "Model_IsNotSupportedHardware",
    "Driver_FailedToLockCore",
    "Driver_FailedToUnlockCore",
    "Model_InvalidNPUDtype",
    "Model_InvalidRmemType",
    "Model_CacheOverflow",
    "Model_NoCache",
    "Model_AsyncPipelineCheckFailed",
    "Model_AsyncPipelineNotAlive",
    "Model_AsyncPipelineTimeout",
    "Future_NotValid",
    "Model_InvalidSupplementary",
    "Model_NumCacheMismatched",
    "Model_FailedToFindDirectory",
    "Model_FailedToOpenCacheFile",
    "Model_BufferSizeMismatched",
    "Model_InvalidVariantIdx",
    "Model_AlreadyLaunched",
};
}  // namespace

std::string statusCodeName(StatusCode code) {
  const auto index = static_cast<uint32_t>(code);
  if (index < kNames.size() && !kNames[index].empty()) return std::string(kNames[index]);
  return "UnknownStatusCode(" + std::to_string(static_cast<int32_t>(code)) + ")";
}

}  // namespace kestrane
