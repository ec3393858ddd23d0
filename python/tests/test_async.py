"""Asynchronous inference from Python: futures, their inputs' lifetime, and their use from several
threads and after their model is gone."""
import gc
import threading

import numpy as np
import pytest

import ophel
from conftest import config_of, slow, values

SHAPE = (4, 4, 8)


@pytest.fixture
def pipelined(launch):
    return launch("identity_int8", config_of(cores=2, asynchronous=True))


def chw(a):
    return np.ascontiguousarray(np.moveaxis(a, -1, -3))


def test_futures_of_every_form(pipelined):
    x = values(SHAPE)
    q = x.astype(np.int8)
    cases = [
        (pipelined.infer_async, x, ophel.FutureFloat, x),
        (pipelined.infer_async_chw, chw(x), ophel.FutureFloat, chw(x)),
        (pipelined.infer_async, q, ophel.FutureInt8, q),
        (pipelined.infer_async_chw, chw(q), ophel.FutureInt8, chw(q)),
        (pipelined.infer_async_to_float, q, ophel.FutureFloat, x),
        (pipelined.infer_async_chw_to_float, chw(q), ophel.FutureFloat, chw(x)),
        # Unnamed arguments convert: float64 to the float form, float32 to int8 for _to_float.
        (pipelined.infer_async, x.astype(np.float64), ophel.FutureFloat, x),
        (pipelined.infer_async_to_float, x, ophel.FutureFloat, x),
    ]
    for call, data, cls, want in cases:
        future = call([data])
        assert type(future) is cls
        assert future.wait_for(10000) is True
        [result] = future.get()
        np.testing.assert_array_equal(np.asarray(result), want)
        with pytest.raises(ophel.OphelError, match="^Future_NotValid occurred."):
            future.get()
        assert future.wait_for(0) is False
    with pytest.raises(ValueError, match="array is not writeable"):
        pipelined.infer_async([np.broadcast_to(np.float32(1), SHAPE)])


def test_unbound_futures_are_not_valid():
    for cls in (ophel.FutureFloat, ophel.FutureInt8):
        future = cls()
        assert future.wait_for(0) is False and future.wait_for(50) is False
        with pytest.raises(ophel.OphelError, match="^Future_NotValid occurred."):
            future.get()


def lines_with(text, captured):
    return [line for line in (captured.out + captured.err).splitlines() if text in line]


INVALID_GET = "`Future::get` was called with an invalid future."
INVALID_WAIT = "`Future::waitFor` was called with an invalid future."


def test_refused_future_calls_log_the_native_lines(pipelined, accelerator, make_model, capfd):
    taken = pipelined.infer_async([values(SHAPE)])
    taken.get()
    failed = ophel.Model(make_model("identity_int8", slow(300000)), config_of(cores=1, asynchronous=True))
    failed.launch(accelerator)
    lost = failed.infer_async([values(SHAPE)])
    failed.dispose()
    with pytest.raises(ophel.OphelError, match="^Model_AsyncPipelineNotAlive occurred."):
        lost.get()
    unbound = ophel.FutureInt8()
    for name, future in (("after get", taken), ("after a failed get", lost), ("unbound", unbound)):
        capfd.readouterr()
        with pytest.raises(ophel.OphelError, match="^Future_NotValid occurred."):
            future.get()
        [line] = lines_with(INVALID_GET, capfd.readouterr())
        assert line.startswith("E"), (name, line)  # error level
        for timeout in (0, 50):
            assert future.wait_for(timeout) is False
            [line] = lines_with(INVALID_WAIT, capfd.readouterr())
            assert line.startswith("W"), (name, timeout, line)  # warn level


def test_inputs_may_go_before_the_results_are_taken(pipelined):
    futures = [pipelined.infer_async([values(SHAPE, seed=i).astype(dtype)])
               for i in range(12) for dtype in (np.float32, np.float64)]
    gc.collect()
    clobber = [np.full(SHAPE, -1, np.float32) for _ in range(64)]
    for k, future in enumerate(futures):
        [result] = future.get()
        np.testing.assert_array_equal(np.asarray(result), values(SHAPE, seed=k // 2))
    del clobber


def test_one_future_taken_by_two_threads_gives_one_result(pipelined):
    for round_ in range(10):
        future = pipelined.infer_async([values(SHAPE, seed=round_)])
        start = threading.Barrier(2)
        outcomes = []

        def take():
            start.wait()
            try:
                outcomes.append(np.asarray(future.get()[0]))
            except ophel.OphelError as error:
                outcomes.append(str(error).split(" ")[0])

        threads = [threading.Thread(target=take) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        [array] = [o for o in outcomes if isinstance(o, np.ndarray)]
        np.testing.assert_array_equal(array, values(SHAPE, seed=round_))
        assert [o for o in outcomes if isinstance(o, str)] == ["Future_NotValid"]


def test_futures_outlive_their_model(launch, accelerator, make_model):
    path = make_model("identity_int8", slow(300000))
    for drop in ("dispose", "collect"):
        model = ophel.Model(path, config_of(cores=1, asynchronous=True))
        model.launch(accelerator)
        done = model.infer_async([values(SHAPE)])
        assert done.wait_for(10000)
        pending = model.infer_async([values(SHAPE)])
        if drop == "dispose":
            model.dispose()
        else:
            del model
            gc.collect()
        np.testing.assert_array_equal(np.asarray(done.get()[0]), values(SHAPE))
        with pytest.raises(ophel.OphelError, match="^Model_AsyncPipelineNotAlive occurred."):
            pending.get()
    unpipelined = launch("identity_int8", config_of(cores=1))
    with pytest.raises(ophel.OphelError, match="^Model_AsyncPipelineNotAlive occurred."):
        unpipelined.infer_async([values(SHAPE)])
