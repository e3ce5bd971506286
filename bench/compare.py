#!/usr/bin/env python3
"""Side-by-side comparison of Qorvane with peer INI/config readers and writers.

Two jobs on the same generated settings files (bench/InfGen.cpp, through the
qorvane_gen program):
  read   read one item from the middle key (PrinterSet/DefaultPrinter)
  write  change one item (PrinterSet/PaperSize) and save the file
for the library (drivers/qorvane_job.cpp, timed in-process), the peer
libraries (drivers/*_job.cpp, timed in-process), Python's configparser
(timed in-process in a child interpreter), and `git config --file` and
`crudini` (whole processes), plus two floors (drivers/floor_job.cpp). The
qorvane command-line tool is timed as a whole process against git config and
crudini when its binary exists. Contention: processes adding items of their
own with the plain calls and a back-off of their own (1 and 8), and through
the waiting calls OpenKeyWait/CloseKeyWait (1, 2, 4 and 8).

Every timing is a median over repeated runs; ratios are to Qorvane in the same
run. Whether a writer syncs to disk is observed with strace (fsync/fdatasync
/sync_file_range/syncfs calls per write), never assumed; nothing is fsync-ed
on a peer's behalf. After each write job the file is compared with the
original: "comments" says whether every comment line survived in order,
"untouched" whether every line but the changed one is byte-for-byte the same.

Usage:
  python3 bench/compare.py --build-dir build/bench [--sizes 4k,1m,32m]
                           [--markdown FILE] [--install] [--keep]
"""

import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SIZES = {"4k": 4 << 10, "1m": 1 << 20, "32m": 32 << 20}
SIZE_LABEL = {"4k": "4 KiB", "1m": "1 MiB", "32m": "32 MiB"}
SETTINGS = "QorRunningSet.Inf"
KEY, READ_ITEM, READ_VALUE, WRITE_ITEM = "PrinterSet", "DefaultPrinter", "Office-Main", "PaperSize"
APT_PACKAGES = ["libglib2.0-dev", "libsimpleini-dev", "libinih-dev", "libiniparser-dev",
                "crudini", "git", "strace"]

# Budget per measurement (seconds): stop after this once `min` runs are done;
# a very slow peer stops after HARD_CAP even before `min` runs.
BUDGET = {"4k": 1.5, "1m": 2.0, "32m": 4.0}
MIN_RUNS = 3
HARD_CAP = 12.0
# A measurement is killed after TIMEOUT seconds. Since every timing loop
# stops at its first run ending after HARD_CAP, a killed measurement means
# one run took more than TIMEOUT - HARD_CAP: reported as that lower bound.
TIMEOUT = 60.0

CONFIGPARSER_JOB = r"""
import configparser, sys, time
mode, path, min_runs, budget, cap = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
times, value, start = [], "", time.perf_counter()
i = 0
while True:
    t0 = time.perf_counter()
    cp = configparser.ConfigParser(interpolation=None, strict=False, comment_prefixes=(";", "#"))
    with open(path, encoding="latin-1") as f:
        cp.read_file(f)
    if mode == "read":
        value = cp["PrinterSet"]["DefaultPrinter"]
    else:
        value = "Letter" if i % 2 == 0 else "A4"
        cp["PrinterSet"]["PaperSize"] = value
        with open(path, "w", encoding="latin-1") as f:
            cp.write(f)
    t1 = time.perf_counter()
    times.append(t1 - t0)
    i += 1
    spent = t1 - start
    if (i >= min_runs and spent >= budget) or spent >= cap or i >= 200:
        break
times.sort()
print("median_ns=%d min_ns=%d iters=%d value=%s" % (times[len(times) // 2] * 1e9, times[0] * 1e9, len(times), value))
"""


def run(cmd, **kw):
    return subprocess.run(cmd, check=False, **kw)


def parse_kv(text):
    return dict(m.groups() for m in re.finditer(r"(\w+)=(\S*)", text))


def fs_type(path):
    try:
        return run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "unknown"


class Peer:
    """One row of the comparison."""

    def __init__(self, name, kind, read_cmd=None, write_cmd=None, hash_copy=False, target="file"):
        self.name = name
        self.kind = kind              # "lib" (in-process timing) or "proc" (whole process)
        self.read_cmd = read_cmd      # function(path, size) -> argv, or None
        self.write_cmd = write_cmd
        self.hash_copy = hash_copy    # runs on the '#'-comment copy
        self.target = target          # "file" or "dir" (what the command is given)


def lib_cmd(binary, mode):
    def make(path, size):
        return [binary, mode, path, "--min", str(MIN_RUNS), "--max", "200",
                "--budget-ms", str(int(BUDGET[size] * 1000)), "--cap-ms", str(int(HARD_CAP * 1000))]
    return make


def py_cmd(mode):
    def make(path, size):
        return [sys.executable, "-c", CONFIGPARSER_JOB, mode, path, str(MIN_RUNS), str(BUDGET[size]),
                str(HARD_CAP)]
    return make


def proc_cmd(argv_fn):
    return argv_fn


class Timing:
    def __init__(self, median_ns=None, iters=0, value="", error=None, bound=False):
        self.median_ns, self.iters, self.value, self.error = median_ns, iters, value, error
        self.bound = bound  # median_ns is only a lower bound (timed out)


def timed_out():
    return Timing(int((TIMEOUT - HARD_CAP) * 1e9), 0, "", None, bound=True)


def time_lib(argv):
    try:
        res = run(argv, capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return timed_out()
    if res.returncode != 0:
        return Timing(error=(res.stderr or res.stdout).strip()[:200] or "exit %d" % res.returncode)
    kv = parse_kv(res.stdout)
    return Timing(int(kv["median_ns"]), int(kv["iters"]), kv.get("value", ""))


def time_proc(argv_for_iter, size, want_value):
    """Whole-process timing: argv_for_iter(i) gives the command of run i."""
    times, start, value = [], time.perf_counter(), ""
    i = 0
    while True:
        argv = argv_for_iter(i)
        t0 = time.perf_counter()
        try:
            res = run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                      timeout=TIMEOUT - HARD_CAP)
        except subprocess.TimeoutExpired:
            if not times:
                return timed_out()
            break
        t1 = time.perf_counter()
        if res.returncode != 0:
            return Timing(error=("%s: %s" % (" ".join(argv[:2]), res.stderr.strip()))[:200])
        if want_value:
            value = res.stdout.strip()
        times.append(t1 - t0)
        i += 1
        spent = t1 - start
        if (i >= MIN_RUNS and spent >= BUDGET[size]) or spent >= HARD_CAP or i >= 200:
            break
    times.sort()
    return Timing(int(times[len(times) // 2] * 1e9), len(times), value)


FS_NAMES = {"ext2/ext3": "ext2/3/4 (statfs magic 0xEF53; ext4 here reports so)"}


def count_syncs(argv):
    """Sync calls made by one run of argv, seen by strace; None if unavailable."""
    if shutil.which("strace") is None:
        return None
    with tempfile.NamedTemporaryFile(prefix="qb-strace-", delete=False) as log:
        log_path = log.name
    try:
        res = run(["strace", "-f", "-qq", "-o", log_path,
                   "-e", "trace=fsync,fdatasync,sync_file_range,syncfs,sync,msync"] + argv,
                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if res.returncode != 0:
            return None
        with open(log_path) as f:
            return sum(1 for line in f if re.search(r"\b(fsync|fdatasync|sync_file_range|syncfs|sync|msync)\(", line)
                       and "= 0" in line)
    finally:
        os.unlink(log_path)


def comment_lines(lines):
    return [l for l in lines if l.lstrip(b" \t").startswith((b";", b"#"))]


def preservation(original, changed):
    """(comments kept, untouched lines identical) after a one-item write."""
    a = original.split(b"\n")
    b = changed.split(b"\n")
    comments = comment_lines(a) == comment_lines(b)
    if len(a) != len(b):
        return comments, False
    diff = [i for i in range(len(a)) if a[i] != b[i]]
    untouched = len(diff) <= 1 and all(WRITE_ITEM.lower().encode() in a[i].lower() for i in diff)
    return comments, untouched


def fmt_time(ns):
    if ns is None:
        return "-"
    if ns >= 1e9:
        return "%.2f s" % (ns / 1e9)
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    return "%.1f µs" % (ns / 1e3)


def fmt_ratio(x):
    if x is None:
        return "-"
    return "%.2fx" % x if x < 100 else "%.0fx" % x


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default="build/bench")
    ap.add_argument("--sizes", default="4k,1m,32m")
    ap.add_argument("--markdown", help="also write the report to this file")
    ap.add_argument("--install", action="store_true", help="apt-get install the peers first")
    ap.add_argument("--keep", action="store_true", help="keep the scratch directory")
    ap.add_argument("--contend-ops", type=int, default=96)
    ap.add_argument("--contend-wait-ops", type=int, default=480,
                    help="items added in all per run of the contention with OpenKeyWait/CloseKeyWait")
    ap.add_argument("--contend-runs", type=int, default=5, help="runs per process count of that contention")
    args = ap.parse_args()

    if args.install:
        run(["apt-get", "install", "-y"] + APT_PACKAGES)
        run(["cmake", "--build", args.build_dir])

    sizes = [s.strip().lower() for s in args.sizes.split(",") if s.strip()]
    for s in sizes:
        if s not in SIZES:
            sys.exit("unknown size %r (choose from %s)" % (s, ", ".join(SIZES)))
    bdir = os.path.join(os.path.abspath(args.build_dir), "bench")
    tool = os.path.join(os.path.abspath(args.build_dir), "tools", "qorvane", "qorvane")

    def binary(name):
        p = os.path.join(bdir, name)
        return p if os.access(p, os.X_OK) else None

    for required in ("qorvane_gen", "qorvane_job", "floor_job"):
        if binary(required) is None:
            sys.exit("%s not found in %s: build first (cmake --build %s)" % (required, bdir, args.build_dir))

    notes = []
    peers = [
        Peer("Qorvane", "lib", lib_cmd(binary("qorvane_job"), "read"), lib_cmd(binary("qorvane_job"), "write"),
             target="dir"),
        Peer("floor", "lib", lib_cmd(binary("floor_job"), "read"), lib_cmd(binary("floor_job"), "write")),
    ]
    for name, exe, has_write, hash_copy in (("GLib GKeyFile", "glib_job", True, True),
                                            ("SimpleIni", "simpleini_job", True, False),
                                            ("inih", "inih_job", False, False),
                                            ("iniparser", "iniparser_job", True, False)):
        b = binary(exe)
        if b is None:
            notes.append("%s skipped: driver %s not built (package missing; try --install)" % (name, exe))
            continue
        peers.append(Peer(name, "lib", lib_cmd(b, "read"), lib_cmd(b, "write") if has_write else None,
                          hash_copy=hash_copy))
    peers.append(Peer("Python configparser", "lib", py_cmd("read"), py_cmd("write")))
    procs = []
    if shutil.which("git"):
        procs.append(Peer("git config --file", "proc",
                          lambda p, i: ["git", "config", "--file", p, "%s.%s" % (KEY, READ_ITEM)],
                          lambda p, i: ["git", "config", "--file", p, "%s.%s" % (KEY, WRITE_ITEM),
                                        "Letter" if i % 2 == 0 else "A4"]))
    else:
        notes.append("git config skipped: git not installed")
    if shutil.which("crudini"):
        procs.append(Peer("crudini", "proc",
                          lambda p, i: ["crudini", "--get", p, KEY, READ_ITEM],
                          lambda p, i: ["crudini", "--set", p, KEY, WRITE_ITEM, "Letter" if i % 2 == 0 else "A4"]))
    else:
        notes.append("crudini skipped: not installed")
    tool_peer = None
    if os.access(tool, os.X_OK):
        tool_peer = Peer("qorvane tool", "proc",
                         lambda d, i: [tool, "-d", d, "get", KEY, READ_ITEM],
                         lambda d, i: [tool, "-d", d, "set", KEY, WRITE_ITEM, "Letter" if i % 2 == 0 else "A4"],
                         target="dir")
    else:
        notes.append("qorvane tool skipped: %s does not exist yet" % tool)
    true_peer = Peer("process floor (/bin/true)", "proc", lambda p, i: ["true"], lambda p, i: ["true"])

    scratch = tempfile.mkdtemp(prefix="qorvane-compare-", dir=os.environ.get("TMPDIR") or "/tmp")
    fstype = fs_type(scratch)
    fstype = FS_NAMES.get(fstype, fstype)
    results = {}      # (peer, job, size) -> Timing
    keeps = {}        # (peer, size) -> (comments, untouched)
    syncs = {}        # peer -> sync calls per write
    t_start = time.perf_counter()

    def workspace(peer, size, tag):
        d = os.path.join(scratch, "%s-%s-%s" % (re.sub(r"\W+", "_", peer.name), size, tag))
        os.makedirs(d, exist_ok=True)
        src = originals[size][1 if peer.hash_copy else 0]
        dst = os.path.join(d, SETTINGS)
        shutil.copyfile(src, dst)
        return d, dst

    originals = {}
    file_bytes = {}
    try:
        for size in sizes:
            plain = os.path.join(scratch, "orig-%s.inf" % size)
            hashed = os.path.join(scratch, "orig-%s-hash.inf" % size)
            for path, extra in ((plain, []), (hashed, ["--hash"])):
                if run([binary("qorvane_gen"), path, str(SIZES[size])] + extra).returncode != 0:
                    sys.exit("qorvane_gen failed")
            originals[size] = (plain, hashed)
            file_bytes[size] = os.path.getsize(plain)

        all_rows = peers + procs + ([tool_peer] if tool_peer else []) + [true_peer]
        for size in sizes:
            print("== %s ==" % SIZE_LABEL[size], file=sys.stderr)
            for peer in all_rows:
                for job in ("read", "write"):
                    make = peer.read_cmd if job == "read" else peer.write_cmd
                    if make is None:
                        continue
                    d, f = workspace(peer, size, job)
                    target = d if peer.target == "dir" else f
                    if peer.kind == "lib":
                        t = time_lib(make(target, size))
                    else:
                        t = time_proc(lambda i: make(target, i), size, job == "read" and peer is not true_peer)
                    if t.error is None and not t.bound and job == "read" and peer.name != "floor" \
                            and peer is not true_peer \
                            and not t.value.startswith(READ_VALUE):
                        t.error = "read %r, expected %r" % (t.value, READ_VALUE)
                    results[(peer.name, job, size)] = t
                    if job == "write" and t.error is None and not t.bound and peer is not true_peer:
                        with open(originals[size][1 if peer.hash_copy else 0], "rb") as a, open(f, "rb") as b:
                            keeps[(peer.name, size)] = preservation(a.read(), b.read())
                    print("  %-26s %-5s %s%s (%d runs)%s" % (peer.name, job, "> " if t.bound else "",
                                                              fmt_time(t.median_ns), t.iters,
                                                            "  ERROR " + t.error if t.error else ""),
                          file=sys.stderr)
                    if job == "write" and peer.name not in syncs and peer is not true_peer:
                        d2, f2 = workspace(peer, size, "strace")
                        tgt2 = d2 if peer.target == "dir" else f2
                        argv = make(tgt2, size) if peer.kind == "lib" else make(tgt2, 0)
                        if peer.kind == "lib":
                            argv = argv[:3] + ["--min", "1", "--max", "1", "--budget-ms", "0"] \
                                if peer.name != "Python configparser" else argv[:5] + ["1", "0", "0"]
                        syncs[peer.name] = count_syncs(argv)
                    shutil.rmtree(d, ignore_errors=True)

        # Peak memory of one close on the largest size measured.
        mem = None
        big = sizes[-1]
        d, f = workspace(peers[0], big, "mem")
        res = run([binary("qorvane_job"), "mem", d], capture_output=True, text=True)
        if res.returncode == 0:
            kv = parse_kv(res.stdout)
            mem = (big, int(kv["peak_kb"]), int(kv["rss_before_kb"]))

        # Contention: 1 process vs 8, the same total number of added items.
        contention = {}
        for procs_n in (1, 8):
            runs_ = []
            for rep in range(3):
                d, f = workspace(peers[0], "4k" if "4k" in originals else sizes[0], "contend%d-%d" % (procs_n, rep))
                res = run([binary("qorvane_job"), "contend", d, str(procs_n), str(args.contend_ops // procs_n)],
                          capture_output=True, text=True)
                kv = parse_kv(res.stdout)
                runs_.append((float(kv.get("ops_per_s", "0")), int(kv.get("lost", "-1")),
                              int(kv.get("retries", "0")), res.returncode,
                              "OpenKey -3: %s, -4: %s; CloseKey -1: %s, -2: %s" % (
                                  kv.get("open_m3"), kv.get("open_m4"), kv.get("close_m1"), kv.get("close_m2"))))
            contention[procs_n] = runs_

        # Contention through the library's waiting calls: 1, 2, 4 and 8
        # processes, the same total number of added items, runs interleaved
        # so that a slow spell of the disk falls on every count alike.
        waiting = {n: [] for n in (1, 2, 4, 8)}
        for rep in range(args.contend_runs):
            for procs_n in waiting:
                d, f = workspace(peers[0], "4k" if "4k" in originals else sizes[0], "wait%d-%d" % (procs_n, rep))
                res = run([binary("qorvane_job"), "contend-wait", d, str(procs_n),
                           str(args.contend_wait_ops // procs_n)], capture_output=True, text=True)
                kv = parse_kv(res.stdout)
                waiting[procs_n].append({
                    "ops": float(kv.get("ops_per_s", "0")), "lost": int(kv.get("lost", "-1")),
                    "ok": res.returncode == 0, "close50": float(kv.get("close_p50_ms", "0")),
                    "close99": float(kv.get("close_p99_ms", "0")), "open99": float(kv.get("open_p99_ms", "0")),
                    "err": res.stderr.strip()})
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)
    elapsed = time.perf_counter() - t_start

    # ---- report ----
    out = []
    w = out.append
    w("Command: `python3 bench/compare.py %s`" % " ".join(sys.argv[1:]))
    w("")
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "")
    except OSError:
        pass
    w("Machine: %s, %d CPUs, kernel %s; scratch directory %s on %s; Python %s; run took %.0f s." % (
        cpu or platform.machine(), os.cpu_count() or 0, platform.release(), os.path.dirname(scratch), fstype,
        platform.python_version(), elapsed))
    w("")
    w("Times are medians of repeated runs (runs in brackets); `x Q` is the row's time divided by Qorvane's "
      "(above 1: Qorvane is faster). Library rows are timed inside one process per row; rows marked (process) "
      "are whole processes, fork and exec included. GLib's GKeyFile rejects lines beginning with ';', so it "
      "runs on a copy of each file whose comment lines begin with '#'. 'syncs' counts fsync-family calls "
      "strace saw in one write (0: not durable; nothing was synced on a peer's behalf). 'comments' / "
      "'untouched': every comment line kept / every line but the changed one kept byte-for-byte. "
      "'> t (timed out)': the measurement was stopped; one run takes longer than t.")
    w("")

    def cell(name, job, size):
        t = results.get((name, job, size))
        if t is None:
            return None, "n/a"
        if t.error:
            return None, "failed"
        if t.bound:
            return t.median_ns, "> %s (timed out)" % fmt_time(t.median_ns)
        return t.median_ns, "%s (%d)" % (fmt_time(t.median_ns), t.iters)

    for size in sizes:
        q_read = results[("Qorvane", "read", size)].median_ns
        q_write = results[("Qorvane", "write", size)].median_ns
        w("### %s (file %d bytes)" % (SIZE_LABEL[size], file_bytes[size]))
        w("")
        w("| | read one item | x Q | change one item, save | x Q | syncs | comments | untouched |")
        w("|---|---|---|---|---|---|---|---|")
        for peer in peers + procs:
            label = peer.name + (" (process)" if peer.kind == "proc" else "")
            if peer.name == "floor":
                label = "floor: read+line ends / rewrite+fsync+rename+dir fsync"
            rn, rs = cell(peer.name, "read", size)
            wn, ws = cell(peer.name, "write", size)
            kp = keeps.get((peer.name, size))
            sy = syncs.get(peer.name)
            w("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
                label, rs, fmt_ratio(rn / q_read if rn and q_read else None),
                ws, fmt_ratio(wn / q_write if wn and q_write else None),
                "-" if peer.write_cmd is None else ("?" if sy is None else str(sy)),
                "-" if kp is None else ("yes" if kp[0] else "no"),
                "-" if kp is None else ("yes" if kp[1] else "no")))
        w("")

    w("### Whole processes: get and set")
    w("")
    w("| size | | get | x tool | set | x tool |")
    w("|---|---|---|---|---|---|")
    for size in sizes:
        base = tool_peer.name if tool_peer else None
        tg = results.get((base, "read", size)) if base else None
        ts = results.get((base, "write", size)) if base else None
        for peer in ([tool_peer] if tool_peer else []) + procs + [true_peer]:
            gn, gs = cell(peer.name, "read", size)
            sn, ss = cell(peer.name, "write", size)
            w("| %s | %s | %s | %s | %s | %s |" % (
                SIZE_LABEL[size], peer.name, gs,
                fmt_ratio(gn / tg.median_ns if gn and tg and tg.median_ns else None), ss,
                fmt_ratio(sn / ts.median_ns if sn and ts and ts.median_ns else None)))
    w("")

    if mem:
        size, peak, before = mem
        nbytes = file_bytes[size]
        w("Peak memory of one CloseKey on the %s file: %.1f MiB peak RSS (%.1f MiB before the close) = "
          "%.2fx the file size (%.2fx counting only the growth during the close)." % (
              SIZE_LABEL[size], peak / 1024, before / 1024, peak * 1024 / nbytes, (peak - before) * 1024 / nbytes))
        w("")
    c1, c8 = contention[1], contention[8]
    med = lambda rs: statistics.median(r[0] for r in rs)
    w("Contention (4 KiB file, %d items added in total, median of 3 runs): 1 process %.1f ops/s, "
      "8 processes %.1f ops/s aggregate = %.2fx; lost updates %s; busy retries per run (8 processes) %s." % (
          args.contend_ops, med(c1), med(c8), med(c8) / med(c1) if med(c1) else 0,
          sum(max(r[1], 0) for r in c1 + c8) if all(r[1] >= 0 and r[3] == 0 for r in c1 + c8) else
          "UNKNOWN (a run failed)", ", ".join(str(r[2]) for r in c8)))
    w("")
    w("Busy results in the 8-process runs: " + " | ".join(r[4] for r in c8) + ".")
    w("")
    w("Contention through OpenKeyWait/CloseKeyWait (4 KiB file, %d items added in total per run, %d runs per "
      "count, interleaved; each process adds its own items, no back-off of its own): median and range of the "
      "aggregate rate; `x 1` is the median divided by that of one process; close/open: median over runs of "
      "the run's 50th / 99th percentile time of one successful call." % (args.contend_wait_ops, args.contend_runs))
    w("")
    w("| processes | ops/s (median) | range | x 1 | lost | close p50 | close p99 | open p99 |")
    w("|---|---|---|---|---|---|---|---|")
    wmed = lambda rs, k: statistics.median(r[k] for r in rs)
    one = wmed(waiting[1], "ops")
    for n, rs in waiting.items():
        lost = sum(max(r["lost"], 0) for r in rs) if all(r["ok"] for r in rs) else "FAILED"
        w("| %d | %.0f | %.0f-%.0f | %.2fx | %s | %.2f ms | %.2f ms | %.2f ms |" % (
            n, wmed(rs, "ops"), min(r["ops"] for r in rs), max(r["ops"] for r in rs),
            wmed(rs, "ops") / one if one else 0, lost, wmed(rs, "close50"), wmed(rs, "close99"),
            wmed(rs, "open99")))
    errors = [r["err"] for rs in waiting.values() for r in rs if r["err"]]
    if errors:
        w("")
        w("Errors: " + " | ".join(errors))
    w("")

    # ---- targets ----
    w("### Targets")
    w("")

    def med_of(name, job, size):
        t = results.get((name, job, size))
        return t.median_ns if t and not t.error else None

    def verdict(ok):
        return "met" if ok else "MISSED"

    lib_peers = [p for p in peers + procs if p.name not in ("Qorvane", "floor")]
    for size in sizes:
        q_r, q_w = med_of("Qorvane", "read", size), med_of("Qorvane", "write", size)
        f_r, f_w = med_of("floor", "read", size), med_of("floor", "write", size)
        reads = [(med_of(p.name, "read", size), p.name) for p in lib_peers if med_of(p.name, "read", size)]
        durable = [(med_of(p.name, "write", size), p.name) for p in lib_peers
                   if med_of(p.name, "write", size) and (syncs.get(p.name) or 0) > 0]
        need = 5.0 if size != "4k" else 1.0
        if reads and q_r:
            best, who = min(reads)
            w("- %s read vs fastest peer (%s): %.2fx faster, need >= %.0fx: %s" % (
                SIZE_LABEL[size], who, best / q_r, need, verdict(best / q_r >= need)))
        if q_r and f_r:
            w("- %s read vs read floor: %.2fx the floor, need <= 2x: %s" % (SIZE_LABEL[size], q_r / f_r,
                                                                        verdict(q_r / f_r <= 2)))
        if q_w and f_w:
            w("- %s durable change vs rewrite floor: %.2fx the floor, need <= 1.3x: %s" % (
                SIZE_LABEL[size], q_w / f_w, verdict(q_w / f_w <= 1.3)))
        if durable and q_w and size != "4k":
            best, who = min(durable)
            w("- %s durable change vs fastest durable peer (%s): %.2fx faster, need >= 5x: %s" % (
                SIZE_LABEL[size], who, best / q_w, verdict(best / q_w >= 5)))
        elif size != "4k":
            w("- %s durable change vs fastest durable peer: no durable peer measured" % SIZE_LABEL[size])
        if tool_peer:
            for job, word in (("read", "get"), ("write", "set")):
                t = med_of(tool_peer.name, job, size)
                others = [(med_of(p.name, job, size), p.name) for p in procs if med_of(p.name, job, size)]
                if t and others:
                    ok = all(o > t for o, _ in others)
                    w("- %s tool %s faster than %s: %s" % (SIZE_LABEL[size], word,
                                                           " and ".join(n for _, n in others), verdict(ok)))
        else:
            w("- %s tool vs git config / crudini: not measured (no tool binary)" % SIZE_LABEL[size])
    if mem and mem[0] == "32m":
        size, peak, _ = mem
        nbytes = file_bytes[size]
        w("- peak memory of a close on %s: %.2fx file size, need < 3x: %s" % (
            SIZE_LABEL[size], peak * 1024 / nbytes, verdict(peak * 1024 / nbytes < 3)))
    lost_ok = all(r[1] == 0 and r[3] == 0 for r in c1 + c8)
    ratio = med(c8) / med(c1) if med(c1) else 0
    w("- 8 contending processes: lost updates %s, throughput %.2fx one process, need 0 and >= 0.5x: %s" % (
        "0" if lost_ok else "SOME (or a run failed)", ratio, verdict(lost_ok and ratio >= 0.5)))
    w_lost_ok = all(r["ok"] and r["lost"] == 0 for rs in waiting.values() for r in rs)
    w_ratio = wmed(waiting[8], "ops") / one if one else 0
    w("- 8 processes with the waiting calls: lost updates %s, throughput %.2fx one process, need 0 and >= 0.8x; "
      "close p99 %.2f ms: %s" % ("0" if w_lost_ok else "SOME (or a run failed)", w_ratio,
                                 wmed(waiting[8], "close99"), verdict(w_lost_ok and w_ratio >= 0.8)))
    w("")
    if notes:
        w("Notes: " + "; ".join(notes) + ".")
        w("")

    report = "\n".join(out)
    print(report)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(report + "\n")


if __name__ == "__main__":
    main()
