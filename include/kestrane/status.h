#pragma once

#include <cstdint>
#include <string>

#include "kestrane/export.h"

namespace kestrane {

// The one result vocabulary of the runtime; 0 is success. Value 31 is unused.
enum class StatusCode : int32_t {
  OK = 0,
  Driver_NotInitialized = 1,
  Model_NoTargetCores = 2,
  Model_FailedToLoadZRB = 3,
  Model_FailedToOpenScaleFile = 4,
  Model_InvalidScaleValue = 5,
  Model_FailedToOpenOutputScale = 6,
  Model_InvalidOutputScaleValue = 7,
  Model_FailedToOpenSectionBinary = 8,
  Model_NotLaunched = 9,
  Model_NotAlive = 10,
  Acc_CoreAlreadyInUse = 11,
  Acc_NoSuchModel = 12,
  Driver_FailedToAllocateHostMemory = 13,
  Driver_FailedToWriteMemoryBuffer = 14,
  Driver_FailedToReadMemoryBuffer = 15,
  Model_ZRBAndModelConfigNotMatch = 16,
  Model_NoGlobalCoreWithGlobalMultiMode = 17,
  NotImplemented = 18,
  Model_FailedToOpenModelDescFile = 19,
  Model_BrokenZRB = 20,
  Model_ShapeMismatched = 21,
  Model_DtypeMismatched = 22,
  InternalError = 23,
  Driver_FailedToClaimCores = 24,
  Driver_FailedToUnclaimCores = 25,
  Model_IsPacked = 26,
  Model_IsNotPacked = 27,
  Acc_TaskQueueNotFound = 28,
  MemoryPool_BufNotFound = 29,
  MemoryPool_AllocatorNotSet = 30,
  Model_FailedToAllocMemory = 32,
  Driver_FailedToPostInfer = 33,
  Driver_FailedToWaitDone = 34,
  Driver_WaitDoneTimeout = 35,
  Model_PredictError = 36,
  Model_FailedToSaveTensor = 37,
  Model_UnexpectedMemoryFormat = 38,
  BadAlloc = 39,
  Model_TaskQueueClosed = 40,
  Model_TaskQueueTimeout = 41,
  Acc_NPUTimeout = 42,
  Acc_NoIMemInitFound = 43,
  Driver_FailedToAllocateModelMemory = 44,
  Driver_FailedToBuildCmaIoReq = 45,
  Driver_FailedToFreeModelMemory = 46,
  Driver_WrongBaseAddress = 47,
  Model_IsNotSupportedHardware = 48,
  Driver_FailedToLockCore = 49,
  Driver_FailedToUnlockCore = 50,
  Model_InvalidNPUDtype = 51,
  Model_InvalidRmemType = 52,
  Model_CacheOverflow = 53,
  Model_NoCache = 54,
  Model_AsyncPipelineCheckFailed = 55,
  Model_AsyncPipelineNotAlive = 56,
  Model_AsyncPipelineTimeout = 57,
  Future_NotValid = 58,
  Model_InvalidSupplementary = 59,
  Model_NumCacheMismatched = 60,
  Model_FailedToFindDirectory = 61,
  Model_FailedToOpenCacheFile = 62,
  Model_BufferSizeMismatched = 63,
  Model_InvalidVariantIdx = 64,
  Model_AlreadyLaunched = 65,
};

// The enumerator's own name ("OK", "BadAlloc", ...); values without an
// enumerator give "UnknownStatusCode(<value>)", which no enumerator spells.
KESTRANE_API std::string statusCodeName(StatusCode code);

}  // namespace kestrane
