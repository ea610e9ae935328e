#!/usr/bin/env bash
# Builds and runs the whole test suite through ctest.
#   scripts/test.sh                 normal build (build/)
#   scripts/test.sh --sanitize address|thread
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="${2:?address or thread}"; fi

scripts/deps.sh
build="build${sanitize:+-$sanitize}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPX310_SANITIZE="$sanitize" >/dev/null
cmake --build "$build"
export QT_QPA_PLATFORM=offscreen
cd "$build" && ctest --output-on-failure -j2
