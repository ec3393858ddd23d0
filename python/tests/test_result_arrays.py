"""NDArrayFloat and NDArrayInt8: the buffer protocol, element access, and the lifetime of the
memory that numpy views share with them."""
import gc
import weakref

import numpy as np
import pytest

import ophel
from conftest import config_of, values

SHAPE = (4, 4, 8)


@pytest.fixture
def identity(launch):
    return launch("identity_int8", config_of(cores=2))


@pytest.mark.parametrize("dtype, cls, fmt, strides", [
    (np.float32, ophel.NDArrayFloat, "f", (128, 32, 4)),
    (np.int8, ophel.NDArrayInt8, "b", (32, 8, 1)),
])
def test_results_export_writable_c_ordered_buffers(identity, dtype, cls, fmt, strides):
    x = values(SHAPE, dtype)
    [result] = identity.infer([x])
    assert type(result) is cls
    view = memoryview(result)
    assert (view.format, view.itemsize, view.shape, view.strides, view.readonly) == (fmt, x.itemsize, SHAPE,
                                                                                   strides, False)
    array = np.asarray(result)
    assert array.dtype == dtype and not array.flags.owndata
    np.testing.assert_array_equal(array, x)
    # Element access runs over the flat data; the index is unsigned and checked.
    assert len(result) == x.size
    assert [result[i] for i in (0, 5, x.size - 1)] == [x.flat[i] for i in (0, 5, x.size - 1)]
    array[0, 0, 1] = 42
    assert result[1] == 42
    with pytest.raises(IndexError):
        result[x.size]
    with pytest.raises(TypeError):
        result[-1]
    with pytest.raises(TypeError):
        cls()


def test_numpy_views_keep_the_result_alive(identity):
    x = values(SHAPE)
    [result] = identity.infer([x])
    watch = weakref.ref(result)
    array = np.frombuffer(result, np.float32)
    del result
    gc.collect()
    identity.infer([-x])  # the memory is not handed out again
    assert watch() is not None
    np.testing.assert_array_equal(array, x.ravel())
    del array
    gc.collect()
    assert watch() is None


def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def test_results_are_freed_call_after_call(identity):
    # Each call returns 4 KiB of results: 10000 kept would be 40 MiB.
    batch = values((8,) + SHAPE)
    for _ in range(500):
        np.asarray(identity.infer([batch])[0]).sum()
    before = resident_kib()
    for _ in range(10000):
        np.asarray(identity.infer([batch])[0]).sum()
    assert resident_kib() - before < 8 * 1024
