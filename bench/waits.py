#!/usr/bin/env python3
"""How long the waiting calls wait: readers and writers in separate processes.

Cases, on the generated 4 KiB file with a private counter (qorvane_job mix and
contend-wait, see bench/drivers/qorvane_job.cpp):
  1 writer alone      OpenKeyWait / SetItem of its own item / CloseKeyWait
  1 writer + 4 readers   readers loop OpenKeyWait / GetItem / CloseKey
  4 readers alone
  1 writer + 1 reader    (ratios to its own median close)
  1 writer + 4 readers at nice 19   the writer with a processor nearly to itself
  1 and 8 writers adding items of their own (the contention of compare.py)
  4 and 5 busy loops of 10 us (qorvane_job spin): the scheduler's floor, what
  any process that loops on this machine sees, with no file and no wait

Each case runs --seconds per run; runs of all cases are interleaved, so that a
slow spell of the disk falls on every case alike. Ratios are within one run
(same file, same machine, same minute): the readers' p99.9 and max open time
against the writer's median close of that run, the writer's rate against the
writer alone. Printed as a markdown table per run.

Usage:
  python3 bench/waits.py --build-dir build/release [--runs 3] [--seconds 4]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

SETTINGS = "QorRunningSet.Inf"


def parse_kv(text):
    out = {}
    for tok in text.split():
        if "=" in tok:
            k, v = tok.split("=", 1)
            out[k] = v
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=4.0)
    ap.add_argument("--contend-ops", type=int, default=480)
    args = ap.parse_args()
    job = os.path.join(args.build_dir, "bench", "qorvane_job")
    gen = os.path.join(args.build_dir, "bench", "qorvane_gen")
    scratch = tempfile.mkdtemp(prefix="qorvane-waits-", dir=os.environ.get("TMPDIR") or "/tmp")
    try:
        orig = os.path.join(scratch, "orig.inf")
        subprocess.run([gen, orig, str(4 << 10)], check=True)

        def fresh(tag):
            d = os.path.join(scratch, tag)
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
            shutil.copyfile(orig, os.path.join(d, SETTINGS))
            return d

        def run(argv):
            res = subprocess.run(argv, capture_output=True, text=True)
            kv = parse_kv(res.stdout)
            kv["rc"] = res.returncode
            if res.returncode != 0:
                kv["err"] = res.stderr.strip()[-300:]
            return kv

        # "1 writer + 1 reader" gives each process a processor of its own on
        # a 2-CPU machine: what the hand-off costs without time-slicing.
        # "at nice 19" leaves the writer a processor nearly to itself: what
        # it keeps when it need not share one with four busy readers.
        cases = [("1 writer alone", ["mix", 1, 0, 0]), ("1 writer + 4 readers", ["mix", 1, 4, 0]),
                 ("4 readers alone", ["mix", 0, 4, 0]), ("1 writer + 1 reader", ["mix", 1, 1, 0]),
                 ("1 writer + 4 readers at nice 19", ["mix", 1, 4, 19])]
        for rep in range(args.runs):
            got = {}
            for name, (mode, w, r, nice) in cases:
                got[name] = run([job, mode, fresh("mix"), str(w), str(r), str(args.seconds), str(nice)])
            for n in (4, 5):
                got["spin %d" % n] = run([job, "spin", fresh("spin"), str(n), str(args.seconds), "10"])
            for n in (1, 8):
                got["contend %d" % n] = run([job, "contend-wait", fresh("contend"), str(n),
                                            str(args.contend_ops // n)])
            alone = float(got["1 writer alone"].get("writer_rate", 0))
            print("Run %d of %d (%.0f s per case)" % (rep + 1, args.runs, args.seconds))
            print()
            print("| case | writer rate | x alone | close p50 | close p99 | reader open p50 | p99 | p99.9 | max "
                  "| p99.9 / close p50 | max / close p50 | lost |")
            print("|---|---|---|---|---|---|---|---|---|---|---|---|")
            close_ref = float(got["1 writer + 4 readers"].get("close_p50_ms", 0)) or \
                float(got["1 writer alone"].get("close_p50_ms", 0))
            for name, _ in cases:
                kv = got[name]
                wr = float(kv.get("writer_rate", 0))
                c50 = float(kv.get("close_p50_ms", 0))
                ref = c50 or close_ref
                o999, omax = float(kv.get("open_p999_ms", 0)), float(kv.get("open_max_ms", 0))
                has_r = float(kv.get("reader_rate", 0)) > 0
                print("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                    name, "%.0f/s" % wr if wr else "", "%.2fx" % (wr / alone) if wr and alone else "",
                    "%.2f ms" % c50 if c50 else "", "%.2f ms" % float(kv["close_p99_ms"]) if c50 else "",
                    "%.3f ms" % float(kv["open_p50_ms"]) if has_r else "",
                    "%.2f ms" % float(kv["open_p99_ms"]) if has_r else "",
                    "%.2f ms" % o999 if has_r else "", "%.2f ms" % omax if has_r else "",
                    "%.1fx" % (o999 / ref) if has_r and ref else "", "%.1fx" % (omax / ref) if has_r and ref else "",
                    kv.get("lost", "?") if kv["rc"] == 0 else "FAILED: " + kv.get("err", "")))
            c1, c8 = got["contend 1"], got["contend 8"]
            r1, r8 = float(c1.get("ops_per_s", 0)), float(c8.get("ops_per_s", 0))
            print("| 8 writers adding items (1 writer: %.0f/s, close p99 %s ms) | %.0f/s | %.2fx | %s ms | %s ms "
                  "| open p99 %s ms | open + close p50 %s ms | p99 %s ms | | | | %s |" % (
                      r1, c1.get("close_p99_ms"), r8, r8 / r1 if r1 else 0, c8.get("close_p50_ms"),
                      c8.get("close_p99_ms"), c8.get("open_p99_ms"), c8.get("round_p50_ms", "?"),
                      c8.get("round_p99_ms", "?"),
                      c8.get("lost", "?") if c8["rc"] == 0 and c1["rc"] == 0 else "FAILED"))
            for n in (4, 5):
                kv = got["spin %d" % n]
                o999, omax = float(kv.get("spin_p999_ms", 0)), float(kv.get("spin_max_ms", 0))
                print("| %d busy loops of 10 us, no file (the scheduler's floor) | | | | | %.3f ms | %.2f ms | %.2f ms "
                      "| %.2f ms | %s | %s | |" % (
                          n, float(kv.get("spin_p50_ms", 0)), float(kv.get("spin_p99_ms", 0)), o999, omax,
                          "%.1fx" % (o999 / close_ref) if close_ref else "",
                          "%.1fx" % (omax / close_ref) if close_ref else ""))
            print("(p99.9 / close p50 and max / close p50 use the writer's median close of the 1 writer + 4 readers "
                  "case, %.2f ms)" % close_ref)
            print()
            sys.stdout.flush()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
