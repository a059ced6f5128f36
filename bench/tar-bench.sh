#!/usr/bin/env bash
# Times brel-cli against GNU tar and bsdtar on the shared benchmark corpus and prints ratios
# (brel time / peer time: below 1 means brel is faster) and brel's peak memory.
# Usage: bench/tar-bench.sh [RUNS]   (builds build/release first)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
runs=${1:-3}
work="$here/bench/work"
mkdir -p "$work"
bash "$here/../shared/bench/make-corpus.sh" "$work" >/dev/null
cmake -S "$here" -B "$here/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREL_TESTS=OFF >/dev/null
cmake --build "$here/build/release" --target brel-cli >/dev/null
cli="$here/build/release/brel-cli"

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
out="$work/out/c.tar"
b_create=$(median "$cli" a -q "$out" corpus)
g_create=$(median tar -cf "$out" corpus)
t_create=$(median bsdtar -cf "$out" corpus)
ratio "create vs tar -cf" "$b_create" "$g_create"
ratio "create vs bsdtar -cf" "$b_create" "$t_create"
out="$work/out/c.tgz"
b_tgz=$(median "$cli" a -q "$out" corpus)
g_tgz=$(median tar -czf "$out" corpus)
ratio "create .tgz vs tar -czf" "$b_tgz" "$g_tgz"

# extraction and test of one archive made by GNU tar
rm -rf "$work/src" && mkdir -p "$work/src" && tar -cf "$work/src/c.tar" corpus
src="$work/src/c.tar"
out="$work/out/x"
b_x=$(median "$cli" x -q -o "$out" "$src")
g_x=$(median sh -c "mkdir -p '$out' && tar -xf '$src' -C '$out'")
t_x=$(median sh -c "mkdir -p '$out' && bsdtar -xf '$src' -C '$out'")
ratio "extract vs tar -xf" "$b_x" "$g_x"
ratio "extract vs bsdtar -xf" "$b_x" "$t_x"
out="$work/out/none"
b_t=$(median "$cli" t -q "$src")
g_t=$(median tar -tf "$src")
ratio "test vs tar -tf" "$b_t" "$g_t"

if [ -x /usr/bin/time ]; then
  out="$work/out/m.tar"; rm -f "$out"
  /usr/bin/time -f "peak memory create: %M KiB" "$cli" a -q "$out" corpus 2>&1 >/dev/null | tail -1
  rm -rf "$work/out/mx"
  /usr/bin/time -f "peak memory extract: %M KiB" "$cli" x -q -o "$work/out/mx" "$src" 2>&1 >/dev/null | tail -1
fi
