#!/usr/bin/env bash
# Extracts each archive with brel-cli and with the best peer for its kind (lhasa, cabextract,
# bsdtar, then 7z), and compares the two trees: names, sizes, content hashes and link targets.
# One line per archive (SAME, CASE when only letter case differs, DIFF, SKIP), then the share.
#   scripts/compare-peers.sh build/asan/brel-cli ARCHIVE...
set -uo pipefail
brel=$(realpath "$1"); shift
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

tree() {  # one sorted line per entry below $1
  (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r p; do
    if [ -L "$p" ]; then echo "L $p -> $(readlink "$p")"
    elif [ -d "$p" ]; then echo "D $p"
    else echo "F $p $(stat -c %s "$p") $(md5sum < "$p" | cut -c1-12)"; fi
  done)
}

peer() {  # peer KIND ARCHIVE DIR
  case "$1" in
    *atLha*) (cd "$3" && timeout 120 lhasa xq "$2") ;;
    *atCab*) timeout 120 cabextract -q -d "$3" "$2" ;;
    *) timeout 120 bsdtar -xf "$2" -C "$3" ||
         { rm -rf "$3" && mkdir "$3" && timeout 120 7z x -y -p- -o"$3" "$2"; } ;;
  esac >/dev/null 2>&1
}

same=0 total=0
for f in "$@"; do
  f=$(realpath "$f")
  kind=$("$brel" type -v "$f" 2>/dev/null | head -1)
  case "$kind" in *atZip*|*atLha*|*atCab*|*atTar*|*atGZip*) ;; *) echo "SKIP [$kind]"; continue ;; esac
  rm -rf "$work/a" "$work/b"; mkdir "$work/a" "$work/b"
  timeout 120 "$brel" x -q -o "$work/a" "$f" >"$work/log" 2>&1; rb=$?
  peer "$kind" "$f" "$work/b"; rp=$?
  tree "$work/a" >"$work/ta"; tree "$work/b" >"$work/tb"
  if cmp -s "$work/ta" "$work/tb"; then m=SAME
  elif cmp -s <(tr A-Z a-z <"$work/ta") <(tr A-Z a-z <"$work/tb"); then m=CASE
  else m=DIFF; fi
  total=$((total + 1)); [ "$m" = DIFF ] || same=$((same + 1))
  echo "$m brel=$rb peer=$rp $f $(head -c 160 "$work/log" | tr '\n' ' ')"
done
[ "$total" -gt 0 ] && echo "$same of $total give the peer's tree ($((100 * same / total))%)"
