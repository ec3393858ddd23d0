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


MODEL_MEMBERS = [
    "launch", "dispose", "is_target", "get_core_mode", "target_cores", "infer", "infer_chw", "infer_to_float",
    "infer_chw_to_float", "infer_buffer", "infer_speedrun", "infer_async", "infer_async_chw", "infer_async_to_float",
    "infer_async_chw_to_float", "reposition_inputs", "reposition_outputs", "get_num_model_variants",
    "get_model_variant_handle", "get_model_input_shape", "get_model_output_shape", "get_input_scale",
    "get_output_scale", "get_input_buffer_info", "get_output_buffer_info", "acquire_input_buffer",
    "acquire_output_buffer", "release_buffer", "get_identifier", "get_model_path", "get_cache_infos",
    "get_schedule_policy", "get_latency_set_policy", "get_maintenance_policy", "get_latency_consumed",
    "get_latency_finished", "reset_cache_memory", "dump_cache_memory", "load_cache_memory", "filter_cache_tail",
    "move_cache_tail"]


@pytest.mark.parametrize("cls, names", [
    (ophel.Model, MODEL_MEMBERS),
    (ophel.ModelVariantHandle, [
        "get_variant_idx", "get_model_input_shape", "get_model_output_shape", "get_input_buffer_info",
        "get_output_buffer_info", "get_input_scale", "get_output_scale", "acquire_input_buffer",
        "acquire_output_buffer", "release_buffer", "reposition_inputs", "reposition_outputs"]),
    (ophel.Accelerator, ["get_available_cores"]),
    (ophel.FutureFloat, ["wait_for", "get"]),
])
def test_class_members_are_registered_in_definition_order(cls, names):
    assert [n for n in vars(cls) if not n.startswith("_")] == names


@pytest.mark.parametrize("member, result", [
    (ophel.Model.infer, "cache_size: int = 0) -> List[ophel.NDArrayFloat]"),
    (ophel.Model.infer_chw_to_float, "-> List[ophel.NDArrayFloat]"),
    (ophel.FutureInt8.get, "-> List[ophel.NDArrayInt8]"),
    (ophel.Model.get_model_output_shape, "-> List[tuple]"),
    (ophel.ModelVariantHandle.get_model_input_shape, "-> List[tuple]"),
    (ophel.Model.dump_cache_memory, "-> List[numpy.ndarray[numpy.int8]]"),
])
def test_signatures_name_the_result_elements(member, result):
    assert result in member.__doc__


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

