#!/usr/bin/env bash
# Times brel-cli's extraction of kinds read through libarchive against the peers on the shared
# benchmark corpus: .tar.xz beside tar -xJf, .tar.zst beside tar --zstd -xf, 7z (LZMA2) beside
# 7z x; listing a .tar.zst; prints ratios (brel time / peer time: below 1 means brel is faster)
# and brel's peak memory.
# Usage: bench/libarc-bench.sh [RUNS]   (builds build/release first)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
build_release brel-cli
cli="$here/build/release/brel-cli"
cd "$work"

# The archives, made once by the peers (xz and zstd on both cores, 7z LZMA2).
rm -rf "$work/src" && mkdir -p "$work/src"
tar -I 'xz -T0 -6' -cf "$work/src/c.tar.xz" corpus
tar -I 'zstd -T0 -3' -cf "$work/src/c.tar.zst" corpus
7z a -bd -bso0 -m0=LZMA2 -mmt=2 "$work/src/c.7z" corpus

out="$work/out/x"
mkout=1
ratio "extract .tar.xz vs tar -xJf" "$(median "$cli" x -q -o "$out" "$work/src/c.tar.xz")" \
  "$(median tar -xJf "$work/src/c.tar.xz" -C "$out")"
ratio "extract .tar.zst vs tar --zstd -xf" "$(median "$cli" x -q -o "$out" "$work/src/c.tar.zst")" \
  "$(median tar --zstd -xf "$work/src/c.tar.zst" -C "$out")"
ratio "extract 7z vs 7z x" "$(median "$cli" x -q -o "$out" "$work/src/c.7z")" \
  "$(median 7z x -bd -bso0 -o"$out" "$work/src/c.7z")"
ratio "list .tar.zst vs tar --zstd -tf" "$(median "$cli" l -q "$work/src/c.tar.zst")" \
  "$(median tar --zstd -tf "$work/src/c.tar.zst")"
mkout=0

peak "list .tar.zst" "$cli" l -q "$work/src/c.tar.zst"
rm -rf "$work/out/mx" && peak "extract .tar.xz" "$cli" x -q -o "$work/out/mx" "$work/src/c.tar.xz"
