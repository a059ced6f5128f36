# Shared by the bench scripts (sourced): the corpus, a release build, timing and ratio lines.
# Sets here, runs, work; needs RUNS_DEFAULT set by the caller.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs=${1:-${RUNS_DEFAULT:-3}}
work="$here/bench/work"
mkdir -p "$work"
bash "$here/../shared/bench/make-corpus.sh" "$work" >/dev/null

# Builds the given targets of the release build.
build_release() {
  cmake -S "$here" -B "$here/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREL_TESTS=OFF >/dev/null
  cmake --build "$here/build/release" --target "$@" >/dev/null
}

# Median wall time in seconds of running "$@" $runs times. Before each run $out is removed;
# with mkout=1 it is created empty (for tools that extract into an existing folder).
median() {
  local times=()
  for ((i = 0; i < runs; i++)); do
    rm -rf "$out"
    if [ "${mkout:-0}" = 1 ]; then mkdir -p "$out"; else mkdir -p "$(dirname "$out")"; fi
    sync
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; return 1; }
    t1=$(date +%s.%N)
    times+=("$(echo "$t1 - $t0" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | sed -n "$(( (runs + 1) / 2 ))p"
}

# One line: what, brel's time, the peer's time, and brel / peer (below 1: brel is faster).
ratio() { printf '%-40s brel %6.3fs  peer %6.3fs  ratio %5.2f\n' "$1" "$2" "$3" "$(echo "$2 / $3" | bc -l)"; }

# Peak memory of one command (KiB), when GNU time is there.
peak() {
  local what=$1
  shift
  [ -x /usr/bin/time ] && /usr/bin/time -f "peak memory $what: %M KiB" "$@" 2>&1 >/dev/null | tail -1
  return 0
}

# Interleaved pair: runs the shell commands BREL and PEER in turn ($runs rounds: brel, peer,
# brel, peer, ...), so a busy neighbour slows both alike, and prints their median wall times and
# the median of the per-round ratios brel / peer. $out is removed before each run (with mkout=1
# created empty); each command runs in $work.
vs() {
  local label=$1 brel=$2 peer=$3
  local -a tb=() tp=() tr=()
  local r t0 t1 a b
  for ((r = 0; r < runs; r++)); do
    for side in brel peer; do
      rm -rf "$out"
      if [ "${mkout:-0}" = 1 ]; then mkdir -p "$out"; else mkdir -p "$(dirname "$out")"; fi
      sync # the last run's writeback must not land in this one's time
      local cmd=$brel
      [ "$side" = peer ] && cmd=$peer
      t0=$(date +%s.%N)
      (cd "$work" && bash -c "$cmd") >/dev/null 2>&1 || { echo "bench: failed: $cmd" >&2; return 1; }
      t1=$(date +%s.%N)
      if [ "$side" = brel ]; then a=$(echo "$t1 - $t0" | bc -l); tb+=("$a"); else b=$(echo "$t1 - $t0" | bc -l); tp+=("$b"); fi
    done
    tr+=("$(echo "$a / $b" | bc -l)")
  done
  local mid=$(( (runs + 1) / 2 ))
  printf '%-40s brel %6.3fs  peer %6.3fs  ratio %5.2f\n' "$label" \
    "$(printf '%s\n' "${tb[@]}" | sort -g | sed -n "${mid}p")" \
    "$(printf '%s\n' "${tp[@]}" | sort -g | sed -n "${mid}p")" \
    "$(printf '%s\n' "${tr[@]}" | sort -g | sed -n "${mid}p")"
}
