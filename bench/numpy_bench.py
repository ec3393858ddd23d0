#!/usr/bin/python3
"""Times numpy on the cases of bench_halvex and bench_halvex_copy (same names,
dtypes, shapes and layouts) and prints one JSON object {case name: CPU seconds
per call}. Run single-threaded: compare.py sets the BLAS thread variables to 1."""
import argparse
import json
import re
import sys
import time
import timeit

import numpy as np

from bench_cli import Parser, pattern

np.seterr(all="ignore")  # exp of the random inputs overflows to inf on purpose

SIZES = [("1e2", 10, 10), ("1e5", 100, 1000), ("1e7", 1000, 10000)]
RESIZE = [("1e2", (1, 1, 10, 10)), ("1e5", (1, 10, 100, 100)), ("1e7", (1, 10, 1000, 1000))]


def rand(shape, dtype, seed):
    return np.random.default_rng(seed).uniform(-100, 100, size=shape).astype(dtype)


def inp(rows, cols, dtype, transposed, seed):
    return rand((cols, rows), dtype, seed).T if transposed else rand((rows, cols), dtype, seed)


def softmax(a, axis):
    m = a.max(axis=axis, keepdims=True)
    e = np.exp(a - m)
    return e / e.sum(axis=axis, keepdims=True)


def topk(a, k):
    part = np.argpartition(a, -k, axis=1)[:, -k:]
    vals = np.take_along_axis(a, part, axis=1)
    order = np.argsort(-vals, axis=1)
    return np.take_along_axis(vals, order, axis=1), np.take_along_axis(part, order, axis=1)


def sort_with_indices(a):
    idx = np.argsort(a, axis=1)
    return np.take_along_axis(a, idx, axis=1), idx


def resize_linear(x, hout, wout):
    hin, win = x.shape[2], x.shape[3]

    def taps(n_out, n_in):
        scale = np.float32(n_in) / np.float32(n_out)
        c = (np.arange(n_out, dtype=np.float32) + np.float32(0.5)) * scale - np.float32(0.5)
        f = np.floor(c).astype(np.int64)
        i0 = np.clip(f, 0, n_in - 1)
        i1 = np.clip(f + 1, 0, n_in - 1)
        return i0, i1, (c - i0.astype(np.float32)).astype(x.dtype)

    y0, y1, dy = taps(hout, hin)
    x0, x1, dx = taps(wout, win)
    r0, r1 = x[:, :, y0, :], x[:, :, y1, :]
    top = (r0[..., x1] - r0[..., x0]) * dx + r0[..., x0]
    bot = (r1[..., x1] - r1[..., x0]) * dx + r1[..., x0]
    return (bot - top) * dy[:, None] + top


def copy_cases(cases):
    """The 2048 x 2048 float32 data-movement cases of bench_halvex_copy."""
    n, sfx = 2048, "/float32/2048"
    a, b = rand((n, n), "float32", 1), rand((n, n), "float32", 2)
    out = np.empty_like(a)
    col, row = rand((n, 1), "float32", 4), rand((1, n), "float32", 5)
    idx = (np.arange(n) * 7) % n
    at, bt = a.T, b.T
    cases["memcpy" + sfx] = lambda: np.copyto(out, a)
    cases["clone" + sfx] = lambda: a.copy()
    cases["clone_transposed" + sfx] = lambda: np.ascontiguousarray(at)
    cases["clone_flipped" + sfx] = lambda: np.ascontiguousarray(a[:, ::-1])
    cases["copy_broadcast" + sfx] = lambda: np.copyto(out, col)
    cases["copy_broadcast_row" + sfx] = lambda: np.copyto(out, row)
    cases["index_select_rows" + sfx] = lambda: np.take(a, idx, axis=0)
    for dt in ("int32", "int64", "int16", "uint8", "float64", "bool"):
        cases[f"to_{dt}" + sfx] = lambda d=dt: a.astype(d)
    wide, ints = a.astype("float64"), a.astype("int32")
    cases["float64_to_float32" + sfx] = lambda: wide.astype("float32")
    cases["int32_to_float32" + sfx] = lambda: ints.astype("float32")
    cases["int32_to_int8" + sfx] = lambda: ints.astype("int8")
    cases["argmax_dim1" + sfx] = lambda: a.argmax(axis=1)
    # numpy keeps the operands' column-major layout in its result; the
    # tensor library writes a row-major one, which numpy does with order="C".
    cases["add_transposed" + sfx] = lambda: at + bt
    cases["add_transposed_order_c" + sfx] = lambda: np.add(at, bt, order="C")
    cases["multiply_transposed" + sfx] = lambda: at * bt
    cases["multiply_transposed_order_c" + sfx] = lambda: np.multiply(at, bt, order="C")


def main():
    parser = Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("filter", nargs="?", default="", type=pattern,
                        help="a regular expression of the cases to time (default: all)")
    only = parser.parse_args().filter
    cases = {}
    copy_cases(cases)
    for name, rows, cols in SIZES:
        for dt in ("float32", "int32"):
            for tr in (False, True):
                layout = "transposed" if tr else "contiguous"
                a, b = inp(rows, cols, dt, tr, 1), inp(rows, cols, dt, tr, 2)
                cases[f"add/{dt}/{name}/{layout}"] = lambda a=a, b=b: a + b
                cases[f"multiply/{dt}/{name}/{layout}"] = lambda a=a, b=b: a * b
                for dim in (0, 1):
                    cases[f"sum_dim{dim}/{dt}/{name}/{layout}"] = lambda a=a, d=dim: a.sum(axis=d)
            a, row = inp(rows, cols, dt, False, 1), rand((1, cols), dt, 3)
            cases[f"add/{dt}/{name}/broadcast"] = lambda a=a, r=row: a + r
            cases[f"multiply/{dt}/{name}/broadcast"] = lambda a=a, r=row: a * r
        for tr in (False, True):
            layout = "transposed" if tr else "contiguous"
            a = inp(rows, cols, "float32", tr, 4)
            cases[f"exp/float32/{name}/{layout}"] = lambda a=a: np.exp(a)
            for dim in (0, 1):
                cases[f"argmax_dim{dim}/float32/{name}/{layout}"] = lambda a=a, d=dim: a.argmax(axis=d)
            cases[f"softmax/float32/{name}/{layout}"] = lambda a=a: softmax(a, 1)
        a = inp(rows, cols, "float32", False, 5)
        cases[f"sort/float32/{name}/contiguous"] = lambda a=a: np.sort(a, axis=1)
        cases[f"sort_with_indices/float32/{name}/contiguous"] = lambda a=a: sort_with_indices(a)
        cases[f"topk/float32/{name}/contiguous"] = lambda a=a: topk(a, 5)
        ai = inp(rows, cols, "int32", False, 6)
        cases[f"sort/int32/{name}/contiguous"] = lambda a=ai: np.sort(a, axis=1)
        cases[f"sort_with_indices/int32/{name}/contiguous"] = lambda a=ai: sort_with_indices(a)
    for name, shape in RESIZE:
        x = rand(shape, "float32", 7)
        cases[f"resize_linear/float32/{name}/contiguous"] = lambda x=x, s=shape: resize_linear(x, s[2] * 2, s[3] * 2)
    for m in (128, 512):
        a, b = rand((m, m), "float32", 8), rand((m, m), "float32", 9)
        cases[f"matmul/float32/{m}^3/contiguous"] = lambda a=a, b=b: a @ b
        bt = b.T
        cases[f"matmul/float32/{m}^3/transposed"] = lambda a=a, b=bt: a @ b

    out = {}
    for name, fn in cases.items():
        # A regular expression, as for the benchmark binary's filter.
        if only and not re.search(only, name):
            continue
        timer = timeit.Timer(fn, timer=time.process_time)
        number, _ = timer.autorange()
        number = max(1, number // 2)
        out[name] = min(timer.repeat(repeat=3, number=number)) / number
    json.dump(out, sys.stdout, indent=1)


if __name__ == "__main__":
    main()
