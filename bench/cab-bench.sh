#!/usr/bin/env bash
# Times brel-cli against gcab (creating) and cabextract (extracting, testing) on the shared
# benchmark corpus, LZX 21 and Quantum 7 beside MSZIP, and prints ratios (brel time / peer time: below 1 means brel is faster), the
# cabinet sizes and brel's peak memory.
# Usage: bench/cab-bench.sh [RUNS]   (builds build/release first)
RUNS_DEFAULT=5
source "$(dirname "$0")/common.sh"
build_release brel-cli
cli="$here/build/release/brel-cli"
cd "$work"

# CPU seconds (user + system) of one run of "$@": on a shared machine wall times also measure
# the neighbours; this measures the work.
cpu() {
  rm -rf "$out"
  if [ "${mkout:-0}" = 1 ]; then mkdir -p "$out"; else mkdir -p "$(dirname "$out")"; fi
  /usr/bin/time -f '%U %S' "$@" 2>&1 >/dev/null | tail -1 | awk '{ print $1 + $2 }'
}

# gcab takes a flat list of files; both get the same list, stored under the same names.
mapfile -t files < <(find corpus -type f | sort)
out="$work/out/c.cab"
b_create=$(median "$cli" a -q "$out" corpus)
b_size=$(stat -c %s "$out")
g_create=$(median gcab -cz "$out" "${files[@]}")
g_size=$(stat -c %s "$out")
ratio "create MSZIP vs gcab -cz" "$b_create" "$g_create"
ratio "create MSZIP vs gcab -cz (cpu)" "$(cpu "$cli" a -q "$out" corpus)" "$(cpu gcab -cz "$out" "${files[@]}")"
printf '%-40s brel %d bytes  gcab %d bytes  ratio %5.3f\n' "cabinet size" "$b_size" "$g_size" \
  "$(echo "$b_size / $g_size" | bc -l)"
out="$work/out/s.cab"
ratio "create stored vs gcab -c" "$(median "$cli" a -q -m store "$out" corpus)" "$(median gcab -c "$out" "${files[@]}")"

# LZX 21 and Quantum 7 beside MSZIP: no peer writes them, so size and time against brel's MSZIP.
for m in "lzx --lzx-level 21" "quantum --quantum-level 7 --quantum-memory 21"; do
  out="$work/out/${m%% *}.cab"
  # shellcheck disable=SC2086
  t=$(median "$cli" a -q -m $m "$out" corpus)
  printf '%-40s %6.2f s (MSZIP %6.2f s)  %d bytes  size ratio to MSZIP %5.3f\n' "create ${m%% *}" "$t" \
    "$b_create" "$(stat -c %s "$out")" "$(echo "$(stat -c %s "$out") / $b_size" | bc -l)"
done

# extraction and test of one cabinet made by gcab -cz
rm -rf "$work/src" && mkdir -p "$work/src" && gcab -cz "$work/src/c.cab" "${files[@]}"
src="$work/src/c.cab"
out="$work/out/x"
mkout=1
ratio "extract vs cabextract" "$(median "$cli" x -q -o "$out" "$src")" "$(median cabextract -q -d "$out" "$src")"
ratio "extract vs cabextract (cpu)" "$(cpu "$cli" x -q -o "$out" "$src")" "$(cpu cabextract -q -d "$out" "$src")"
ratio "test vs cabextract -t" "$(median "$cli" t -q "$src")" "$(median cabextract -q -t "$src")"
mkout=0

rm -f "$work/out/m.cab" && peak create "$cli" a -q "$work/out/m.cab" corpus
rm -rf "$work/out/mx" && peak extract "$cli" x -q -o "$work/out/mx" "$src"
