#!/usr/bin/env bash
# Sizes and speeds of the cabinet encoders on the corpus as one folder: MSZIP (zlib level 6 on
# 32 KiB blocks), LZX at every window size 15..21 and Quantum 7/21 (ratios to MSZIP; speed in
# processor time on one core), then cabextract -t and 7z x (compared) on every cabinet
# written.
# Usage: bench/cabenc-bench.sh   (builds build/release first)
RUNS_DEFAULT=1
source "$(dirname "$0")/common.sh"
build_release bench_cabenc
out="$work/cabenc"
rm -rf "$out" && mkdir -p "$out"
"$here/build/release/bench_cabenc" --write "$out" "$work/corpus"
mv "$out/lzx.cab" "$out/lzx21.cab"
for level in 15 16 17 18 19 20; do
  "$here/build/release/bench_cabenc" --only lzx --lzx "$level" --write "$out" "$work/corpus" | tail -1
  mv "$out/lzx.cab" "$out/lzx$level.cab"
done
for cab in "$out"/lzx*.cab "$out"/quantum.cab; do
  cabextract -t "$cab" >/dev/null 2>&1 && echo "cabextract -t $(basename "$cab"): ok" || echo "cabextract -t $(basename "$cab"): FAILED"
  # A cabinet holds no checksum of the files' content: 7-Zip's extraction is compared.
  rm -rf "$out/x"
  7z x -o"$out/x" "$cab" >/dev/null 2>&1 && diff -rq "$out/x/corpus" "$work/corpus" >/dev/null &&
    echo "7z x $(basename "$cab"): same bytes" || echo "7z x $(basename "$cab"): FAILED"
done
rm -rf "$out"
