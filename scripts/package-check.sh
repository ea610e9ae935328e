#!/usr/bin/env bash
# Builds the Debian package with scripts/package.sh from a build whose own
# prefix is not /usr, checks that it installs under /usr, checks it with
# lintian and dpkg, checks its man pages with man and lexgrog, unpacks it and
# runs the programs from the unpacked tree as an installed copy: --help, the
# window's start, a headless start that serves a client, a flush that lands in
# the user's configuration folder (an installed program does not write beside
# itself), the wheel in a clean virtualenv and the pytest plugin in virtualenvs.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "package check: $*" >&2; exit 1; }

deb=$(scripts/package.sh -DCMAKE_INSTALL_PREFIX=/opt/px310 -DPX310_QT_MAJOR=5 | tail -1)
echo "== $deb"

lintian_status=0
report=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1) || lintian_status=$?
grep -v "running with root privileges" <<<"$report" || true
[ "$lintian_status" = 0 ] || fail "lintian reports errors"

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
version=$(dpkg-deb -f "$deb" Version)
wheel="share/px310-emulator/python/px310emu-$version-py3-none-any.whl"
stray=$(grep -Ev '^\./$|^\./usr/' <<<"$files"; grep '^\./usr/local/' <<<"$files" || true)
[ -z "$stray" ] || fail "the package installs outside /usr or under /usr/local: $stray"
for f in bin/px310-emulator bin/px310-headless bin/px310-client \
         share/px310-emulator/kelvora.jpg share/px310-emulator/310.jpg share/px310-emulator/user_params.ini \
         share/applications/px310-emulator.desktop share/icons/hicolor/64x64/apps/px310-emulator.png \
         share/man/man1/px310-emulator.1.gz share/man/man1/px310-headless.1.gz share/man/man1/px310-client.1.gz \
         share/bash-completion/completions/px310-client share/bash-completion/completions/px310-headless \
         share/doc/px310-emulator/copyright "lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/px310.lua" \
         lib/python3/dist-packages/px310emu/__init__.py lib/python3/dist-packages/px310emu/plugin.py \
         "lib/python3/dist-packages/px310emu-$version.dist-info/entry_points.txt" "$wheel" \
         share/doc/px310-emulator/README.md.gz share/doc/px310-emulator/protocol.md.gz \
         share/doc/px310-emulator/json-output.md.gz share/doc/px310-emulator/changelog.gz \
         share/doc/px310-emulator/examples/scenes/weld-seam.json share/doc/px310-emulator/examples/rigs/two-scanners.ini; do
  grep -qx "./usr/$f" <<<"$files" || fail "the package lacks /usr/$f"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = bash-completion ] || fail "the package does not recommend bash-completion"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5network5 libqt5widgets5 libmicrohttpd12; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

root=$(mktemp -d)
trap 'chmod -R u+w "$root"; rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
bin="$root/usr/bin"
desktop-file-validate "$root/usr/share/applications/px310-emulator.desktop"
# What TAB offers after the words given, with the unpacked programs.
complete_words() {
  local program=$1
  PATH="$bin:$PATH" bash -c "source /usr/share/bash-completion/bash_completion
    source '$root/usr/share/bash-completion/completions/$program'
    COMP_WORDS=($*); COMP_CWORD=$(($# - 1)); COMP_LINE='$*'; COMP_POINT=\${#COMP_LINE}
    _${program//-/_} $program \"\${COMP_WORDS[COMP_CWORD]}\" \"\${COMP_WORDS[COMP_CWORD-1]}\"
    echo \"\${COMPREPLY[*]}\"" 2>/dev/null
}
[ "$(complete_words px310-client params set exp)" = "exposure_time_u16=" ] || fail "no field names after params set"
[ "$(complete_words px310-client control /tmp/socket st)" = stats ] || fail "no control commands after control PATH"
[ "$(complete_words px310-headless --tcp)" = --tcp-port ] || fail "no px310-headless options"
# Whole outputs are read before they are searched: grep -q would stop
# reading at its match, and a program still writing would die of SIGPIPE.
grep -q "^Commands:" <<<"$("$bin/px310-client" --help)" || fail "px310-client --help"
grep -q -- "--tcp-port" <<<"$("$bin/px310-headless" --help)" || fail "px310-headless --help"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns about $page: $warnings"
  lexgrog "$page" >/dev/null || fail "lexgrog finds no NAME line in $page"
done

# An installed program cannot write beside itself.
chmod a-w "$bin"
export XDG_CONFIG_HOME="$root/config"
# The window program: its version without a display, then a start on the
# headless platform that stays open until it is stopped.
grep -q "^px310-emulator [0-9]" <<<"$("$bin/px310-emulator" --version)" || fail "px310-emulator --version"
QT_QPA_PLATFORM=offscreen "$bin/px310-emulator" >"$root/window.log" 2>&1 &
window_pid=$!
sleep 2
kill -0 "$window_pid" 2>/dev/null || fail "px310-emulator did not stay open: $(cat "$root/window.log")"
kill "$window_pid"
wait "$window_pid" 2>/dev/null || true
log="$root/headless.log"
headless_pid=
start_headless() {
  local attempt
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000))
    "$bin/px310-headless" --tcp-port "$port" --udp-port $((port + 1)) --hello-port $((port + 2)) >"$log" 2>&1 &
    headless_pid=$!
    for _ in $(seq 50); do
      grep -q "listening on" "$log" && return 0
      kill -0 "$headless_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$headless_pid" 2>/dev/null || true
    wait "$headless_pid" 2>/dev/null || true
  done
  cat "$log" >&2
  fail "px310-headless did not start"
}
stop_headless() {
  kill "$headless_pid"
  wait "$headless_pid" || fail "px310-headless did not stop cleanly: $(cat "$log")"
}

start_headless
grep -q "= $port$" <<<"$("$bin/px310-client" --port "$port" params get tcp_port_u16)" || fail "params get"
"$bin/px310-client" --port "$port" result --summary --plot "$root/plot.png" >/dev/null || fail "result --plot"
[ -s "$root/plot.png" ] || fail "no plot"
"$bin/px310-client" --port "$port" params set exposure_time_u16=1234 >/dev/null
"$bin/px310-client" --port "$port" params flush >/dev/null
stop_headless
saved="$XDG_CONFIG_HOME/px310-emulator/user_params.ini"
grep -q "parameters saved to $saved" "$log" || fail "the flush did not say it went to $saved: $(cat "$log")"
[ ! -e "$bin/user_params.ini" ] || fail "the flush wrote beside the program"

start_headless
grep -q "= 1234$" <<<"$("$bin/px310-client" params get exposure_time_u16 --port "$port")" ||
  fail "the next start did not load $saved"
stop_headless
# The pytest plugin, found through its entry point by a pytest in a virtualenv
# that holds nothing of this tree but the installed package: once as pip
# installs it from the source tree, once as the package's own files. The
# system's pytest (python3-pytest) comes in with the system's packages.
tests="$root/plugin-tests"
mkdir "$tests"
cat >"$tests/test_plugin.py" <<'EOF'
import pytest


def test_the_factory_starts_what_it_is_asked_for(px310_emulator_factory):
    emulator = px310_emulator_factory(faults="dup=1%", seed=3)
    assert emulator.stats()["current_faults"] == "dup=1%"


@pytest.mark.px310(scanners=2)
def test_the_marker_configures_the_fixture(px310_emulator):
    assert [address for address, _ in px310_emulator.scanners] == ["127.0.0.1", "127.0.0.2"]
EOF
# plugin_check VENV WHERE: VENV's px310emu comes from under WHERE, and its fixtures work.
plugin_check() {
  local venv=$1 where=$2 module report
  module=$("$venv/bin/python" -c 'import px310emu; print(px310emu.__file__)')
  [[ "$module" == "$where"/* ]] || fail "the virtualenv imports px310emu from $module, not from $where"
  report=$(cd "$tests" && env -u PYTHONPATH PATH="$bin:$PATH" "$venv/bin/python" -m pytest -p no:cacheprovider -rs . 2>&1) ||
    fail "pytest with the plugin in $venv: $report"
  grep -q "2 passed" <<<"$report" && ! grep -q skipped <<<"$report" || fail "the plugin's tests did not all run: $report"
}
# The wheel in a virtualenv of nothing but itself: it installs offline, the
# module imports and the plugin's entry point is declared.
/usr/bin/python3 -m venv "$root/venv-clean"
"$root/venv-clean/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-index "$root/usr/$wheel" ||
  fail "pip cannot install the wheel into a clean virtualenv"
"$root/venv-clean/bin/python" -c '
import importlib.metadata, px310emu
assert [e.value for e in importlib.metadata.entry_points(group="pytest11") if e.name == "px310emu"] == ["px310emu.plugin"]
' || fail "the wheel's module or its pytest11 entry point is missing in a clean virtualenv"
# The wheel beside Debian's pytest, from the system's packages.
/usr/bin/python3 -m venv --system-site-packages "$root/venv-wheel"
"$root/venv-wheel/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-index "$root/usr/$wheel" ||
  fail "pip cannot install the wheel beside the system's packages"
plugin_check "$root/venv-wheel" "$root/venv-wheel"
/usr/bin/python3 -m venv --system-site-packages --without-pip "$root/venv-pip"
cp -r tools/python "$root/python-source"  # a build leaves files beside its sources
"$root/venv-pip/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  --no-index --no-build-isolation --no-deps "$root/python-source" || fail "pip cannot install tools/python"
plugin_check "$root/venv-pip" "$root/venv-pip"
/usr/bin/python3 -m venv --system-site-packages --without-pip "$root/venv-deb"
site_packages=$("$root/venv-deb/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
echo "$root/usr/lib/python3/dist-packages" >"$site_packages/px310-package.pth"
plugin_check "$root/venv-deb" "$root/usr/lib/python3/dist-packages"
echo "== package check passed"
