#!/usr/bin/env bash
# Builds the Debian package from a build tree (argument; default build/asan) and checks it without
# installing it: unpacked into a scratch root with dpkg -x, the programs, the desktop entry (valid
# for desktop-file-validate) and the icons must be in place, and both programs must run.
# Exit 77 (skipped) when dpkg is missing.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build/asan}" && pwd)"
command -v dpkg-deb >/dev/null 2>&1 || { echo "dpkg is missing: package test skipped"; exit 77; }

scratch="$(mktemp -d "${TMPDIR:-/tmp}/brel-package-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; exit 1; }
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
deb="$scratch/out/brel_${version}_amd64.deb"
[ -f "$deb" ] || { echo "missing $deb"; ls "$scratch/out"; exit 1; }

fail() { echo "package: $*"; exit 1; }
depends="$(dpkg-deb -f "$deb" Depends)"
for dep in libqt6widgets6 zlib1g libmspack0 libssl3; do
  [[ "$depends" == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
done

root="$scratch/root"
dpkg -x "$deb" "$root"
for f in usr/bin/brel usr/bin/brel-cli; do
  [ -x "$root/$f" ] || fail "$f is missing or not executable"
done
for f in usr/share/applications/brel.desktop usr/share/icons/hicolor/scalable/apps/brel.svg \
         usr/share/icons/hicolor/16x16/apps/brel.png usr/share/icons/hicolor/48x48/apps/brel.png \
         usr/share/icons/hicolor/256x256/apps/brel.png; do
  [ -s "$root/$f" ] || fail "$f is missing"
done
for f in usr/share/man/man1/brel.1.gz usr/share/man/man1/brel-cli.1.gz usr/share/doc/brel/copyright; do
  [ -s "$root/$f" ] || fail "$f is missing"
done
head -n 1 "$root/usr/share/doc/brel/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  || fail "the copyright file is not in Debian's machine-readable format"
for name in UPX Qt zlib libdeflate libmspack OpenSSL; do
  grep -q "$name" "$root/usr/share/doc/brel/copyright" || fail "the copyright file does not name $name"
done
if command -v man >/dev/null 2>&1; then
  MANWIDTH=80 man -l "$root/usr/share/man/man1/brel.1.gz" 2>&1 | grep -q 'XDG_CONFIG_HOME' || fail "brel.1 does not render"
fi
if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$root/usr/share/applications/brel.desktop" || fail "desktop entry is not valid"
fi
grep -q '^Exec=brel %F$' "$root/usr/share/applications/brel.desktop" || fail "Exec line"
# What desktop-file-utils' dpkg trigger runs on installation: "Open with brel" for archives.
if command -v update-desktop-database >/dev/null 2>&1; then
  update-desktop-database "$root/usr/share/applications"
  grep -q '^application/zip=.*brel.desktop' "$root/usr/share/applications/mimeinfo.cache" \
    || fail "the desktop database does not offer brel for ZIP archives"
fi

export ASAN_OPTIONS=detect_leaks=0
"$root/usr/bin/brel" --version | grep -qx "brel ${version}.0" || fail "brel --version"
"$root/usr/bin/brel-cli" type "$root/usr/share/icons/hicolor/16x16/apps/brel.png" | grep -q . \
  || fail "brel-cli does not run"
echo "package: $(basename "$deb") holds brel, brel-cli, the desktop entry and the icons"
