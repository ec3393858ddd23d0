"""Python's overhead per synchronous inference: the same call on the same tiny model file from C++
(build/bench/bench_infer_call) and from Python through ophel, back to back in one run.

    /usr/bin/python3 bench/python_overhead.py [BUILD_DIR] [requests]

The model is tests/models/identity_int8.json (a 4x4x8 float32 input and output, one card run per
request) on one core of the simulated card. Each of 7 rounds runs both sides back to back, the C++
binary first in odd rounds and the Python loop first in even ones, so that load which comes and goes
falls on both sides alike. The overhead is the median over the rounds of the round's Python p50 -
C++ p50 (aim: at most 10 us), with the spread of those differences (interquartile range, min, max)."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bench_cli import Parser

ROOT = Path(__file__).resolve().parents[1]
ROUNDS = 7
ophel = None  # imported from the build folder given


def count(text):
    if not text.isdigit() or not 1 <= int(text) <= 100000000:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number from 1 to 100000000")
    return int(text)


def arguments():
    """The build folder and requests per side; imports ophel from that folder."""
    global ophel
    parser = Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", nargs="?", type=Path, default=ROOT / "build",
                        help="the build folder (default: build); it holds bench_infer_call, zrbgen and ophel")
    parser.add_argument("requests", nargs="?", type=count, default=5000,
                        help="requests per side and round (default 5000; the C++ side takes at least 100)")
    args = parser.parse_args()
    for needed in (args.build / "bench" / "bench_infer_call", args.build / "tools" / "zrbgen"):
        if not needed.is_file():
            parser.error(f"{args.build} has no {needed.relative_to(args.build)} (a plain build makes it)")
    sys.path.insert(0, str(args.build / "python"))
    try:
        import ophel as module
    except ImportError as e:
        parser.error(f"no ophel module in {args.build / 'python'} ({e})")
    ophel = module
    return args.build, args.requests


def percentiles(us):
    us = sorted(us[len(us) // 11:])  # the first tenth warms up
    return us[len(us) // 2], us[len(us) * 99 // 100]


def python_side(path, requests):
    ophel.set_log_level(ophel.LogLevel.WARN)
    acc = ophel.Accelerator(0)
    config = ophel.ModelConfig()
    core = ophel.CoreId()
    core.cluster, core.core = ophel.Cluster.Cluster0, ophel.Core.Core0
    config.set_single_core_mode([core])
    model = ophel.Model(path, config)
    model.launch(acc)
    x = np.full(model.get_model_input_shape()[0], 3.0, np.float32)
    out = [np.zeros_like(x)]
    results = {}
    clock = time.perf_counter
    for form, call in (("returning", lambda: model.infer([x])), ("into", lambda: model.infer([x], out))):
        us = []
        for _ in range(requests + requests // 10):
            t0 = clock()
            call()
            us.append((clock() - t0) * 1e6)
        results[form] = percentiles(us)
    model.dispose()
    return results


def cpp_side(build, path, requests):
    run = subprocess.run([str(build / "bench" / "bench_infer_call"), path, str(requests)], capture_output=True,
                         text=True, check=True)
    # The driver layer prints its connection details on the same stream.
    rows = [line.split() for line in run.stdout.splitlines() if line.startswith(("returning ", "into "))]
    return {form: (float(p50), float(p99)) for form, p50, p99 in rows}


def main():
    build, requests = arguments()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "identity_int8.zrb")
        subprocess.run([str(build / "tools" / "zrbgen"), str(ROOT / "tests" / "models" / "identity_int8.json"), path],
                       check=True)
        p50s = {form: {"C++": [], "Python": []} for form in ("returning", "into")}
        print(f"Synchronous inference of a 4x4x8 float32 item, {requests} requests per side and round (us)")
        for r in range(ROUNDS):
            if r % 2 == 0:
                cpp = cpp_side(build, path, requests)
                py = python_side(path, requests)
            else:
                py = python_side(path, requests)
                cpp = cpp_side(build, path, requests)
            for form in p50s:
                p50s[form]["C++"].append(cpp[form][0])
                p50s[form]["Python"].append(py[form][0])
                print(f"  round {r + 1} {form:9s}  C++ p50 {cpp[form][0]:7.1f} p99 {cpp[form][1]:7.1f}   "
                      f"Python p50 {py[form][0]:7.1f} p99 {py[form][1]:7.1f}   "
                      f"difference {py[form][0] - cpp[form][0]:7.1f}")
        for form, sides in p50s.items():
            # Paired within a round: both sides saw the same load.
            differences = [p - c for p, c in zip(sides["Python"], sides["C++"])]
            q1, _, q3 = statistics.quantiles(differences, n=4)
            median = statistics.median(differences)
            print(f"Python overhead per call ({form}): median p50 difference {median:.1f} us over {ROUNDS} rounds "
                  f"(interquartile {q1:.1f} to {q3:.1f}, min {min(differences):.1f}, max {max(differences):.1f}; "
                  f"aim: at most 10)")
            if median < 0:
                print("  below zero: in most rounds the load on the machine changed between the two sides; run it "
                      "again on a quieter machine (or pinned with taskset -c N)")


if __name__ == "__main__":
    main()
