"""The Python module against the real px310-headless."""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

import px310emu
from px310emu import ControlError, Emulator, EmulatorError, find_headless, supports_control

pytestmark = pytest.mark.skipif(not find_headless(), reason="px310-headless not built")
needs_control = pytest.mark.skipif(not find_headless() or not supports_control(),
                                   reason="px310-headless has no --control yet")


def receive_datagrams(port, seconds):
    received = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        udp.bind(("127.0.0.1", port))
        udp.settimeout(0.2)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                received.append(udp.recv(70000))
            except socket.timeout:
                pass
    return received


def test_starts_on_free_ports_serves_and_stops_cleanly():
    emulator = Emulator(control=False).start()
    try:
        assert emulator.scanners == [("127.0.0.1", emulator.tcp_port)]
        assert emulator.listening[0]["hello_port"] == emulator.hello_port
        socket.create_connection(("127.0.0.1", emulator.tcp_port), timeout=5).close()
    finally:
        assert emulator.stop() == 0


def client_path():
    return os.environ.get("PX310_CLIENT") or os.path.join(os.path.dirname(find_headless()), "px310-client")


@needs_control
def test_the_stream_client_reports_the_faults_stats_count():
    # A low rate, so that a client held up on a busy machine loses nothing in
    # its socket's buffer.
    with Emulator(extra_args=["--frequency", "50"]) as emulator:
        client = subprocess.Popen([client_path(), "stream", "--port", str(emulator.udp_port), "--seconds", "5", "--json"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        # Faults only in the middle of what the client receives: it sees every
        # packet on either side, so each loss shows in the packet counters.
        time.sleep(1.0)
        emulator.set_faults("loss=10%,burst=2,dup=8%,reorder=8%,corrupt=8%")
        time.sleep(2.0)
        emulator.clear_faults()
        injected = emulator.stats()["faults"]
        report = json.loads(client.communicate(timeout=30)[0])
    assert min(injected["lost"], injected["duplicated"], injected["reordered"], injected["corrupted"]) > 0
    # A corrupted packet's counter cannot be trusted: the client counts it lost too.
    assert (report["lost"], report["reordered"], report["duplicates"], report["checksum_failures"]) == (
        injected["lost"] + injected["corrupted"], injected["reordered"], injected["duplicated"],
        injected["corrupted"])


# A picture chunk of no bytes: the shortest reply, so a cut leaves exactly its first byte.
EMPTY_CHUNK = struct.pack("<IIII", 3, 0, 0, 0)
EMPTY_CHUNK_SIZE = 2


def read_reply(connection, size):
    """`size` bytes, or those before the connection closed; None when nothing came in time."""
    reply = b""
    try:
        while len(reply) < size:
            chunk = connection.recv(size - len(reply))
            if not chunk:
                break
            reply += chunk
    except socket.timeout:
        return reply or None
    except ConnectionResetError:  # a request that met the closed connection
        pass
    return reply


def ask_empty_chunk(connection):
    connection.sendall(EMPTY_CHUNK)
    return read_reply(connection, EMPTY_CHUNK_SIZE)


def replies_until_closed(connection, most):
    """Sizes of the replies to `most` requests until one is missing or short;
    after a short one, 0 when the connection then closed, None when not."""
    sizes = []
    for _ in range(most):
        reply = ask_empty_chunk(connection)
        sizes.append(len(reply) if reply is not None else None)
        if reply is None or len(reply) < EMPTY_CHUNK_SIZE:
            break
    if sizes[-1] and sizes[-1] < EMPTY_CHUNK_SIZE:
        end = read_reply(connection, 1)
        sizes.append(len(end) if end is not None else None)
    return sizes


@needs_control
@pytest.mark.parametrize("px310_emulator, seen, counter", [
    ({"faults": "drop-after=2"}, [2, 2, 0], "connections_dropped"),
    ({"faults": "stall=2"}, [2, 2, None], "stalls"),
    ({"faults": "cut=100%"}, [1, 0], "replies_cut"),
    ({"faults": "reply-delay=300ms"}, [2] * 5, "replies_delayed"),
], indirect=["px310_emulator"])
def test_a_client_sees_the_command_server_faults(px310_emulator, seen, counter):
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", px310_emulator.tcp_port), timeout=1.0) as connection:
        sizes = replies_until_closed(connection, 5)
    assert sizes == seen
    if counter == "replies_delayed":
        assert time.monotonic() - started >= 1.5
    stats = px310_emulator.stats()
    assert stats["faults"][counter] >= 1
    # Requests sent after the close or the stall were never read.
    assert stats["requests"]["3"] == len([size for size in sizes if size])


@needs_control
def test_stats_count_no_refused_datagrams_on_loopback(px310_emulator):
    assert px310_emulator.stats()["datagrams_refused"] == 0


@needs_control
@pytest.mark.px310(faults="dup=1%", seed=3)
def test_a_bad_command_is_refused_and_changes_nothing(px310_emulator):
    with pytest.raises(ControlError, match="loss=5"):
        px310_emulator.set_faults("loss=5")
    with pytest.raises(ValueError, match="control characters"):
        px310_emulator.load_profile("p.csv\nfaults loss=100%")
    assert px310_emulator.stats()["current_faults"] == "dup=1%"
    px310_emulator.clear_faults()
    assert px310_emulator.stats()["current_faults"] == "none"


@needs_control
def test_a_bad_fault_list_stops_the_start():
    with pytest.raises(EmulatorError, match="burst=3"):
        Emulator(faults="burst=3").start()


@needs_control
def test_an_outage_drops_the_client_and_then_serves_again(px310_emulator):
    port = px310_emulator.tcp_port
    with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
        assert len(ask_empty_chunk(connection)) == EMPTY_CHUNK_SIZE
        assert px310_emulator.stats()["clients_connected"] == 1
        px310_emulator.outage(1)
        assert read_reply(connection, 1) == b""
        assert px310_emulator.stats()["clients_connected"] == 0
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
    deadline = time.monotonic() + 10
    while True:
        try:
            connection = socket.create_connection(("127.0.0.1", port), timeout=1)
            break
        except OSError:
            assert time.monotonic() < deadline, "no server after the outage"
            time.sleep(0.1)
    with connection:
        assert len(ask_empty_chunk(connection)) == EMPTY_CHUNK_SIZE


@needs_control
def test_each_scanner_of_a_rig_is_addressed_by_its_address(px310_emulator_factory):
    rig = px310_emulator_factory(scanners=2)
    assert [address for address, _ in rig.scanners] == ["127.0.0.1", "127.0.0.2"]
    rig.set_faults("hello=off", scanner="127.0.0.2")
    assert rig.stats(scanner="127.0.0.2")["current_faults"] == "hello=off"
    assert rig.stats(scanner="127.0.0.1")["current_faults"] == "none"
    with pytest.raises(ControlError):
        rig.stats(scanner="127.0.0.3")


@needs_control
def test_the_profile_started_with_and_one_loaded_while_running_are_streamed(px310_emulator_factory, tmp_path):
    def profile(points):
        csv = tmp_path / ("%d.csv" % points)
        csv.write_text("".join("%g;50\n" % (x * 0.5) for x in range(points)))
        return str(csv)

    def streamed_point_counts():
        return {struct.unpack_from("<H", d, 10)[0] for d in receive_datagrams(emulator.udp_port, 0.5)}

    emulator = px310_emulator_factory(profile=profile(60))
    assert streamed_point_counts() == {60}
    assert emulator.load_profile(profile(100)).startswith("loaded 100 points")
    assert streamed_point_counts() == {100}


@needs_control
def test_a_recording_replayed_while_running_is_streamed_frame_by_frame(px310_emulator, tmp_path):
    for name, points in (("a.csv", 10), ("b.csv", 20)):
        (tmp_path / name).write_text("".join("%g;50\n" % (x * 0.5) for x in range(points)))
    assert px310_emulator.replay(str(tmp_path)).startswith("replaying")
    point_counts = {struct.unpack_from("<H", d, 10)[0] for d in receive_datagrams(px310_emulator.udp_port, 0.5)}
    assert point_counts == {10, 20}
    with pytest.raises(ControlError):
        px310_emulator.replay(str(tmp_path / "missing"))


@needs_control
def test_hello_off_silences_the_announcements(px310_emulator):
    px310_emulator.set_faults("hello=off")
    assert receive_datagrams(px310_emulator.hello_port, 2.5) == []
    assert px310_emulator.stats()["faults"]["hellos_suppressed"] >= 1


def gone(pid):
    """True once `pid` has ended (a zombie nobody reaps counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def test_an_emulator_ends_with_the_test_process_that_started_it_when_that_is_killed():
    starter = subprocess.Popen([sys.executable, "-c", "import sys, time; sys.path.insert(0, sys.argv[1]); "
                                "import px310emu; print(px310emu.Emulator(control=False).start().pid, flush=True); "
                                "time.sleep(120)", os.path.dirname(os.path.dirname(px310emu.__file__))],
                               stdout=subprocess.PIPE, universal_newlines=True)
    emulator_pid = None
    try:
        emulator_pid = int(starter.stdout.readline())
        starter.kill()
        starter.wait()
        deadline = time.monotonic() + 10
        while not gone(emulator_pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert gone(emulator_pid)
    finally:
        starter.kill()
        starter.wait()
        starter.stdout.close()
        if emulator_pid and not gone(emulator_pid):
            os.kill(emulator_pid, signal.SIGKILL)


def test_an_emulator_that_crashes_during_a_test_fails_that_test_with_its_last_words(pytester):
    pytester.makepyfile("""
        import os, signal, time

        def test_crash(px310_emulator_factory):
            emulator = px310_emulator_factory(control=False, args=["--verbose"])
            os.kill(emulator.pid, signal.SIGSEGV)
            while emulator.ended() is None:
                time.sleep(0.05)
    """)
    result = pytester.runpytest_inprocess("-p", "no:px310emu", "-p", "px310emu.plugin")
    result.assert_outcomes(passed=1, errors=1)
    result.stdout.fnmatch_lines(["*px310-headless ended with -11: *", "*px310.*"])
