"""The Python module against the real px310-headless."""
import socket
import time

import pytest

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
        socket.create_connection(("127.0.0.1", emulator.tcp_port), timeout=5).close()
    finally:
        assert emulator.stop() == 0


@needs_control
def test_stats_count_the_faults_injected_from_a_seed():
    with Emulator(faults="loss=20%,corrupt=10%", seed=3) as emulator:
        received = receive_datagrams(emulator.udp_port, 1.5)
        stats = emulator.stats()
    assert stats["current_faults"] == "loss=20%,corrupt=10%"
    assert stats["faults"]["lost"] > 0 and stats["faults"]["corrupted"] > 0
    assert stats["datagrams_sent"] >= len(received) > 0


@needs_control
def test_a_bad_command_is_refused_and_changes_nothing(px310_emulator):
    assert px310_emulator.set_faults("dup=1%") == "dup=1%"
    with pytest.raises(ControlError, match="loss=5"):
        px310_emulator.set_faults("loss=5")
    assert px310_emulator.stats()["current_faults"] == "dup=1%"
    px310_emulator.clear_faults()
    assert px310_emulator.stats()["current_faults"] == "none"


@needs_control
def test_a_bad_specification_stops_the_start():
    with pytest.raises(EmulatorError, match="burst=3"):
        Emulator(faults="burst=3").start()


@needs_control
def test_after_an_outage_the_scanner_serves_again(px310_emulator):
    px310_emulator.outage(1)
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", px310_emulator.tcp_port), timeout=0.5).close()
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", px310_emulator.tcp_port), timeout=1).close()
            break
        except OSError:
            assert time.monotonic() < deadline, "no server after the outage"
            time.sleep(0.1)


@needs_control
def test_each_scanner_of_a_rig_is_addressed_by_its_address():
    with Emulator(scanners=2) as rig:
        assert [address for address, _ in rig.scanners] == ["127.0.0.1", "127.0.0.2"]
        rig.set_faults("hello=off", scanner="127.0.0.2")
        assert rig.stats(scanner="127.0.0.2")["current_faults"] == "hello=off"
        assert rig.stats(scanner="127.0.0.1")["current_faults"] == "none"
        with pytest.raises(ControlError):
            rig.stats(scanner="127.0.0.3")
