#!/usr/bin/env bash
# Checks an installed libqorvane the way a client uses it: installs BUILD
# into a scratch prefix, builds examples/client against it once through the
# CMake package and once through pkg-config, and runs each build and the
# installed qorvane tool on a scratch copy of examples/settings; then builds
# examples/watch the same way and checks that it prints a change made by the
# installed tool and ends when the settings directory is removed; then
# builds and runs examples/cpp17 the same way, and examples/python on the
# installed Python module (when it was built).
#
# Usage: examples/check-install.sh BUILD_DIR
# Exits non-zero on the first failure. The installed programs use the
# access counter as every real client does; run as root, they get a machine
# of their own for it (a private IPC namespace and a fresh /dev/shm), so
# that the check neither disturbs nor is disturbed by other programs that
# use the machine-wide counter.
set -euo pipefail

if [[ $# -ne 1 || ! -d $1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
if [[ $(id -u) -eq 0 && ${QORVANE_CHECK_INSTALL_INSIDE:-} != 1 ]]; then
  exec env QORVANE_CHECK_INSTALL_INSIDE=1 unshare --mount --ipc --propagation private -- "$0" "$@"
fi
if [[ ${QORVANE_CHECK_INSTALL_INSIDE:-} == 1 ]]; then
  unset QORVANE_CHECK_INSTALL_INSIDE
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /dev/shm
fi
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qorvane-check-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

fail() {
  echo "check-install: $*" >&2
  exit 1
}

# expect_eq WHAT ACTUAL EXPECTED
expect_eq() {
  [[ $2 == "$3" ]] || fail "$1: got '$2', expected '$3'"
}

# run_client LABEL CLIENT: runs CLIENT on a fresh copy of the settings and
# checks the file and the installed tool's view of it afterwards.
run_client() {
  local label=$1 client=$2
  local dir=$scratch/settings-$label
  cp -R "$here/settings" "$dir"
  echo "== $label: $client $dir"
  "$client" "$dir" || fail "$label: client failed"
  local file=$dir/QorRunningSet.Inf
  grep -q $'^LastClient = example-client;\r$' "$file" || fail "$label: LastClient not written with CR LF"
  grep -q $'^Duplex=on;\r$' "$file" || fail "$label: untouched line was rewritten"
  grep -q $'^Cancel = Esc;       ; Esc also closes dialogs\r$' "$file" || fail "$label: HotKeySet line changed"
  expect_eq "$label: tool get LastClient" "$("$prefix/bin/qorvane" -d "$dir" get PrinterSet LastClient)" example-client
  expect_eq "$label: tool get Copies" "$("$prefix/bin/qorvane" -d "$dir" get PrinterSet Copies)" 2
}

echo "== install into $prefix"
cmake --install "$build" --prefix "$prefix"
"$prefix/bin/qorvane" --version || fail "installed tool does not run"

echo "== CMake package"
cmake -S "$here/client" -B "$scratch/client-cmake" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$scratch/client-cmake"
run_client cmake "$scratch/client-cmake/qorvane_client"

echo "== pkg-config"
pcfile=$(find "$prefix" -path '*/pkgconfig/qorvane.pc' -print -quit)
[[ -n $pcfile ]] || fail "qorvane.pc not installed"
PKG_CONFIG_PATH=$(dirname "$pcfile")
export PKG_CONFIG_PATH
read -r -a flags <<<"$(pkg-config --cflags --libs qorvane)"
libdir=$(pkg-config --variable=libdir qorvane)
[[ -e $libdir/libqorvane.so ]] || fail "pkg-config libdir $libdir holds no libqorvane.so"
"${CXX:-c++}" -std=c++17 -Wall -Wextra -Werror "$here/client/main.cpp" "${flags[@]}" \
  -Wl,-rpath,"$libdir" -o "$scratch/client-pkgconfig"
run_client pkgconfig "$scratch/client-pkgconfig"

echo "== watch example (CMake package)"
cmake -S "$here/watch" -B "$scratch/watch-cmake" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$scratch/watch-cmake"
wdir=$scratch/settings-watch
cp -R "$here/settings" "$wdir"
wout=$scratch/watch.out
"$scratch/watch-cmake/qorvane_watch" "$wdir" >"$wout" 2>&1 &
wpid=$!
# wait_printed PATTERN: waits (up to 10 s) for the watcher to print a line.
wait_printed() {
  local _
  for _ in $(seq 100); do
    grep -q -- "$1" "$wout" && return 0
    sleep 0.1
  done
  kill "$wpid" 2>/dev/null || true
  fail "watch example: no line matching '$1' in: $(cat "$wout")"
}
wait_printed '^  Duplex = on$'
"$prefix/bin/qorvane" -d "$wdir" set PrinterSet Duplex off
wait_printed '^  Duplex = off$'
rm -rf "$wdir"
wait "$wpid" || fail "watch example did not end cleanly when its directory went away"
grep -q 'the watch has ended' "$wout" || fail "watch example: no end of the watch reported"

echo "== C++17 interface example (CMake package)"
cmake -S "$here/cpp17" -B "$scratch/cpp17-cmake" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$scratch/cpp17-cmake"
cdir=$scratch/settings-cpp17
cp -R "$here/settings" "$cdir"
"$scratch/cpp17-cmake/qorvane_cpp17_client" "$cdir" || fail "C++17 example failed"
"$scratch/cpp17-cmake/qorvane_cpp17_client" "$cdir" >/dev/null || fail "C++17 example failed the second time"
expect_eq "C++17 example: tool get Runs" "$("$prefix/bin/qorvane" -d "$cdir" get PrinterSet Runs)" 2

pymodule=$(find "$prefix" -path '*/dist-packages/qorvane/__init__.py' -print -quit)
if [[ -n $pymodule ]]; then
  echo "== Python example (the installed module)"
  pdir=$scratch/settings-python
  cp -R "$here/settings" "$pdir"
  PYTHONPATH=$(dirname "$(dirname "$pymodule")") LD_LIBRARY_PATH=$libdir \
    /usr/bin/python3 "$here/python/printer_settings.py" "$pdir" || fail "Python example failed"
  expect_eq "Python example: tool get LastClient" \
    "$("$prefix/bin/qorvane" -d "$pdir" get PrinterSet LastClient)" printer_settings.py
fi

echo "check-install: OK"
