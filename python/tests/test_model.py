"""Model and Accelerator from Python: creation, launch and dispose, the description queries,
pybind11's own reprs, strict argument types at the call sites, and the model summary."""
import gc
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import ophel
from conftest import ROOT, config_of, values


def test_accelerators_open_by_card_index():
    acc = ophel.Accelerator(0)
    assert all(type(c) is ophel.CoreId for c in acc.get_available_cores())
    with pytest.raises(ophel.OphelError, match="^Driver_NotInitialized occurred."):
        ophel.Accelerator(5)  # the simulated card is the only one
    for bad in ("0", 0.0, None):
        with pytest.raises(TypeError):
            ophel.Accelerator(bad)


def test_creation_failures_raise(make_model, tmp_path):
    with pytest.raises(ophel.OphelError, match="^Model_FailedToLoadZRB occurred.\nPlease visit "):
        ophel.Model(str(tmp_path / "missing.zrb"))
    path = make_model("identity_int8")
    refused = ophel.ModelConfig()
    assert refused.set_global8_core_mode()  # the file has single-core bundles only
    with pytest.raises(ophel.OphelError, match="occurred."):
        ophel.Model(path, refused)
    for args in ((path, 1), (path, ophel.CoreMode.Single), (1,), ()):
        with pytest.raises(TypeError):
            ophel.Model(*args)


def test_description_queries(launch):
    model = launch("mixed_layouts", config_of(cores=1))
    assert model.get_model_input_shape() == [(2, 4, 8), (2, 2, 6), (1, 1, 10), (1, 2, 3)]
    assert [i.shape() for i in model.get_input_buffer_info()] == [(2, 4, 64), (2, 2, 64), (1, 1, 10), (1, 2, 4)]
    scales = model.get_input_scale()
    assert (scales[0].is_uniform, scales[0].scale) == (True, 2.0)  # inputs: the quantising factor
    assert (scales[3].is_uniform, scales[3].scale_list) == (False, [1.0, 2.0, 4.0])
    assert model.get_output_scale()[3].scale_list == [1.0, 0.5, 0.25]
    [core] = model.target_cores
    assert model.is_target(core) and not model.is_target(ophel.CoreId())
    assert model.get_schedule_policy() == ophel.SchedulePolicy.FIFO
    for call, bad in ((model.is_target, ophel.Core.Core0), (model.get_latency_consumed, 0.0),
                      (model.get_model_variant_handle, "0"), (model.launch, None)):
        with pytest.raises(TypeError):
            call(bad)


def test_launch_dispose_and_the_accelerator_going_first(make_model):
    acc = ophel.Accelerator()
    model = ophel.Model(make_model("identity_int8"), config_of(cores=1))
    model.launch(acc)
    with pytest.raises(ophel.OphelError, match="^Model_AlreadyLaunched occurred."):
        model.launch(acc)
    model.dispose()
    model.dispose()  # disposing a model that is not launched does nothing
    model.launch(acc)
    np.testing.assert_array_equal(np.asarray(model.infer([values((4, 4, 8))])[0]), values((4, 4, 8)))
    del acc  # closing the card disposes the models on it
    gc.collect()
    with pytest.raises(ophel.OphelError, match="^Model_NotLaunched occurred."):
        model.infer([values((4, 4, 8))])


def zeros_of_2_gib(description):
    """An edit: bundle 0 (reloaded before every run) gains four sections without payload of 512 MiB,
    each 4 KiB below the one before."""
    for k in range(4):
        description["bundles"][0]["section_binaries"].append(
            {"memory_type": 2, "no_payload": True, "size": 512 << 20,
             "designations": [{"each_core": True, "region": "DDR", "address": (16 << 20) + (3 - k) * 4096}]})


# Run in a process of its own, under a standing limit on its address space set before anything
# big is mapped (python, numpy and ophel map about 60 MB): on every core (the default
# configuration), the big model's sections need more device memory than the card may commit
# (1 GiB) and, under the lower limits, more host memory than the process may map. Its launch fails;
# the card gives back what it took, so that the demo model then launches and infers on the same
# Accelerator with the limit still in place.
LAUNCH_SHORT_OF_MEMORY = r"""
import resource
import sys

import numpy as np

import ophel

limit, big, demo = int(sys.argv[1]), sys.argv[2], sys.argv[3]
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))


def mapped():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))


acc = ophel.Accelerator()
model = ophel.Model(big)
before = mapped()
try:
    model.launch(acc)
    print("outcome: launched")
except ophel.OphelError as error:
    print("outcome:", str(error).splitlines()[0])
print("kept mapped:", mapped() - before)
second = ophel.Model(demo)
second.launch(acc)
x = np.arange(-8, 8, dtype=np.float32).reshape(1, 1, 16)
scores, prob = (np.asarray(y).reshape(16) for y in second.infer([x]))
e = np.exp(scores - scores.max())
print("second:", np.array_equal(scores, 2 * x.reshape(16) + 1) and np.allclose(prob, e / e.sum(), rtol=1e-5))
"""


@pytest.mark.parametrize("limit, card_line", [(400_000_000, True), (900_000_000, True), (1_200_000_000, False)],
                         ids=["400MB", "900MB", "1.2GB"])
def test_a_launch_the_host_has_no_memory_for_raises_and_the_next_launch_runs_under_the_same_limit(
        make_model, limit, card_line):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(ophel.__file__))
    env.pop("OPHEL_SIM_MEMORY_CAP", None)  # the card's own cap: 1 GiB
    env.pop("OPHEL_SIM_CARDS", None)
    demo = make_model(ROOT / "examples" / "demo_model.json")
    run = subprocess.run([sys.executable, "-c", LAUNCH_SHORT_OF_MEMORY, str(limit),
                          make_model("two_variants", zeros_of_2_gib), demo],
                         capture_output=True, text=True, env=env, timeout=240)
    assert run.returncode == 0, run.stdout + run.stderr
    # The card refuses the transfer it has no pages for (or, at 1.2 GB, the one past its cap); an
    # allocation of the run-time that meets the limit first gives BadAlloc.
    assert re.search(r"^outcome: (Driver_FailedToWriteMemoryBuffer|BadAlloc) occurred\.$", run.stdout, re.M), run.stdout
    if "Driver_FailedToWriteMemoryBuffer" in run.stdout:
        card = "Simulated card: no host memory for the pages of a write of 1048576 bytes at 0x"
        assert (card in run.stdout) == card_line, run.stdout
        assert "Failed to write a section binary to device memory: 0 of 1048576 bytes at 0x" in run.stdout
    # What the failed launch took left the address space.
    kept = int(re.search(r"^kept mapped: (-?\d+)$", run.stdout, re.M).group(1))
    assert kept < 64 << 20, run.stdout
    assert "second: True" in run.stdout, run.stdout + run.stderr
    assert "Unreleased memory" not in run.stdout + run.stderr


def test_classes_keep_the_default_repr(accelerator, make_model):
    model = ophel.Model(make_model("two_variants"))
    objects = [ophel.Scale(), ophel.CoreId(), ophel.Buffer(), ophel.BufferInfo(), ophel.ModelConfig(),
               ophel.CacheInfo(), accelerator, model, model.get_model_variant_handle(0), ophel.FutureFloat(),
               ophel.FutureInt8()]
    for obj in objects:
        name = type(obj).__name__
        assert "__repr__" not in vars(type(obj)), name
        assert re.fullmatch(rf"<ophel\.{name} object at 0x[0-9a-f]+>", repr(obj)), repr(obj)
        assert str(obj) == repr(obj)


def test_model_summary(make_model, tmp_path):
    path = make_model("two_variants")
    summary = ophel.get_model_summary(path)
    assert path in summary and "Taliss2" in summary
    assert all(len(line) == 89 for line in summary.splitlines() if line.startswith("+"))
    assert ophel.get_model_summary(str(tmp_path / "missing.zrb")) == ""
    with pytest.raises(TypeError):
        ophel.get_model_summary(None)
