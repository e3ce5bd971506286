#!/usr/bin/env bash
# The main job: the qorvane tool against a scratch copy of the bundled
# example settings directory (the repository's copy stays as it is).
#   scripts/demo.sh [BUILD_DIR]     (default: build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
tool=$(realpath -m "$build/tools/qorvane/qorvane")  # the demo runs in a scratch directory
[ -x "$tool" ] || { echo "demo: no tool at $tool; build first: cmake --workflow --preset release" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/examples/settings/." "$work/"

run() {
  printf '\n$ qorvane'
  printf ' %q' "$@"
  printf '\n'
  "$tool" "$@"
}

cd "$work"
run keys
run show PrinterSet
run get HotKeySet Cancel
run set PrinterSet Copies 3 Tray "Upper tray"
run show PrinterSet --json
printf '\n$ diff example/QorRunningSet.Inf changed/QorRunningSet.Inf  (line ends shown as ^M)\n'
diff <(cat -v "$root/examples/settings/QorRunningSet.Inf") <(cat -v QorRunningSet.Inf) || true
