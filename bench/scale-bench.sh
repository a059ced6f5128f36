#!/usr/bin/env bash
# Many small entries: brel-cli l, t and x against unzip -l, unzip -t and bsdtar -xf on ZIPs of
# 10k, 100k and 1M stored entries (made by Python's zipfile), with peak memory per entry: the
# growth of the peak over the first (smallest) archive's, divided by the entries, less the
# bytes of the names themselves. The extraction goes to $SCALE_OUT (default bench/work/out;
# /dev/shm keeps the disk out of it).
# Usage: bench/scale-bench.sh [RUNS] [COUNTS...]   (builds build/release first)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
shift || true
counts=("${@:-10000 100000 1000000}")
read -r -a counts <<<"${counts[*]}"
build_release brel-cli
cli="$here/build/release/brel-cli"
mkdir -p "$work/scale"
declare -A first_kib=()
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
  names=$(python3 -c 'import sys, zipfile; print(sum(len(i.filename.encode()) for i in zipfile.ZipFile(sys.argv[1]).infolist()))' "$z")
  vs "test -j 1 $n entries vs unzip -t" "'$cli' t -q -j 1 '$z'" "unzip -tq '$z'"
  out="${SCALE_OUT:-$work/out}/scale-x"
  mkout=1 vs "extract $n entries vs bsdtar -xf" "'$cli' x -q -o '$out' '$z'" "bsdtar -xf '$z' -C '$out'"
  rm -rf "$out"
  out="$work/out/scale"
  for cmd in l "t -q"; do
    kib=$(/usr/bin/time -f %M "$cli" $cmd "$z" 2>&1 >/dev/null | tail -1)
    key=${cmd%% *}
    if [ -z "${first_kib[$key]:-}" ]; then
      first_kib[$key]=$kib
      printf '%-40s %d KiB (the base of the figures below)\n' "  peak memory $cmd" "$kib"
    else
      printf '%-40s %d KiB, %.0f bytes per entry beyond the names\n' "  peak memory $cmd" "$kib" \
        "$(echo "(($kib - ${first_kib[$key]}) * 1024 - $names) / $n" | bc -l)"
    fi
  done
done
