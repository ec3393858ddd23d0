"""The interpreter lock is released while the card works: other Python threads run meanwhile,
several threads infer on one model at once, and dispose may come in the middle."""
import itertools
import threading

import numpy as np
import pytest

import ophel
from conftest import config_of, slow, values

SHAPE = (4, 4, 8)


class Ticker:
    """A pure-Python thread counting as fast as it can."""

    def __init__(self):
        self.count = 0
        self.stop = False
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while not self.stop:
            self.count += 1

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()


def releasing_calls(model):
    x = values(SHAPE)
    ins, outs = model.acquire_input_buffer([]), model.acquire_output_buffer([])
    calls = {
        "infer": lambda: model.infer([x]),
        "infer into": lambda: model.infer([x], [np.zeros(SHAPE, np.float32)]),
        "infer_chw": lambda: model.infer_chw([np.ascontiguousarray(x.transpose(2, 0, 1))]),
        "infer_to_float": lambda: model.infer_to_float([x.astype(np.int8)]),
        "infer_buffer": lambda: model.infer_buffer(ins, outs, [], 0),
        "infer_speedrun": model.infer_speedrun,
        "future get": lambda: model.infer_async([x]).get(),
        "future wait_for": lambda: model.infer_async([x]).wait_for(10000),
    }
    return calls, ins + outs


def test_the_lock_is_released_while_the_card_works(launch):
    # 30 ms on the card per run: a call that kept the lock would stop the ticker.
    model = launch("identity_int8", config_of(cores=1, asynchronous=True), edit=slow(30000))
    calls, buffers = releasing_calls(model)
    with Ticker() as ticker:
        for name, call in calls.items():
            before = ticker.count
            call()
            assert ticker.count - before > 1000, name
    model.release_buffer(buffers)


def test_threads_inferring_at_once_each_get_their_own_results(launch):
    model = launch("identity_int8", config_of(cores=4))
    failures = []

    def work(k):
        x = values(SHAPE, seed=k)
        out = np.zeros(SHAPE, np.float32)
        for i in range(40):
            if i % 2:
                [result] = model.infer([x])
                result = np.asarray(result)
            else:
                model.infer([x], [out])
                result = out
            if not np.array_equal(result, x):
                failures.append(k)

    with Ticker() as ticker:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert failures == [] and ticker.count > 0


def test_dispose_in_the_middle_of_inference(launch):
    # Each call takes a tick as it starts and as it ends, dispose one before it begins and one after it
    # returns (itertools.count ticks atomically under the interpreter lock).
    model = launch("identity_int8", config_of(cores=2), edit=slow(2000))
    clock = itertools.count()
    started = threading.Barrier(5)
    calls = []

    def work(k):
        x = values(SHAPE, seed=k)

        def call():
            start = next(clock)
            try:
                status = "OK" if np.array_equal(np.asarray(model.infer([x])[0]), x) else "wrong"
            except ophel.OphelError as error:
                status = str(error).split(" ")[0]
            calls.append((start, next(clock), status))
            return status

        call()  # one call each before dispose begins
        started.wait()
        while call() == "OK":
            pass

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    started.wait()
    dispose_began = next(clock)
    model.dispose()
    dispose_ended = next(clock)
    for t in threads:
        t.join()
    before = [status for start, end, status in calls if end < dispose_began]
    during = [status for start, end, status in calls if end > dispose_began and start < dispose_ended]
    after = [status for start, end, status in calls if start > dispose_ended]
    # Ended before dispose began: ran on a launched model. Started after it returned: refused. In
    # between: either, or failed as a task the closing queue dropped.
    assert len(before) >= 4 and set(before) == {"OK"}
    assert set(during) <= {"OK", "Model_NotLaunched", "Model_NotAlive"} and set(after) <= {"Model_NotLaunched"}
    assert sum(status != "OK" for status in during + after) == 4  # each thread ends on its first failure
