"""The window program is quiet on standard error unless asked to log."""
import ctypes
import os
import signal
import subprocess
import tempfile

import pytest

EMULATOR = os.environ.get("PX310_EMULATOR")
LIFETIME_SECONDS = 1.5
_PR_SET_PDEATHSIG = 1

pytestmark = pytest.mark.skipif(not EMULATOR, reason="px310-emulator not built")


def _die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def emulator_log(*arguments, rules=None):
    """The emulator's own log lines the window writes in its first moments."""
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=home)
        env.pop("QT_LOGGING_RULES", None)
        if rules:
            env["QT_LOGGING_RULES"] = rules
        window = subprocess.Popen([EMULATOR] + list(arguments), stderr=subprocess.PIPE, universal_newlines=True,
                                  env=env, cwd=home, preexec_fn=_die_with_parent)
        try:
            with pytest.raises(subprocess.TimeoutExpired):
                window.wait(timeout=LIFETIME_SECONDS)
        finally:
            window.terminate()
            errors = window.communicate(timeout=10)[1]
    return [line for line in errors.splitlines() if "px310." in line]


def test_the_window_writes_no_log_by_default():
    assert emulator_log() == []


def test_verbose_turns_on_every_category():
    assert any("px310.params:" in line for line in emulator_log("--verbose"))


def test_logging_rules_turn_on_the_category_they_name():
    assert any(line.startswith("px310.params:") for line in emulator_log(rules="px310.params.debug=true"))
