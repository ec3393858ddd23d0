#!/usr/bin/python3
"""Runs bench_data_plane and the numpy equivalents in one go, single-threaded,
and prints per case the bytes per second, the share of memcpy of the same bytes
(measured in the same run) and the speed-up over numpy (above 1: faster).

    bench/data_plane_compare.py build/bench/bench_data_plane [filter]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import time
import timeit

import numpy as np

from bench_cli import Parser, pattern, program

SHAPES = [(224, 224, 3), (56, 56, 64), (1, 1, 1000), (1080, 1920, 3)]
SCALE = np.float32(40.0)


def arguments():
    parser = Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binary", type=program, help="bench_data_plane of the build")
    parser.add_argument("filter", nargs="?", default="", type=pattern,
                        help="a regular expression of the cases to print (default: all)")
    return parser.parse_args()


def numpy_cases():
    cases = {}
    rng = np.random.default_rng(1)
    for h, w, c in SHAPES:
        name = f"{h}x{w}x{c}"
        x = rng.uniform(-3, 3, size=h * w * c).astype(np.float32)
        half = x.astype(np.float16)
        u8 = np.full(h * w * c, 3, dtype=np.uint8)
        cases[f"float_to_half/{name}"] = lambda x=x: x.astype(np.float16)
        cases[f"half_to_float/{name}"] = lambda hv=half: hv.astype(np.float32)
        cases[f"quantize_int8/{name}"] = lambda x=x: np.clip(np.floor(x * SCALE + np.float32(0.5)), -128,
                                                             127).astype(np.int8)
        cases[f"transpose_chw_to_hwc_u8/{name}"] = \
            lambda a=u8.reshape(c, h, w): np.ascontiguousarray(a.transpose(1, 2, 0))
        cases[f"transpose_hwc_to_chw_u8/{name}"] = \
            lambda a=u8.reshape(h, w, c): np.ascontiguousarray(a.transpose(2, 0, 1))
        if c == 3:
            def pad(x=x, n=h * w):
                out = np.zeros((n, 4), dtype=np.float32)
                out[:, :3] = x.reshape(n, 3)
                return out
            cases[f"pad_3to4_f32/{name}"] = pad

            def pad_int8(x=x, n=h * w):
                out = np.zeros((n, 4), dtype=np.int8)
                out[:, :3] = np.clip(np.floor(x * SCALE + np.float32(0.5)), -128, 127).reshape(n, 3)
                return out
            cases[f"pad_3to4_int8/{name}"] = pad_int8
    return cases


def time_numpy(only):
    out = {}
    for name, fn in numpy_cases().items():
        if only and not re.search(only, name):
            continue
        timer = timeit.Timer(fn, timer=time.process_time)
        number, _ = timer.autorange()
        number = max(1, number // 2)
        out[name] = min(timer.repeat(repeat=3, number=number)) / number
    return out


def main():
    args = arguments()
    binary, only = args.binary, args.filter
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    args = [binary, "--benchmark_format=json", "--benchmark_min_time=0.2", "--benchmark_repetitions=3",
            "--benchmark_report_aggregates_only=true"]
    try:
        run = json.loads(subprocess.run(args, env=env, check=True, capture_output=True, text=True).stdout)
    except subprocess.CalledProcessError as e:
        sys.exit(f"data_plane_compare.py: {binary} failed (exit status {e.returncode})")
    except ValueError:
        sys.exit(f"data_plane_compare.py: {binary} gave no benchmark results")
    ours = {}
    for b in run["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"]
        ours[name] = (b["cpu_time"] * 1e-9, b["bytes_per_second"])  # seconds, bytes/s
    theirs = time_numpy(only)
    print(f"{'case':36} {'GB/s':>7} {'memcpy GB/s':>11} {'of memcpy':>9} {'us':>9} {'numpy us':>9} {'vs numpy':>8}")
    for name, (t, rate) in ours.items():
        if name.startswith("memcpy/") or (only and not re.search(only, name)):
            continue
        h, w, c = (int(v) for v in name.split("/")[1].split("x"))
        # Bytes counted per call: the int8 item for the transpositions, the
        # float32 item otherwise (as the benchmark binary counts them).
        bytes_per_call = h * w * c * (1 if name.startswith("transpose") else 4)
        base = ours.get(f"memcpy/{bytes_per_call}", (0, 0))[1]
        share = f"{rate / base * 100:8.0f}%" if base else "        -"
        line = f"{name:36} {rate / 1e9:7.2f} {base / 1e9 if base else float('nan'):11.2f} {share} {t * 1e6:9.1f}"
        if name in theirs:
            line += f" {theirs[name] * 1e6:9.1f} {theirs[name] / t:7.1f}x"
        else:
            line += f" {'-':>9} {'-':>8}"
        print(line)


if __name__ == "__main__":
    main()
