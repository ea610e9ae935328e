#!/usr/bin/env bash
# Builds the emulator and starts it. Without a display it runs under Xvfb when
# that is installed, else on Qt's offscreen platform (no window to see, but the
# network side works).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target px310-emulator
# The window icon "310.jpg" is looked up in the working directory, so the
# program runs from its own directory, where the build puts the pictures.
cd build
exe=./px310-emulator

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$exe"
elif command -v xvfb-run >/dev/null; then
  echo "no display: running under Xvfb"
  exec xvfb-run -a "$exe"
else
  echo "no display: running on the offscreen platform"
  QT_QPA_PLATFORM=offscreen exec "$exe"
fi
