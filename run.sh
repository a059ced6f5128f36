#!/usr/bin/env bash
# Builds brel (optimised) and starts it with the given paths listed.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/setup.sh" --runtime
build="$here/build/release"
echo "run: building brel and brel-cli in $build (the first build takes a few minutes)"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBREL_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
echo "run: $build/brel and $build/brel-cli are ready"
if [ -x "$build/brel" ]; then
  exec "$build/brel" "$@"
fi
exec "$build/brel-cli" run "$@"
