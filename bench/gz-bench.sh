#!/usr/bin/env bash
# Deflate on every core: the deflate engines on the corpus files (zlib against libdeflate), a
# .tgz of the corpus against tar -czf and tar -I pigz, a .gz of one large file (the corpus as
# one tar) against gzip -6 and pigz -6, and MSZIP cabinets with 1 worker against one per core.
# Prints the best wall time of interleaved runs, CPU seconds (user + system), size, and brel's
# peak memory.
# Usage: bench/gz-bench.sh [RUNS]   (builds build/release first; run it through /work/quiet.sh
#        or on an otherwise idle machine)
RUNS_DEFAULT=5
source "$(dirname "$0")/common.sh"
command -v pigz >/dev/null || { echo "bench: pigz is needed (scripts/setup.sh)" >&2; exit 1; }
build_release bench_pdeflate bench_deflate_engines
drv="$here/build/release/bench_pdeflate"
cd "$work"
cores=$(nproc)

# Runs the commands (pairs of label and shell command, the first pair the reference) in turn,
# $runs rounds, so that a busy neighbour slows every command alike; prints per command the best
# wall time, the CPU seconds (user + system) of one run, the size of $out, and wall / reference.
compare() {
  local -a labels=() cmds=() best=()
  while [ $# -gt 0 ]; do labels+=("$1"); cmds+=("$2"); best+=(""); shift 2; done
  local r i t0 t1 t
  for ((r = 0; r < runs; r++)); do
    for i in "${!cmds[@]}"; do
      rm -f "$out"
      t0=$(date +%s.%N)
      bash -c "${cmds[$i]}" >/dev/null 2>&1 || { echo "bench: failed: ${cmds[$i]}" >&2; return 1; }
      t1=$(date +%s.%N)
      t=$(echo "$t1 - $t0" | bc -l)
      if [ -z "${best[$i]}" ] || [ "$(echo "$t < ${best[$i]}" | bc -l)" = 1 ]; then best[$i]=$t; fi
    done
  done
  for i in "${!cmds[@]}"; do
    rm -f "$out"
    local c
    c=$(/usr/bin/time -f '%U %S' bash -c "${cmds[$i]}" 2>&1 >/dev/null | tail -1 | awk '{ print $1 + $2 }')
    printf '%-34s wall %6.2fs  cpu %6.2fs  %10d bytes' "${labels[$i]}" "${best[$i]}" "$c" "$(stat -c %s "$out")"
    [ "$i" -gt 0 ] && printf '  wall / %s %5.2f' "${labels[0]}" "$(echo "${best[$i]} / ${best[0]}" | bc -l)"
    printf '\n'
  done
}

echo "== deflate engines, per whole file ($(wc -l < <(find corpus -type f)) corpus files)"
find corpus -type f -print0 | sort -z | xargs -0 "$here/build/release/bench_deflate_engines"

echo "== .tgz of the corpus ($cores cores)"
out="$work/out/c.tgz"
compare "tar -I pigz -cf" "tar -I pigz -cf $out corpus" "tar -czf" "tar -czf $out corpus" \
  "brel, 1 worker" "$drv tgz 1 $out corpus" "brel, $cores workers" "$drv tgz 0 $out corpus"
tar -tzf "$out" >/dev/null && echo "tar -tzf: ok"

echo "== .gz of one file (the corpus as one tar, $(tar cf corpus.tar corpus && stat -c %s corpus.tar) bytes)"
out="$work/out/corpus.tar.gz"
compare "pigz -6" "pigz -6 -c corpus.tar > $out" "gzip -6" "gzip -6 -c corpus.tar > $out" \
  "brel, 1 worker" "$drv gz 1 $out corpus.tar" "brel, $cores workers" "$drv gz 0 $out corpus.tar"
gzip -t "$out" && echo "gzip -t: ok"

echo "== MSZIP cabinet of the corpus"
out="$work/out/c.cab"
compare "brel, 1 worker" "$drv cab 1 $out corpus && md5sum < $out > $work/out/c1.md5" \
  "brel, $cores workers" "$drv cab 0 $out corpus"
[ "$(md5sum < "$out")" = "$(cat "$work/out/c1.md5")" ] && echo "cabinets of 1 and $cores workers: identical"
cabextract -q -t "$out" >/dev/null && echo "cabextract -t: ok"

out="$work/out/m.tgz" && rm -f "$out" && peak ".tgz, $cores workers" "$drv" tgz 0 "$out" corpus
out="$work/out/m.cab" && rm -f "$out" && peak "cabinet, $cores workers" "$drv" cab 0 "$out" corpus
rm -f corpus.tar
