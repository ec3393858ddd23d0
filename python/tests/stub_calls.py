"""Calls that run, written as a caller holds their arguments: mypy --strict must accept them against
the stubs with the result types named here (python_stub_calls_mypy), and test_stubs.py runs them."""
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import ophel

if TYPE_CHECKING:
    from typing import assert_type
else:
    def assert_type(value, cls):
        # Run, the same line checks the class of what the call gave.
        assert type(value) is cls, (type(value), cls)
        return value

Future = ophel.FutureFloat | ophel.FutureInt8


def async_calls(model: ophel.Model, hwc: npt.NDArray[np.float32],
                chw: npt.NDArray[np.float32]) -> list[Future]:
    """The asynchronous forms on one item in HWC and CHW order: int8 arrays alone give int8 results,
    anything else is converted (to int8 for the _to_float forms)."""
    hwc8, chw8 = hwc.astype(np.int8), chw.astype(np.int8)
    hwc64, chw64 = hwc.astype(np.float64), chw.astype(np.float64)
    narrow: list[npt.NDArray[np.int8]] = [hwc8]
    wide: list[npt.NDArray[np.float64]] = [hwc64]
    return [
        assert_type(model.infer_async([hwc]), ophel.FutureFloat),
        assert_type(model.infer_async(narrow), ophel.FutureInt8),
        assert_type(model.infer_async((hwc8,)), ophel.FutureInt8),
        assert_type(model.infer_async(wide), ophel.FutureFloat),
        assert_type(model.infer_async([hwc64]), ophel.FutureFloat),
        assert_type(model.infer_async_chw([chw8]), ophel.FutureInt8),
        assert_type(model.infer_async_chw([chw64]), ophel.FutureFloat),
        assert_type(model.infer_async_to_float(narrow), ophel.FutureFloat),
        assert_type(model.infer_async_to_float(wide), ophel.FutureFloat),
        assert_type(model.infer_async_chw_to_float([chw64]), ophel.FutureFloat),
    ]


def cache_loads(model: ophel.Model) -> tuple[list[npt.NDArray[np.int8]], list[Callable[[], None]]]:
    """What the model's cache holds now, and loads of it in the forms a caller holds it."""
    dumped = model.dump_cache_memory()
    arrays: list[npt.NDArray[Any]] = list(dumped)
    raw: list[bytes] = [area.tobytes() for area in dumped]
    return dumped, [
        lambda: model.load_cache_memory(dumped),
        lambda: model.load_cache_memory(arrays),
        lambda: model.load_cache_memory(raw),
        lambda: model.load_cache_memory(tuple(dumped)),
    ]
