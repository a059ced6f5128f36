#!/usr/bin/env bash
# Sizes and speeds of the cabinet encoders on the corpus as one folder: the median of RUNS runs
# (default 3) of LZX at windows 15, 18 and 21 (size ratio to MSZIP, zlib level 6 on 32 KiB blocks;
# speed in processor time on one core), gcab -z beside for time, Quantum 7/21 once; then
# cabextract -t, 7z x and gcab -x (both compared) on the cabinets of every window 15..21 and
# Quantum (gcab on LZX only: it reads no Quantum).
# Usage: bench/cabenc-bench.sh [RUNS]   (builds build/release first)
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
build_release bench_cabenc
bin="$here/build/release/bench_cabenc"
out="$work/cabenc"
rm -rf "$out" && mkdir -p "$out"

# The median line (by speed) of $runs runs of bench_cabenc with the given options.
lzx_median() {
  for ((i = 0; i < runs; i++)); do "$bin" --only lzx "$@" "$work/corpus" | tail -1; done | sort -k5 -g |
    sed -n "$(((runs + 1) / 2))p"
}
"$bin" --only quantum "$work/corpus"
for level in 15 18 21; do lzx_median --lzx "$level"; done

# gcab takes a flat list of files; processor time, as for the encoders above.
mapfile -t files < <(cd "$work" && find corpus -type f | sort)
bytes=$(cat "${files[@]/#/$work/}" | wc -c)
times=()
for ((i = 0; i < runs; i++)); do
  rm -f "$out/gcab.cab"
  times+=("$(cd "$work" && /usr/bin/time -f '%U %S' gcab -cz "$out/gcab.cab" "${files[@]}" 2>&1 >/dev/null |
    tail -1 | awk '{ print $1 + $2 }')")
done
t=$(printf '%s\n' "${times[@]}" | sort -g | sed -n "$(((runs + 1) / 2))p")
printf '%-14s %12s         %6.1f MB/s\n' "gcab -z" "$(stat -c %s "$out/gcab.cab")" "$(echo "$bytes / 1000000 / $t" | bc -l)"

for level in 15 16 17 18 19 20 21; do
  "$bin" --only lzx --lzx "$level" --write "$out" "$work/corpus" >/dev/null
  mv "$out/lzx.cab" "$out/lzx$level.cab"
done
"$bin" --only quantum --write "$out" "$work/corpus" >/dev/null
for cab in "$out"/lzx*.cab "$out"/quantum.cab; do
  cabextract -t "$cab" >/dev/null 2>&1 && echo "cabextract -t $(basename "$cab"): ok" || echo "cabextract -t $(basename "$cab"): FAILED"
  # A cabinet holds no checksum of the files' content: 7-Zip's extraction is compared.
  rm -rf "$out/x"
  7z x -o"$out/x" "$cab" >/dev/null 2>&1 && diff -rq "$out/x/corpus" "$work/corpus" >/dev/null &&
    echo "7z x $(basename "$cab"): same bytes" || echo "7z x $(basename "$cab"): FAILED"
  [[ $cab == *quantum* ]] && continue
  rm -rf "$out/x" && mkdir "$out/x"
  gcab -x -C "$out/x" "$cab" >/dev/null 2>&1 && diff -rq "$out/x/corpus" "$work/corpus" >/dev/null &&
    echo "gcab -x $(basename "$cab"): same bytes" || echo "gcab -x $(basename "$cab"): FAILED"
done
rm -rf "$out"
