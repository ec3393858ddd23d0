"""Python's overhead per synchronous inference: the same call on the same tiny model file from C++
(build/bench/bench_infer_call) and from Python through ophel, back to back in one run.

    /usr/bin/python3 bench/python_overhead.py [BUILD_DIR] [requests]

The model is tests/models/identity_int8.json (a 4x4x8 float32 input and output, one card run per
request) on one core of the simulated card. Each round runs the C++ binary, then the Python loop;
the overhead is the median over the rounds of Python p50 - C++ p50 (aim: at most 10 us), shown beside
the difference of the two sides' best p50 (the rounds least disturbed by other work on the machine)."""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build"
REQUESTS = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
ROUNDS = 7

sys.path.insert(0, str(BUILD / "python"))
import numpy as np  # noqa: E402

import ophel  # noqa: E402


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


def cpp_side(path, requests):
    run = subprocess.run([str(BUILD / "bench" / "bench_infer_call"), path, str(requests)], capture_output=True,
                         text=True, check=True)
    # The driver layer prints its connection details on the same stream.
    rows = [line.split() for line in run.stdout.splitlines() if line.startswith(("returning ", "into "))]
    return {form: (float(p50), float(p99)) for form, p50, p99 in rows}


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "identity_int8.zrb")
        subprocess.run([str(BUILD / "tools" / "zrbgen"), str(ROOT / "tests" / "models" / "identity_int8.json"), path],
                       check=True)
        p50s = {form: {"C++": [], "Python": []} for form in ("returning", "into")}
        print(f"Synchronous inference of a 4x4x8 float32 item, {REQUESTS} requests per side and round (us)")
        for r in range(ROUNDS):
            cpp, py = cpp_side(path, REQUESTS), python_side(path, REQUESTS)
            for form in p50s:
                p50s[form]["C++"].append(cpp[form][0])
                p50s[form]["Python"].append(py[form][0])
                print(f"  round {r + 1} {form:9s}  C++ p50 {cpp[form][0]:7.1f} p99 {cpp[form][1]:7.1f}   "
                      f"Python p50 {py[form][0]:7.1f} p99 {py[form][1]:7.1f}")
        for form, sides in p50s.items():
            differences = [p - c for p, c in zip(sides["Python"], sides["C++"])]
            print(f"Python overhead per call ({form}): median p50 difference {statistics.median(differences):.1f} us, "
                  f"best p50 {min(sides['Python']):.1f} - {min(sides['C++']):.1f} = "
                  f"{min(sides['Python']) - min(sides['C++']):.1f} us (aim: at most 10)")


if __name__ == "__main__":
    main()
