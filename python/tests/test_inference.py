"""Synchronous inference from Python: the forms and their dtypes, array layouts, output arrays,
and the refusals (TypeError, ValueError, OphelError)."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import ophel
from conftest import config_of, values

SHAPE = (4, 4, 8)  # identity_int8: the output is the input rounded to int8 steps


@pytest.fixture
def identity(launch):
    return launch("identity_int8", config_of(cores=2))


def chw(a):
    return np.ascontiguousarray(np.moveaxis(a, -1, -3))


def test_returning_forms_give_arrays_of_their_dtype(identity):
    x = values(SHAPE)
    q = x.astype(np.int8)
    batch = np.stack([x, -x])
    cases = [
        (identity.infer, x, ophel.NDArrayFloat, x),
        (identity.infer, batch, ophel.NDArrayFloat, batch),
        (identity.infer_chw, chw(x), ophel.NDArrayFloat, chw(x)),
        (identity.infer, q, ophel.NDArrayInt8, q),
        (identity.infer_chw, chw(q), ophel.NDArrayInt8, chw(q)),
        (identity.infer_to_float, q, ophel.NDArrayFloat, x),
        (identity.infer_chw_to_float, chw(q), ophel.NDArrayFloat, chw(x)),
    ]
    for call, data, cls, want in cases:
        [result] = call([data])
        assert type(result) is cls
        np.testing.assert_array_equal(np.asarray(result), want)
        [again] = call(arr=[data], cache_size=0)
        np.testing.assert_array_equal(np.asarray(again), want)


@pytest.mark.parametrize("dtype", [np.float32, np.int8])
def test_out_forms_fill_the_callers_arrays(identity, dtype):
    x = values(SHAPE, dtype)
    for call, data in ((identity.infer, x), (identity.infer_chw, chw(x))):
        out = np.zeros_like(data)
        assert call([data], [out]) is None
        np.testing.assert_array_equal(out, data)
        # Another shape of the same size receives the elements in C order.
        flat = np.zeros(data.size, dtype)
        call(**{"in": [data], "out": [flat], "cache_size": 0})
        np.testing.assert_array_equal(flat, data.ravel())


def test_out_forms_refuse_arrays_that_cannot_receive_the_output(identity, launch):
    x = values(SHAPE)
    refusals = [
        ([np.zeros(100, np.float32)], "output array 0 holds 100 elements; the model's output 0 has 128"),
        ([np.zeros(SHAPE, np.float32)] * 2, "the model gives 1 outputs; 2 output arrays were passed"),
        ([], "the model gives 1 outputs; 0 output arrays were passed"),
        ([np.zeros((8, 4, 8), np.float32)[::2]], "output array 0 is not C-contiguous"),
    ]
    for out, message in refusals:
        with pytest.raises(ValueError, match=message):
            identity.infer([x], out)
    # The host layers of a CPU-offload model hand back arrays of their own,
    # copied into the caller's when the sizes agree.
    cpu = launch("cpu_layers", config_of(cores=1))
    x = np.arange(16, dtype=np.float32).reshape(2, 2, 4) / 4
    for out in (np.zeros((2, 2, 4), np.float32), np.zeros(16, np.float32)):
        cpu.infer([x], [out])
        np.testing.assert_array_equal(out.reshape(2, 2, 4), np.floor(2 * x + 0.5) + 1.5)
    with pytest.raises(ValueError, match="output array 0 holds 12 elements"):
        cpu.infer([x], [np.zeros(12, np.float32)])


def test_inputs_of_any_layout_are_read_in_index_order(identity):
    x = values(SHAPE)
    spread = np.zeros((8, 4, 8), np.float32)
    spread[::2] = x
    layouts = {
        "stepped": spread[::2],
        "reversed": np.ascontiguousarray(x[::-1, :, ::-1])[::-1, :, ::-1],
        "transposed": np.ascontiguousarray(x.transpose(2, 1, 0)).transpose(2, 1, 0),
    }
    for name, data in layouts.items():
        assert not data.flags.c_contiguous, name
        before = data.copy()
        [result] = identity.infer([data])
        np.testing.assert_array_equal(np.asarray(result), x, err_msg=name)
        np.testing.assert_array_equal(data, before)


def test_read_only_arrays_are_refused(identity):
    x = values(SHAPE)
    frozen = x.copy()
    frozen.setflags(write=False)
    read_only = {
        "frozen": frozen,
        "over bytes": np.frombuffer(x.tobytes(), np.float32).reshape(SHAPE),
        "broadcast": np.broadcast_to(np.float32(1), SHAPE),
    }
    for name, data in read_only.items():
        with pytest.raises(ValueError, match="^array is not writeable$"):
            identity.infer([data])
        with pytest.raises(ValueError, match="^array is not writeable$"):
            identity.infer([x], [data])


def test_arguments_select_the_form_without_conversion(identity):
    x = values(SHAPE)
    for args, kwargs in [
        (([x.astype(np.float64)],), {}),
        (([x, x.astype(np.int8)],), {}),
        (([x.tolist()],), {}),
        (([x],), {"cache_size": -1}),
        (([x],), {"cache_size": 1.0}),
        (([x],), {"cache_size": np.float32(0)}),
        (([x],), {"cache_size": 2**32}),
        (([x], [np.zeros(SHAPE, np.int8)]), {}),
    ]:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            identity.infer(*args, **kwargs)
    with pytest.raises(TypeError):
        identity.infer_to_float([x])
    # A tuple is a list argument too, and numpy's integers are integers.
    assert len(identity.infer((x,))) == 1
    for size in (np.int64(0), np.uint32(0), True):
        assert len(identity.infer([x], cache_size=size)) == 1


def test_failures_raise_ophel_error_with_the_status_name(identity, make_model):
    with pytest.raises(ophel.OphelError) as caught:
        identity.infer([values((4, 4, 9))])
    assert str(caught.value).startswith("Model_ShapeMismatched occurred.\nPlease visit ")
    assert ophel.__version__.rsplit(".", 1)[0] in str(caught.value)
    idle = ophel.Model(make_model("identity_int8"))
    with pytest.raises(RuntimeError, match="^Model_NotLaunched occurred.") as caught:
        idle.infer([values(SHAPE)])
    assert type(caught.value) is ophel.OphelError and caught.value.args == (str(caught.value),)


# A batch of 65536 items (131072 pool buffers) with 64 MiB of address space
# beyond what the process maps, too little for its buffers, then with 1 GiB.
BATCH_SHORT_OF_MEMORY = r"""
import resource
import sys

import numpy as np

import ophel

acc = ophel.Accelerator()
config = ophel.ModelConfig()
config.set_single_core_mode(1)
model = ophel.Model(sys.argv[1], config)
model.launch(acc)
x = np.random.default_rng(0).integers(-100, 100, size=(65536, 4, 4, 8)).astype(np.float32)
y = np.zeros_like(x)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
for room in (64, 1024):
    with open("/proc/self/status") as status:
        mapped = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (room << 20), hard))
    try:
        model.infer([x], [y])
        print(f"room {room}: ran", np.array_equal(y, x))
    except ophel.OphelError as error:
        print(f"room {room}:", str(error).splitlines()[0])
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
model.dispose()
"""


def test_a_batch_that_ran_out_of_memory_runs_once_there_is_room(make_model):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(ophel.__file__))
    run = subprocess.run([sys.executable, "-c", BATCH_SHORT_OF_MEMORY, make_model("identity_int8")],
                         capture_output=True, text=True, env=env, timeout=240)
    assert run.returncode == 0, run.stdout + run.stderr
    assert re.search(r"^room 64: (BadAlloc|Driver_FailedToAllocateHostMemory) occurred\.$", run.stdout, re.M), run.stdout
    assert "room 1024: ran True" in run.stdout, run.stdout
    assert "Unreleased memory" not in run.stdout + run.stderr
