#!/usr/bin/env bash
# Installs what is missing, builds with ASan and UBSan, and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
build=build/asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREL_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$build" && ctest --output-on-failure -j"$(nproc)"
