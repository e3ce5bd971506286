#!/usr/bin/python3
"""Reading one item from Python: through the module (open_key, get, leave
the with-block, which writes nothing) against running `qorvane get` as a
process, on a generated 4 KiB settings file. Interleaved rounds; prints the
medians and their ratio.

Usage: bench/python_get.py --build-dir build/release [--rounds 11] [--calls 200]
The module is taken from BUILD_DIR/python and the tool from BUILD_DIR. Run
it in a private IPC namespace with its own /dev/shm to keep the machine's
access counter out of it:
    unshare -m -i --propagation private sh -c 'mount -t tmpfs tmpfs /dev/shm && bench/python_get.py ...'
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)
    sys.path.insert(0, os.path.join(build, "python"))
    import qorvane

    with tempfile.TemporaryDirectory(prefix="qorvane-pyget-") as directory:
        path = os.path.join(directory, "QorRunningSet.Inf")
        subprocess.run([os.path.join(build, "bench", "qorvane_gen"), path, "4096"], check=True)
        tool = [os.path.join(build, "tools", "qorvane", "qorvane"), "-d", directory, "get", "PrinterSet", "DefaultPrinter"]
        expected = subprocess.run(tool, check=True, capture_output=True, text=True).stdout.strip()

        def module_get():
            with qorvane.open_key(directory, "PrinterSet") as key:
                return key.get("DefaultPrinter")

        def process_get():
            return subprocess.run(tool, check=True, capture_output=True, text=True).stdout.strip()

        assert module_get() == expected
        per_call = {"module": [], "process": []}
        for _ in range(args.rounds):
            for name, call, calls in (("module", module_get, args.calls), ("process", process_get, max(1, args.calls // 10))):
                start = time.perf_counter()
                for _ in range(calls):
                    call()
                per_call[name].append((time.perf_counter() - start) / calls)
        module = statistics.median(per_call["module"])
        process = statistics.median(per_call["process"])
        print(f"module get:        {module * 1e6:8.1f} us (median of {args.rounds} rounds of {args.calls})")
        print(f"qorvane get (proc): {process * 1e6:8.1f} us")
        print(f"ratio process/module: {process / module:.1f}x")


if __name__ == "__main__":
    main()
