#!/usr/bin/env bash
# Times brel-cli against the peer ZIP tools on the shared benchmark corpus and prints ratios
# (brel time / peer time: below 1 means brel is faster) and brel's peak memory.
# Usage: bench/zip-bench.sh [RUNS]   (builds build/release first)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
runs=${1:-3}
work="$here/bench/work"
mkdir -p "$work"
bash "$here/../shared/bench/make-corpus.sh" "$work" >/dev/null
cmake -S "$here" -B "$here/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREL_TESTS=OFF >/dev/null
cmake --build "$here/build/release" --target brel-cli >/dev/null
cli="$here/build/release/brel-cli"
command -v /usr/bin/time >/dev/null || { echo "bench: install the 'time' package for peak memory"; }

# median wall time in seconds of running "$@" $runs times, with a fresh $out each run
median() {
  local times=()
  for ((i = 0; i < runs; i++)); do
    rm -rf "$out" && mkdir -p "$(dirname "$out")"
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; return 1; }
    t1=$(date +%s.%N)
    times+=("$(echo "$t1 - $t0" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | sed -n "$(( (runs + 1) / 2 ))p"
}

ratio() { printf '%-40s brel %6.3fs  peer %6.3fs  ratio %5.2f\n' "$1" "$2" "$3" "$(echo "$2 / $3" | bc -l)"; }

cd "$work"
zipfile="$work/out/c.zip"
out="$work/out/c.zip"
b_create=$(median "$cli" a -q "$out" corpus)
z_create=$(median zip -r -6 -q "$out" corpus)
t_create=$(median bsdtar --format zip -cf "$out" corpus)
ratio "create vs zip -r -6" "$b_create" "$z_create"
ratio "create vs bsdtar --format zip" "$b_create" "$t_create"

# extraction and test on one archive made by zip
rm -rf "$work/src" && mkdir -p "$work/src" && (zip -r -6 -q "$work/src/c.zip" corpus)
src="$work/src/c.zip"
out="$work/out/x"
b_x=$(median "$cli" x -q -o "$out" "$src")
u_x=$(median unzip -q "$src" -d "$out")
s_x=$(median 7z x -y "-o$out" "$src")
t_x=$(median bsdtar -xf "$src" -C "$out")
ratio "extract vs unzip" "$b_x" "$u_x"
ratio "extract vs 7z x" "$b_x" "$s_x"
ratio "extract vs bsdtar -xf" "$b_x" "$t_x"
out="$work/out/none"
b_t=$(median "$cli" t -q "$src")
u_t=$(median unzip -tq "$src")
ratio "test vs unzip -t" "$b_t" "$u_t"

if [ -x /usr/bin/time ]; then
  out="$work/out/m.zip"; rm -f "$out"
  /usr/bin/time -f "peak memory create: %M KiB" "$cli" a -q "$out" corpus 2>&1 >/dev/null | tail -1
  rm -rf "$work/out/mx"
  /usr/bin/time -f "peak memory extract: %M KiB" "$cli" x -q -o "$work/out/mx" "$src" 2>&1 >/dev/null | tail -1
fi
