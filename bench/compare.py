#!/usr/bin/python3
"""Runs bench_halvex and numpy_bench.py in one go, single-threaded, and
prints halvex time / numpy time per case (below 1: halvex is faster).

    bench/compare.py build/bench/bench_halvex [filter]
"""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# numpy baselines that also return positions, shown beside the values-only one.
ALSO = {"sort": "sort_with_indices"}


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    binary, only = sys.argv[1], (sys.argv[2] if len(sys.argv) > 2 else "")
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    args = [binary, "--benchmark_format=json", "--benchmark_min_time=0.2"]
    if only:
        args.append("--benchmark_filter=" + only)
    halvex = json.loads(subprocess.run(args, env=env, check=True, capture_output=True, text=True).stdout)
    # CPU time on both sides: the comparison holds on a busy machine too.
    ours = {b["name"].replace("/real_time", ""): b["cpu_time"] * 1e-6 for b in halvex["benchmarks"]}  # us
    theirs = json.loads(subprocess.run(["/usr/bin/python3", os.path.join(HERE, "numpy_bench.py"), only], env=env,
                                       check=True, capture_output=True, text=True).stdout)
    print(f"{'case':48} {'halvex cpu us':>11} {'numpy cpu us':>11} {'ratio':>7}")
    for name, t in ours.items():
        base = theirs.get(name)
        line = f"{name:48} {t * 1e6:11.1f} {base * 1e6 if base else float('nan'):11.1f} "
        line += f"{t / base:7.2f}" if base else "      -"
        op = name.split("/")[0]
        if op in ALSO:
            other = theirs.get(name.replace(op + "/", ALSO[op] + "/", 1))
            if other:
                line += f"   (vs {ALSO[op]}: {t / other:.2f})"
        print(line)


if __name__ == "__main__":
    main()
