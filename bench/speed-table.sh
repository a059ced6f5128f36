#!/usr/bin/env bash
# The speed table: each job of brel-cli against its peer on the shared corpus, both run in turn
# (brel, peer, brel, peer, ...) and the median of the per-round ratios printed (brel / peer:
# below 1 means brel is faster). Also the LZH lh7 size against jlha -o7 and LZX 21 against
# MSZIP (speed on one core and size ratio, from bench_cabenc).
# Usage: bench/speed-table.sh [RUNS]   (builds build/release first)
# BENCH_OUT=DIR puts what the jobs write in DIR (e.g. /dev/shm/brel-bench: a tmpfs keeps the
# disk's writeback out of the times); by default bench/work/out.
RUNS_DEFAULT=3
source "$(dirname "$0")/common.sh"
build_release brel-cli bench_cabenc
cli="$here/build/release/brel-cli"
cd "$work"
src="$work/src"
rm -rf "$src" && mkdir -p "$src"
zip -r -6 -q "$src/c.zip" corpus
mapfile -t files < <(find corpus -type f | sort)
gcab -cz "$src/c.cab" "${files[@]}"
tar -czf "$src/c.tgz" corpus
jlha c2o7 "$src/c7.lzh" corpus >/dev/null 2>&1

outdir="${BENCH_OUT:-$work/out}"
out="$outdir/x"
mkout=1
vs "ZIP extract vs unzip" "'$cli' x -q -o '$out' '$src/c.zip'" "unzip -q '$src/c.zip' -d '$out'"
vs "ZIP extract vs bsdtar -xf" "'$cli' x -q -o '$out' '$src/c.zip'" "bsdtar -xf '$src/c.zip' -C '$out'"
vs "ZIP extract -j 1 vs bsdtar -xf" "'$cli' x -q -j 1 -o '$out' '$src/c.zip'" "bsdtar -xf '$src/c.zip' -C '$out'"
vs "ZIP test vs unzip -t" "'$cli' t -q '$src/c.zip'" "unzip -tq '$src/c.zip'"
vs "ZIP test -j 1 vs unzip -t" "'$cli' t -q -j 1 '$src/c.zip'" "unzip -tq '$src/c.zip'"
vs "CAB extract (MSZIP) vs cabextract" "'$cli' x -q -o '$out' '$src/c.cab'" "cabextract -q -d '$out' '$src/c.cab'"
vs "CAB test vs cabextract -t" "'$cli' t -q '$src/c.cab'" "cabextract -q -t '$src/c.cab'"
vs ".tgz extract vs tar -xzf" "'$cli' x -q -o '$out' '$src/c.tgz'" "tar -xzf '$src/c.tgz' -C '$out'"
vs "LZH extract lh7 vs lhasa" "'$cli' x -q -o '$out' '$src/c7.lzh'" "cd '$out' && lhasa xq '$src/c7.lzh'"
vs "LZH test lh7 vs lhasa t" "'$cli' t -q '$src/c7.lzh'" "lhasa tq '$src/c7.lzh'"
mkout=0

out="$outdir/c.tgz"
vs ".tgz create vs tar -I pigz -cf" "'$cli' a -q '$out' corpus" "tar -I pigz -cf '$out' corpus"
out="$outdir/c7.lzh"
rm -f "$out"
if "$cli" a -q -m lh7 "$out" corpus >/dev/null 2>&1; then
  bsize=$(stat -c %s "$out")
  vs "LZH create lh7 vs jlha c2o7" "'$cli' a -q -m lh7 '$out' corpus" "jlha c2o7 '$out' corpus"
  jlha c2o7 "$out.j" corpus >/dev/null 2>&1
  printf '%-40s brel %10d  jlha %10d  ratio %5.3f\n' "  size lh7" "$bsize" "$(stat -c %s "$out.j")" \
    "$(echo "$bsize / $(stat -c %s "$out.j")" | bc -l)"
  rm -f "$out.j"
else
  echo "LZH create lh7: not available in this build"
fi

# LZX 21 against MSZIP: speed on one core and size ratio, by the encoder alone.
"$here/build/release/bench_cabenc" --only lzx --lzx 21 corpus
