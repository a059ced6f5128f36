#!/usr/bin/env bash
# Times Deflate64 decoding of one large entry against 7-Zip and prints the ratios
# (brel time / 7-Zip time: below 1 means brel is faster).
# Usage: bench/deflate64-bench.sh [RUNS]   (builds build/release first)
#   the entry: the benchmark corpus as one tar file, zipped by 7-Zip with -mm=Deflate64
RUNS_DEFAULT=5
source "$(dirname "$0")/common.sh"
sz=$(command -v 7z || command -v 7zz) || { echo "bench: 7-Zip (7z or 7zz) is needed" >&2; exit 1; }
build_release bench_deflate64
bench="$here/build/release/bench_deflate64"

zip="$work/d64.zip"
if [ ! -f "$zip" ]; then
  (cd "$work" && tar cf corpus.tar corpus && "$sz" a -tzip -mm=Deflate64 -mx=5 "$zip" corpus.tar >/dev/null)
fi
echo "entry: $(stat -c %s "$work/corpus.tar") bytes, zipped to $(stat -c %s "$zip") bytes"

mkout=1
out="$work/out"
b_t=$(median "$bench" "$zip")
s_t=$(median "$sz" t "$zip")
ratio "decode + CRC vs 7z t" "$b_t" "$s_t"
b_x=$(median "$bench" -o "$out" "$zip")
s_x=$(median "$sz" x -y "-o$out" "$zip")
ratio "decode + write vs 7z x" "$b_x" "$s_x"
rm -rf "$out"
