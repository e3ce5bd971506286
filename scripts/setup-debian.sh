#!/usr/bin/env bash
# Installs what building and testing Qorvane needs on Debian 12, and the
# GBK locale that the multibyte tests use. Safe to run again.
set -euo pipefail

# man-db and bash-completion: the package check looks the man page up and
# installs the completion where bash-completion's pkg-config file says; jq
# and python3 read the tool's JSON back in the tests; dpkg-dev gives cpack
# the packages' dependencies (dpkg-shlibdeps); libfuse3-dev and fuse3 build
# and mount the power-cut tests' file system; pybind11-dev and python3-dev
# build the Python module, python3-pytest runs its tests.
packages=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev libcli11-dev locales
  man-db bash-completion jq python3 dpkg-dev libfuse3-dev fuse3
  pybind11-dev python3-dev python3-pytest)
[ "${QORVANE_SETUP_EXTRA:-}" ] && read -r -a extra <<<"$QORVANE_SETUP_EXTRA" && packages+=("${extra[@]}")

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "setup: this step needs root and sudo is not installed: run 'su -c $0' (or install sudo), then your command again" >&2
    exit 1
  fi
}

missing=()
for p in "${packages[@]}"; do
  [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true) == 'install ok installed' ]] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# locale -a is read whole: grep -q would stop early and, under pipefail,
# fail the listing with SIGPIPE.
if ! grep -qix 'zh_CN\.gbk' <<<"$(locale -a 2>/dev/null || true)"; then
  echo "setup: generating the zh_CN.GBK locale"
  as_root localedef -f GBK -i zh_CN zh_CN.GBK
fi
