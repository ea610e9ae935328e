"""The module's rigs: from a rig file or a list of scanners, each one reachable on its own ports."""
import os
import socket
import struct
import time

import pytest

from px310emu import Emulator, find_headless, free_port

pytestmark = pytest.mark.skipif(not find_headless(), reason="px310-headless not built")

EXAMPLE_RIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "rigs",
                           "two-scanners.ini")
READ_PARAMS = 4
RECORD_SIZE = 512
TCP_PORT_OFFSET = 29  # tcp_port_u16 in the record


def two_scanners():
    """The first on the command line's ports, the second with a stream port of its own."""
    return [{"address": "127.0.0.1"}, {"address": "127.0.0.2", "udp_port": free_port(socket.SOCK_DGRAM)}]


def read_record(address, port):
    with socket.create_connection((address, port), timeout=5) as connection:
        connection.sendall(struct.pack("<IIII", READ_PARAMS, 0, 0, 0))
        record = b""
        while len(record) < RECORD_SIZE:
            chunk = connection.recv(RECORD_SIZE - len(record))
            assert chunk, "the connection closed after %d bytes" % len(record)
            record += chunk
    return record


def stream_sources(port, seconds=0.5):
    """The addresses that streamed to `port` on loopback within `seconds`."""
    sources = set()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.bind(("127.0.0.1", port))
        udp.settimeout(0.1)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                sources.add(udp.recvfrom(70000)[1][0])
            except socket.timeout:
                pass
    return sources


def test_every_scanner_of_a_rig_serves_on_its_own_command_port(px310_emulator_factory):
    rig = px310_emulator_factory(rig=two_scanners(), control=False)
    assert [scanner.address for scanner in rig.ports] == ["127.0.0.1", "127.0.0.2"]
    for scanner in rig.ports:
        record = read_record(scanner.address, scanner.tcp_port)
        assert struct.unpack_from("<H", record, TCP_PORT_OFFSET)[0] == scanner.tcp_port


def test_every_scanner_of_a_rig_streams_from_its_address_to_its_own_port(px310_emulator_factory):
    rig = px310_emulator_factory(rig=two_scanners(), control=False)
    assert len({scanner.udp_port for scanner in rig.ports}) == 2
    for scanner in rig.ports:
        assert stream_sources(scanner.udp_port) == {scanner.address}


def test_the_emulators_stream_port_is_its_first_scanners_own(px310_emulator_factory):
    port = free_port(socket.SOCK_DGRAM)
    emulator = px310_emulator_factory(rig=[{"address": "127.0.0.1", "udp_port": port}], control=False)
    assert emulator.udp_port == port


def test_a_rig_file_starts_every_group_it_names(px310_emulator_factory, tmp_path):
    rig_file = tmp_path / "rig.ini"
    rig_file.write_text("[right]\naddress=127.0.0.4\n[left]\naddress=127.0.0.3\n")
    rig = px310_emulator_factory(rig=str(rig_file), control=False)
    assert [scanner.address for scanner in rig.ports] == ["127.0.0.3", "127.0.0.4"]  # in the groups' name order


def test_the_example_rig_starts_both_its_scanners_with_their_scenes(px310_emulator_factory):
    rig = px310_emulator_factory(rig=EXAMPLE_RIG, control=False)
    assert [(scanner["address"], scanner["source"]) for scanner in rig.listening] == [
        ("127.0.0.1", "scene"), ("127.0.0.2", "scene")]


def test_a_rig_value_holding_a_line_end_is_refused_before_anything_starts():
    with pytest.raises(ValueError):
        Emulator(rig=[{"address": "127.0.0.1\nserial=5"}])
