#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the run need, when any
# is missing. Runs apt-get directly as root, through sudo otherwise.
set -euo pipefail

# The Python module's package needs pip, setuptools and wheel; the man pages'
# test man-db; the HTTP front end libmicrohttpd, its tests a headless browser
# (chromium through selenium) and the Prometheus text parser.
packages=(cmake ninja-build g++ qtbase5-dev qtbase5-dev-tools libgtest-dev libbenchmark-dev
  libpcap-dev libtins-dev tshark tcpdump python3-pytest python3-pip python3-setuptools python3-wheel man-db
  libmicrohttpd-dev chromium chromium-driver python3-selenium python3-prometheus-client)
# The Debian package: its checks (man pages, a virtualenv for the pytest
# plugin), dpkg-shlibdeps for its dependencies.
[ "${PX310_NEED_PACKAGING:-0}" = 1 ] && packages+=(desktop-file-utils lintian dpkg-dev file bash-completion python3-venv)
# Qt 6 only for a build that asks for it (-DPX310_QT_MAJOR=6).
[ "${PX310_NEED_QT6:-0}" = 1 ] && packages+=(qt6-base-dev)
[ "${PX310_NEED_CLANG:-0}" = 1 ] && packages+=(clang libclang-rt-14-dev)
# The container image: podman with runc, mmdebstrap for a base image made
# from Debian's own packages when none is present, iproute2 for the test's
# network namespaces.
[ "${PX310_NEED_CONTAINER:-0}" = 1 ] && packages+=(podman runc mmdebstrap uidmap slirp4netns iproute2)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
# Another apt or dpkg at work holds a lock: wait for it, at most
# PX310_APT_LOCK_WAIT seconds, rather than fail at once. dpkg's lock waits
# inside apt-get (DPkg::Lock::Timeout); the package lists' lock does not, so
# a refusal to take it is tried again until the time is up.
lock_wait=${PX310_APT_LOCK_WAIT:-300}
apt_get() {
  local deadline=$((SECONDS + lock_wait)) output status told=0
  while :; do
    status=0
    output=$("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get -o "DPkg::Lock::Timeout=$lock_wait" "$@" 2>&1) || status=$?
    [ "$status" = 0 ] && return 0
    if grep -q "Could not get lock" <<<"$output" && [ "$SECONDS" -lt "$deadline" ]; then
      [ "$told" = 1 ] || echo "another apt or dpkg holds the lock: waiting up to $lock_wait s" >&2
      told=1
      sleep 5
      continue
    fi
    echo "$output" >&2
    return "$status"
  done
}
echo "installing: ${missing[*]}"
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
