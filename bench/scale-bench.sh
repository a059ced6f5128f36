#!/usr/bin/env bash
# Many small entries: brel-cli l, t and x against unzip -l, unzip -t and bsdtar -xf on ZIPs of
# 10k, 100k and 1M stored entries (made by Python's zipfile), with peak memory per entry. The
# extraction goes to $SCALE_OUT (default bench/work/out; /dev/shm keeps the disk out of it).
# Usage: bench/scale-bench.sh [RUNS] [COUNTS...]   (builds build/release first)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
shift || true
counts=("${@:-10000 100000 1000000}")
read -r -a counts <<<"${counts[*]}"
build_release brel-cli
cli="$here/build/release/brel-cli"
mkdir -p "$work/scale"
out="$work/out/scale"
for n in "${counts[@]}"; do
  z="$work/scale/z$n.zip"
  [ -f "$z" ] || python3 - "$n" "$z" <<'PY'
import sys, zipfile
n, path = int(sys.argv[1]), sys.argv[2]
with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
    for i in range(n):
        z.writestr(f"d{i // 1000:04d}/f{i:07d}.txt", b"x%d\n" % i)
PY
  vs "list $n entries vs unzip -l" "'$cli' l '$z'" "unzip -l '$z'"
  vs "test $n entries vs unzip -t" "'$cli' t -q '$z'" "unzip -tq '$z'"
  vs "test -j 1 $n entries vs unzip -t" "'$cli' t -q -j 1 '$z'" "unzip -tq '$z'"
  out="${SCALE_OUT:-$work/out}/scale-x"
  mkout=1 vs "extract $n entries vs bsdtar -xf" "'$cli' x -q -o '$out' '$z'" "bsdtar -xf '$z' -C '$out'"
  rm -rf "$out"
  out="$work/out/scale"
  for cmd in l "t -q"; do
    kib=$(/usr/bin/time -f %M "$cli" $cmd "$z" 2>&1 >/dev/null | tail -1)
    printf '%-40s %d KiB, %.0f bytes per entry\n' "  peak memory $cmd" "$kib" "$(echo "$kib * 1024 / $n" | bc -l)"
  done
done
