#!/usr/bin/env bash
# Builds the Debian packages from a release build directory with CPack,
# checks them with lintian (when it is installed), installs them with
# apt-get as a user would, checks what they installed (the tool, its man
# page and bash completion, the hardened counter set-up, the library through
# its CMake package and pkg-config file, by building and running
# examples/client; the Python module with examples/python), then removes and purges them and checks what each step
# leaves. The packages are purged also when a check fails.
#
# Usage: scripts/check-package.sh BUILD_DIR     (as root, or with sudo)
# The script runs in its own mount and IPC namespaces with an empty tmpfs on
# /dev/shm: the installed programs and maintainer scripts use and provision
# the machine-wide access counter there, never the machine's own.
set -euo pipefail

if [[ $# -ne 1 || ! -d $1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
if [[ $(id -u) -ne 0 ]]; then
  exec sudo -- "$0" "$@"
fi
if [[ ${QORVANE_CHECK_PACKAGE_INSIDE:-} != 1 ]]; then
  exec env QORVANE_CHECK_PACKAGE_INSIDE=1 unshare --mount --ipc --propagation private -- "$0" "$@"
fi
unset QORVANE_CHECK_PACKAGE_INSIDE

build=$(cd "$1" && pwd)
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packages=(libqorvane1 libqorvane-dev qorvane python3-qorvane)
object=/dev/shm/qorvane.QorvanD.v3
scratch=
shm_mounted=
ours=

fail() {
  echo "check-package: $*" >&2
  exit 1
}
# state PACKAGE: dpkg's two-letter state (ii, rc, ...), or nothing.
state() {
  dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | cut -c1-2
}
# present: the packages dpkg still knows (installed, or configuration left).
present() {
  local p
  for p in "${packages[@]}"; do [[ -n $(state "$p") && $(state "$p") != un ]] && echo "$p"; done
  return 0
}
known() {
  [[ -n $(present) ]]
}
apt() {
  DEBIAN_FRONTEND=noninteractive apt-get -y -q=2 "$@"
}
cleanup() {
  if [[ -n $ours ]] && known; then
    echo "== purging the packages" 2>/dev/null || true
    apt purge $(present) >/dev/null || true
  fi
  [[ -n $shm_mounted ]] && umount /dev/shm
  [[ -n $scratch ]] && rm -rf "$scratch"
}
trap cleanup EXIT
# A signal (a closed output pipe too) ends the script through the clean-up.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM

known && fail "a Qorvane package is installed already; purge ${packages[*]} first"
ours=1
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /dev/shm
shm_mounted=1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qorvane-check-package.XXXXXX")
chmod 755 "$scratch"

echo "== cpack -G DEB in $build"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=()
for p in "${packages[@]}"; do
  deb=("$build/${p}"_*.deb)
  [[ ${#deb[@]} -eq 1 && -f ${deb[0]} ]] || fail "expected one ${p}_*.deb in $build"
  debs+=("${deb[0]}")
  dpkg-deb --field "${deb[0]}" Package Version Architecture Depends
done
libfile=$(dpkg-deb --contents "$build"/libqorvane1_*.deb | awk '{ print $6 }' | grep '/libqorvane\.so\.1$' | sed 's|^\.||')
[[ -n $libfile ]] || fail "libqorvane1 holds no libqorvane.so.1"

if command -v lintian >/dev/null; then
  echo "== $(lintian --version) (as nobody)"
  mkdir "$scratch/lintian"
  cp "${debs[@]}" "$scratch/lintian/"
  (cd "$scratch/lintian" && setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$scratch/lintian" \
    lintian --fail-on error,warning ./*.deb) || fail "lintian found errors or warnings"
  echo "lintian: no errors, no warnings"
else
  echo "== lintian is not installed: the packages are not linted"
fi

echo "== apt-get install ${debs[*]##*/}"
# Container images often keep man pages out (path-exclude in
# /etc/dpkg/dpkg.cfg.d); a later --path-include lets this one in.
apt-get update -qq
apt -o "DPkg::Options::=--path-include=/usr/share/man/man1/qorvane.1*" install "${debs[@]}" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log"; fail "the packages did not install"; }
for p in "${packages[@]}"; do [[ $(state "$p") == ii ]] || fail "$p did not install"; done
# What the packages installed, for the check after the purge.
dpkg-query -L "${packages[@]}" | sort -u >"$scratch/files"

echo "== the hardened counter set-up"
[[ -f /usr/lib/tmpfiles.d/qorvane.conf ]] || fail "no /usr/lib/tmpfiles.d/qorvane.conf"
grep -q "^f .*$object *0660 *root *qorvane" /usr/lib/tmpfiles.d/qorvane.conf ||
  fail "the tmpfiles.d entry does not provision the counter object root:qorvane 0660"
[[ -f /usr/lib/sysusers.d/qorvane.conf ]] || fail "no /usr/lib/sysusers.d/qorvane.conf"
getent group qorvane >/dev/null || fail "the package did not create the group qorvane"
[[ $(stat -c '%U:%G %a' "$object" 2>/dev/null) == "root:qorvane 660" ]] ||
  fail "the install did not provision $object root:qorvane 0660"
# The placeholder takes the record's 32 bytes, so a full /dev/shm cannot
# keep the first member from writing the record.
[[ $(stat -c '%s' "$object") -ge 32 ]] || fail "the provisioned $object holds no placeholder"
notice=$(grep '^qorvane: ' "$scratch/install.log" || true)
echo "$notice"
[[ $notice == *"only members of group qorvane may use the access counter now"*"usermod -aG qorvane"* ]] ||
  fail "the install did not say that the group-only set-up is active and how to join the group"

echo "== qorvane keys"
keys=$(qorvane keys)
echo "$keys"
grep -q '^PrinterSet 0x1001$' <<<"$keys" || fail "qorvane keys does not list PrinterSet"
[[ $(command -v qorvane) == /usr/bin/qorvane ]] || fail "qorvane is not /usr/bin/qorvane"

echo "== man -w qorvane"
page=$(man -w qorvane) || fail "man -w qorvane found no page"
echo "$page"
[[ $page == *.gz ]] || fail "the man page is not compressed"
# Whole outputs are captured before matching: under pipefail a reader that
# stops early (grep -q, awk's exit) would fail the writer with SIGPIPE.
rendered=$(MANWIDTH=80 man qorvane 2>/dev/null) || fail "the man page does not render"
[[ $rendered == *'EXIT STATUS'* ]] || fail "the rendered man page lacks EXIT STATUS"

echo "== bash completion"
completions=$(pkg-config --variable=completionsdir bash-completion 2>/dev/null || echo /usr/share/bash-completion/completions)
[[ -f $completions/qorvane ]] || fail "no completion in $completions"
# offered LINE WORD...: what completion offers, in $scratch, for the words
# as bash splits LINE (it keeps quotes, and splits --dir=DIR at the =).
offered() {
  local line=$1
  shift
  (cd "$scratch" && bash -c '
    source /usr/share/bash-completion/bash_completion 2>/dev/null || true
    source "$1"
    COMP_LINE=$2 COMP_POINT=${#2}
    shift 2
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
    _qorvane
    echo "${COMPREPLY[*]}"' _ "$completions/qorvane" "$line" "$@")
}
mkdir "$scratch/my settings"
printf '[PrinterSet]\r\nTwo Words = 1;\r\n' >"$scratch/my settings/QorRunningSet.Inf"
# expect_offered EXPECTED LINE WORD...
expect_offered() {
  local expected=$1 got
  shift
  got=$(offered "$@")
  [[ $got == "$expected" ]] || fail "completion of '$1' gave '$got', not '$expected'"
}
expect_offered 'set' 'qorvane se' qorvane se
expect_offered 'Two\ Words' 'qorvane -d "my settings" get PrinterSet Tw' qorvane -d '"my settings"' get PrinterSet Tw
expect_offered 'Two\ Words' 'qorvane --dir=my\ settings get PrinterSet T' qorvane --dir = 'my\ settings' get PrinterSet T
expect_offered 'my\ settings' 'qorvane -d my\ s' qorvane -d 'my\ s'

echo "== the library: SONAME, pkg-config, CMake package"
echo "$libfile"
soname=$(objdump -p "$libfile" | awk '$1 == "SONAME" { print $2 }')
[[ $soname == libqorvane.so.1 ]] || fail "the SONAME is '$soname', not libqorvane.so.1"
# The ldconfig trigger ran: the cache names the library (maybe as /lib/...).
cached=$(ldconfig -p | awk '$1 == "libqorvane.so.1" && !seen { print $NF; seen = 1 }')
[[ -n $cached && $(readlink -f "$cached") == $(readlink -f "$libfile") ]] || fail "ldconfig's cache lacks $libfile"
pkg-config --exists qorvane || fail "pkg-config does not find qorvane"
cmake -S "$repo/examples/client" -B "$scratch/client" >/dev/null
cmake --build "$scratch/client" >/dev/null
cp -R "$repo/examples/settings" "$scratch/settings"
"$scratch/client/qorvane_client" "$scratch/settings"
[[ $(qorvane -d "$scratch/settings" get PrinterSet LastClient) == example-client ]] ||
  fail "the client's change is not in the settings file"
# The client was linked against the installed library, not the build tree.
lib=$(ldd "$scratch/client/qorvane_client" | awk '/libqorvane/ { print $3 }')
[[ -n $lib && $(readlink -f "$lib") == $(readlink -f "$libfile") ]] ||
  fail "the client uses '$lib', not the installed $libfile"

echo "== the Python module (python3-qorvane)"
module=$(cd / && /usr/bin/python3 -c 'import qorvane; print(qorvane.__file__)') || fail "python3 cannot import qorvane"
echo "$module"
[[ $module == /usr/lib/python3/dist-packages/qorvane/__init__.py ]] || fail "python3 imports qorvane from $module"
/usr/bin/python3 "$repo/examples/python/printer_settings.py" "$scratch/settings"
[[ $(qorvane -d "$scratch/settings" get PrinterSet LastClient) == printer_settings.py ]] ||
  fail "the Python example's change is not in the settings file"
[[ $(cd / && /usr/bin/python3 -c 'import qorvane; help(qorvane)' | grep -c 'open_key') -gt 0 ]] ||
  fail "help(qorvane) does not describe open_key"

echo "== apt-get remove"
apt remove "${packages[@]}" >/dev/null
for f in /usr/bin/qorvane "$libfile" /usr/include/qorvane /usr/lib/tmpfiles.d/qorvane.conf /usr/lib/python3/dist-packages/qorvane; do
  [[ ! -e $f ]] || fail "$f is left after removal"
done
[[ $(state qorvane) == rc ]] || fail "qorvane is '$(state qorvane)' after removal, not 'rc'"
[[ -e $object ]] || fail "the removal (not a purge) removed $object"

echo "== apt-get purge"
apt purge $(present) >/dev/null
known && fail "a package is left after the purge"
[[ ! -e $object ]] || fail "the purge left $object"
# The group stays, as Debian's system groups do (see the README).
getent group qorvane >/dev/null || fail "the purge removed the group qorvane"
while read -r f; do
  [[ ! -e $f || -d $f ]] || fail "the purge left $f"
done <"$scratch/files"
echo "check-package: OK"
