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
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPX310_SANITIZE="$sanitize" \
  -DPX310_BUILD_BENCHMARKS="$([ -z "$sanitize" ] && echo ON || echo OFF)" >/dev/null
cmake --build "$build"
export QT_QPA_PLATFORM=offscreen
supp="$PWD/tests/sanitizers"
export ASAN_OPTIONS="fast_unwind_on_malloc=0:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp"
cd "$build" && ctest --output-on-failure -j2
