"""The enumerations are strict: no integers, no ordering, no cross-type equality."""
import pickle

import pytest

import ophel

I32, U8, I8 = (-(2**31), 2**31 - 1), (0, 255), (-128, 127)
# (enumeration, members in registration order with their values, range of the underlying integer)
TABLE = [
    (ophel.Cluster, [("Cluster0", 0x10000), ("Cluster1", 0x20000), ("Error", 0x7FFF0000)], I32),
    (ophel.Core, [("Core0", 1), ("Core1", 2), ("Core2", 3), ("Core3", 4), ("All", 0xFFFC),
                  ("GlobalCore", 0xFFFE), ("Error", 0xFFFF)], I32),
    (ophel.CollaborationModel, [("Unified", 0), ("Separated", 1), ("Undefined", 2)], I32),
    (ophel.CoreStatus, [("Vacant", 0), ("Ready", 1), ("Idle", 2), ("Running", 3)], I32),
    (ophel.SchedulePolicy, [("FIFO", 0), ("LIFO", 1), ("ByPriority", 2), ("Undefined", 3)], I32),
    (ophel.LatencySetPolicy, [("Auto", 0), ("Manual", 1)], I32),
    (ophel.MaintenancePolicy, [("Maintain", 0), ("DropExpired", 1), ("Undefined", 2)], I32),
    (ophel.InferenceResult, [("Successful", 0), ("Expired", 1), ("Unexpected", 2)], I32),
    (ophel.CoreAllocationPolicy, [("Auto", 0), ("Manual", 1)], I32),
    (ophel.CoreMode, [("Single", 0), ("Multi", 1), ("Global", 2), ("Global4", 3), ("Global8", 4), ("Error", 15)], U8),
    (ophel.LogLevel, [("DEBUG", 1), ("INFO", 2), ("WARN", 3), ("ERR", 4), ("FATAL", 5), ("OFF", 6)], I8),
    (ophel.CacheType, [("Default", 0), ("Batch", 1), ("Error", 15)], U8),
]
ENUMS = [row[0] for row in TABLE]


@pytest.mark.parametrize("enum, members, width", TABLE, ids=[e.__name__ for e in ENUMS])
def test_members_values_and_width(enum, members, width):
    low, high = width
    assert [(name, int(m)) for name, m in enum.__members__.items()] == members
    for name, value in members:
        member = getattr(enum, name)
        assert member.value == value and member.__index__() == value and member.name == name
        assert enum(value) == member
        assert pickle.loads(pickle.dumps(member)) == member
    assert int(enum(low)) == low and int(enum(high)) == high
    with pytest.raises(TypeError):
        enum(high + 1)
    with pytest.raises(TypeError):
        enum(low - 1)


@pytest.mark.parametrize("enum", ENUMS, ids=[e.__name__ for e in ENUMS])
def test_no_integer_equality_ordering_or_arithmetic(enum):
    first, second = list(enum.__members__.values())[:2]
    assert first != int(first) and not (first == int(first))
    assert first != second
    for op in (lambda a, b: a < b, lambda a, b: a <= b, lambda a, b: a > b, lambda a, b: a + b, lambda a, b: a | b):
        with pytest.raises(TypeError):
            op(first, second)
    assert hash(first) == hash(enum(int(first)))


def test_members_of_two_enumerations_never_compare_equal():
    assert ophel.LatencySetPolicy.Auto != ophel.CoreAllocationPolicy.Auto
    assert ophel.SchedulePolicy.Undefined != ophel.CoreStatus.Running  # both 3
    assert ophel.CoreMode.Error != ophel.CacheType.Error
    assert ophel.Core.Core0 != 1


def test_value_without_member_is_unnamed_and_equals_no_member():
    odd = ophel.Core(7)
    assert odd.name == "???"
    assert all(odd != m for m in ophel.Core.__members__.values())
    assert pickle.loads(pickle.dumps(odd)) == odd


def test_integers_do_not_convert_to_enumerations():
    core_id = ophel.CoreId()
    with pytest.raises(TypeError):
        core_id.core = 1
    with pytest.raises(TypeError):
        core_id.cluster = ophel.Core.Core0
