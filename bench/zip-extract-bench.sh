#!/usr/bin/env bash
# ZIP extraction and test on the shared corpus against bsdtar, unzip and 7z, with the output
# on disk (bench/work/out) and in memory (/dev/shm), the rows of the speed table and -j 1.
# Usage: bench/zip-extract-bench.sh [RUNS]   (builds build/release first)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
build_release brel-cli
cli="$here/build/release/brel-cli"
cd "$work"
src="$work/src"
mkdir -p "$src"
[ -f "$src/c.zip" ] || zip -r -6 -q "$src/c.zip" corpus
mkout=1
for root in "$work/out" /dev/shm/brel-bench-$$; do
  out="$root/x"
  echo "output in $root"
  vs "  ZIP extract vs bsdtar -xf" "'$cli' x -q -o '$out' '$src/c.zip'" "bsdtar -xf '$src/c.zip' -C '$out'"
  vs "  ZIP extract vs unzip" "'$cli' x -q -o '$out' '$src/c.zip'" "unzip -q '$src/c.zip' -d '$out'"
  vs "  ZIP extract -j 1 vs bsdtar -xf" "'$cli' x -q -j 1 -o '$out' '$src/c.zip'" "bsdtar -xf '$src/c.zip' -C '$out'"
  rm -rf "$out"
done
rm -rf /dev/shm/brel-bench-$$
out="$work/out/none"
vs "ZIP test vs unzip -t" "'$cli' t -q '$src/c.zip'" "unzip -tq '$src/c.zip'"
vs "ZIP test -j 1 vs unzip -t" "'$cli' t -q -j 1 '$src/c.zip'" "unzip -tq '$src/c.zip'"
vs "ZIP test vs 7z t" "'$cli' t -q '$src/c.zip'" "7z t '$src/c.zip'"
