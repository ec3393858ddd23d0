"""Model and Accelerator from Python: creation, launch and dispose, the description queries,
readable reprs, strict argument types at the call sites, and the model summary."""
import gc

import numpy as np
import pytest

import ophel
from conftest import config_of, values


def test_accelerators_open_by_card_index():
    acc = ophel.Accelerator(0)
    assert all(type(c) is ophel.CoreId for c in acc.get_available_cores())
    assert repr(acc) == f"<ophel.Accelerator card 0: {len(acc.get_available_cores())} free cores>"
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


def test_reprs_are_readable(make_model):
    core = ophel.CoreId()
    core.cluster, core.core = ophel.Cluster.Cluster1, ophel.Core.Core2
    assert repr(core) == "CoreId(cluster=Cluster.Cluster1, core=Core.Core2)"
    scale = ophel.Scale()
    scale.scale_list, scale.scale = [1.0, 0.5], 0.25
    assert repr(scale) == "Scale(scale=0.25, is_uniform=False, scale_list=[1.0, 0.5])"
    info = ophel.BufferInfo()
    info.height, info.width, info.channel, info.max_cache_size = 2, 3, 64, 9
    assert repr(info) == ("BufferInfo(original_shape=(0, 0, 0), reshaped_shape=(0, 0, 0), shape=(2, 3, 64), "
                          "max_height=0, max_width=0, max_channel=0, max_cache_size=9)")
    cache = ophel.CacheInfo()
    cache.name, cache.size = "kv_0", 32
    assert repr(cache) == "CacheInfo(name='kv_0', cache_type=CacheType.Error, layer_hash='', size=32, num_batches=0)"
    config = ophel.ModelConfig()
    config.set_single_core_mode([core])
    config.set_async_pipeline_enabled(True)
    assert repr(config) == ("ModelConfig(core_mode=CoreMode.Single, core_allocation_policy=CoreAllocationPolicy.Manual, "
                            "cores=[Cluster1/Core2], forced_npu_bundle_index=-1, async_pipeline_enabled=True)")
    path = make_model("two_variants")
    assert repr(ophel.Model(path, config)) == f"<ophel.Model {path!r}: 2 variants, CoreMode.Single on [Cluster1/Core2]>"


def test_model_summary(make_model, tmp_path):
    path = make_model("two_variants")
    summary = ophel.get_model_summary(path)
    assert path in summary and "Taliss2" in summary
    assert all(len(line) == 89 for line in summary.splitlines() if line.startswith("+"))
    assert ophel.get_model_summary(str(tmp_path / "missing.zrb")) == ""
    with pytest.raises(TypeError):
        ophel.get_model_summary(None)
