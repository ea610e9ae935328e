"""What a client sent, as the emulator's request journal lists it."""
import json
import socket
import struct

import pytest

from px310emu import Emulator, find_headless, supports_control

pytestmark = pytest.mark.skipif(not find_headless() or not supports_control(), reason="px310-headless not built")

READ_PARAMS = 4
WRITE_PARAMS = 5
RECORD_SIZE = 512
LASER_LEVEL_OFFSET = 2  # laser_level_u8, after config_version_u16


def request(command, payload=b""):
    return struct.pack("<4I", command, len(payload), 0, 0) + payload


def receive(connection, size):
    data = b""
    while len(data) < size:
        data += connection.recv(size - len(data))
    return data


def test_a_clients_write_params_is_listed_after_its_read_with_the_field_it_changed():
    with Emulator() as emulator:
        with socket.create_connection(("127.0.0.1", emulator.tcp_port), timeout=10) as client:
            client.sendall(request(READ_PARAMS))
            record = bytearray(receive(client, RECORD_SIZE))
            record[LASER_LEVEL_OFFSET] = 7
            client.sendall(request(WRITE_PARAMS, bytes(record)))
            assert receive(client, 2) == b"OK"
            port = client.getsockname()[1]
        served = emulator.requests()
    assert [(r["command"], r["client"]) for r in served] == [(READ_PARAMS, "127.0.0.1:%d" % port),
                                                             (WRITE_PARAMS, "127.0.0.1:%d" % port)]
    assert served[1]["changed"] == ["laser_level_u8: 0 -> 7"]


JOURNAL_BOUND = 1000
FLOOD = JOURNAL_BOUND + 100
LASER_LEVELS = (1, 2, 3)


def write_laser_levels(client, levels):
    client.sendall(request(READ_PARAMS))
    record = bytearray(receive(client, RECORD_SIZE))
    for level in levels:
        record[LASER_LEVEL_OFFSET] = level
        client.sendall(request(WRITE_PARAMS, bytes(record)))
        assert receive(client, 2) == b"OK"


def test_a_clients_write_params_are_listed_in_order_each_with_the_change_it_made():
    with Emulator() as emulator:
        with socket.create_connection(("127.0.0.1", emulator.tcp_port), timeout=10) as client:
            write_laser_levels(client, LASER_LEVELS)
        changed = [r["changed"] for r in emulator.requests() if r["command"] == WRITE_PARAMS]
    assert changed == [["laser_level_u8: 0 -> 1"], ["laser_level_u8: 1 -> 2"], ["laser_level_u8: 2 -> 3"]]


@pytest.fixture(scope="module")
def flooded():
    """The journal after more requests than it holds, the last one a write-params."""
    with Emulator() as emulator:
        with socket.create_connection(("127.0.0.1", emulator.tcp_port), timeout=10) as client:
            client.sendall(request(READ_PARAMS) * (FLOOD - 2))
            receive(client, RECORD_SIZE * (FLOOD - 2))
            write_laser_levels(client, LASER_LEVELS[:1])
        yield json.loads(emulator.control("requests"))


def test_a_flooded_journal_holds_exactly_its_bound(flooded):
    assert len(flooded["requests"]) == JOURNAL_BOUND


def test_a_flooded_journal_counts_what_it_forgot(flooded):
    assert flooded["forgotten"] == FLOOD - JOURNAL_BOUND


def test_a_flooded_journal_keeps_the_newest_request(flooded):
    assert flooded["requests"][-1]["changed"] == ["laser_level_u8: 0 -> 1"]
