"""Half-precision conversion and int8 quantisation against numpy."""

import numpy as np
import pytest

import reposition_testmod as rt

ALL_HALVES = np.arange(65536, dtype=np.uint32).astype(np.uint16)


@pytest.fixture(autouse=True, params=[0, 1, 2, 3], ids=["baseline", "avx2", "f16c", "avx512"])
def isa(request):
    """Every test runs on each kernel set the CPU offers (a wider one than the
    CPU has falls back to the widest it has)."""
    rt.limit_isa(request.param)
    yield request.param
    rt.limit_isa(3)


def f32_bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def test_every_half_widens_like_numpy():
    ours = rt.half_to_float(ALL_HALVES).view(np.uint32)
    want = ALL_HALVES.view(np.float16).astype(np.float32).view(np.uint32)
    np.testing.assert_array_equal(ours, want)


def test_every_half_survives_the_round_trip():
    widened = rt.half_to_float(ALL_HALVES)
    np.testing.assert_array_equal(rt.float_to_half(widened), ALL_HALVES)


def edge_floats():
    """Boundaries of the half ranges and their float neighbours."""
    anchors = np.array([0.0, 2.0**-25, 2.0**-24, 1.5 * 2.0**-24, 2.0**-15, 2.0**-14, 1.0, 1 + 2.0**-11,
                        1 + 3 * 2.0**-11, 2047.0, 2049.0, 65504.0, 65519.99, 65520.0, 65536.0, 1e5, 3.4e38],
                       dtype=np.float32)
    bits = anchors.view(np.uint32)
    around = np.concatenate([bits + d for d in (-2, -1, 0, 1, 2)]).astype(np.uint32)
    around = around[(around.view(np.float32) >= 0) | ~np.isfinite(around.view(np.float32))]
    # Midpoints between neighbouring halves: the exact ties.
    lo = ALL_HALVES[:0x7BFF].view(np.float16).astype(np.float64)
    hi = ALL_HALVES[1:0x7C00].view(np.float16).astype(np.float64)
    ties = ((lo + hi) / 2).astype(np.float32).view(np.uint32)
    specials = f32_bits([np.inf])
    magnitudes = np.concatenate([around, ties, specials]).astype(np.uint32)
    return np.concatenate([magnitudes, magnitudes | 0x80000000]).astype(np.uint32)


@pytest.mark.parametrize("source", ["edges", "random"])
def test_floats_narrow_like_numpy(source):
    if source == "edges":
        bits = edge_floats()
    else:
        bits = np.random.default_rng(7).integers(0, 2**32, size=1 << 21, dtype=np.uint64).astype(np.uint32)
    values = bits.view(np.float32)
    ours = rt.float_to_half(values)
    finite = ~np.isnan(values)
    want = values[finite].astype(np.float16).view(np.uint16)
    np.testing.assert_array_equal(ours[finite], want)
    # NaNs keep the top ten payload bits and stay NaNs.
    nan_bits = bits[~finite]
    expect = ((nan_bits >> 16) & 0x8000) | 0x7C00 | ((nan_bits & 0x7FFFFF) >> 13)
    expect = np.where((nan_bits & 0x7FFFFF) >> 13 == 0, expect | 1, expect)
    np.testing.assert_array_equal(ours[~finite], expect.astype(np.uint16))


DOCUMENTED_NARROWING = [
    (1.0, 0x3C00), (65504.0, 0x7BFF), (65520.0, 0x7C00), (100000.0, 0x7C00), (-0.0, 0x8000),
    (2.0**-24, 0x0001), (2.0**-25, 0x0000), (1.5 * 2.0**-24, 0x0002), (1 + 2.0**-11, 0x3C00),
    (1 + 3 * 2.0**-11, 0x3C02),
]


def test_documented_narrowing_examples():
    values = np.array([v for v, _ in DOCUMENTED_NARROWING], dtype=np.float32)
    np.testing.assert_array_equal(rt.float_to_half(values), [h for _, h in DOCUMENTED_NARROWING])
    quiet_nan = np.array([0x7FC00000], dtype=np.uint32).view(np.float32)
    assert rt.float_to_half(quiet_nan)[0] == 0x7E00
    widened = rt.half_to_float(np.array([0x0001, 0x03FF, 0x7C00, 0xFC00, 0x7E00], dtype=np.uint16))
    assert widened[0] == np.float32(2.0**-24) and widened[1] == np.float32(1023 * 2.0**-24)
    assert widened[2] == np.inf and widened[3] == -np.inf
    assert widened.view(np.uint32)[4] == 0x7FC00000


def numpy_quantize(x, s):
    q = np.floor(x.astype(np.float32) * np.asarray(s, dtype=np.float32) + np.float32(0.5))
    return np.where(np.isnan(q), 0, np.clip(q, -128, 127)).astype(np.int8)


def as_int8(raw):
    return np.frombuffer(raw, dtype=np.int8)


@pytest.mark.parametrize("count", [17, 4099])
def test_uniform_quantisation_matches_numpy(count):
    rng = np.random.default_rng(count)
    x = rng.uniform(-300, 300, size=count).astype(np.float32)
    x[::7] = np.round(x[::7]) + 0.5  # exact halves round up
    s = np.float32(0.37)
    np.testing.assert_array_equal(as_int8(rt.quantize(x, [s], True, 3, 3, 0, 2)), numpy_quantize(x, s))


def test_quantisation_edges_in_vector_and_tail():
    edges = np.array([2.5, -2.5, 300, -300, np.nan, np.inf, -np.inf, -0.5, -0.51, 127.49, 127.5, -128.5,
                      -128.51, 0.49999997, -np.nan, 1e30], dtype=np.float32)
    x = np.concatenate([edges, edges[:9]])  # one vector block, then a scalar tail
    q = as_int8(rt.quantize(x, [1.0], True, 1, 1, 0, 2))
    # 0.49999997 + 0.5 rounds to 1 in single precision.
    want = [3, -2, 127, -128, 0, 127, -128, 0, -1, 127, 127, -128, -128, 1, 0, 127]
    np.testing.assert_array_equal(q, want + want[:9])


@pytest.mark.parametrize("chw", [0, 1])
@pytest.mark.parametrize("seq", [1, 3])
def test_per_channel_scales_follow_the_original_channel(chw, seq):
    """A list of one scale per original channel serves every sequence copy of
    the channel, in both host orders and on both sides of the NPU."""
    oc, pixels = 5, 23
    channels = oc * seq
    scales = np.array([0.5, 2.0, 0.25, 4.0, 1.5], dtype=np.float32)
    rng = np.random.default_rng(seq + 10 * chw)
    x = rng.uniform(-60, 60, size=channels * pixels).astype(np.float32)
    if chw:
        per_element = np.repeat(scales[np.arange(channels) % oc], pixels)
    else:
        per_element = np.tile(scales[np.arange(channels) % oc], pixels)
    q = as_int8(rt.quantize(x, list(scales), False, channels, oc, chw, 2))
    np.testing.assert_array_equal(q, numpy_quantize(x, per_element))
    back = rt.dequantize(q, list(scales), False, channels, oc, chw)
    np.testing.assert_array_equal(back, q.astype(np.float32) * per_element)
