"""Host memory the simulated card takes when a model is launched again, and the address space a
launch that failed for want of memory leaves behind.

    /usr/bin/python3 bench/relaunch_memory.py [BUILD_DIR] [--limit BYTES]

The card's device memory is host memory of the process. Each case runs in a process of its own on
card 0 (the card's own cap, 1 GiB), with a model made by zrbgen from examples/demo_model.json:

  zeros        a section without payload of 96 MiB on each of 8 cores, launched and disposed three
               times on one Accelerator;
  same bytes   the same with a payload of 96 MiB (byte 0x5A) instead;
  other bytes  as "same bytes", each launch writing bytes other than those the one before wrote
               (0x5A, 0xA5, 0x5A): the card copies each page it changes while the launch is in
               progress.

For each launch it prints the process's resident set (VmRSS) once the launch returned, the ratio to
the first launch's (the aim: at most 1.15), the peak resident set during the launch (VmHWM, reset
before it where the kernel lets a process do so) and the resident set after dispose.

  failed launch  under a standing address-space limit (RLIMIT_AS, default 900000000 bytes), a
               launch of tests/models/two_variants.json with four sections without payload of
               512 MiB, each 4 KiB below the one before (the file of python/tests/test_model.py),
               on every core (the default configuration), fails; it
               prints the address space (VmSize) before and after that launch, and whether the demo
               model then launches and infers right on the same Accelerator, with the limit still
               in place."""
import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from bench_cli import Parser

ROOT = Path(__file__).resolve().parents[1]
MIB = 1 << 20
CORES = 8
SECTION = 96 * MIB


def byte_count(text):
    if not text.isdigit() or not 100 * MIB <= int(text) <= 1 << 40:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of bytes from 104857600 to 2**40")
    return int(text)


def arguments():
    parser = Parser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", nargs="?", type=Path, default=ROOT / "build",
                        help="the build folder (default: build); it holds tools/zrbgen and python/ophel")
    parser.add_argument("--limit", type=byte_count, default=900000000,
                        help="the address-space limit of the failed launch, in bytes (default 900000000)")
    args = parser.parse_args()
    if not (args.build / "tools" / "zrbgen").is_file():
        parser.error(f"{args.build} has no tools/zrbgen (a plain build makes it)")
    if not any((args.build / "python").glob("ophel*.so")):
        parser.error(f"{args.build} has no python/ophel module (a plain build makes it)")
    return args


def make_model(build, folder, name, sections, source=ROOT / "examples" / "demo_model.json"):
    """The model of `source` (the demo's) with `sections` added to its first bundle; returns the
    file's path."""
    description = json.loads(source.read_text())
    description["bundles"][0]["section_binaries"].extend(sections)
    path = folder / f"{name}.zrb"
    subprocess.run([str(build / "tools" / "zrbgen"), "-", str(path)], input=json.dumps(description), text=True,
                   check=True)
    return str(path)


def on_each_core(size, address, payload=None):
    section = {"memory_type": 2, "size": size,
               "designations": [{"each_core": True, "region": "DDR", "address": address}]}
    if payload is None:
        section["no_payload"] = True
    else:
        section["payload"] = {"repeat": {"size": size, "byte": payload}}
    return section


# The child: runs one case and prints one JSON line.
CHILD = r"""
import json
import resource
import sys

import numpy as np

import ophel


def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(key + ":"))


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def infers(model):
    x = np.arange(-8, 8, dtype=np.float32).reshape(1, 1, 16)
    scores = np.asarray(model.infer([x])[0]).reshape(16)
    return bool(np.array_equal(scores, 2 * x.reshape(16) + 1))


ophel.set_log_level(ophel.LogLevel.OFF)
case, args = sys.argv[1], sys.argv[2:]
acc = ophel.Accelerator()
if case == "failed":
    limit, big, demo = int(args[0]), args[1], args[2]
    model = ophel.Model(big)  # the default configuration: every core
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
    before = status("VmSize")
    try:
        model.launch(acc)
        outcome = "launched"
    except ophel.OphelError as error:
        outcome = str(error).splitlines()[0]
    after = status("VmSize")
    try:
        second = ophel.Model(demo)
        second.launch(acc)
        next_launch = "infers right" if infers(second) else "infers wrong"
    except ophel.OphelError as error:
        next_launch = str(error).splitlines()[0]
    print(json.dumps({"before": before, "after": after, "outcome": outcome, "next": next_launch}))
else:
    config = ophel.ModelConfig()
    config.set_single_core_mode(8)
    rounds = []
    for path in args:
        model = ophel.Model(path, config)
        peak = reset_peak()
        model.launch(acc)
        launched = status("VmRSS")
        hwm = status("VmHWM") if peak else None
        right = infers(model)
        model.dispose()
        rounds.append({"launched": launched, "peak": hwm, "disposed": status("VmRSS"), "right": right})
    print(json.dumps(rounds))
"""


def child(build, *args):
    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    env.pop("OPHEL_SIM_MEMORY_CAP", None)
    env.pop("OPHEL_SIM_CARDS", None)
    run = subprocess.run([sys.executable, "-c", CHILD, *args], capture_output=True, text=True, env=env, timeout=600)
    if run.returncode != 0:
        sys.exit(f"the {args[0]} case failed:\n{run.stdout}{run.stderr}")
    return json.loads(run.stdout.strip().splitlines()[-1])


def mb(n):
    return f"{n / 1e6:8.1f} MB"


def main():
    args = arguments()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        zeros = make_model(args.build, folder, "zeros", [on_each_core(SECTION, 16 * MIB)])
        bytes5a = make_model(args.build, folder, "bytes5a", [on_each_core(SECTION, 16 * MIB, 0x5A)])
        bytesa5 = make_model(args.build, folder, "bytesa5", [on_each_core(SECTION, 16 * MIB, 0xA5)])
        big = make_model(args.build, folder, "big",
                         [on_each_core(512 * MIB, 16 * MIB + (3 - k) * 4096) for k in range(4)],
                         ROOT / "tests" / "models" / "two_variants.json")
        demo = make_model(args.build, folder, "demo", [])
        print(f"A section of {SECTION // MIB} MiB on each of {CORES} cores, three launches on one Accelerator:")
        print(f"{'case':<12} {'launch':>6} {'after launch':>12} {'ratio':>6} {'peak':>12} {'after dispose':>13}")
        worst = 0.0
        for name, paths in (("zeros", [zeros] * 3), ("same bytes", [bytes5a] * 3),
                            ("other bytes", [bytes5a, bytesa5, bytes5a])):
            rounds = child(args.build, "rounds", *paths)
            first = rounds[0]["launched"]
            for k, r in enumerate(rounds, 1):
                ratio = r["launched"] / first
                worst = max(worst, ratio)
                peak = mb(r["peak"]) if r["peak"] is not None else f"{'n/a':>11}"
                wrong = "" if r["right"] else "  (inferred wrong)"
                print(f"{name:<12} {k:>6} {mb(r['launched'])} {ratio:6.2f} {peak} {mb(r['disposed'])}{wrong}")
        print(f"worst ratio to the first launch: {worst:.2f} (aim: at most 1.15)")
        failed = child(args.build, "failed", str(args.limit), big, demo)
        print(f"Under RLIMIT_AS = {args.limit} bytes, four sections without payload of 512 MiB:")
        print(f"  launch: {failed['outcome']}")
        print(f"  address space before it {mb(failed['before']).strip()}, after it {mb(failed['after']).strip()}")
        print(f"  the demo model then: {failed['next']}")


if __name__ == "__main__":
    main()
