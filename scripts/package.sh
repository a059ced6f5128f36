#!/usr/bin/env bash
# Builds the optimised programs (the tree ./run.sh uses) and the Debian package
# build/release/brel_<version>_amd64.deb; install it with: sudo apt install ./build/release/brel_*.deb
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup.sh" --runtime
build="$here/build/release"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREL_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB)
ls "$build"/brel_*_amd64.deb
