#!/usr/bin/env bash
# Builds the emulator and starts it. With a display: the window. Without one
# (a server, CI, an SSH session): px310-headless, which announces, streams and
# serves at once on a TCP port a normal user may open (6200, not the scanner's
# 620). Arguments go to px310-headless, e.g. scripts/run.sh --tcp-port 6300.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cmake --build build --target px310-emulator
  # The form's icon "310.jpg" is named relative to the working directory.
  cd build
  exec ./px310-emulator
fi

cmake --build build --target px310-headless px310-client
# The hint names the port the emulator will use: the caller's --tcp-port if given.
port=6200
port_option=(--tcp-port "$port")
previous=
for argument in "$@"; do
  case "$argument" in
    --tcp-port=*) port=${argument#--tcp-port=}; port_option=() ;;
  esac
  [ "$previous" = --tcp-port ] && { port=$argument; port_option=(); }
  previous=$argument
done
echo "no display: starting px310-headless; stop it with Ctrl-C. Try, in another shell:"
if [ "$port" = 0 ]; then  # the system picks it: the listening line below names it
  echo "  build/tools/px310-client --port PORT params get   (PORT: the TCP port of the listening line)"
else
  echo "  build/tools/px310-client --port $port params get"
fi
exec build/tools/px310-headless "${port_option[@]}" "$@"
