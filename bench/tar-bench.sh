#!/usr/bin/env bash
# Times brel-cli against GNU tar and bsdtar on the shared benchmark corpus and prints ratios
# (brel time / peer time: below 1 means brel is faster) and brel's peak memory.
# Usage: bench/tar-bench.sh [RUNS]   (builds build/release first)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
build_release brel-cli
cli="$here/build/release/brel-cli"
cd "$work"

out="$work/out/c.tar"
b_create=$(median "$cli" a -q "$out" corpus)
ratio "create vs tar -cf" "$b_create" "$(median tar -cf "$out" corpus)"
ratio "create vs bsdtar -cf" "$b_create" "$(median bsdtar -cf "$out" corpus)"
out="$work/out/c.tgz"
ratio "create .tgz vs tar -czf" "$(median "$cli" a -q "$out" corpus)" "$(median tar -czf "$out" corpus)"

# extraction and test of one archive made by GNU tar
rm -rf "$work/src" && mkdir -p "$work/src" && tar -cf "$work/src/c.tar" corpus
src="$work/src/c.tar"
out="$work/out/x"
mkout=1
b_x=$(median "$cli" x -q -o "$out" "$src")
ratio "extract vs tar -xf" "$b_x" "$(median tar -xf "$src" -C "$out")"
ratio "extract vs bsdtar -xf" "$b_x" "$(median bsdtar -xf "$src" -C "$out")"
ratio "test vs tar -tf" "$(median "$cli" t -q "$src")" "$(median tar -tf "$src")"
mkout=0

rm -f "$work/out/m.tar" && peak create "$cli" a -q "$work/out/m.tar" corpus
rm -rf "$work/out/mx" && peak extract "$cli" x -q -o "$work/out/mx" "$src"
