#!/usr/bin/env bash
# Deflate on every core: the deflate engines on the corpus files (zlib against libdeflate), a
# .tgz of the corpus against tar -czf and tar -I pigz, a .gz of one large file (the corpus as
# one tar) against gzip -6 and pigz -6, and MSZIP cabinets with 1 worker against one per core.
# Prints median wall time, CPU seconds (user + system), size, and brel's peak memory.
# Usage: bench/gz-bench.sh [RUNS]   (builds build/release first; run it through /work/quiet.sh
#        or on an otherwise idle machine)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
command -v pigz >/dev/null || { echo "bench: pigz is needed (scripts/setup.sh)" >&2; exit 1; }
build_release bench_pdeflate bench_deflate_engines
drv="$here/build/release/bench_pdeflate"
cd "$work"
cores=$(nproc)

# CPU seconds of one run of "$@".
cpu() {
  rm -rf "$out"
  /usr/bin/time -f '%U %S' "$@" 2>&1 >/dev/null | tail -1 | awk '{ print $1 + $2 }'
}
# One line: what, median wall, CPU, size of $out, and the wall time against a reference.
row() {
  local what=$1 ref=$2
  shift 2
  local t c
  t=$(median "$@")
  c=$(cpu "$@")
  printf '%-34s wall %6.2fs  cpu %6.2fs  %10d bytes' "$what" "$t" "$c" "$(stat -c %s "$out")"
  [ -n "$ref" ] && printf '  wall / %s %5.2f' "$ref_name" "$(echo "$t / $ref" | bc -l)"
  printf '\n'
  last=$t
}

echo "== deflate engines, per whole file ($(wc -l < <(find corpus -type f)) corpus files)"
find corpus -type f -print0 | sort -z | xargs -0 "$here/build/release/bench_deflate_engines"

echo "== .tgz of the corpus ($cores cores)"
out="$work/out/c.tgz"
ref_name="pigz"
row "tar -I pigz -cf" "" tar -I pigz -cf "$out" corpus
pigz_t=$last
row "tar -czf" "$pigz_t" tar -czf "$out" corpus
row "brel, 1 worker" "$pigz_t" "$drv" tgz 1 "$out" corpus
row "brel, $cores workers" "$pigz_t" "$drv" tgz 0 "$out" corpus
tar -tzf "$out" >/dev/null && echo "tar -tzf: ok"

echo "== .gz of one file (the corpus as one tar, $(tar cf corpus.tar corpus && stat -c %s corpus.tar) bytes)"
out="$work/out/corpus.tar.gz"
row "pigz -6" "" sh -c "pigz -6 -c corpus.tar > $out"
pigz_t=$last
row "gzip -6" "$pigz_t" sh -c "gzip -6 -c corpus.tar > $out"
row "brel, 1 worker" "$pigz_t" "$drv" gz 1 "$out" corpus.tar
row "brel, $cores workers" "$pigz_t" "$drv" gz 0 "$out" corpus.tar
gzip -t "$out" && echo "gzip -t: ok"

echo "== MSZIP cabinet of the corpus"
out="$work/out/c.cab"
ref_name="1 worker"
row "brel, 1 worker" "" "$drv" cab 1 "$out" corpus
one_t=$last
one=$(md5sum < "$out")
row "brel, $cores workers" "$one_t" "$drv" cab 0 "$out" corpus
[ "$(md5sum < "$out")" = "$one" ] && echo "cabinets of 1 and $cores workers: identical"
cabextract -q -t "$out" >/dev/null && echo "cabextract -t: ok"

out="$work/out/m.tgz" && rm -f "$out" && peak ".tgz, $cores workers" "$drv" tgz 0 "$out" corpus
out="$work/out/m.cab" && rm -f "$out" && peak "cabinet, $cores workers" "$drv" cab 0 "$out" corpus
rm -f corpus.tar
