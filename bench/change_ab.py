#!/usr/bin/env python3
"""Durable one-item change against the rewrite floor, runs interleaved.

The disk's fsync latency drifts by tens of per cent within minutes, so a
library run and a floor run minutes apart do not compare. This runs
`qorvane_job write` and `floor_job write` (and, with --baseline-job, the
qorvane_job of another build, for before/after figures) in turns, ROUNDS
times per size, each run a median of ITERS changes, and prints the median
and quartiles of the runs and the ratio of medians to the floor.

Usage:
  python3 bench/change_ab.py --build-dir build/bench [--sizes 4k,1m,32m]
                             [--rounds 21] [--baseline-job PATH]
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import tempfile

SIZES = {"4k": 4 << 10, "1m": 1 << 20, "32m": 32 << 20}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default="build/bench")
    ap.add_argument("--sizes", default="4k,1m,32m")
    ap.add_argument("--rounds", type=int, default=21)
    ap.add_argument("--baseline-job", help="qorvane_job of another build, shown as 'before'")
    args = ap.parse_args()
    bdir = os.path.join(os.path.abspath(args.build_dir), "bench")
    jobs = [("Qorvane", os.path.join(bdir, "qorvane_job"), False)]
    if args.baseline_job:
        jobs.append(("before", os.path.abspath(args.baseline_job), False))
    jobs.append(("floor", os.path.join(bdir, "floor_job"), True))
    scratch = tempfile.mkdtemp(prefix="qorvane-ab-", dir="/tmp")
    try:
        for size in [s.strip() for s in args.sizes.split(",") if s.strip()]:
            iters = "20" if SIZES[size] < (8 << 20) else "5"
            dirs = {}
            for name, _, _ in jobs:
                d = os.path.join(scratch, "%s-%s" % (name, size))
                os.makedirs(d)
                subprocess.run([os.path.join(bdir, "qorvane_gen"), os.path.join(d, "QorRunningSet.Inf"),
                                str(SIZES[size])], stdout=subprocess.DEVNULL, check=True)
                dirs[name] = d
            times = {name: [] for name, _, _ in jobs}
            for _ in range(args.rounds):
                for name, binary, wants_file in jobs:
                    target = os.path.join(dirs[name], "QorRunningSet.Inf") if wants_file else dirs[name]
                    out = subprocess.run([binary, "write", target, "--min", iters, "--max", iters, "--budget-ms", "0"],
                                         capture_output=True, text=True, check=True).stdout
                    times[name].append(int(re.search(r"median_ns=(\d+)", out).group(1)))
            floor = statistics.median(times["floor"])
            for name, _, _ in jobs:
                t = sorted(times[name])
                med = statistics.median(t)
                print("%-4s %-8s median %9.1f us  quartiles %9.1f-%9.1f us  %.2fx the floor" % (
                    size, name, med / 1e3, t[len(t) // 4] / 1e3, t[(3 * len(t)) // 4] / 1e3, med / floor))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
