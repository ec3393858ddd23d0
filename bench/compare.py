#!/usr/bin/python3
"""Runs a benchmark binary (bench_halvex or bench_halvex_copy) and
numpy_bench.py on the same cases in one go, single-threaded, and prints
halvex time / numpy time per case (below 1: halvex is faster). When the
binary has a memcpy case, each case's speed relative to memcpy of the same
run is printed too (1.0: as fast as memcpy).

    bench/compare.py build/bench/bench_halvex [filter]
    bench/compare.py build/bench/bench_halvex_copy
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

from bench_cli import Parser, pattern, program

HERE = os.path.dirname(os.path.abspath(__file__))
REPETITIONS = 5
# numpy baselines shown beside the main one: with positions too, or writing a
# row-major result as the tensor library does.
ALSO = {"sort": "sort_with_indices", "add_transposed": "add_transposed_order_c",
        "multiply_transposed": "multiply_transposed_order_c"}


def arguments():
    parser = Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binary", type=program, help="bench_halvex or bench_halvex_copy of the build")
    parser.add_argument("filter", nargs="?", default="", type=pattern,
                        help="a regular expression of the cases to run (default: all)")
    return parser.parse_args()


def run_binary(binary, only, env):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        args = [binary, "--benchmark_min_time=0.1", "--benchmark_repetitions=" + str(REPETITIONS),
                "--benchmark_enable_random_interleaving=true",
                "--benchmark_out=" + out.name, "--benchmark_out_format=json"]
        if only:
            args.append("--benchmark_filter=" + only)
        subprocess.run(args, env=env, check=True, stdout=subprocess.DEVNULL)
        return json.load(out)


def main():
    args = arguments()
    binary, only = args.binary, args.filter
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    try:
        halvex = run_binary(binary, only, env)
    except subprocess.CalledProcessError as e:
        sys.exit(f"compare.py: {binary} failed (exit status {e.returncode})")
    except ValueError:
        sys.exit(f"compare.py: {binary} gave no benchmark results")
    # CPU time on both sides, the fastest repetition: the comparison holds on
    # a busy machine too.
    ours = {}
    runs = [b for b in halvex["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    for b in sorted(runs, key=lambda b: b.get("family_index", 0)):  # in the binary's order
        name, t = b["run_name"].replace("/real_time", ""), b["cpu_time"] * 1e-6  # us
        ours[name] = min(t, ours.get(name, t))
    names = list(ours) + [n.replace(op + "/", ALSO[op] + "/", 1) for n in ours for op in [n.split("/")[0]] if op in ALSO]
    pattern = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    theirs = json.loads(subprocess.run(["/usr/bin/python3", os.path.join(HERE, "numpy_bench.py"), pattern], env=env,
                                       check=True, capture_output=True, text=True).stdout)
    memcpy = next((t for n, t in ours.items() if n.startswith("memcpy/")), None)
    print(f"{'case':48} {'halvex cpu us':>11} {'numpy cpu us':>11} {'ratio':>7}" + ("  x memcpy" if memcpy else ""))
    for name, t in ours.items():
        base = theirs.get(name)
        line = f"{name:48} {t * 1e6:11.1f} {base * 1e6 if base else float('nan'):11.1f} "
        line += f"{t / base:7.2f}" if base else "      -"
        if memcpy:
            line += f"  {memcpy / t:8.2f}"
        op = name.split("/")[0]
        if op in ALSO:
            other = theirs.get(name.replace(op + "/", ALSO[op] + "/", 1))
            if other:
                line += f"   (vs {ALSO[op]}: {t / other:.2f})"
        print(line)


if __name__ == "__main__":
    main()
