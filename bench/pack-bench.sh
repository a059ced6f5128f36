#!/usr/bin/env bash
# Times archive creation on the shared benchmark corpus: brel-cli against the peer tools for
# ZIP (bsdtar, zip -r -6, 7z -mx5) and .tgz (tar -czf, tar with pigz), and brel's LZH and
# cabinet writers with one worker against one per core. Prints per line the median wall time,
# the user CPU seconds of that run, the archive size, the peak memory and brel / peer.
# Usage: bench/pack-bench.sh [RUNS]   (builds build/release first; needs GNU time)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
build_release brel-cli
cli="$here/build/release/brel-cli"
cores=$(nproc)
cd "$work"
mkdir -p "$work/out"

# Runs "$@" $runs times (removing $out before each); sets wall, user (of the median run), kib
# (largest peak memory) and bytes (size of $out).
measure() {
  local rows=() f="$work/out/time.txt"
  kib=0
  for ((i = 0; i < runs; i++)); do
    rm -rf "$out"
    /usr/bin/time -f '%e %U %M' -o "$f" "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; return 1; }
    rows+=("$(cat "$f")")
    local m
    m=$(awk '{print $3}' "$f")
    ((m > kib)) && kib=$m
  done
  local mid
  mid=$(printf '%s\n' "${rows[@]}" | sort -g | sed -n "$(((runs + 1) / 2))p")
  wall=$(echo "$mid" | awk '{print $1}')
  user=$(echo "$mid" | awk '{print $2}')
  bytes=$(stat -c %s "$out")
}

# One line: what, wall, user, size, peak memory, and the wall-time ratio to $base (when set).
line() {
  local r=""
  [ -n "${base:-}" ] && r=$(printf 'x%.2f' "$(echo "$wall / $base" | bc -l)")
  printf '%-34s %7.2fs wall %7.2fs user %11d bytes %7d KiB %s\n' "$1" "$wall" "$user" "$bytes" "$kib" "$r"
}

echo "corpus: $(du -sb corpus | cut -f1) bytes, $(find corpus -type f | wc -l) files; $cores cores"
echo "ZIP (ratio: to bsdtar's wall time)"
out="$work/out/p.zip"
base=""
measure bsdtar --format zip -cf "$out" corpus && line "bsdtar --format zip"
base=$wall
measure "$cli" a -q "$out" corpus && line "brel-cli a -j $cores"
measure "$cli" a -q -j 1 "$out" corpus && line "brel-cli a -j 1"
measure zip -r -6 -q "$out" corpus && line "zip -r -6"
measure 7z a -tzip -mx5 "$out" corpus && line "7z a -tzip -mx5"

echo "TGZ (ratio: to pigz's wall time)"
out="$work/out/p.tgz"
base=""
measure tar -I pigz -cf "$out" corpus && line "tar -I pigz -cf"
base=$wall
measure "$cli" a -q "$out" corpus && line "brel-cli a -j $cores"
measure "$cli" a -q -j 1 "$out" corpus && line "brel-cli a -j 1"
measure tar -czf "$out" corpus && line "tar -czf"

for kind in lzh cab; do
  echo "${kind^^} (ratio: to one worker's wall time)"
  out="$work/out/p.$kind"
  base=""
  measure "$cli" a -q -j 1 "$out" corpus && line "brel-cli a -j 1"
  base=$wall
  measure "$cli" a -q "$out" corpus && line "brel-cli a -j $cores"
done
