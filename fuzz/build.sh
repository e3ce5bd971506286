#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer: the library's sources are compiled directly
# (no CMake), into build/fuzz/<target>.
#   fuzz/build.sh [build-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build/fuzz}"
cxx="${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++)}"
mkdir -p "$out/obj"

flags=(-std=c++17 -g -O1 -Wall -Wextra -Wpedantic -fno-omit-frame-pointer
       -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
       -I"$root/include" -I"$root/src" -DQORVANE_STATIC_DEFINE)

# The library without its load hook (a fuzz target is not the shared library).
sources=()
while IFS= read -r f; do sources+=("$f"); done < <(
  cd "$root" && find src -name '*.cpp' ! -path 'src/module/LoadHook.cpp' | sort)

compile() {  # source -> object, only when the source or a header is newer
  local src="$1" obj="$out/obj/$(echo "$1" | tr / _).o"
  if [ ! -f "$obj" ] || [ -n "$(find "$root/src" "$root/include" "$root/fuzz" -newer "$obj" -name '*.[ch]*' -print -quit)" ]; then
    "$cxx" "${flags[@]}" -c "$root/$src" -o "$obj"
  fi
  echo "$obj"
}
objs=()
for s in "${sources[@]}"; do objs+=("$(compile "$s")"); done

for target in GrammarFuzz CloseFuzz; do
  "$cxx" "${flags[@]}" -fsanitize=fuzzer "$root/fuzz/$target.cpp" "${objs[@]}" -lrt -o "$out/$target"
  echo "built $out/$target"
done
