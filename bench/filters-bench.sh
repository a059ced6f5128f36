#!/usr/bin/env bash
# Tar under zstd, xz and gzip: brel-cli a -t tzst / txz / tgz of the corpus against GNU tar
# through the zstd and xz programs on every core (tar -I 'zstd -T0 -3', tar -I 'xz -T0 -6') and
# gzip, and brel's reading back against tar --zstd -xf / tar -xJf / tar -xzf. Prints median wall times, sizes and ratios (below 1:
# brel is faster), and brel's peak memory.
# Usage: bench/filters-bench.sh [RUNS]   (builds build/release first)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
build_release brel-cli
cli="$here/build/release/brel-cli"
cd "$work"

for kind in "tzst:.tar.zst:zstd -T0 -3:--zstd" "txz:.tar.xz:xz -T0 -6:-J" "tgz:.tar.gz:gzip -6:-z"; do
  IFS=: read -r name ext filter flag <<< "$kind"
  out="$work/out/c$ext"
  b=$(median "$cli" a -q -t "$name" "$out" corpus)
  bsize=$(stat -c %s "$out")
  p=$(median tar -I "$filter" -cf "$out" corpus)
  psize=$(stat -c %s "$out")
  ratio "create $ext (tar -I '$filter')" "$b" "$p"
  echo "  sizes: brel $bsize bytes, peer $psize bytes"
  "$cli" a -q -t "$name" "$out" corpus
  peak "brel-cli a -t $name" "$cli" a -q -t "$name" "$work/out/m$ext" corpus
  rm -f "$work/out/m$ext"
  src="$work/c$ext"
  mv "$out" "$src"
  out="$work/out/x"
  mkout=1
  b=$(median "$cli" x -q -o "$out" "$src")
  p=$(median tar -C "$out" $flag -xf "$src")
  mkout=0
  ratio "extract $ext (tar $flag -xf)" "$b" "$p"
  rm -rf "$out"
  peak "brel-cli x $ext" "$cli" x -q -o "$out" "$src"
done
