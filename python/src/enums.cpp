// The enumerations stay strict: scoped native enums give pybind11 enumerations
// that are not arithmetic, never equal an int or a member of another
// enumeration, have no ordering, and keep their members off the module.
#include "bindings.h"

#include "kestrane/type.h"

namespace ophel {

using namespace kestrane;

void bindPlacementEnums(py::module_& m) {
  py::enum_<Cluster>(m, "Cluster")
      .value("Cluster0", Cluster::Cluster0)
      .value("Cluster1", Cluster::Cluster1)
      .value("Error", Cluster::Error);
  py::enum_<Core>(m, "Core")
      .value("Core0", Core::Core0)
      .value("Core1", Core::Core1)
      .value("Core2", Core::Core2)
      .value("Core3", Core::Core3)
      .value("All", Core::All)
      .value("GlobalCore", Core::GlobalCore)
      .value("Error", Core::Error);
  py::enum_<CollaborationModel>(m, "CollaborationModel")
      .value("Unified", CollaborationModel::Unified)
      .value("Separated", CollaborationModel::Separated)
      .value("Undefined", CollaborationModel::Undefined);
  py::enum_<CoreStatus>(m, "CoreStatus")
      .value("Vacant", CoreStatus::Vacant)
      .value("Ready", CoreStatus::Ready)
      .value("Idle", CoreStatus::Idle)
      .value("Running", CoreStatus::Running);
  py::enum_<SchedulePolicy>(m, "SchedulePolicy")
      .value("FIFO", SchedulePolicy::FIFO)
      .value("LIFO", SchedulePolicy::LIFO)
      .value("ByPriority", SchedulePolicy::ByPriority)
      .value("Undefined", SchedulePolicy::Undefined);
  py::enum_<LatencySetPolicy>(m, "LatencySetPolicy")
      .value("Auto", LatencySetPolicy::Auto)
      .value("Manual", LatencySetPolicy::Manual);
  py::enum_<MaintenancePolicy>(m, "MaintenancePolicy")
      .value("Maintain", MaintenancePolicy::Maintain)
      .value("DropExpired", MaintenancePolicy::DropExpired)
      .value("Undefined", MaintenancePolicy::Undefined);
  py::enum_<InferenceResult>(m, "InferenceResult")
      .value("Successful", InferenceResult::Successful)
      .value("Expired", InferenceResult::Expired)
      .value("Unexpected", InferenceResult::Unexpected);
  py::enum_<CoreAllocationPolicy>(m, "CoreAllocationPolicy")
      .value("Auto", CoreAllocationPolicy::Auto)
      .value("Manual", CoreAllocationPolicy::Manual);
}

void bindCoreMode(py::module_& m) {
  py::enum_<CoreMode>(m, "CoreMode")
      .value("Single", CoreMode::Single)
      .value("Multi", CoreMode::Multi)
      .value("Global", CoreMode::Global)
      .value("Global4", CoreMode::Global4)
      .value("Global8", CoreMode::Global8)
      .value("Error", CoreMode::Error);
}

void bindLogLevel(py::module_& m) {
  py::enum_<LogLevel>(m, "LogLevel")
      .value("DEBUG", LogLevel::DEBUG)
      .value("INFO", LogLevel::INFO)
      .value("WARN", LogLevel::WARN)
      .value("ERR", LogLevel::ERR)
      .value("FATAL", LogLevel::FATAL)
      .value("OFF", LogLevel::OFF);
}

void bindCacheType(py::module_& m) {
  py::enum_<CacheType>(m, "CacheType")
      .value("Default", CacheType::Default)
      .value("Batch", CacheType::Batch)
      .value("Error", CacheType::Error);
}

}  // namespace ophel
