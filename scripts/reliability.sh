#!/usr/bin/env bash
# Reliability checks, run by .ci/run after the normal, ASan and TSan test
# runs: crash points and injected failures, power cuts, the two fuzz
# targets, the soak, valgrind on the main test binaries, and clang-tidy on
# src/. Any failure
# ends the script with a non-zero status.
#
# Durations (seconds) can be changed for longer runs:
#   QORVANE_FUZZ_SECONDS=3600 QORVANE_SOAK_SECONDS=1800 scripts/reliability.sh
# Figures of the run are collected in build/rel/reliability-figures.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

fuzz_seconds="${QORVANE_FUZZ_SECONDS:-60}"
soak_seconds="${QORVANE_SOAK_SECONDS:-60}"
build="$root/build/rel"
figures="$build/reliability-figures.txt"

step() { printf '\n---- reliability: %s ----\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

step "tools"
need=()
command -v clang++ >/dev/null || need+=(clang)
command -v valgrind >/dev/null || need+=(valgrind)
command -v clang-tidy >/dev/null || need+=(clang-tidy)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

step "build (Debug, tests)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQORVANE_BUILD_TESTS=ON \
  -DQORVANE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build"
: >"$figures"

step "crash points and injected failures"
"$build/tests/reliability/crash_point_test" --gtest_brief=1 | tee "$build/crash.log"
"$build/tests/reliability/fault_injection_test" --gtest_brief=1 | tee "$build/fault.log"
"$build/tests/reliability/header_like_item_test" --gtest_brief=1
grep -h 'crash points covered\|fault cases' "$build/crash.log" "$build/fault.log" >>"$figures"

step "power cuts (FUSE file system that forgets what was not synced)"
if [ -x "$build/tests/powercut/power_cut_test" ]; then
  "$build/tests/powercut/power_cut_test" --gtest_brief=1 | tee "$build/powercut.log"
  grep -h '^power cut' "$build/powercut.log" >>"$figures"
else
  echo "power-cut tests not built: libfuse3-dev is missing" | tee -a "$figures"
fi

step "fuzzing, ${fuzz_seconds} s per target"
fuzz/build.sh "$root/build/fuzz"
for target in GrammarFuzz CloseFuzz; do
  work="$root/build/fuzz/corpus-$target"
  artifacts="$root/build/fuzz/artifacts-$target/"
  mkdir -p "$work" "$artifacts"
  # New inputs go to the work corpus; the checked-in seeds stay as they are.
  "$root/build/fuzz/$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$work" "$root/fuzz/corpus/$target" 2>"$root/build/fuzz/$target.log" ||
    { tail -n 60 "$root/build/fuzz/$target.log"; echo "fuzz target $target failed"; exit 1; }
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$root/build/fuzz/$target.log")"
  echo "fuzz $target: $execs executions in $fuzz_seconds s" | tee -a "$figures"
done

step "soak, ${soak_seconds} s"
"$build/tests/reliability/qorvane_soak" --seconds "$soak_seconds" | tee "$build/soak.log"
grep '^soak:' "$build/soak.log" >>"$figures"

step "valgrind (memcheck)"
# Two tests run only natively (in the test suites): CloseKeyWorksWithoutProc
# unmounts /proc in its child, which valgrind itself needs to follow the
# process, and LeaveWakesAWaiterInAnotherProcess times a wake-up, which
# valgrind slows thirtyfold.
for t in format_test store_test sync_test reliability/fault_injection_test; do
  echo "valgrind $t"
  valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    "$build/tests/$t" --gtest_brief=1 --gtest_filter=-*WithoutProc*:*LeaveWakesAWaiterInAnotherProcess* >"$build/valgrind-${t//\//-}.log" 2>&1 ||
    { tail -n 60 "$build/valgrind-${t//\//-}.log"; echo "valgrind found errors in $t"; exit 1; }
done

step "clang-tidy on src/"
find src -name '*.cpp' -print0 | sort -z |
  xargs -0 -n 4 -P "$(nproc)" clang-tidy -p "$build" --quiet 2>/dev/null

step "figures"
cat "$figures"
