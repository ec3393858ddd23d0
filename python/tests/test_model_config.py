"""ModelConfig: overloads chosen by argument type, refusals, list and enum fields."""
import pytest

import ophel

Cluster, Core = ophel.Cluster, ophel.Core


def core_id(cluster, core):
    c = ophel.CoreId()
    c.cluster, c.core = cluster, core
    return c


def pairs(config):
    return [(c.cluster, c.core) for c in config.core_ids]


def test_default_configuration_is_single_core_over_local_cores():
    config = ophel.ModelConfig()
    assert config.get_core_mode() == ophel.CoreMode.Single
    assert config.get_core_allocation_policy() == ophel.CoreAllocationPolicy.Manual
    ids = config.core_ids
    assert ids and ids == sorted(ids)
    assert all(c.core not in (Core.GlobalCore, Core.All, Core.Error) for c in ids)
    assert config.get_num_cores() == len(ids)
    assert config.get_forced_npu_bundle_index() == -1
    assert config.get_async_pipeline_enabled() is False
    assert (config.schedule_policy, config.latency_set_policy, config.maintenance_policy) == (
        ophel.SchedulePolicy.FIFO, ophel.LatencySetPolicy.Auto, ophel.MaintenancePolicy.Maintain)
    assert (config.early_latencies, config.finish_latencies) == ([], [])


def test_include_and_exclude_pick_the_overload_by_enumeration_type():
    config = ophel.ModelConfig()
    assert config.exclude_all_cores() is True and config.core_ids == []
    assert config.include(Cluster.Cluster1) is True
    assert pairs(config) and all(cluster == Cluster.Cluster1 for cluster, _ in pairs(config))
    assert config.exclude(Cluster.Cluster1) is True and config.core_ids == []
    assert config.include(Core.Core2) is True  # the Core overload means Cluster0
    assert config.include(Cluster.Cluster1, Core.Core3) is True
    assert pairs(config) == [(Cluster.Cluster0, Core.Core2), (Cluster.Cluster1, Core.Core3)]
    assert config.exclude(Core.Core2) is True
    assert pairs(config) == [(Cluster.Cluster1, Core.Core3)]
    assert config.include(Cluster.Error, Core.Core0) is False
    for bad in ((1,), (Core.Core0, Cluster.Cluster0), ("Cluster0",)):
        with pytest.raises(TypeError):
            config.include(*bad)


def test_single_core_mode_count_or_core_list():
    config = ophel.ModelConfig()
    assert config.set_single_core_mode(2) is True
    assert config.get_core_allocation_policy() == ophel.CoreAllocationPolicy.Auto
    assert (config.get_num_cores(), config.core_ids) == (2, [])
    wanted = [core_id(Cluster.Cluster1, Core.Core1), core_id(Cluster.Cluster0, Core.Core3)]
    assert config.set_single_core_mode(wanted) is True
    assert config.get_core_allocation_policy() == ophel.CoreAllocationPolicy.Manual
    assert pairs(config) == [(Cluster.Cluster0, Core.Core3), (Cluster.Cluster1, Core.Core1)]
    assert config.set_single_core_mode(tuple(wanted[:1])) is True
    for bad in (1.5, "2", [1, 2], None):
        with pytest.raises(TypeError):
            config.set_single_core_mode(bad)


def test_refusals_return_false_and_change_nothing():
    config = ophel.ModelConfig()
    before = (config.get_core_mode(), config.get_core_allocation_policy(), pairs(config), config.get_num_cores())
    refusals = [
        lambda: config.set_single_core_mode(0),
        lambda: config.set_single_core_mode(-1),
        lambda: config.set_single_core_mode(1000),
        lambda: config.set_single_core_mode([]),
        lambda: config.set_single_core_mode([ophel.CoreId()]),
        lambda: config.set_single_core_mode([core_id(Cluster.Cluster0, Core.GlobalCore)]),
        lambda: config.set_multi_core_mode([]),
        lambda: config.set_multi_core_mode([Cluster.Error]),
        lambda: config.set_global4_core_mode([Cluster.Cluster0, Cluster.Error]),
        lambda: config.force_single_npu_bundle(-2),
    ]
    for refuse in refusals:
        assert refuse() is False
    after = (config.get_core_mode(), config.get_core_allocation_policy(), pairs(config), config.get_num_cores())
    assert after == before
    assert config.get_forced_npu_bundle_index() == -1


def test_cluster_modes():
    config = ophel.ModelConfig()
    assert config.set_multi_core_mode([Cluster.Cluster0, Cluster.Cluster0]) is True
    assert config.get_core_mode() == ophel.CoreMode.Multi
    assert pairs(config) and all(cluster == Cluster.Cluster0 for cluster, _ in pairs(config))
    assert config.set_global4_core_mode((Cluster.Cluster1,)) is True
    assert config.get_core_mode() == ophel.CoreMode.Global4
    assert config.set_global8_core_mode() is True
    assert config.get_core_mode() == ophel.CoreMode.Global8
    assert {cluster for cluster, _ in pairs(config)} == {Cluster.Cluster0, Cluster.Cluster1}
    with pytest.raises(TypeError):
        config.set_multi_core_mode([0x10000])
    assert config.force_single_npu_bundle(3) is True and config.get_forced_npu_bundle_index() == 3
    config.set_async_pipeline_enabled(True)
    assert config.get_async_pipeline_enabled() is True


def test_core_ids_and_latency_lists_are_copies():
    config = ophel.ModelConfig()
    ids = config.core_ids
    ids[0].cluster = Cluster.Error
    ids.clear()
    assert config.core_ids and config.core_ids[0].cluster != Cluster.Error
    held = config.core_ids
    assert config.set_single_core_mode([core_id(Cluster.Cluster1, Core.Core0)]) is True
    assert len(held) > 1  # an earlier read does not follow the configuration
    with pytest.raises(AttributeError):
        config.core_ids = []

    config.early_latencies.append(5)
    assert config.early_latencies == []
    config.early_latencies = [1, 2**64 - 1]
    config.finish_latencies = [7]
    assert (config.early_latencies, config.finish_latencies) == ([1, 2**64 - 1], [7])
    for bad in ([-1], [2**64], [1.0]):
        with pytest.raises(TypeError):
            config.finish_latencies = bad


def test_policies_are_read_as_values():
    config = ophel.ModelConfig()
    policy = config.schedule_policy
    config.schedule_policy = ophel.SchedulePolicy.ByPriority
    config.latency_set_policy = ophel.LatencySetPolicy.Manual
    config.maintenance_policy = ophel.MaintenancePolicy.DropExpired
    assert policy == ophel.SchedulePolicy.FIFO
    assert (config.schedule_policy, config.latency_set_policy, config.maintenance_policy) == (
        ophel.SchedulePolicy.ByPriority, ophel.LatencySetPolicy.Manual, ophel.MaintenancePolicy.DropExpired)
    with pytest.raises(TypeError):
        config.schedule_policy = ophel.LatencySetPolicy.Manual


def test_deprecated_members_warn_unless_the_log_level_hides_them(capfd):
    try:
        ophel.set_log_level(ophel.LogLevel.WARN)
        capfd.readouterr()
        config = ophel.ModelConfig(2)
        assert config.get_num_cores() == 2
        assert config.set_auto_mode(1) is True
        out = capfd.readouterr()
        assert (out.out + out.err).count("deprecated") == 2

        ophel.set_log_level(ophel.LogLevel.ERR)
        assert config.set_auto_mode(1) is True
        assert config.set_single_core_mode(0) is False
        out = capfd.readouterr()
        text = out.out + out.err
        assert "deprecated" not in text and "num_cores" in text

        ophel.set_log_level(ophel.LogLevel.OFF)
        assert config.set_single_core_mode(0) is False
        assert config.set_manual_mode() is True
        assert config.get_core_allocation_policy() == ophel.CoreAllocationPolicy.Manual
        out = capfd.readouterr()
        assert out.out + out.err == ""
    finally:
        ophel.set_log_level(ophel.LogLevel.INFO)
