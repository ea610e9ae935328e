"""What a client sent, as the emulator's request journal lists it."""
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
