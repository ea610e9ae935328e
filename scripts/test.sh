#!/usr/bin/env bash
# Builds and runs the whole test suite through ctest.
#   scripts/test.sh                    normal build (build/)
#   scripts/test.sh --qt6              the same with Qt 6 (build-qt6/)
#   scripts/test.sh --sanitize address ASan + UBSan build (build-address/)
#   scripts/test.sh --sanitize thread  TSan build (build-thread/)
#   scripts/test.sh --all              all four builds, the Debian package
#                                      check (scripts/package-check.sh), the
#                                      container image's build and check
#                                      (scripts/container.sh), then every fuzz
#                                      harness for PX310_FUZZ_SECONDS (default
#                                      60) each; this is what CI runs
set -euo pipefail
cd "$(dirname "$0")/.."

# run_suite [address|thread|qt6]: the sanitizer builds use Qt 5; benchmarks
# are built by the plain Qt 5 build only.
run_suite() {
  local variant="$1"
  local build="build${variant:+-$variant}"
  local sanitize="${variant/qt6/}"
  echo "== test suite${variant:+ ($variant)} in $build/"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPX310_SANITIZE="$sanitize" \
    -DPX310_QT_MAJOR="$([ "$variant" = qt6 ] && echo 6 || echo 5)" \
    -DPX310_BUILD_BENCHMARKS="$([ -z "$variant" ] && echo ON || echo OFF)" >/dev/null
  cmake --build "$build"
  (
    export QT_QPA_PLATFORM=offscreen
    local supp="$PWD/tests/sanitizers"
    export ASAN_OPTIONS="fast_unwind_on_malloc=0:detect_stack_use_after_return=1"
    export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=7:suppressions=$supp/tsan.supp"
    cd "$build" && ctest --output-on-failure -j2
  )
  echo "== $build/ done after ${SECONDS}s"
}

case "${1:-}" in
  "")
    scripts/deps.sh
    run_suite "" ;;
  --qt6)
    PX310_NEED_QT6=1 scripts/deps.sh
    run_suite qt6 ;;
  --sanitize)
    scripts/deps.sh
    run_suite "${2:?address or thread}" ;;
  --all)
    PX310_NEED_CLANG=1 PX310_NEED_PACKAGING=1 PX310_NEED_QT6=1 scripts/deps.sh
    run_suite ""
    run_suite qt6
    run_suite address
    run_suite thread
    echo "== Debian package"
    scripts/package-check.sh
    echo "== container image"
    scripts/container.sh build
    scripts/container.sh test
    scripts/fuzz.sh "${PX310_FUZZ_SECONDS:-60}"
    echo "== all done after ${SECONDS}s" ;;
  *)
    echo "usage: $0 [--qt6 | --sanitize address|thread | --all]" >&2
    exit 2 ;;
esac
