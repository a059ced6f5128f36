#!/usr/bin/env bash
# Times brel-cli against jlha (creating) and lhasa (extracting, testing) on the shared benchmark
# corpus and prints ratios (brel time / peer time: below 1 means brel is faster), the archive
# sizes and brel's peak memory.
# Usage: bench/lzh-bench.sh [RUNS]   (builds build/release first)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
build_release brel-cli
cli="$here/build/release/brel-cli"
cd "$work"

size() { stat -c %s "$1"; }
for m in 5 6; do
  out="$work/out/b$m.lzh"
  b=$(median "$cli" a -q -m "lh$m" "$out" corpus)
  bsize=$(size "$out")
  out="$work/out/j$m.lzh"
  j=$(median jlha "c0o$m" "$out" corpus)
  jsize=$(size "$out")
  ratio "create lh$m vs jlha c0o$m" "$b" "$j"
  printf '%-40s brel %10d  jlha %10d  ratio %5.3f\n' "  size lh$m" "$bsize" "$jsize" "$(echo "$bsize / $jsize" | bc -l)"
done

# extraction and test of archives made by jlha (lh5 with level 0, lh6 and lh7 with level 2)
rm -rf "$work/src" && mkdir -p "$work/src"
jlha c0o5 "$work/src/c5.lzh" corpus >/dev/null 2>&1
jlha c2o6 "$work/src/c6.lzh" corpus >/dev/null 2>&1
jlha c2o7 "$work/src/c7.lzh" corpus >/dev/null 2>&1
for m in 5 6 7; do
  src="$work/src/c$m.lzh"
  out="$work/out/x"
  mkout=1
  ratio "extract lh$m vs lhasa x" "$(median "$cli" x -q -o "$out" "$src")" "$(median sh -c "cd '$out' && lhasa xq '$src'")"
  ratio "test lh$m vs lhasa t" "$(median "$cli" t -q "$src")" "$(median lhasa tq "$src")"
  mkout=0
done

rm -f "$work/out/m.lzh" && peak create "$cli" a -q "$work/out/m.lzh" corpus
rm -rf "$work/out/mx" && peak extract "$cli" x -q -o "$work/out/mx" "$work/src/c7.lzh"
