"""Host layers against numpy references of their recipes. Every run also
checks that the layer left its input arrays as they were."""

import json
import math

import numpy as np
import pytest

import cpu_ops_testmod as ops

OK, NOT_IMPLEMENTED, PREDICT_ERROR = 0, 18, 36
INT64_MAX, INT64_MIN = 2**63 - 1, -(2**63)

rng = np.random.default_rng(1234)


def run(layer_type, inputs, src_shape=(), run_as="", **attrs):
    desc = {"layerName": "L", "layerType": layer_type, "inputList": [f"in{i}" for i in range(len(inputs))],
            "outputList": ["out"], "isUnsupported": True, "srcShape": list(src_shape), "removeActList": []}
    desc.update(attrs)
    before = [a.copy() for a in inputs]
    described, status, out = ops.run(json.dumps(desc), inputs, run_as)
    assert described == OK
    for a, b in zip(inputs, before):
        np.testing.assert_array_equal(a, b)
    return status, out


def ok(layer_type, inputs, src_shape=(), run_as="", **attrs):
    status, out = run(layer_type, inputs, src_shape, run_as, **attrs)
    assert status == OK
    assert out is not None, "status OK without a result"
    return out


def data(shape, dtype="float32"):
    """Distinct values, so that orders and selections are unambiguous."""
    n = int(np.prod(shape))
    return (rng.permutation(n) - n // 3).astype(dtype).reshape(shape)


# ---- element-wise and simple layers -------------------------------------------------

def erf(x):
    return np.vectorize(math.erf, otypes=[np.float64])(x)


def softplus(x):
    return np.log(np.exp(x) + 1)


def hardswish(x):
    return np.minimum(np.maximum(x + 3, 0), 6) * x / 6


def mixed(shape, seed):
    """Values with zeros, repeats and both signs, for the logical and
    comparison rows."""
    return np.random.default_rng(seed).integers(-2, 3, size=shape).astype(np.float32)


POSITIVE = lambda shape: np.abs(data(shape)) + 0.5
# (type, input makers, numpy reference, extra attributes, type the description is read as). Rows of types the
# description refuses (Erf, HardSwish) are read as another type and then run under their own text.
HOST_ROWS = [
    ("Sigmoid", [data], lambda x: 1 / (1 + np.exp(-x)), {}, ""),
    ("Tanh", [data], np.tanh, {}, ""),
    ("Exp", [lambda s: data(s) / 10], np.exp, {}, ""),
    ("Log", [POSITIVE], np.log, {}, ""),
    ("Sqrt", [POSITIVE], np.sqrt, {}, ""),
    ("Abs", [data], np.abs, {}, ""),
    ("Not", [lambda s: mixed(s, 1)], np.logical_not, {}, ""),
    ("Erf", [lambda s: data(s) / 8], erf, {}, "Sigmoid"),
    ("Softplus", [lambda s: data(s) / 4], softplus, {}, ""),
    ("HardSwish", [lambda s: data(s) / 2], hardswish, {}, "Sigmoid"),
    ("Div", [data, POSITIVE], np.divide, {}, ""),
    ("Sub", [data, data], np.subtract, {}, ""),
    ("Multiply", [data, data], np.multiply, {}, ""),
    ("MultiplyConstant", [data], lambda x: x * np.array([[2.0, -0.5, 3.0]], dtype=np.float32),
     {"constant": [2.0, -0.5, 3.0], "constant_shape": [1, 3]}, ""),
    ("And", [lambda s: mixed(s, 2), lambda s: mixed(s, 3)], np.logical_and, {}, ""),
    ("Or", [lambda s: mixed(s, 4), lambda s: mixed(s, 5)], np.logical_or, {}, ""),
    ("Xor", [lambda s: mixed(s, 6), lambda s: mixed(s, 7)], np.logical_xor, {}, ""),
    ("Equal", [lambda s: mixed(s, 8), lambda s: mixed(s, 9)], np.equal, {}, ""),
    ("Greater", [lambda s: mixed(s, 10), lambda s: mixed(s, 11)], np.greater, {}, ""),
]


@pytest.mark.parametrize("layer_type,makers,reference,attrs,read_as", HOST_ROWS, ids=[r[0] for r in HOST_ROWS])
def test_host_rows_compute_their_operation(layer_type, makers, reference, attrs, read_as):
    inputs = [make((4, 3)) for make in makers]
    out = ok(read_as or layer_type, inputs, run_as=layer_type if read_as else "", **attrs)
    expect = reference(*inputs)
    assert out.shape == expect.shape
    if expect.dtype == bool:
        assert out.dtype == np.bool_
        np.testing.assert_array_equal(out, expect)
    else:
        assert out.dtype == np.float32
        np.testing.assert_allclose(out, expect, rtol=2e-6, atol=1e-7)


@pytest.mark.parametrize("first", [False, True])
def test_constant_operands_follow_is_const_first(first):
    x = np.abs(data((2, 3))) + 1
    c = np.array([[2.0, 4.0, 8.0]], dtype=np.float32)
    attrs = {"constant": c.ravel().tolist(), "constant_shape": list(c.shape), "is_const_first": first}
    np.testing.assert_allclose(ok("DivConstant", [x], **attrs), c / x if first else x / c, rtol=1e-6)
    np.testing.assert_allclose(ok("SubConstant", [x], **attrs), c - x if first else x - c)
    np.testing.assert_array_equal(ok("Less", [x], **attrs), c < x if first else x < c)


@pytest.mark.parametrize("fmod", [0, 1])
def test_mod_sign_follows_divisor_or_dividend(fmod):
    a = np.array([-7, -3, 3, 7], dtype=np.float32)
    b = np.array([3, -2, -2, 3], dtype=np.float32)
    expect = np.fmod(a, b) if fmod else np.remainder(a, b)
    np.testing.assert_array_equal(ok("Mod", [a, b], fmod=fmod), expect)


def test_where_takes_a_constant_condition():
    x, y = data((2, 3)), data((2, 3))
    cond = [1.0, 0.0, 1.0]
    out = ok("Where", [x, y], constant=cond, is_const_first=True)
    np.testing.assert_array_equal(out, np.where(np.array(cond, dtype=bool), x, y))


def test_expand_concatenate_softmax_argmax_with_negative_axes():
    x = data((3, 1))
    for target in ([2, 3, 4], [3, 5], [1, 6], [2, 1, 1]):
        np.testing.assert_array_equal(ok("Expand", [x, np.array(target, dtype=np.int64)]),
                                      x * np.ones(target, dtype=x.dtype))
    a, b = data((2, 3)), data((2, 5))
    np.testing.assert_array_equal(ok("Concatenate", [a, b], axis=-1), np.concatenate([a, b], -1))
    # Other dimensions of size 1 broadcast to the first input's.
    row = data((1, 5))
    np.testing.assert_array_equal(ok("Concatenate", [a, row], axis=1),
                                  np.concatenate([a, np.broadcast_to(row, (2, 5))], 1))
    # A refused tensor operation gives no result and leaves the status to the caller.
    assert run("Concatenate", [a, data((3, 5))], axis=1) == (OK, None)
    s = data((2, 3, 4)) / 10
    e = np.exp(s - s.max(1, keepdims=True))
    np.testing.assert_allclose(ok("Softmax", [s], axis=-2), e / e.sum(1, keepdims=True), rtol=1e-5)
    np.testing.assert_array_equal(ok("ArgMax", [s], axis=-1, keepdims=True), s.argmax(-1)[..., None])
    assert run("Softmax", [s], axis=3)[0] == PREDICT_ERROR
    assert run("Concatenate", [a, b], axis=-3)[0] == PREDICT_ERROR


@pytest.mark.parametrize("axis", [-3, -2, -1, 0, 1, 2, 3])
def test_flatten_every_axis(axis):
    x = data((2, 3, 4))
    a = axis + 3 if axis < 0 else axis
    expect = x.reshape(int(np.prod(x.shape[:a])), -1)
    np.testing.assert_array_equal(ok("Flatten", [x], axis=axis), expect)


def test_transpose_tile_reverse_split_cast():
    x = data((2, 3, 4))
    np.testing.assert_array_equal(ok("Transpose", [x], perm=[2, 0, 1]), x.transpose(2, 0, 1))
    np.testing.assert_array_equal(ok("Transpose", [x], perm=[-1, 0, 1]), x.transpose(2, 0, 1))
    np.testing.assert_array_equal(ok("Tile", [x], repeats=[1, 2, 3]), np.tile(x, (1, 2, 3)))
    np.testing.assert_array_equal(ok("Reverse", [x], reverse_axes=[0, -1]), x[::-1, :, ::-1])
    x = data((2, 4, 3))
    for i, piece in enumerate(np.split(x, [1, 3], axis=1)):
        np.testing.assert_array_equal(ok("Split", [x], split=[1, 2, 1], axis=-2, split_index=i), piece)
    assert run("Split", [x], split=[1, 2, 1], axis=1, split_index=3)[0] == PREDICT_ERROR
    assert run("Split", [x], split=[1, 2, 1], axis=1, split_index=-1)[0] == PREDICT_ERROR
    out = ok("Cast", [x], data_type="int64")
    assert out.dtype == np.int64
    np.testing.assert_array_equal(out, x.astype(np.int64))


def test_squeeze_and_unsqueeze_with_negative_axes():
    x = data((2, 1, 3, 1))
    np.testing.assert_array_equal(ok("Squeeze", [x], axes=[-1, 1]), x.reshape(2, 3))
    y = data((2, 3))
    np.testing.assert_array_equal(ok("Unsqueeze", [y], axes=[0, -1]), y.reshape(1, 2, 3, 1))
    assert run("Squeeze", [x], axes=[4])[0] == PREDICT_ERROR
    assert run("Unsqueeze", [y], axes=[-4])[0] == PREDICT_ERROR


def test_nonzero_and_constant_of_shape():
    x = np.array([[0, 2, 0], [3, 0, 4]], dtype=np.int32)
    np.testing.assert_array_equal(ok("NonZero", [x]), np.array(np.nonzero(x)))
    out = ok("ConstantOfShape", [np.array([2, 3], dtype=np.int64)], value=True)
    np.testing.assert_array_equal(out, np.ones((2, 3), dtype=np.float32))


def test_normalisations_and_pow_take_their_attribute_tensors():
    x = data((2, 4, 3)) / 5
    scale, bias = [1.0, 2.0, 0.5, -1.0], [0.0, 1.0, -1.0, 2.0]
    norm = dict(scale_shape=[4], scale=scale, bias_shape=[4], bias=bias, epsilon=1e-3)
    g = x.reshape(2, 2, -1).astype(np.float64)
    g = ((g - g.mean(-1, keepdims=True)) / np.sqrt(g.var(-1, keepdims=True) + 1e-3)).reshape(x.shape)
    expect = g * np.array(scale)[:, None] + np.array(bias)[:, None]
    np.testing.assert_allclose(ok("GroupNormalization", [x], num_group=2, **norm), expect, rtol=1e-4, atol=1e-5)
    y = data((3, 4)) / 5
    ln = (y - y.mean(-1, keepdims=True)) / np.sqrt(y.var(-1, keepdims=True) + 1e-3)
    np.testing.assert_allclose(ok("LayerNormalization", [y], normalized_shape=[4], **norm),
                               ln * np.array(scale) + np.array(bias), rtol=1e-4, atol=1e-5)
    p = np.array([1, 2, 3, 2], dtype=np.float32)
    np.testing.assert_allclose(ok("Pow", [y], pow_shape=[4], pow=p.tolist()), np.power(y, p), rtol=1e-6)


# ---- Gather --------------------------------------------------------------------------

@pytest.mark.parametrize("axis", [-3, -2, -1, 0, 1, 2])
def test_gather_with_negative_indices(axis):
    x = data((3, 4, 5))
    d = x.shape[axis]
    idx = rng.integers(-d, d, size=6).astype(np.int64)
    expect = np.take(x, idx, axis=axis)
    np.testing.assert_array_equal(ok("Gather", [x, idx], expect.shape, axis=axis), expect)
    np.testing.assert_array_equal(
        ok("GatherConstant", [x], expect.shape, axis=axis, constant=idx.astype(float).tolist()), expect)


def test_gather_single_index_drops_the_axis():
    x = data((3, 4, 5))
    expect = np.take(x, -2, axis=1)
    np.testing.assert_array_equal(ok("Gather", [x, np.array([-2], dtype=np.int64)], expect.shape, axis=1), expect)


# ---- Slice ---------------------------------------------------------------------------

SLICES = [(1, 1000, 1), (1, -1, 1), (-3, INT64_MAX, 1), (-1, INT64_MIN, -1), (-2, -6, -2), (4, 0, -1),
          (-100, 100, 2), (3, 1, 1), (0, 5, 3), (100, -100, -3), (INT64_MIN, INT64_MAX, 1), (-1, -1000, -1),
          (1, -1000, 1), (0, -6, 2), (-2, INT64_MIN, 1), (0, -5, 1)]


def slice_reference(n, start, end, step):
    """Python's slice, except that a forward step reads an end before the
    dimension (below -n) as the dimension's end."""
    if step > 0 and end < -n:
        end = n
    return slice(start, end, step)


@pytest.mark.parametrize("start,end,step", SLICES)
def test_slice_one_axis(start, end, step):
    x = data((6, 5))
    out = ok("Slice", [x], axes=[-1], starts=[start], ends=[end], steps=[step])
    np.testing.assert_array_equal(out, x[:, slice_reference(5, start, end, step)])


def test_slice_several_axes_and_no_steps():
    x = data((4, 5, 6))
    out = ok("Slice", [x], axes=[0, 2], starts=[1, -4], ends=[1000, -1], steps=[])
    np.testing.assert_array_equal(out, x[1:, :, -4:-1])
    out = ok("Slice", [x], axes=[2, 0], starts=[5, -1], ends=[0, -5], steps=[-2, -1])
    np.testing.assert_array_equal(out, x[::-1, :, 5:0:-2])


# ---- Shape, Range, TopK ----------------------------------------------------------------

@pytest.mark.parametrize("start,end", [(0, 2), (-1, 0), (0, 3), (-3, 3), (1, 1), (2, 0), (-2, 1)])
def test_shape_reads_dimensions_start_to_end(start, end):
    x = data((2, 3, 4))
    out = ok("Shape", [x], start=start, end=end)
    assert out.dtype == np.int64
    np.testing.assert_array_equal(out, np.array([x.shape[i] for i in range(start, end)], dtype=np.int64))


@pytest.mark.parametrize("start,limit,delta", [(0.9, 5.7, 2.0), (10, 2, -3), (-4, 4, 1), (3, 3, 1), (0, 5, -1)])
def test_range_truncates_its_operands(start, limit, delta):
    ins = [np.array([v], dtype=np.float32) for v in (start, limit, delta)]
    expect = np.arange(int(np.float32(start)), int(np.float32(limit)), int(np.float32(delta)))
    np.testing.assert_array_equal(ok("Range", ins), expect)
    np.testing.assert_array_equal(ok("Range", ins[:2], constant=[delta], is_const_third=True), expect)


@pytest.mark.parametrize("k", [1, 3, 4, 10])
@pytest.mark.parametrize("largest", [True, False])
@pytest.mark.parametrize("axis", [-1, 0])
def test_topk_clamps_k_to_the_dimension(k, largest, axis):
    x = data((4, 4))
    order = np.argsort(-x if largest else x, axis=axis, kind="stable")
    idx = np.take(order, np.arange(min(k, 4)), axis=axis)
    kk = np.array([k], dtype=np.int64)
    values = ok("TopKValues", [x, kk], axis=axis, largest=largest, sorted=True)
    indices = ok("TopKIndices", [x], axis=axis, largest=largest, sorted=True, constant=[k])
    np.testing.assert_array_equal(indices, idx)
    np.testing.assert_array_equal(values, np.take_along_axis(x, idx, axis=axis))


I64 = lambda *v: np.array(v, dtype=np.int64)
F32 = lambda *v: np.array(v, dtype=np.float32)
REFUSALS = [
    ("Gather", lambda x: [x, I64(0, 4)], (3, 2), dict(axis=1)),
    ("Gather", lambda x: [x, I64(-5)], (3, 1), dict(axis=1)),
    ("Gather", lambda x: [x, I64(0)], (3, 1), dict(axis=2)),
    ("Slice", lambda x: [x], (), dict(axes=[0, 1], starts=[0], ends=[1, 1], steps=[])),
    ("Slice", lambda x: [x], (), dict(axes=[0], starts=[0], ends=[1], steps=[0])),
    ("Slice", lambda x: [x], (), dict(axes=[2], starts=[0], ends=[1], steps=[])),
    ("Shape", lambda x: [x], (), dict(start=-3, end=0)),
    ("Shape", lambda x: [x], (), dict(start=0, end=3)),
    ("Range", lambda x: [F32(0), F32(4), F32(0.5)], (), {}),
    ("TopKValues", lambda x: [x, I64(-1)], (), dict(axis=0, largest=True, sorted=True)),
]


@pytest.mark.parametrize("layer_type,inputs,src_shape,attrs", REFUSALS)
def test_bad_attributes_and_operands_are_refused(layer_type, inputs, src_shape, attrs):
    assert run(layer_type, inputs(data((3, 4))), src_shape, **attrs)[0] == PREDICT_ERROR


# ---- Reduce --------------------------------------------------------------------------

REDUCE = {"ReduceSum": np.sum, "ReduceMax": np.max, "ReduceMin": np.min, "ReduceProd": np.prod,
          "ReduceMean": np.mean}


def reduce_reference(fn, x, axes, keepdims):
    """One reduction per entry, each on the result of the previous one."""
    r = x
    for a in axes:
        r = fn(r, axis=a % r.ndim, keepdims=keepdims)
    return r


@pytest.mark.parametrize("name", sorted(REDUCE))
@pytest.mark.parametrize("axes,keepdims", [([1], False), ([-1, 0], True), ([1, 1], False), ([2, -2], False),
                                           ([0, 1, 2], True)])
def test_reduce_axes_in_list_order(name, axes, keepdims):
    x = data((2, 3, 4)) / 8
    expect = reduce_reference(REDUCE[name], x, axes, keepdims)
    out = ok(name, [x], keep_dims=keepdims, noop_with_empty_axes=False, reduce_axes=axes)
    np.testing.assert_allclose(out, expect, rtol=1e-5)


def test_reduce_without_axes_reduces_everything_or_nothing():
    x = data((2, 3))
    np.testing.assert_allclose(ok("ReduceSum", [x], keep_dims=False, noop_with_empty_axes=False, reduce_axes=[]),
                               x.sum())
    np.testing.assert_array_equal(ok("ReduceMax", [x], keep_dims=False, noop_with_empty_axes=True, reduce_axes=[]), x)


def test_reduce_mean_of_integers_is_float32_and_bad_axis_fails():
    x = np.arange(12, dtype=np.int32).reshape(3, 4)
    out = ok("ReduceMean", [x], keep_dims=False, noop_with_empty_axes=False, reduce_axes=[-1])
    assert out.dtype == np.float32
    np.testing.assert_allclose(out, x.mean(-1))
    status, _ = run("ReduceSum", [x], keep_dims=False, noop_with_empty_axes=False, reduce_axes=[1, 1])
    assert status == PREDICT_ERROR


# ---- Axes ----------------------------------------------------------------------------

X4 = data((2, 3, 4, 5))
CUBE = data((2, 2, 2, 2))  # halves along any axis, for Split
ONES = data((2, 1, 3, 1))  # size-1 dimensions to squeeze, between others


def squeezed(x, a):
    """Tensor::squeeze of one dimension: one of another size stays."""
    return np.squeeze(x, a) if x.shape[a] == 1 else x


def softmax(x, a):
    e = np.exp(x - x.max(a, keepdims=True))
    return e / e.sum(a, keepdims=True)


def flattened(x, a):
    a = a + x.ndim if a < 0 else a
    return x.reshape(int(np.prod(x.shape[:a])), -1)


def first_two_largest(x, a):
    return np.take_along_axis(x, np.take(np.argsort(-x, axis=a, kind="stable"), [0, 1], axis=a), axis=a)


def leading(a):
    """A permutation of rank 4 that puts axis a first and keeps the others in order."""
    return [a] + [d for d in range(4) if d != a % 4]


# (type, valid axes lo..hi, inputs, attributes of axis a, numpy reference at a, srcShape). Each axis one past
# either end is refused. Unsqueeze refers to the rank after its insertion and Flatten allows the rank itself;
# the others refer to the input's rank.
AXIS_ROWS = [
    ("Gather", -4, 3, [X4, I64(1, -1, 0)], lambda a: dict(axis=a), lambda a: np.take(X4, [1, -1, 0], a), (1,) * 4),
    ("Split", -4, 3, [CUBE], lambda a: dict(split=[1, 1], axis=a, split_index=1),
     lambda a: np.split(CUBE, 2, a)[1], ()),
    ("Concatenate", -4, 3, [X4, -X4], lambda a: dict(axis=a), lambda a: np.concatenate([X4, -X4], a), ()),
    ("Softmax", -4, 3, [X4 / 10], lambda a: dict(axis=a), lambda a: softmax(X4 / 10, a), ()),
    ("ArgMax", -4, 3, [X4], lambda a: dict(axis=a, keepdims=True), lambda a: X4.argmax(a, keepdims=True), ()),
    ("TopKValues", -4, 3, [X4, I64(2)], lambda a: dict(axis=a, largest=True, sorted=True),
     lambda a: first_two_largest(X4, a), ()),
    ("Slice", -4, 3, [X4], lambda a: dict(axes=[a], starts=[1], ends=[1000], steps=[1]),
     lambda a: np.delete(X4, 0, a), ()),
    ("Squeeze", -4, 3, [ONES], lambda a: dict(axes=[a]), lambda a: squeezed(ONES, a), ()),
    ("Unsqueeze", -5, 4, [X4], lambda a: dict(axes=[a]), lambda a: np.expand_dims(X4, a), ()),
    # Entries apply in list order: the second refers to the rank after the first.
    ("Unsqueeze", -5, 4, [X4], lambda a: dict(axes=[a, -1]), lambda a: np.expand_dims(np.expand_dims(X4, a), -1),
     ()),
    ("Flatten", -4, 4, [X4], lambda a: dict(axis=a), lambda a: flattened(X4, a), ()),
    ("Transpose", -4, 3, [X4], lambda a: dict(perm=leading(a)), lambda a: X4.transpose(leading(a)), ()),
    ("Reverse", -4, 3, [X4], lambda a: dict(reverse_axes=[a]), lambda a: np.flip(X4, a), ()),
    ("ReduceSum", -4, 3, [X4], lambda a: dict(reduce_axes=[a], keep_dims=False, noop_with_empty_axes=False),
     lambda a: X4.sum(a), ()),
    ("Bridge", -4, 3, [ONES], lambda a: dict(squeeze_axes=[a], unsqueeze_axes=[], permute_axes=[]),
     lambda a: squeezed(ONES, a), (1,) * 3),
    ("Bridge", -5, 4, [X4], lambda a: dict(squeeze_axes=[], unsqueeze_axes=[a], permute_axes=[]),
     lambda a: np.expand_dims(X4, a), (1,) * 5),
    ("Bridge", -4, 3, [X4], lambda a: dict(squeeze_axes=[], unsqueeze_axes=[], permute_axes=leading(a)),
     lambda a: X4.transpose(leading(a)), ()),
]
AXIS_CASES = [(row, a) for row in AXIS_ROWS for a in range(row[1] - 1, row[2] + 2)]


@pytest.mark.parametrize("row,axis", AXIS_CASES, ids=[f"{r[0]}{AXIS_ROWS.index(r)}-axis{a}" for r, a in AXIS_CASES])
def test_axes_count_from_the_end_of_the_rank_they_refer_to(row, axis):
    layer_type, lo, hi, inputs, attrs, reference, src_shape = row
    if lo <= axis <= hi:
        expect = reference(axis)
        out = ok(layer_type, inputs, src_shape, **attrs(axis))
        assert out.shape == expect.shape
        np.testing.assert_allclose(out, expect, rtol=1e-5)
    else:
        status, out = run(layer_type, inputs, src_shape, **attrs(axis))
        assert status == PREDICT_ERROR and out is None


# ---- Resize --------------------------------------------------------------------------

def nearest_index(n_out, n_in):
    scale = np.float32(n_in) / np.float32(n_out)
    c = (np.arange(n_out, dtype=np.float32) + np.float32(0.5)) * scale - np.float32(0.5)
    return np.clip(np.trunc(c).astype(np.int64), 0, n_in - 1)


@pytest.mark.parametrize("layout", ["nchw", "nhwc"])
@pytest.mark.parametrize("batch", [1, 3])
def test_resize_keeps_the_batch_and_moves_changed_dims_last(layout, batch):
    if layout == "nchw":
        x, target = data((batch, 2, 3, 5)), (1, 2, 6, 4)
        expect = x[:, :, nearest_index(6, 3)][:, :, :, nearest_index(4, 5)]
    else:
        x, target = data((batch, 3, 5, 2)), (1, 6, 4, 2)
        expect = x[:, nearest_index(6, 3)][:, :, nearest_index(4, 5)]
    np.testing.assert_array_equal(ok("Resize", [x], target, resize_mode="nearest"), expect)


def test_resize_of_one_spatial_dimension_with_another_batch():
    x = data((2, 3, 4, 5))
    out = ok("Resize", [x], (1, 3, 8, 5), resize_mode="nearest")
    np.testing.assert_array_equal(out, x[:, :, nearest_index(8, 4)])


def test_resize_linear_blends_between_neighbours():
    x = np.array([0.0, 10.0], dtype=np.float32).reshape(1, 1, 1, 2)
    out = ok("Resize", [x], (1, 1, 1, 4), resize_mode="linear")
    np.testing.assert_allclose(out.ravel(), [0.0, 2.5, 7.5, 10.0])
    assert run("Resize", [x], (1, 1, 4), resize_mode="linear")[0] == PREDICT_ERROR


# ---- GatherND / ScatterND ------------------------------------------------------------

def gather_nd_reference(x, idx, batch_dims):
    b = int(np.prod(x.shape[:batch_dims]))
    k = idx.shape[-1]
    xs = x.reshape((b,) + x.shape[batch_dims:])
    ids = idx.reshape(b, int(np.prod(idx.shape[batch_dims:-1])), k)
    out = [xs[i][tuple(ids[i, r])] for i in range(b) for r in range(ids.shape[1])]
    shape = x.shape[:batch_dims] + idx.shape[batch_dims:-1] + x.shape[batch_dims + k:]
    return np.array(out, dtype=x.dtype).reshape(shape)


@pytest.mark.parametrize("batch_dims,k", [(0, 1), (0, 2), (0, 3), (1, 1), (1, 2), (2, 1), (0, 0)])
def test_gather_nd_with_batch_dims_and_negative_coordinates(batch_dims, k):
    x = data((2, 3, 4, 5))
    lead = x.shape[:batch_dims]
    idx_shape = lead + (3, 2, k)
    idx = np.zeros(idx_shape, dtype=np.int64)
    for j in range(k):
        s = x.shape[batch_dims + j]
        idx[..., j] = rng.integers(-s, s, size=idx_shape[:-1])
    out = ok("GatherND", [x, idx], batch_dims=batch_dims)
    np.testing.assert_array_equal(out, gather_nd_reference(x, idx, batch_dims))


def test_gather_nd_checks_bounds_in_64_bits():
    x = data((2, 3))
    for bad in ([[0, 3]], [[0, -4]], [[0, 2**32 + 1]], [[2**32, 0]]):
        assert run("GatherND", [x, np.array(bad, dtype=np.int64)], batch_dims=0)[0] == PREDICT_ERROR


def scatter_nd_reference(x, idx, upd, reduction):
    out = x.copy()
    k = idx.shape[-1]
    for p in np.ndindex(idx.shape[:-1]):
        t = tuple(idx[p][:k])
        v = upd[p].reshape(())
        if reduction == "add":
            out[t] += v
        elif reduction == "mul":
            out[t] *= v
        elif reduction == "max":
            out[t] = np.maximum(out[t], v)
        elif reduction == "min":
            out[t] = np.minimum(out[t], v)
        else:
            out[t] = v
    return out


@pytest.mark.parametrize("reduction", ["none", "", "add", "mul", "max", "min"])
@pytest.mark.parametrize("k", [1, 2, 3])
def test_scatter_nd_reductions_and_negative_coordinates(reduction, k):
    x = data((3, 4, 5))
    idx = np.stack([rng.integers(-x.shape[j], x.shape[j], size=(2, 3)) for j in range(k)], -1).astype(np.int64)
    upd = data((2, 3))
    out = ok("ScatterND", [x, upd, idx], reduction=reduction)
    np.testing.assert_allclose(out, scatter_nd_reference(x, idx, upd, reduction), rtol=1e-6)


def test_scatter_nd_refuses_coordinates_outside_data_and_wide_updates():
    x = data((4,))
    upd = np.array([10.0, 20.0], dtype=np.float32)
    for bad in ([[1], [4]], [[-5], [0]]):
        assert run("ScatterND", [x, upd, np.array(bad, dtype=np.int64)], reduction="none")[0] == PREDICT_ERROR
    wide = np.ones((2, 2), dtype=np.float32)
    assert run("ScatterND", [x, wide, np.array([[1], [3]], dtype=np.int64)], reduction="none")[0] == PREDICT_ERROR


# ---- NMS -----------------------------------------------------------------------------

def nms_reference(boxes, scores, iou_thres, score_thres, is_center, max_output):
    boxes = boxes.astype(np.float64)
    if is_center:
        x1 = boxes[..., 0] - boxes[..., 2] * 0.5
        y1 = boxes[..., 1] - boxes[..., 3] * 0.5
        boxes = np.stack([x1, y1, x1 + boxes[..., 2], y1 + boxes[..., 3]], -1)
    out = []
    for b in range(scores.shape[0]):
        for c in range(scores.shape[1]):
            s = scores[b, c].astype(np.float64)
            cand = np.arange(len(s)) if score_thres == -99999.0 else np.nonzero(s > score_thres)[0]
            order = list(cand[np.argsort(-s[cand], kind="stable")])
            picked = 0
            while order:
                i = order.pop(0)
                if not s[i] > 0:
                    break
                out.append((b, c, i))
                picked += 1
                if 0 < max_output <= picked:
                    break
                bi = boxes[b, i]
                area = lambda q: abs(q[2] - q[0]) * abs(q[3] - q[1])
                keep = []
                for j in order:
                    bj = boxes[b, j]
                    w = max(min(bj[2], bi[2]) - max(bj[0], bi[0]), 0.0)
                    h = max(min(bj[3], bi[3]) - max(bj[1], bi[1]), 0.0)
                    inter = w * h
                    if inter / (area(bi) + area(bj) - inter) < iou_thres:
                        keep.append(j)
                order = keep
    return np.array(out, dtype=np.float32).reshape(-1, 3)


@pytest.mark.parametrize("is_center", [False, True])
@pytest.mark.parametrize("score_thres", [-99999.0, 0.3])
@pytest.mark.parametrize("max_output", [0, 2])
def test_nms_against_greedy_reference(is_center, score_thres, max_output):
    n = 30
    xy = rng.random((2, n, 2), dtype=np.float32) * 0.8
    wh = rng.random((2, n, 2), dtype=np.float32) * 0.3 + 0.05
    boxes = np.concatenate([xy, wh], -1) if is_center else np.concatenate([xy, xy + wh], -1)
    scores = rng.random((2, 3, n), dtype=np.float32)
    scores[0, 1, :] = 0  # a class without any positive score selects nothing
    attrs = dict(max_output=max_output, iou_thres=0.4, score_thres=score_thres, is_center=is_center)
    out = ok("NMS", [boxes, scores], **attrs)
    expect = nms_reference(boxes, scores, 0.4, score_thres, is_center, max_output)
    assert len(expect) > 0 and out.dtype == np.float32
    np.testing.assert_array_equal(out, expect)
    # A second run on the same arrays gives the same answer (nothing converted in place).
    np.testing.assert_array_equal(ok("NMS", [boxes, scores], **attrs), expect)


def test_nms_in_any_case_and_without_selection():
    boxes = np.array([[[0, 0, 1, 1]]], dtype=np.float32)
    scores = np.zeros((1, 1, 1), dtype=np.float32)
    for name in ("nms", "Nms"):
        out = ok(name, [boxes, scores], max_output=0, iou_thres=0.5, score_thres=-99999.0, is_center=False)
        assert out.shape == (0, 3)
    # As many boxes as scores, or nothing.
    assert run("NMS", [boxes, np.ones((1, 1, 3), dtype=np.float32)], max_output=0, iou_thres=0.5,
               score_thres=-99999.0, is_center=False)[0] == PREDICT_ERROR
