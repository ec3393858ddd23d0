"""Import, module layout, version attributes and the OphelError class."""
import os
import re
import sys
import sysconfig

import pytest

import ophel


def test_module_is_built_for_this_interpreter():
    # The import itself passed the version guard; the file name says which
    # interpreter series the module was compiled for.
    assert os.path.basename(ophel.__file__) == "ophel" + sysconfig.get_config_var("EXT_SUFFIX")
    assert "cpython-%d%d" % sys.version_info[:2] in ophel.__file__


def test_members_are_registered_in_definition_order():
    assert [n for n in vars(ophel) if not n.startswith("__")] == [
        "Cluster", "Core", "CollaborationModel", "CoreStatus", "SchedulePolicy", "LatencySetPolicy",
        "MaintenancePolicy", "InferenceResult", "CoreAllocationPolicy", "Scale", "CoreId", "Buffer", "CoreMode",
        "BufferInfo", "ModelConfig", "LogLevel", "set_log_level", "CacheType", "CacheInfo", "start_tracing_events",
        "stop_tracing_events", "get_model_summary", "version", "Accelerator", "NDArrayFloat", "NDArrayInt8",
        "FutureFloat", "FutureInt8", "Model", "ModelVariantHandle", "OphelError"]


def test_version_attributes_and_submodule():
    assert re.fullmatch(r"v\d+\.\d+\.\d+", ophel.__version__)
    assert ophel.version.__version__ == ophel.__version__
    assert re.fullmatch(r"[0-9a-f]{8}", ophel.version.__git_version__)
    assert ophel.version.__name__ == "ophel.version"
    assert sys.modules["ophel.version"] is ophel.version


def test_ophel_error_is_a_runtime_error_of_module_ophel():
    assert (ophel.OphelError.__module__, ophel.OphelError.__name__) == ("ophel", "OphelError")
    with pytest.raises(RuntimeError) as caught:
        raise ophel.OphelError("Model_NotLaunched occurred.")
    assert caught.value.args == ("Model_NotLaunched occurred.",)


def test_enumeration_members_are_not_exported():
    for name in ("Cluster0", "Core0", "GlobalCore", "Single", "Global8", "DEBUG", "OFF", "FIFO", "Batch"):
        assert not hasattr(ophel, name)

