#!/usr/bin/env bash
# Times brel-cli against the peer ZIP tools on the shared benchmark corpus and prints ratios
# (brel time / peer time: below 1 means brel is faster) and brel's peak memory.
# Usage: bench/zip-bench.sh [RUNS]   (builds build/release first)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
build_release brel-cli
cli="$here/build/release/brel-cli"
cd "$work"

out="$work/out/c.zip"
b_create=$(median "$cli" a -q "$out" corpus)
ratio "create vs zip -r -6" "$b_create" "$(median zip -r -6 -q "$out" corpus)"
ratio "create vs bsdtar --format zip" "$b_create" "$(median bsdtar --format zip -cf "$out" corpus)"

# extraction and test of one archive made by zip
rm -rf "$work/src" && mkdir -p "$work/src" && zip -r -6 -q "$work/src/c.zip" corpus
src="$work/src/c.zip"
out="$work/out/x"
mkout=1
b_x=$(median "$cli" x -q -o "$out" "$src")
ratio "extract vs unzip" "$b_x" "$(median unzip -q "$src" -d "$out")"
ratio "extract vs 7z x" "$b_x" "$(median 7z x -y "-o$out" "$src")"
ratio "extract vs bsdtar -xf" "$b_x" "$(median bsdtar -xf "$src" -C "$out")"
ratio "test vs unzip -t" "$(median "$cli" t -q "$src")" "$(median unzip -tq "$src")"
mkout=0

rm -f "$work/out/m.zip" && peak create "$cli" a -q "$work/out/m.zip" corpus
rm -rf "$work/out/mx" && peak extract "$cli" x -q -o "$work/out/mx" "$src"
