"""The tensor library against numpy on many layouts, through zero-copy views."""

import itertools

import numpy as np
import pytest

import halvex_testmod as hx

DTYPES = ["uint8", "int8", "int16", "int32", "int64", "float32", "float64", "bool"]


def base(shape, dtype="float32"):
    n = int(np.prod(shape))
    a = np.arange(n) % 97
    if dtype == "bool":
        return (a % 3 == 0).reshape(shape)
    return a.astype(dtype).reshape(shape)


def layouts(dtype="float32"):
    """Views of one logical kind or another: contiguous, transposed, gapped,
    flipped, stepped backwards, broadcast, 0-d, size 0 and size 1."""
    a = base((4, 5, 6), dtype)
    out = {
        "contiguous": a,
        "transposed": a.transpose(2, 0, 1),
        "gapped": a[::2, 1:4, ::3],
        "flipped": a[::-1, :, ::-1],
        "back_step": a[:, ::-2, 1:],
        "broadcast": np.broadcast_to(base((4, 1, 6), dtype), (4, 5, 6)),
        "broadcast_inner": np.broadcast_to(base((4, 1), dtype), (4, 7)),
        "zero_d": np.array(base((1,), dtype)[0]),
        "empty": a[:, 2:2, :],
        "size_one": a[1:2, 3:4, ::-1][:, :, 2:3],
        "row_gap_flip": a[::-1, 0, ::2].T,
    }
    return out


def check_log(expect_error):
    text = hx.take_log()
    if expect_error:
        assert text.count("\n") == 1, text
    else:
        assert text == "", text


@pytest.fixture(autouse=True)
def clean_log():
    hx.take_log()
    yield


@pytest.mark.parametrize("dtype", DTYPES)
def test_contiguous_and_clone_keep_values_of_every_layout(dtype):
    for name, v in layouts(dtype).items():
        c = hx.clone(v)
        assert c.flags.c_contiguous, name
        np.testing.assert_array_equal(c, v, err_msg=name)
        assert not np.shares_memory(c, v)
        k = hx.contiguous(v)
        np.testing.assert_array_equal(k, v, err_msg=name)
        assert k.flags.c_contiguous or k.size <= 1
    check_log(False)


@pytest.mark.parametrize("src,dst", itertools.product(DTYPES, DTYPES))
def test_conversions_in_range_match_astype(src, dst):
    for name, v in layouts(src).items():
        if src in ("float32", "float64"):
            v = np.asarray(v / 4 - 3 if dst not in ("uint8", "bool") else v / 4).astype(src)
        r = hx.to(v, dst)
        np.testing.assert_array_equal(r, np.asarray(v).astype(dst), err_msg=name)
        assert r.dtype == np.dtype(dst)
        if src == dst:
            assert np.shares_memory(r, v) or v.size == 0


def factorizations(n, rng, count):
    """Random target shapes of n elements, with size-1 dimensions mixed in."""
    out = []
    for _ in range(count):
        shape, left = [], n
        while left > 1:
            divisors = [d for d in range(2, left + 1) if left % d == 0]
            d = int(rng.choice(divisors))
            shape.append(d)
            left //= d
            if rng.random() < 0.3:
                shape.append(1)
        if rng.random() < 0.3:
            shape.insert(0, 1)
        out.append(shape or [1])
    return out


def test_reshapes_of_every_layout_match_numpy_and_view_when_they_can():
    rng = np.random.default_rng(11)
    for name, v in layouts().items():
        n = v.size
        targets = [[n], [-1, 1], [1, n]] + ([[2, -1]] if n % 2 == 0 and n else [])
        for shape in targets + (factorizations(n, rng, 25) if n >= 2 else []):
            r = hx.reshape(v, shape)
            np.testing.assert_array_equal(r, np.reshape(v, shape), err_msg=f"{name} {shape}")
            w = hx.view(v, shape)
            if w is not None:
                np.testing.assert_array_equal(w, r, err_msg=f"{name} {shape}")
                assert np.shares_memory(w, v) or n == 0
            else:
                assert not np.shares_memory(r, v)
    hx.take_log()
    t = base((2, 3, 4))
    assert np.shares_memory(hx.reshape(t, [6, 4]), t)
    assert hx.reshape(t.transpose(), [24]).flags.c_contiguous


def test_shape_operations_match_numpy_and_share_storage():
    for name, v in layouts().items():
        nd = v.ndim
        if nd >= 2:
            np.testing.assert_array_equal(hx.transpose(v, 0, -1), np.swapaxes(v, 0, -1), err_msg=name)
            perm = list(range(nd))[::-1]
            np.testing.assert_array_equal(hx.permute(v, perm), np.transpose(v, perm), err_msg=name)
            np.testing.assert_array_equal(hx.flatten(v, 0, 1), v.reshape((-1,) + v.shape[2:]), err_msg=name)
        for dims in ([0], [-1], list(range(nd))) if nd else ([],):
            f = hx.flip(v, dims)
            np.testing.assert_array_equal(f, np.flip(v, dims) if nd else v, err_msg=f"{name} {dims}")
            assert np.shares_memory(f, v) or v.size == 0
        np.testing.assert_array_equal(hx.squeeze(v), np.squeeze(v), err_msg=name)
        np.testing.assert_array_equal(hx.unsqueeze(v, nd), np.expand_dims(v, nd), err_msg=name)
        np.testing.assert_array_equal(hx.unsqueeze(v, 0), np.expand_dims(v, 0), err_msg=name)
    check_log(False)
    col = base((3, 1))[::-1]
    e = hx.expand(col, [-1, 4])
    np.testing.assert_array_equal(e, np.broadcast_to(col, (3, 4)))
    assert e.strides[1] == 0


def random_index(rng, shape):
    selectors, npidx = [], []
    for n in shape:
        kind = rng.integers(0, 4) if n > 0 else 0
        if kind == 0:
            selectors.append(None)
            npidx.append(slice(None))
        elif kind == 1:
            i = int(rng.integers(0, n))
            selectors.append(i)
            npidx.append(i)
        elif kind == 2:
            a = int(rng.integers(0, n + 1))
            b = int(rng.integers(a, n + 1))
            selectors.append((a, b))
            npidx.append(slice(a, b))
        else:
            i = int(rng.integers(0, n))
            selectors.append(np.array(i, dtype=np.int64))
            npidx.append(i)
    return selectors, tuple(npidx)


def test_index_views_match_numpy_on_every_layout():
    rng = np.random.default_rng(7)
    for name, v in layouts().items():
        for _ in range(40):
            selectors, npidx = random_index(rng, v.shape)
            r = hx.index(v, selectors)
            np.testing.assert_array_equal(r, v[npidx], err_msg=f"{name} {selectors}")
            assert np.shares_memory(r, v) or r.size == 0
            if v.ndim:
                d = int(rng.integers(0, v.ndim))
                if v.shape[d]:
                    i = int(rng.integers(0, v.shape[d]))
                    np.testing.assert_array_equal(hx.select(v, d, i), np.take(v, i, axis=d))
    check_log(False)


def test_out_of_range_indices_are_refused():
    v = base((4, 5))[::-1]
    for selectors in ([4], [-1], [(5, 6)], [None, 5], [(-1, 2)], [np.array(9)]):
        assert hx.index(v, selectors) is None, selectors
        check_log(True)


@pytest.mark.parametrize("dtype", DTYPES)
def test_masks_select_and_write_like_numpy(dtype):
    rng = np.random.default_rng(3)
    for name, v in layouts(dtype).items():
        mask = rng.integers(0, 2, size=v.shape).astype(bool)
        np.testing.assert_array_equal(hx.index(v, [mask]), v[mask], err_msg=name)
        if not v.flags.writeable:
            continue
        dst = np.array(v)[(slice(None, None, -1),) * v.ndim] if v.ndim else np.array(v)
        want = dst.copy()
        values = base((int(mask.sum()),), "int8")
        want[mask] = values.astype(dtype)
        hx.index_put_(dst, [mask], values)
        np.testing.assert_array_equal(dst, want, err_msg=name)
    check_log(False)


def test_index_select_matches_take():
    for name, v in layouts().items():
        for d in range(v.ndim):
            n = v.shape[d]
            if n == 0:
                continue
            idx = np.array([n - 1, 0, 0, n // 2, n // 2 + 1][: n + 2]) % n
            for dt in ("int64", "int32", "uint8"):
                r = hx.index_select(v, d, idx.astype(dt))
                np.testing.assert_array_equal(r, np.take(v, idx, axis=d), err_msg=f"{name} {d}")
    check_log(False)
    assert hx.index_select(base((3, 2)), 0, np.array([3])) is None
    check_log(True)
    assert hx.index_select(base((3, 2)), 2, np.array([0])) is None
    check_log(True)


@pytest.mark.parametrize("dtype", DTYPES)
def test_nonzero_matches_argwhere(dtype):
    for name, v in layouts(dtype).items():
        if dtype.startswith("float"):
            v = np.asarray(v - 5)
        np.testing.assert_array_equal(hx.nonzero(v), np.argwhere(v), err_msg=name)


def test_where_broadcasts_like_numpy():
    rng = np.random.default_rng(5)
    for name, v in layouts().items():
        cond = rng.integers(0, 2, size=v.shape[-1:] if v.ndim else ()).astype(bool)
        other = np.asarray(-base(v.shape[-1:] if v.ndim else (), "float32"))
        other = other[::-1] if other.ndim else other
        np.testing.assert_array_equal(hx.where(v, cond, other), np.where(cond, v, other), err_msg=name)
    r = hx.where(base((1, 4), "int32"), base((3, 1), "bool"), np.array(-1.5, dtype=np.float32))
    assert r.dtype == np.float32 and r.shape == (3, 4)
    check_log(False)


def test_tile_matches_numpy():
    for name, v in layouts().items():
        # Counts that are no power of two end on a partial block copy.
        for reps in ([2], [1, 3], [2, 1, 2], [3, 1, 1, 2], [5], [7, 3], [1, 6, 1, 9]):
            np.testing.assert_array_equal(hx.tile(v, reps), np.tile(v, reps), err_msg=f"{name} {reps}")
    check_log(False)


def test_cat_stack_split_match_numpy():
    for name, v in layouts().items():
        if v.ndim == 0:
            continue
        w = np.array(v)[::-1] if v.ndim else v
        for d in range(v.ndim):
            np.testing.assert_array_equal(hx.cat([v, w, v], d), np.concatenate([v, w, v], d), err_msg=name)
            n = v.shape[d]
            sizes = [n // 3, n - n // 3]
            got = hx.split(v, sizes, d)
            want = np.split(v, [sizes[0]], axis=d)
            assert len(got) == 2
            for g, x in zip(got, want):
                np.testing.assert_array_equal(g, x, err_msg=name)
        np.testing.assert_array_equal(hx.stack([v, w], v.ndim), np.stack([v, w], v.ndim), err_msg=name)
    check_log(False)
    np.testing.assert_array_equal(hx.cat([base((2,)), base((2,), "int16")], 0), [0, 1, 0, 1])


def test_copy_broadcasts_into_views():
    dst = np.zeros((4, 6), dtype=np.int16)
    hx.copy_(dst[::-1, 1::2], base((3,), "int16"))
    want = np.zeros((4, 6), dtype=np.int16)
    want[::-1, 1::2] = base((3,), "int16")
    np.testing.assert_array_equal(dst, want)
    hx.copy_(dst.T, base((6, 1), "int16"))
    np.testing.assert_array_equal(dst, np.broadcast_to(base((6, 1), "int16"), (6, 4)).T)
    check_log(False)


def test_factories():
    for s, e, st in [(0, 5, 1), (0, 5, 2), (2, 2, 1), (0, 1, 5), (5, 0, -1), (5, 0, 1), (-3, 7, 3)]:
        np.testing.assert_array_equal(hx.arange(s, e, st), np.arange(s, e, st, dtype=np.int64))
    np.testing.assert_array_equal(hx.full([2, 3], 1.5), np.full((2, 3), 1.5, dtype=np.float32))
    check_log(False)
