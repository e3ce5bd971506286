#!/usr/bin/env bash
# Builds the Debian package from a release build directory with CPack,
# installs it with apt-get as a user would, checks what it installed (the
# tool, its man page and bash completion, the library through its CMake
# package and pkg-config file, by building and running examples/client),
# and removes it again, also when a check fails.
#
# Usage: scripts/check-package.sh BUILD_DIR     (as root, or with sudo)
# The installed programs use the machine-wide access counter, as every
# real client does.
set -euo pipefail

if [[ $# -ne 1 || ! -d $1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qorvane-check-package.XXXXXX")

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
fail() {
  echo "check-package: $*" >&2
  exit 1
}
installed() {
  dpkg-query -W -f='${Status}' qorvane 2>/dev/null | grep -q 'install ok installed'
}
cleanup() {
  if installed; then
    echo "== removing the package"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq qorvane >/dev/null
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

installed && fail "a qorvane package is installed already; remove it first"

echo "== cpack -G DEB in $build"
rm -f "$build"/qorvane_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/qorvane_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one qorvane_*.deb in $build"
deb=${debs[0]}
dpkg-deb --info "$deb" | sed -n '/Package:/,/Installed-Size:/p'

echo "== apt-get install $deb"
# Container images often keep man pages out (path-exclude in
# /etc/dpkg/dpkg.cfg.d); a later --path-include lets this one in.
as_root apt-get update -qq
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
  -o "DPkg::Options::=--path-include=/usr/share/man/man1/qorvane.1*" "$deb" >/dev/null
installed || fail "the package did not install"

echo "== qorvane keys"
keys=$(qorvane keys)
echo "$keys"
grep -q '^PrinterSet 0x1001$' <<<"$keys" || fail "qorvane keys does not list PrinterSet"
[[ $(command -v qorvane) == /usr/bin/qorvane ]] || fail "qorvane is not /usr/bin/qorvane"

echo "== man -w qorvane"
page=$(man -w qorvane) || fail "man -w qorvane found no page"
echo "$page"
MANWIDTH=80 man qorvane 2>/dev/null | grep -q 'EXIT STATUS' || fail "the man page does not render"

echo "== bash completion"
completions=$(pkg-config --variable=completionsdir bash-completion 2>/dev/null || echo /usr/share/bash-completion/completions)
[[ -f $completions/qorvane ]] || fail "no completion in $completions"
words=$(bash -c 'source "$1"; COMP_WORDS=(qorvane se); COMP_CWORD=1; _qorvane; echo "${COMPREPLY[*]}"' _ "$completions/qorvane")
[[ $words == "set" ]] || fail "completion of 'qorvane se' gave '$words'"

echo "== the hardened counter set-up"
[[ -f /usr/lib/tmpfiles.d/qorvane.conf ]] || fail "no /usr/lib/tmpfiles.d/qorvane.conf"
grep -q '^f .*/dev/shm/qorvane.QorvanD.v2 *0660 *root *qorvane' /usr/lib/tmpfiles.d/qorvane.conf ||
  fail "the tmpfiles.d entry does not provision the counter object root:qorvane 0660"
[[ -f /usr/lib/sysusers.d/qorvane.conf ]] || fail "no /usr/lib/sysusers.d/qorvane.conf"
getent group qorvane >/dev/null || fail "the package did not create the group qorvane"

echo "== the library: SONAME, pkg-config, CMake package"
objdump -p /usr/lib/libqorvane.so.1 2>/dev/null | grep -q 'SONAME *libqorvane.so.1' || fail "no SONAME libqorvane.so.1"
pkg-config --exists qorvane || fail "pkg-config does not find qorvane"
cmake -S "$repo/examples/client" -B "$scratch/client" >/dev/null
cmake --build "$scratch/client" >/dev/null
cp -R "$repo/examples/settings" "$scratch/settings"
"$scratch/client/qorvane_client" "$scratch/settings"
[[ $(qorvane -d "$scratch/settings" get PrinterSet LastClient) == example-client ]] ||
  fail "the client's change is not in the settings file"
# The client was linked against the installed library, not the build tree.
lib=$(ldd "$scratch/client/qorvane_client" | awk '/libqorvane/ { print $3 }')
[[ -n $lib && $(readlink -f "$lib") == $(readlink -f /usr/lib/libqorvane.so.1) ]] ||
  fail "the client uses '$lib', not the installed /usr/lib/libqorvane.so.1"

cleanup
trap - EXIT
[[ ! -e /usr/bin/qorvane && ! -e /usr/lib/libqorvane.so.1 ]] || fail "files are left after removal"
echo "check-package: OK"
