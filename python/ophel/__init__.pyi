"""Type stubs of the ophel extension module (the Python layer of libkestrane.so)."""
from typing import ClassVar, overload

import numpy
import numpy.typing

from . import version as version

__version__: str

class _Enumeration:
    """Strict enumeration: equal only to members of its own type, no ordering, no arithmetic."""
    def __init__(self, value: int) -> None: ...
    @property
    def value(self) -> int: ...
    @property
    def name(self) -> str: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: int) -> None: ...

class Cluster(_Enumeration):
    Cluster0: ClassVar[Cluster]
    Cluster1: ClassVar[Cluster]
    Error: ClassVar[Cluster]
    __members__: ClassVar[dict[str, Cluster]]

class Core(_Enumeration):
    Core0: ClassVar[Core]
    Core1: ClassVar[Core]
    Core2: ClassVar[Core]
    Core3: ClassVar[Core]
    All: ClassVar[Core]
    GlobalCore: ClassVar[Core]
    Error: ClassVar[Core]
    __members__: ClassVar[dict[str, Core]]

class CollaborationModel(_Enumeration):
    Unified: ClassVar[CollaborationModel]
    Separated: ClassVar[CollaborationModel]
    Undefined: ClassVar[CollaborationModel]
    __members__: ClassVar[dict[str, CollaborationModel]]

class CoreStatus(_Enumeration):
    Vacant: ClassVar[CoreStatus]
    Ready: ClassVar[CoreStatus]
    Idle: ClassVar[CoreStatus]
    Running: ClassVar[CoreStatus]
    __members__: ClassVar[dict[str, CoreStatus]]

class SchedulePolicy(_Enumeration):
    FIFO: ClassVar[SchedulePolicy]
    LIFO: ClassVar[SchedulePolicy]
    ByPriority: ClassVar[SchedulePolicy]
    Undefined: ClassVar[SchedulePolicy]
    __members__: ClassVar[dict[str, SchedulePolicy]]

class LatencySetPolicy(_Enumeration):
    Auto: ClassVar[LatencySetPolicy]
    Manual: ClassVar[LatencySetPolicy]
    __members__: ClassVar[dict[str, LatencySetPolicy]]

class MaintenancePolicy(_Enumeration):
    Maintain: ClassVar[MaintenancePolicy]
    DropExpired: ClassVar[MaintenancePolicy]
    Undefined: ClassVar[MaintenancePolicy]
    __members__: ClassVar[dict[str, MaintenancePolicy]]

class InferenceResult(_Enumeration):
    Successful: ClassVar[InferenceResult]
    Expired: ClassVar[InferenceResult]
    Unexpected: ClassVar[InferenceResult]
    __members__: ClassVar[dict[str, InferenceResult]]

class CoreAllocationPolicy(_Enumeration):
    Auto: ClassVar[CoreAllocationPolicy]
    Manual: ClassVar[CoreAllocationPolicy]
    __members__: ClassVar[dict[str, CoreAllocationPolicy]]

class Scale:
    scale_list: list[float]
    scale: float
    is_uniform: bool
    def __init__(self) -> None: ...
    def __getitem__(self, arg0: int, /) -> float: ...

class CoreId:
    cluster: Cluster
    core: Core
    def __init__(self) -> None: ...
    def __eq__(self, arg0: object, /) -> bool: ...
    def __lt__(self, arg0: CoreId, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class Buffer:
    size: int
    def __init__(self) -> None: ...
    def set_buffer(self, arg0: numpy.typing.ArrayLike, /) -> None: ...

class CoreMode(_Enumeration):
    Single: ClassVar[CoreMode]
    Multi: ClassVar[CoreMode]
    Global: ClassVar[CoreMode]
    Global4: ClassVar[CoreMode]
    Global8: ClassVar[CoreMode]
    Error: ClassVar[CoreMode]
    __members__: ClassVar[dict[str, CoreMode]]

class BufferInfo:
    original_height: int
    original_width: int
    original_channel: int
    reshaped_height: int
    reshaped_width: int
    reshaped_channel: int
    height: int
    width: int
    channel: int
    max_height: int
    max_width: int
    max_channel: int
    max_cache_size: int
    def __init__(self) -> None: ...
    def original_size(self) -> int: ...
    def reshaped_size(self) -> int: ...
    def size(self) -> int: ...
    def original_shape(self) -> tuple[int, int, int]: ...
    def original_shape_chw(self) -> tuple[int, int, int]: ...
    def reshaped_shape(self) -> tuple[int, int, int]: ...
    def reshaped_shape_chw(self) -> tuple[int, int, int]: ...
    def shape(self) -> tuple[int, int, int]: ...
    def shape_chw(self) -> tuple[int, int, int]: ...

class ModelConfig:
    schedule_policy: SchedulePolicy
    latency_set_policy: LatencySetPolicy
    maintenance_policy: MaintenancePolicy
    early_latencies: list[int]
    finish_latencies: list[int]
    @property
    def core_ids(self) -> list[CoreId]: ...
    @overload
    def __init__(self) -> None: ...
    @overload
    def __init__(self, arg0: int, /) -> None: ...
    def include_all_cores(self) -> bool: ...
    def exclude_all_cores(self) -> bool: ...
    @overload
    def include(self, arg0: Cluster, arg1: Core, /) -> bool: ...
    @overload
    def include(self, arg0: Cluster, /) -> bool: ...
    @overload
    def include(self, arg0: Core, /) -> bool: ...
    @overload
    def exclude(self, arg0: Cluster, arg1: Core, /) -> bool: ...
    @overload
    def exclude(self, arg0: Cluster, /) -> bool: ...
    @overload
    def exclude(self, arg0: Core, /) -> bool: ...
    @overload
    def set_single_core_mode(self, arg0: int, /) -> bool: ...
    @overload
    def set_single_core_mode(self, arg0: list[CoreId], /) -> bool: ...
    def set_multi_core_mode(self, arg0: list[Cluster], /) -> bool: ...
    def set_global_core_mode(self, arg0: list[Cluster], /) -> bool: ...
    def set_global4_core_mode(self, arg0: list[Cluster], /) -> bool: ...
    def set_global8_core_mode(self) -> bool: ...
    def get_core_mode(self) -> CoreMode: ...
    def set_auto_mode(self, arg0: int, /) -> bool: ...
    def set_manual_mode(self) -> bool: ...
    def get_core_allocation_policy(self) -> CoreAllocationPolicy: ...
    def get_num_cores(self) -> int: ...
    def force_single_npu_bundle(self, arg0: int, /) -> bool: ...
    def get_forced_npu_bundle_index(self) -> int: ...
    def set_async_pipeline_enabled(self, arg0: bool, /) -> None: ...
    def get_async_pipeline_enabled(self) -> bool: ...

class LogLevel(_Enumeration):
    DEBUG: ClassVar[LogLevel]
    INFO: ClassVar[LogLevel]
    WARN: ClassVar[LogLevel]
    ERR: ClassVar[LogLevel]
    FATAL: ClassVar[LogLevel]
    OFF: ClassVar[LogLevel]
    __members__: ClassVar[dict[str, LogLevel]]

def set_log_level(arg0: LogLevel, /) -> None: ...


class CacheType(_Enumeration):
    Default: ClassVar[CacheType]
    Batch: ClassVar[CacheType]
    Error: ClassVar[CacheType]
    __members__: ClassVar[dict[str, CacheType]]

class CacheInfo:
    cache_type: CacheType
    name: str
    layer_hash: str
    size: int
    num_batches: int
    def __init__(self) -> None: ...

def start_tracing_events(arg0: str, /) -> bool: ...
def stop_tracing_events() -> None: ...

class OphelError(RuntimeError): ...
