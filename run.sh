#!/usr/bin/env bash
# Builds brel (optimised) and starts it with the given paths listed.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/setup.sh"
build="$here/build/release"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREL_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
if [ -x "$build/brel" ]; then
  exec "$build/brel" "$@"
fi
exec "$build/brel-cli" run "$@"
