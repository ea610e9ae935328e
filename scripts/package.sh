#!/usr/bin/env bash
# Builds the Debian package on a fresh Debian machine: installs what the build
# and the man pages need, builds the programs only (no tests, no benchmarks)
# in build-package/ and prints the package's path. Extra arguments go to cmake,
# e.g. -DPX310_QT_MAJOR=6. The package installs under /usr whatever prefix
# the build has.
set -euo pipefail
cd "$(dirname "$0")/.."

qt6=0
[[ " $* " == *" -DPX310_QT_MAJOR=6 "* ]] && qt6=1
PX310_NEED_PACKAGING=1 PX310_NEED_QT6=$qt6 scripts/deps.sh
build=build-package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPX310_BUILD_TESTS=OFF -DPX310_BUILD_BENCHMARKS=OFF \
  "$@" >/dev/null
cmake --build "$build" >&2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null) || { echo "package: cpack failed" >&2; exit 1; }
ls "$PWD/$build"/*.deb
