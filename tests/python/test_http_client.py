"""px310-client control and the Python module with an HTTP front end as their target."""
import os
import subprocess

import pytest

from px310emu import Emulator, find_headless, supports_option

pytestmark = pytest.mark.skipif(not find_headless() or not supports_option("--http"),
                                reason="px310-headless with --http not built")

SECRET = "s3cret-for-tests"


@pytest.fixture(scope="module")
def emulator():
    with Emulator(scanners=2, http=True) as running:
        yield running


@pytest.fixture(scope="module")
def secret_file(tmp_path_factory):
    secret = tmp_path_factory.mktemp("token") / "secret"
    secret.write_text(SECRET + "\n")
    return secret


@pytest.fixture(scope="module")
def guarded(secret_file):
    with Emulator(extra_args=["--http", "127.0.0.1:0", "--http-token", str(secret_file)]) as running:
        yield running


def client(*arguments):
    path = os.environ.get("PX310_CLIENT") or os.path.join(os.path.dirname(find_headless()), "px310-client")
    return subprocess.run([path, "control"] + list(arguments), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=30)


def test_the_client_prints_over_http_what_it_prints_over_the_socket(emulator):
    assert client(emulator.http_url, "requests").stdout == client(emulator.control_path, "requests").stdout


def test_the_client_changes_a_scanner_over_http_with_the_page_token(emulator):
    second = "%s:%d" % emulator.scanners[1]
    done = client(emulator.http_url, "--scanner", second, "faults", "reorder=1%")
    assert (done.returncode, emulator.stats(scanner=second)["current_faults"]) == (0, "reorder=1%")


def test_the_client_exits_1_with_the_emulators_reason_for_a_refused_command(emulator):
    done = client(emulator.http_url, "--scanner", "127.0.0.9", "stats")
    assert (done.returncode, "no scanner at 127.0.0.9" in done.stderr) == (1, True)


def test_the_client_brings_the_bearer_secret_from_its_token_file(guarded, secret_file):
    done = client("--token-file", str(secret_file), guarded.http_url, "faults", "dup=2%")
    assert (done.returncode, done.stdout) == (0, "dup=2%\n")


def test_the_python_module_drives_an_emulator_over_http_alone():
    with Emulator(control=False, http=True) as emulator:
        emulator.set_faults("loss=1%")
        assert emulator.stats()["current_faults"] == "loss=1%"


@pytest.mark.px310(control=False, http=True)
def test_the_pytest_fixture_drives_an_emulator_over_http(px310_emulator):
    assert px310_emulator.control("faults dup=3%") == "dup=3%"


def test_the_client_pauses_a_scanners_stream_over_http(emulator):
    second = "%s:%d" % emulator.scanners[1]
    done = client(emulator.http_url, "--scanner", second, "pause")
    try:
        assert (done.returncode, emulator.stats(scanner=second)["paused"]) == (0, True)
    finally:
        emulator.resume(scanner=second)
