"""Scale, CoreId, Buffer, BufferInfo and CacheInfo."""
import pickle

import numpy as np
import pytest

import ophel

CLASSES = [ophel.Scale, ophel.CoreId, ophel.Buffer, ophel.BufferInfo, ophel.ModelConfig, ophel.CacheInfo]


@pytest.mark.parametrize("cls", CLASSES, ids=[c.__name__ for c in CLASSES])
def test_no_extra_attributes_and_no_pickling(cls):
    obj = cls()
    with pytest.raises(AttributeError):
        obj.unknown = 1
    with pytest.raises(TypeError):
        pickle.dumps(obj)
    with pytest.raises(TypeError):
        cls("1")


def test_scale_lists_are_copies_and_index_is_checked():
    scale = ophel.Scale()
    assert (scale.scale_list, scale.scale, scale.is_uniform) == ([], 0.0, False)
    scale.scale_list = [0.5, 0.25, 2.0]
    scale.scale_list.append(9.0)
    assert scale.scale_list == [0.5, 0.25, 2.0]
    assert [scale[i] for i in range(3)] == [0.5, 0.25, 2.0]
    for bad in (3, -1, 2**31 - 1):
        with pytest.raises(IndexError):
            scale[bad]
    with pytest.raises(TypeError):
        scale[2**31]
    scale.is_uniform = True
    scale.scale = 0.125
    assert scale[0] == scale[1000] == 0.125
    scale.scale = 0.1
    assert scale.scale == pytest.approx(0.1) and scale.scale != 0.1  # kept as a 32-bit float


def core_id(cluster, core):
    c = ophel.CoreId()
    c.cluster, c.core = cluster, core
    return c


def test_core_id_comparison_order_and_fields_read_as_values():
    a = ophel.CoreId()
    cluster = a.cluster
    a.cluster = ophel.Cluster.Cluster1
    assert cluster == ophel.Cluster.Error and a.cluster == ophel.Cluster.Cluster1
    assert ophel.CoreId().core == ophel.Core.Error  # a value read from a dropped owner stays usable
    assert ophel.CoreId() == ophel.CoreId() and not (ophel.CoreId() != ophel.CoreId())
    assert a != 5 and not (a == "x")
    for bad in (lambda: a < 5, lambda: hash(a)):
        with pytest.raises(TypeError):
            bad()
    C, K = ophel.Cluster, ophel.Core
    ids = [core_id(C.Cluster1, K.Core0), core_id(C.Cluster0, K.Core3), core_id(C.Cluster0, K.Core1),
           core_id(C.Error, K.Core0)]
    assert [(c.cluster, c.core) for c in sorted(ids)] == [
        (C.Cluster0, K.Core1), (C.Cluster0, K.Core3), (C.Cluster1, K.Core0), (C.Error, K.Core0)]


def test_buffer_size_is_an_unsigned_64_bit_count():
    buffer = ophel.Buffer()
    buffer.size = 2**64 - 1
    assert buffer.size == 2**64 - 1
    for bad in (-1, 2**64, 1.0, "1"):
        with pytest.raises(TypeError):
            buffer.size = bad


def test_set_buffer_refuses_short_arrays_and_missing_memory():
    buffer = ophel.Buffer()
    buffer.set_buffer(np.zeros(0, dtype=np.int8))  # nothing to copy
    buffer.size = 8
    with pytest.raises(ValueError, match="4 bytes, fewer than the buffer's size 8"):
        buffer.set_buffer(np.zeros(4, dtype=np.int8))
    # Converted arrays count by their int8 length: four floats are four bytes.
    with pytest.raises(ValueError, match="4 bytes"):
        buffer.set_buffer(np.zeros(4, dtype=np.float32))
    with pytest.raises(ValueError, match="no memory"):
        buffer.set_buffer(np.zeros(8, dtype=np.int8))
    with pytest.raises(ValueError, match="no memory"):
        buffer.set_buffer(np.zeros((4, 4), dtype=np.int8)[:, ::2])
    with pytest.raises(TypeError):
        buffer.set_buffer(None)


def test_buffer_info_fields_sizes_and_shapes():
    info = ophel.BufferInfo()
    fields = ["original_height", "original_width", "original_channel", "reshaped_height", "reshaped_width",
              "reshaped_channel", "height", "width", "channel", "max_height", "max_width", "max_channel",
              "max_cache_size"]
    assert all(getattr(info, f) == 0 for f in fields)
    for value, f in enumerate(fields, start=1):
        setattr(info, f, value)
    assert [getattr(info, f) for f in fields] == list(range(1, 14))
    assert (info.original_shape(), info.original_shape_chw()) == ((1, 2, 3), (3, 1, 2))
    assert (info.reshaped_shape(), info.reshaped_shape_chw()) == ((4, 5, 6), (6, 4, 5))
    assert (info.shape(), info.shape_chw()) == ((7, 8, 9), (9, 7, 8))
    assert (info.original_size(), info.reshaped_size(), info.size()) == (6, 120, 504)
    info.height, info.width, info.channel = 2**32 - 1, 3, 2
    assert info.size() == (2**32 - 1) * 6  # no 32-bit wrap
    for bad in (-1, 2**32):
        with pytest.raises(TypeError):
            info.height = bad


def test_cache_info_defaults_and_fields():
    info = ophel.CacheInfo()
    assert (info.cache_type, info.name, info.layer_hash, info.size, info.num_batches) == (
        ophel.CacheType.Error, "", "", 0, 0)
    cache_type = info.cache_type
    info.cache_type, info.size = ophel.CacheType.Batch, 2**64 - 1
    assert (cache_type, info.cache_type, info.size) == (ophel.CacheType.Error, ophel.CacheType.Batch, 2**64 - 1)
    with pytest.raises(TypeError):
        info.num_batches = -1
