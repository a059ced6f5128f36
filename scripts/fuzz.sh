#!/usr/bin/env bash
# Coverage-guided fuzzing with libFuzzer.
#   scripts/fuzz.sh TARGET [SECONDS]   run one target (fuzz/targets/TARGET.cpp), 300 s by default
#   scripts/fuzz.sh all [SECONDS]      run every target in turn, SECONDS each
#   scripts/fuzz.sh list               name the targets
# Builds with clang into build/fuzz (ASan, UBSan, libFuzzer), seeds from fuzz/corpus/TARGET,
# ../shared/testdata and small archives the peer tools make, keeps the working corpus in
# build/fuzz/work/TARGET and findings in build/fuzz/findings/TARGET/, then merges what gained
# coverage into fuzz/corpus/TARGET (minimised; reproducers named crash-*, timeout-*, oom-*,
# leak-* or repro-* always stay; other inputs over FUZZ_KEEP_MAX bytes, default 4096, are left
# out to keep the repository small). Environment: FUZZ_MAX_LEN (input size limit, default 16384),
# FUZZ_SCRATCH (folder for the extract targets' scratch trees; default /dev/shm), FUZZ_NO_BUILD
# (set: run the programs already built, e.g. while another run builds).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/fuzz
targets=$(ls fuzz/targets/*.cpp | xargs -n1 basename | sed 's/\.cpp$//')

if [ "${1:-}" = "" ]; then
  sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
if [ "$1" = list ]; then
  echo "$targets"
  exit 0
fi

need=()
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=("libclang-rt-$(clang --version 2>/dev/null | sed -n 's/.*version \([0-9]*\).*/\1/p' | head -1)-dev")
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${need[@]}" >/dev/null
fi

if [ ! -f "$build/build.ninja" ]; then
  flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBREL_FUZZ=ON -DBREL_TESTS=OFF -DBREL_GUI=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
fi

# Small archives from the peer tools, one folder per format, made once.
make_seeds() {
  local s=$build/seeds
  [ -d "$s" ] && return
  local t
  t=$(mktemp -d)
  mkdir -p "$s"/{zip,tar,gz,dec} "$t/d/sub" "$t/d/empty"
  (
    cd "$t"
    printf 'hello hello hello hello\n' >d/a.txt
    seq 1 2000 >d/sub/numbers.txt
    head -c 3000 /dev/urandom >d/sub/random.bin
    ln -s ../a.txt d/sub/link
    ln -s /etc/passwd d/abs-link
    zip -qry "$s/zip/tree.zip" d
    zip -q0 "$s/zip/stored.zip" d/a.txt
    zip -qe -P 12345678 "$s/zip/crypt.zip" d/a.txt
    zip -q -z "$s/zip/comment.zip" d/a.txt <<<"a comment"
    7z a -tzip -mm=Deflate64 "$s/zip/deflate64.zip" d >/dev/null
    7z a -tzip -mm=BZip2 "$s/zip/bzip2.zip" d/a.txt >/dev/null
    bsdtar -cf "$s/zip/dotdot.zip" --format zip -P -s ',^d/,../../,' d/a.txt d/sub/link
    bsdtar -cf "$s/zip/absolute.zip" --format zip -P -s ',^d/,/tmp/,' d/a.txt
    tar -cf "$s/tar/gnu.tar" d
    tar --format=pax -cf "$s/tar/pax.tar" d
    tar --format=v7 -cf "$s/tar/v7.tar" d/a.txt
    ln d/a.txt d/hard
    mkfifo d/fifo
    tar -cf "$s/tar/special.tar" d/hard d/a.txt d/fifo d/abs-link
    mkdir -p d/$(printf 'l%.0s' {1..120})
    tar -cf "$s/tar/longname.tar" d/l*
    bsdtar -cf "$s/tar/dotdot.tar" -P -s ',^d/,../../,' d/a.txt d/sub/link
    bsdtar -cf "$s/tar/absolute.tar" -P -s ',^d/,/tmp/,' d/a.txt
    for f in "$s"/tar/*.tar; do gzip -c "$f" >"$s/gz/$(basename "$f").gz"; done
  )
  rm -rf "$t"
  # Decoder inputs: option byte, 24-bit unpacked size, the raw entry data of single-method zips.
  python3 - "$s/dec" "$root/../shared/testdata/zip" "$s/zip/deflate64.zip" <<'PY'
import struct, sys, pathlib
out, src, d64 = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]
files = [src / n for n in ("legacy_shrink.zip", "legacy_reduce.zip", "legacy_implode.zip",
                           "deflate64_small.zip", "deflate64.zip")] + [pathlib.Path(d64)]
for f in files:
    data, pos, n = f.read_bytes(), 0, 0
    while n < 4 and (pos := data.find(b"PK\x03\x04", pos)) >= 0:
        flags, method = struct.unpack_from("<HH", data, pos + 6)
        csize, usize, nlen, xlen = struct.unpack_from("<IIHH", data, pos + 18)
        start = pos + 30 + nlen + xlen
        raw = data[start:start + min(csize, 24576)]
        size = usize if csize <= 24576 else 0xFFFFFF
        (out / f"{f.stem}-{n}.m{method}").write_bytes(bytes([flags & 6 | (method - 2 & 3 if 2 <= method <= 5 else 0)]) + size.to_bytes(3, "little") + raw)
        pos, n = start, n + 1
PY
}

# Cabinets from gcab and raw LZH entry data (option byte picks the dictionary: lh4 0, lh5 1,
# lh6 2, lh7 3; lh1 goes to the adaptive decoder's folder) from the shared LZH samples.
make_more_seeds() {
  local s=$build/seeds
  if [ ! -d "$s/cab" ]; then
    local t
    t=$(mktemp -d)
    mkdir -p "$s/cab" "$t/d/sub"
    printf 'hello hello hello hello\n' >"$t/d/a.txt"
    seq 1 2000 >"$t/d/sub/numbers.txt"
    (cd "$t" && gcab -c "$s/cab/stored.cab" d/a.txt d/sub/numbers.txt &&
      gcab -cz "$s/cab/mszip.cab" d/a.txt d/sub/numbers.txt) >/dev/null
    rm -rf "$t"
  fi
  [ -d "$s/lzhdec" ] && return
  mkdir -p "$s/lzhdec" "$s/lzh1dec"
  python3 - "$s" "$root/../shared/testdata/lzh" "$root/tests/lzh/data" <<'PY'
import pathlib, struct, sys
out = pathlib.Path(sys.argv[1])
for d in sys.argv[2:]:
    for f in sorted(pathlib.Path(d).glob("*.lzh")) if pathlib.Path(d).is_dir() else []:
        data, pos = f.read_bytes(), 0
        while (pos := data.find(b"-lh", pos)) >= 2:
            start, m, pos = pos - 2, data[pos + 3:pos + 4], pos + 5
            if m not in b"14567" or len(data) < start + 24: continue
            csize, usize = struct.unpack_from("<II", data, start + 7)
            level = data[start + 20]
            if level == 2:
                body = start + struct.unpack_from("<H", data, start)[0]
            else:
                body = start + 2 + data[start]
            if level == 1:
                while body + 2 <= len(data) and (n := struct.unpack_from("<H", data, body - 2)[0]):
                    body, csize = body + n, csize - n
            raw = data[body:body + max(csize, 0)]
            opt = {b"4": 0, b"5": 1, b"6": 2, b"7": 3}.get(m, 0)
            folder = out / ("lzh1dec" if m == b"1" else "lzhdec")
            (folder / f"{f.stem}-{start}").write_bytes(bytes([opt]) + min(usize, 0xFFFFFE).to_bytes(3, "little") + raw)
PY
}

# Seeds and dictionary of a target, by the part of its name before "_".
seed_dirs() {
  local s=$build/seeds td=$root/../shared/testdata
  case "$1" in
    zip_*) echo "$s/zip $td/zip" ;;
    tar_*) echo "$s/tar $td/tar" ;;
    tgz_*) echo "$s/gz" ;;
    lzh_static) echo "$s/lzhdec" ;;
    lzh_adaptive) echo "$s/lzh1dec" ;;
    lzh_*) echo "$td/lzh $root/tests/lzh/data" ;;
    cab_*) echo "$s/cab $td/cab" ;;
    libarc_*) echo "$root/fuzz/corpus/libarc_extract" ;;
    detect) echo "$s/zip $s/tar $s/gz $s/cab $td/zip $td/tar $td/lzh $td/cab" ;;
    *) echo "$s/dec" ;;
  esac
}
dict_for() {
  local d=fuzz/dict/${1%%_*}.dict
  [ -f "$d" ] && echo "-dict=$d"
}

run_target() {
  local t=$1 secs=$2
  local work=$build/work/$t findings=$build/findings/$t log=$build/logs/$t.log
  mkdir -p "$work" "$findings" "$build/logs" "fuzz/corpus/$t"
  [ -n "${FUZZ_NO_BUILD:-}" ] || cmake --build "$build" -j2 --target "fuzz_$t" >/dev/null
  local seeds=()
  for d in $(seed_dirs "$t"); do
    [ -d "$d" ] || continue
    local small=$build/seeds-small/$t/$(basename "$d")
    mkdir -p "$small"
    find "$d" -maxdepth 1 -type f -size -256k -exec cp -n {} "$small/" \;
    seeds+=("$small")
  done
  echo "fuzz: $t for $secs s (log: $log)"
  set +e
  ( cd "$findings" && FUZZ_SCRATCH="${FUZZ_SCRATCH:-}" /usr/bin/time -f "cpu %U %S" \
      "$build/fuzz_$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
      -max_len="${FUZZ_MAX_LEN:-16384}" -print_final_stats=1 -artifact_prefix="$findings/" \
      $(cd "$root" && dict_for "$t" | sed "s|^-dict=|-dict=$root/|") \
      "$work" "$root/fuzz/corpus/$t" "${seeds[@]}" ) >"$log" 2>&1
  local rc=$?
  set -e
  # Minimise: the committed corpus keeps only inputs that add coverage, plus every reproducer.
  local merged=$build/merged/$t
  rm -rf "$merged" && mkdir -p "$merged"
  local small=$build/small/$t
  rm -rf "$small" && mkdir -p "$small"
  find "$work" -maxdepth 1 -type f -size -"${FUZZ_KEEP_MAX:-4096}"c -exec cp {} "$small/" \;
  "$build/fuzz_$t" -merge=1 -timeout=10 -rss_limit_mb=2048 \
    "$merged" "$root/fuzz/corpus/$t" "$small" >>"$log.merge" 2>&1 || true
  find "fuzz/corpus/$t" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' \
    -o -name 'leak-*' -o -name 'repro-*' \) -exec cp {} "$merged/" \;
  if [ -n "$(ls -A "$merged")" ]; then
    rm -rf "fuzz/corpus/$t" && cp -r "$merged" "fuzz/corpus/$t"
  fi
  local execs cov cpu
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  cpu=$(sed -n 's/^cpu \([0-9.]*\) \([0-9.]*\)$/\1 \2/p' "$log" | awk '{printf "%.2f", ($1+$2)/60}')
  echo "fuzz: $t: ${cpu:-?} CPU min, ${execs:-?} executions, ${cov:-no coverage line}," \
    "corpus $(ls "fuzz/corpus/$t" | wc -l) files ($(du -sk --apparent-size "fuzz/corpus/$t" | cut -f1) KiB)," \
    "findings: $(ls "$findings" | wc -l) (exit $rc)"
  ls "$findings" | sed "s|^|  $findings/|"
}

make_seeds
make_more_seeds
secs=${2:-300}
if [ "$1" = all ]; then
  for t in $targets; do run_target "$t" "$secs"; done
else
  echo "$targets" | grep -qx "$1" || { echo "fuzz: no target $1 (scripts/fuzz.sh list)" >&2; exit 2; }
  run_target "$1" "$secs"
fi
