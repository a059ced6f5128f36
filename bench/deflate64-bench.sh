#!/usr/bin/env bash
# Times Deflate64 decoding of one large entry against 7-Zip and prints the ratios
# (brel time / 7-Zip time: below 1 means brel is faster).
# Usage: bench/deflate64-bench.sh [RUNS]   (builds build/release first)
#   the entry: the benchmark corpus as one tar file, zipped by 7-Zip with -mm=Deflate64
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
runs=${1:-5}
work="$here/bench/work"
mkdir -p "$work"
bash "$here/../shared/bench/make-corpus.sh" "$work" >/dev/null
sz=$(command -v 7z || command -v 7zz) || { echo "bench: 7-Zip (7z or 7zz) is needed" >&2; exit 1; }
cmake -S "$here" -B "$here/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREL_TESTS=OFF >/dev/null
cmake --build "$here/build/release" --target bench_deflate64 >/dev/null
bench="$here/build/release/bench_deflate64"

zip="$work/d64.zip"
if [ ! -f "$zip" ]; then
  (cd "$work" && tar cf corpus.tar corpus && "$sz" a -tzip -mm=Deflate64 -mx=5 "$zip" corpus.tar >/dev/null)
fi
echo "entry: $(stat -c %s "$work/corpus.tar") bytes, zipped to $(stat -c %s "$zip") bytes"

# median wall time in seconds of running "$@" $runs times, with an empty $out each run
median() {
  local times=()
  for ((i = 0; i < runs; i++)); do
    rm -rf "$out" && mkdir -p "$out"
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; return 1; }
    t1=$(date +%s.%N)
    times+=("$(echo "$t1 - $t0" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | sed -n "$(( (runs + 1) / 2 ))p"
}
ratio() { printf '%-34s brel %6.3fs  7-Zip %6.3fs  ratio %5.2f\n' "$1" "$2" "$3" "$(echo "$2 / $3" | bc -l)"; }

out="$work/out"
b_t=$(median "$bench" "$zip")
s_t=$(median "$sz" t "$zip")
ratio "decode + CRC vs 7z t" "$b_t" "$s_t"
b_x=$(median "$bench" -o "$out" "$zip")
s_x=$(median "$sz" x -y "-o$out" "$zip")
ratio "decode + write vs 7z x" "$b_x" "$s_x"
rm -rf "$out"
