#pragma once

// The checks of a model file against the hardware and the configuration that
// model creation runs, and the per-bundle derivations it makes from the file.
// Each check logs its own error lines and answers false.

#include <cstdint>
#include <vector>

#include "kestrane/model_config.h"
#include "kestrane/status.h"
#include "model/model_desc.h"
#include "model/npu_op_desc.h"
#include "zrb/zrb.h"

namespace kestrane::model_checks {

bool checkZRB(const zrb::ZRB& model);
bool checkZRBCores(const zrb::ZRB& model);
bool checkZRBCoresAtEachMode(const zrb::ZRB& model, uint32_t mode);
bool doesZRBAndModelConfigMatch(const zrb::ZRB& model, const ModelConfig& config);
bool doesSupportedCoresMatchGivenCoreModeAndCores(const std::vector<zrb::CoreConfig>& cores, CoreMode mode,
                                                  const std::vector<CoreId>& coreIds);
bool doesZRBUseCache(const zrb::ZRB& model);
bool usesSecondIoArea(const std::vector<zrb::Bundle>& bundles);

// Keeps every bundle, with only what belongs to `mode` in it.
std::vector<zrb::Bundle> filterBundlesByCoreMode(const std::vector<zrb::Bundle>& bundles, CoreMode mode);
// Per bundle the device-address offsets of its IO areas, one per in-flight
// slot. Empty (after an error line) when a bundle's areas cannot be sized or
// its second area would overlap its first.
std::vector<std::vector<uint64_t>> buildIoSlotOffsets(const std::vector<zrb::Bundle>& bundles, bool second);

// What the file must hold beyond its layout for requests to run safely:
// dimensions, scales, IO types, sequence slopes, IO layouts, and device
// ranges inside the card's memory; the IO areas of each operation and its
// caches within what the card holds, and the index-table elements of the
// whole model within the card's bytes. Model_BrokenZRB or
// Model_InvalidScaleValue with one line naming the culprit. Needs no index
// table.
StatusCode checkOperations(const std::vector<NPUOpDesc>& ops, const std::vector<std::vector<uint64_t>>& ioSlotOffsets);
// The index tables and copy runs of the layout-kind-0 records, once built:
// Model_BrokenZRB and one line for a record whose table places two host
// elements on one position, BadAlloc and one line for a record left without
// tables when host memory ran out.
StatusCode checkIndexTables(const std::vector<NPUOpDesc>& ops);

// Every NPU layer of every variant against the records of its operation:
// as many inputs and outputs, and described shapes that fit the records at
// the largest multipliers their sequence lengths allow (no dimension of 0,
// none beyond the -k rule). An NPU-only variant's model inputs are checked
// the same way, as requests are matched against them. Model_BrokenZRB and
// one line naming the first misfit.
StatusCode checkDescriptions(const std::vector<ModelDesc>& descs, const std::vector<NPUOpDesc>& ops);

}  // namespace kestrane::model_checks
