#!/usr/bin/env bash
# Follows the README on a clean Debian 12 system: builds a minimal root file
# system with debootstrap (--variant=minbase), clones this repository's
# current commit into it and runs there, as root and without a terminal,
# the README's two quick-start commands and scripts/check-package.sh (the
# packaging step, then install, use, remove and purge of the packages).
# Fails on the first error; prints each step's time, and the tail of the
# log (kept in $QORVANE_CLEAN_SYSTEM_LOG) on failure.
#
# Usage: scripts/clean-system.sh [--cache DIR]      (as root)
#   --cache DIR  keep the debootstrapped base in DIR and start from it next
#                time (CI starts from nothing).
# The packages come from the mirror that the machine's own apt sources name
# for Debian 12. Everything runs in private mount, IPC and PID namespaces:
# mounts, System V objects and processes end with the script.
set -euo pipefail

suite=bookworm
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log=${QORVANE_CLEAN_SYSTEM_LOG:-/var/tmp/qorvane-clean-system.log}
cache=
while [[ $# -gt 0 ]]; do
  case $1 in
    --cache) [[ $# -ge 2 ]] || { echo "usage: $0 [--cache DIR]" >&2; exit 2; }; cache=$2; shift 2 ;;
    *) echo "usage: $0 [--cache DIR]" >&2; exit 2 ;;
  esac
done
if [[ $(id -u) -ne 0 ]]; then
  echo "clean-system: run this as root (it builds and enters a chroot)" >&2
  exit 2
fi
if [[ ${QORVANE_CLEAN_SYSTEM_INSIDE:-} != 1 ]]; then
  if ! command -v debootstrap >/dev/null; then
    echo "clean-system: installing debootstrap"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  fi
  exec env QORVANE_CLEAN_SYSTEM_INSIDE=1 unshare --mount --ipc --pid --fork --kill-child=TERM --propagation private -- \
    "$0" ${cache:+--cache "$cache"}
fi
unset QORVANE_CLEAN_SYSTEM_INSIDE

# The first URI that the machine's apt sources give for the suite, from
# deb822 .sources files or one-line .list files.
host_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] || continue
    awk -v suite="$suite" '
      BEGIN { RS = ""; FS = "\n"; IGNORECASE = 1 }
      {
        types = ""; uris = ""; suites = ""; enabled = "yes"
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^[ \t]*#/) continue
          split($i, kv, ":"); key = tolower(kv[1]); value = substr($i, index($i, ":") + 1)
          if (key == "types") types = " " value " "
          else if (key == "uris") uris = value
          else if (key == "suites") suites = " " value " "
          else if (key == "enabled") enabled = value
        }
        gsub(/[ \t]+/, " ", types); gsub(/[ \t]+/, " ", suites); gsub(/^[ \t]+|[ \t]+$/, "", enabled)
        if (types ~ / deb / && suites ~ (" " suite " ") && tolower(enabled) != "no") {
          split(uris, u, /[ \t]+/)
          for (j = 1; j in u; j++) if (u[j] != "") { print u[j]; exit }
        }
      }' "$f"
  done
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk -v suite="$suite" '$1 == "deb" {
      i = 2
      if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
      if ($(i + 1) == suite) print $i
    }'
}

work=
mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true
  done
  [[ -n $work ]] && rm -rf --one-file-system "$work"
}
trap cleanup EXIT
# A signal ends the script through the clean-up (as PID 1 of its namespace
# it gets only the signals it has a handler for).
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM
fail() {
  echo "clean-system: $*" >&2
  if [[ -s $log ]]; then
    echo "---- last lines of $log ----" >&2
    tail -n 60 "$log" >&2
  fi
  exit 1
}
# at TARGET MOUNT-ARGS...: mounts, and remembers TARGET for the clean-up.
at() {
  local target=$1
  shift
  mount "$@" "$target" || return
  mounts+=("$target")
}
# step NAME COMMAND...: runs COMMAND with its output in the log, and prints
# how long it took.
step() {
  local name=$1 start=$SECONDS
  shift
  printf '== %s\n' "$name" >>"$log"
  "$@" </dev/null >>"$log" 2>&1 || fail "$name failed (exit $?)"
  printf '%-52s %4d s\n' "$name" $((SECONDS - start))
}

mirror=$(host_mirror | head -n 1 || true)  # head may close the pipe early
[[ -n $mirror ]] || { echo "clean-system: the apt sources name no mirror for $suite" >&2; exit 1; }
commit=$(git -C "$repo" rev-parse HEAD)
: >"$log"
work=$(mktemp -d /var/tmp/qorvane-clean-system.XXXXXX)
root=$work/root
echo "clean-system: $suite minbase, commit $commit; log in $log"
total=$SECONDS

base=${cache:+$cache/$suite-minbase.tar}
if [[ -n $base && -f $base ]]; then
  step "base system (from the cache)" bash -c 'mkdir "$1" && tar --numeric-owner -xpf "$2" -C "$1"' _ "$root" "$base"
else
  step "debootstrap --variant=minbase $suite" debootstrap --variant=minbase "$suite" "$root" "$mirror"
  if [[ -n $base ]]; then
    mkdir -p "$cache"
    tar --numeric-owner -cf "$base.tmp" -C "$root" . && mv "$base.tmp" "$base"
  fi
fi

# The chroot reaches the mirror as the machine does.
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
eval "$(apt-config shell http_proxy Acquire::http::Proxy https_proxy Acquire::https::Proxy)"
for p in http https; do
  var=${p}_proxy
  [[ -n ${!var:-} ]] && echo "Acquire::$p::Proxy \"${!var}\";" >>"$root/etc/apt/apt.conf.d/01proxy"
done

step "git clone" bash -c '
  git clone -q --no-checkout "$1" "$2" && git -C "$2" fetch -q "$1" HEAD && git -C "$2" checkout -q --detach "$3"' \
  _ "$repo" "$root/root/qorvane" "$commit"

# The root a mount point of its own, as on a booted system (a private
# mount namespace inside, `unshare --propagation private`, needs one); then
# /proc, /sys and a /dev of its own: device nodes bound from the machine, a
# fresh pty instance and an empty /dev/shm.
at "$root" --bind "$root"
at "$root/proc" -t proc proc
at "$root/sys" -t sysfs sysfs -o ro 2>/dev/null || at "$root/sys" --rbind /sys
at "$root/dev" -t tmpfs tmpfs -o mode=755,nosuid
for node in null zero full random urandom tty; do
  touch "$root/dev/$node"
  at "$root/dev/$node" --bind "/dev/$node"
done
mkdir -m 755 "$root/dev/pts"
mkdir -m 1777 "$root/dev/shm"
at "$root/dev/pts" -t devpts devpts -o newinstance,ptmxmode=0666,mode=620
at "$root/dev/shm" -t tmpfs tmpfs -o mode=1777,nosuid,nodev
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"

# inside COMMAND: runs a shell command in the clone, as a root login would.
inside() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb CI=true \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${CMAKE_BUILD_PARALLEL_LEVEL:+CMAKE_BUILD_PARALLEL_LEVEL=$CMAKE_BUILD_PARALLEL_LEVEL} \
    /bin/bash -c "cd /root/qorvane && $1"
}
step "quick start: main job" inside 'scripts/setup-debian.sh && cmake --workflow --preset release && scripts/demo.sh'
step "quick start: test suite" inside 'scripts/setup-debian.sh && cmake --workflow --preset test'
step "packages: build, lint, install, use, remove, purge" inside 'scripts/check-package.sh build/release'
printf '%-52s %4d s\n' "clean system in all" $((SECONDS - total))
echo "clean-system: OK"
