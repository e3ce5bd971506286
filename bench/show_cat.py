#!/usr/bin/python3
"""`qorvane show KEY` of a large key against `cat` of the same file, as whole
processes, their output to /dev/null. The file holds the key PrinterSet
with N items "ItemK = valueK;" (CR LF) between two small keys, as
qorvane_flat_bench writes it. Interleaved rounds; prints the medians and
their ratios (show / cat, show --json / cat).

"show's floor" is bench/drivers/show_floor.cpp: what a show that holds its
output until the file is let go costs with no parse at all (reading the file
into a text of the output's size, then writing it).

Usage: bench/show_cat.py --build-dir build/release [--items 1000000] [--rounds 11]
Run it in a private IPC namespace with its own /dev/shm to keep the
machine's access counter out of it:
    unshare -m -i --propagation private sh -c 'mount -t tmpfs tmpfs /dev/shm && bench/show_cat.py ...'
"""
import argparse
import os
import statistics
import subprocess
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--items", type=int, default=1000000)
    parser.add_argument("--rounds", type=int, default=11)
    args = parser.parse_args()
    tool = os.path.join(os.path.abspath(args.build_dir), "tools", "qorvane", "qorvane")

    with tempfile.TemporaryDirectory(prefix="qorvane-showcat-") as directory:
        path = os.path.join(directory, "QorRunningSet.Inf")
        lines = ["; generated", "[Before]", "A = 1;", "B = 2;", "", "[PrinterSet]"]
        lines += [f"Item{k} = value{k};" for k in range(args.items)]
        lines += ["", "[HotKeySet]", "Key1 = F1;", "Key2 = F2;", ""]
        with open(path, "w", newline="") as f:
            f.write("\r\n".join(lines))

        commands = {
            "cat": ["cat", path],
            "show": [tool, "-d", directory, "show", "PrinterSet"],
            "show --json": [tool, "-d", directory, "show", "--json", "PrinterSet"],
        }
        show_floor = os.path.join(os.path.abspath(args.build_dir), "bench", "show_floor")
        if os.path.exists(show_floor):
            commands["show's floor"] = [show_floor, path]
        shown = subprocess.run(commands["show"], check=True, capture_output=True).stdout
        printed = shown.count(b"\n")
        if printed != args.items:
            raise SystemExit(f"show printed {printed} lines, not {args.items}")
        times = {name: [] for name in commands}
        with open(os.devnull, "wb") as null:
            for _ in range(args.rounds):
                for name, command in commands.items():
                    start = time.perf_counter()
                    subprocess.run(command, check=True, stdout=null)
                    times[name].append(time.perf_counter() - start)
        cat = statistics.median(times["cat"])
        size = os.path.getsize(path)
        print(f"{args.items} items, {size / 1e6:.1f} MB; medians of {args.rounds} rounds")
        for name in commands:
            median = statistics.median(times[name])
            print(f"{name:14s} {median * 1e3:8.1f} ms  {median / cat:6.2f}x cat")


if __name__ == "__main__":
    main()
