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


def state(config):
    return (config.get_core_mode(), config.get_core_allocation_policy(), pairs(config), config.get_num_cores(),
            config.get_forced_npu_bundle_index())


def test_defaults():
    config = ophel.ModelConfig()
    assert state(config)[:2] == (ophel.CoreMode.Single, ophel.CoreAllocationPolicy.Manual)
    assert len(pairs(config)) == config.get_num_cores() == 8 and config.core_ids == sorted(config.core_ids)
    assert (config.get_forced_npu_bundle_index(), config.get_async_pipeline_enabled()) == (-1, False)
    assert (config.schedule_policy, config.early_latencies, config.finish_latencies) == (
        ophel.SchedulePolicy.FIFO, [], [])


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


def test_modes_take_counts_core_lists_or_cluster_sequences():
    config = ophel.ModelConfig()
    assert config.set_single_core_mode(2) is True
    assert state(config)[1:4] == (ophel.CoreAllocationPolicy.Auto, [], 2)
    wanted = [core_id(Cluster.Cluster1, Core.Core1), core_id(Cluster.Cluster0, Core.Core3)]
    assert config.set_single_core_mode(wanted) is True
    assert pairs(config) == [(Cluster.Cluster0, Core.Core3), (Cluster.Cluster1, Core.Core1)]
    assert config.set_single_core_mode(tuple(wanted[:1])) is True
    assert config.set_global4_core_mode((Cluster.Cluster1,)) is True
    assert config.get_core_mode() == ophel.CoreMode.Global4
    assert config.set_global8_core_mode() is True
    assert {cluster for cluster, _ in pairs(config)} == {Cluster.Cluster0, Cluster.Cluster1}
    for bad in (1.5, "2", [1, 2], None):
        with pytest.raises(TypeError):
            config.set_single_core_mode(bad)
    with pytest.raises(TypeError):
        config.set_multi_core_mode([0x10000])


def test_refusals_return_false_and_change_nothing():
    config = ophel.ModelConfig()
    before = state(config)
    for refuse in (lambda: config.set_single_core_mode(1000), lambda: config.set_single_core_mode([ophel.CoreId()]),
                   lambda: config.set_global4_core_mode([Cluster.Cluster0, Cluster.Error]),
                   lambda: config.force_single_npu_bundle(-2)):
        assert refuse() is False
    assert state(config) == before


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
    assert policy == ophel.SchedulePolicy.FIFO
    assert config.schedule_policy == ophel.SchedulePolicy.ByPriority
    with pytest.raises(TypeError):
        config.schedule_policy = ophel.LatencySetPolicy.Manual


@pytest.mark.parametrize("level, shown", [(ophel.LogLevel.WARN, {"deprecated", "num_cores"}),
                                          (ophel.LogLevel.ERR, {"num_cores"}), (ophel.LogLevel.OFF, set())])
def test_deprecated_members_warn_unless_the_log_level_hides_them(capfd, level, shown):
    try:
        ophel.set_log_level(level)
        capfd.readouterr()
        config = ophel.ModelConfig(2)
        assert config.get_num_cores() == 2
        assert config.set_single_core_mode(0) is False
        assert config.set_manual_mode() is True
        assert config.get_core_allocation_policy() == ophel.CoreAllocationPolicy.Manual
        out = capfd.readouterr()
        assert {word for word in ("deprecated", "num_cores") if word in out.out + out.err} == shown
    finally:
        ophel.set_log_level(ophel.LogLevel.INFO)
