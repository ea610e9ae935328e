#!/usr/bin/env bash
# The emulator's container image (packaging/container/Containerfile).
#   scripts/container.sh build          builds the Debian package with
#                                       scripts/package.sh, then the image
#                                       localhost/px310-emulator:VERSION and
#                                       :latest; makes debian:bookworm-slim
#                                       with mmdebstrap when it is missing
#   scripts/container.sh test [ARGS...] runs the image in a network namespace
#                                       of its own and checks it from a second
#                                       one joined by a veth pair; ARGS replace
#                                       the image's default arguments
# Needs root for the namespaces. Podman runs with runc and without setting
# resource limits, through a configuration this script writes for itself.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "container: $*" >&2; exit 1; }
step_start=$SECONDS
step() {
  echo "== $* (after $((SECONDS - step_start))s)"
}

version=$(sed -n 's/^project(px310emu VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
image=localhost/px310-emulator
base=docker.io/library/debian:bookworm-slim

state=$(mktemp -d /tmp/px310-container.XXXXXX)
cleanups=()
cleanup() {
  local i
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done
  # A podman that made its own bridge leaves it in this namespace.
  for bridge in podman0 cni-podman0; do
    ip link show "$bridge" >/dev/null 2>&1 && ip link del "$bridge"
  done
  rm -rf "$state"
}
trap cleanup EXIT
# A signal ends the script through its exit, so the cleanup runs then too.
trap 'exit 130' INT
trap 'exit 143' TERM HUP

cat >"$state/containers.conf" <<'EOF'
[containers]
default_ulimits = []
[engine]
runtime = "runc"
EOF
export CONTAINERS_CONF="$state/containers.conf"
# The test runs the health check itself; podman's timer for it needs systemd.
export DISABLE_HC_SYSTEMD=true
podman() { command podman --runtime runc "$@"; }

PX310_NEED_CONTAINER=1 scripts/deps.sh

# From Debian's own packages, as the official image is, with the security
# updates; tagged as the name the Containerfile's FROM resolves to.
make_base() {
  local tarball="$state/bookworm.tar"
  step "making $base with mmdebstrap"
  # What the official slim image leaves out: documentation and translations.
  mmdebstrap --variant=minbase --quiet \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/info/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-include=/usr/share/locale/locale.alias' \
    bookworm "$tarball" \
    "deb http://deb.debian.org/debian bookworm main" \
    "deb http://deb.debian.org/debian bookworm-updates main" \
    "deb http://deb.debian.org/debian-security bookworm-security main" </dev/null ||
    fail "mmdebstrap failed"
  podman import --quiet --change 'CMD ["bash"]' "$tarball" "$base" >/dev/null || fail "podman import failed"
  rm -f "$tarball"
}

build() {
  step "building the Debian package"
  local deb
  deb=$(CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} scripts/package.sh | tail -1)
  [ -f "$deb" ] || fail "scripts/package.sh gave no package: $deb"
  echo "$deb"
  podman image exists "$base" || make_base
  # The context holds only what the image needs, not the source tree.
  local context="$state/context"
  mkdir "$context"
  cp packaging/container/Containerfile "$context/"
  cp "$deb" "$context/px310-emulator.deb"
  local homepage source
  homepage=$(dpkg-deb -f "$deb" Homepage)
  source=$(git config --get remote.origin.url 2>/dev/null || echo "$homepage")
  local old
  old=$(podman image inspect --format '{{.Id}}' "$image:$version" 2>/dev/null || true)
  step "building $image:$version"
  # The docker format keeps the HEALTHCHECK, which the OCI format lacks.
  podman build --quiet --network host --pull=never --format docker \
    --build-arg VERSION="$version" --build-arg HOMEPAGE="$homepage" --build-arg SOURCE="$source" \
    -t "$image:$version" -t "$image:latest" "$context" >/dev/null || fail "podman build failed"
  # Each build would otherwise leave the last one's layers behind, untagged.
  if [ -n "$old" ] && [ "$old" != "$(podman image inspect --format '{{.Id}}' "$image:$version")" ] &&
    [ -z "$(podman image inspect --format '{{join .RepoTags ""}}' "$old")" ]; then
    podman rmi "$old" >/dev/null 2>&1 || true
  fi
  step "built $image:$version"
}

# The client from the package build, else an installed one.
client=
find_client() {
  if [ -x build-package/tools/px310-client ]; then
    client=$PWD/build-package/tools/px310-client
  elif command -v px310-client >/dev/null; then
    client=$(command -v px310-client)
  else
    fail "no px310-client: run scripts/container.sh build first"
  fi
}

# Milliseconds since the epoch.
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# A second run of the image serving HTTP on A's address with a bearer
# secret, checked from B: health, stats with and without the secret, and a
# fault set through the API.
check_http() {
  step "HTTP front end from $b"
  printf 's3cret-container\n' >"$state/http-token"
  chmod 644 "$state/http-token"
  local http url=http://198.51.100.1:8080 bearer=(-H "Authorization: Bearer s3cret-container")
  http=$(podman run -d --read-only --network "ns:/run/netns/$a" -v "$state/http-token:/run/px310-token:ro" \
    "$image:$version" --listen 198.51.100.1 --tcp-port 6201 --http 198.51.100.1:8080 --http-token /run/px310-token)
  cleanups+=("podman rm -f -v $http >/dev/null")
  local get=(in_b curl -s --retry 20 --retry-connrefused --retry-delay 1 -o /dev/null -w '%{http_code}')
  [ "$("${get[@]}" "$url/healthz")" = 200 ] || fail "no health from $url in $b"
  [ "$("${get[@]}" "$url/api/stats")" = 401 ] || fail "$url/api/stats served without the bearer secret"
  in_b curl -s "${bearer[@]}" --data 'loss=5%' "$url/api/faults" >/dev/null || fail "POST $url/api/faults failed"
  in_b curl -s "${bearer[@]}" "$url/api/stats" | grep -q '"current_faults":"loss=5%"' ||
    fail "the fault set through $url does not show in its stats"
}

test_image() {
  [ "$(id -u)" = 0 ] || fail "the test needs root for its network namespaces"
  podman image exists "$image:$version" || fail "no image $image:$version: run scripts/container.sh build first"
  find_client
  local label user
  label=$(podman image inspect --format '{{index .Labels "org.opencontainers.image.version"}}' "$image:$version")
  [ "$label" = "$version" ] || fail "the image's version label is \"$label\", not $version"
  user=$(podman image inspect --format '{{.Config.User}}' "$image:$version")
  if [ -z "$user" ] || [ "$user" = root ] || [ "$user" = 0 ]; then fail "the image runs as root"; fi

  # Two namespaces joined by one veth pair; neither end is in this namespace.
  local a="px310-a-$$" b="px310-b-$$"
  ip netns add "$a"
  cleanups+=("ip netns del $a")
  ip netns add "$b"
  cleanups+=("ip netns del $b")
  ip link add veth-a netns "$a" type veth peer name veth-b netns "$b"
  ip -n "$a" addr add 198.51.100.1/24 dev veth-a
  ip -n "$b" addr add 198.51.100.2/24 dev veth-b
  local ns
  for ns in "$a" "$b"; do
    ip -n "$ns" link set lo up
  done
  ip -n "$a" link set veth-a up
  ip -n "$b" link set veth-b up
  in_b() { ip netns exec "$b" "$@"; }

  local volume="px310-test-$$"
  podman volume create "$volume" >/dev/null
  cleanups+=("podman volume rm -f $volume >/dev/null")
  step "starting $image:$version in $a"
  local id
  # Read-only: the volume must be all the emulator writes.
  id=$(podman run -d --read-only --network "ns:/run/netns/$a" -v "$volume:/var/lib/px310" "$image:$version" "$@")
  cleanups+=("podman rm -f -v $id >/dev/null")
  local c=("$client" --host 198.51.100.1 --port 6200 --timeout 2000)

  # The command server, seen from the other namespace.
  local tries=0
  until in_b "${c[@]}" params get tcp_port_u16 >"$state/params" 2>&1; do
    tries=$((tries + 1))
    if [ "$tries" = 20 ] || [ "$(podman inspect --format '{{.State.Running}}' "$id")" != true ]; then
      podman logs "$id" >&2 || true
      fail "no answer on 198.51.100.1:6200: $(cat "$state/params")"
    fi
    sleep 0.5
  done
  grep -Eqx "tcp_port_u16 *= *6200" "$state/params" || fail "params get: $(cat "$state/params")"
  [ "$(podman exec "$id" id -u)" != 0 ] || fail "the emulator runs as root"

  in_b "${c[@]}" result -n 3 --summary >"$state/result" || fail "result failed"
  [ "$(grep -c "640 points.*checksum ok" "$state/result")" = 3 ] || fail "result: $(cat "$state/result")"

  # The health check runs the client inside the container.
  podman healthcheck run "$id" >/dev/null || fail "the health check fails"
  local health
  health=$(podman inspect --format '{{.State.Health.Status}}' "$id" 2>/dev/null ||
    podman inspect --format '{{.State.Healthcheck.Status}}' "$id")
  [ "$health" = healthy ] || fail "health is \"$health\" after a passing check"

  step "hello and stream in $b"
  # These two go on to the rest when they fail, and fail the test at its end.
  local missed=()
  if ! in_b "$client" discover --seconds 5 --json >"$state/hello"; then
    missed+=("no hello packet reached $b")
  elif ! grep -q '"address": *"198.51.100.1"' "$state/hello" || ! grep -q '"tcp_port": *6200' "$state/hello"; then
    missed+=("the hello does not announce 198.51.100.1 port 6200: $(cat "$state/hello")")
  fi
  in_b "${c[@]}" params set udp_ip_address_u8=198.51.100.2 udp_port_u16=16003 >/dev/null || fail "params set failed"
  in_b "$client" stream --port 16003 --seconds 2 --from 198.51.100.1 >"$state/stream" 2>&1 ||
    missed+=("no stream from 198.51.100.1 reached $b: $(cat "$state/stream")")

  check_http

  # A flush lands in the volume as the image's user; a new start reads it back.
  in_b "${c[@]}" params flush >/dev/null || fail "params flush failed"
  local saved
  saved="$(podman volume inspect --format '{{.Mountpoint}}' "$volume")/user_params.ini"
  [ -f "$saved" ] || fail "the flush wrote no $saved"
  [ "$(stat -c %u "$saved")" != 0 ] || fail "the parameter file belongs to root"

  # How long podman stop takes, and how soon of that the emulator itself ended.
  # Podman's own tear-down takes a second or more on a busy machine; a stop
  # that had to wait for the kill would take the whole grace time.
  local grace_s=10 start stopped finished ended
  start=$(now_ms)
  podman stop -t "$grace_s" "$id" >/dev/null
  stopped=$(($(now_ms) - start))
  finished=$(podman inspect --format '{{.State.FinishedAt}}' "$id")
  ended=$(($(date -d "${finished% UTC}" +%s%N) / 1000000 - start))
  echo "podman stop returned after ${stopped} ms, the emulator ended after ${ended} ms"
  [ "$ended" -lt 1000 ] || fail "the emulator ended ${ended} ms after SIGTERM"
  [ "$stopped" -lt $((grace_s * 1000 / 2)) ] || fail "podman stop took ${stopped} ms"
  local code
  code=$(podman inspect --format '{{.State.ExitCode}}' "$id")
  [ "$code" = 0 ] || fail "the emulator ended with $code on SIGTERM"

  podman start "$id" >/dev/null
  tries=0
  until in_b "${c[@]}" params get udp_port_u16 >"$state/params" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 20 ] || fail "no answer after the restart"
    sleep 0.5
  done
  grep -Eqx "udp_port_u16 *= *16003" "$state/params" || fail "the flushed parameters are lost: $(cat "$state/params")"
  podman stop -t 10 "$id" >/dev/null
  [ ${#missed[@]} = 0 ] || fail "$(printf '%s; ' "${missed[@]}")"
  step "image checks passed"
}

case "${1:-}" in
  build)
    build ;;
  test)
    shift
    test_image "$@" ;;
  *)
    echo "usage: $0 build | test [ARGS...]" >&2
    exit 2 ;;
esac
