#!/usr/bin/env python3
"""Writes the seed inputs under fuzz/corpus/ from valid requests and files.

Run it again after changing the wire formats; the files are committed."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def request(command, payload=b"", offset=0, length=0):
    return struct.pack("<IIII", command, len(payload), offset, length) + payload


def write(area, name, data):
    folder = os.path.join(HERE, "corpus", area)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def record(frequency=0, ext_sync=0, invert=0):
    params = bytearray(512)
    struct.pack_into("<H", params, 9, ext_sync)
    params[13:17] = bytes([1, 0, 0, 127])
    struct.pack_into("<HHH", params, 25, 50001, frequency, 50002)
    params[59] = invert
    return bytes(params)


def framing_seeds():
    # Setup byte: bit 0 picture, bits 1-2 profile size, bits 4-7 piece size.
    codes = [0, 1, 2, 3, 4, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 32,
             129, 130, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142,
             143, 144, 145, 146, 147, 148, 200]
    for code in codes:
        write("framing", "cmd%03d" % code, bytes([0x03]) + request(code))
    write("framing", "write_params", bytes([0x02]) + request(5, record(ext_sync=4, invert=3)) + request(4) + request(1))
    write("framing", "write_params_short", bytes([0x00]) + request(5, b"\x33" * 511) + request(4))
    write("framing", "write_factory_bare", bytes([0x00]) + request(131) + b"\x5c" * 1024 + request(130))
    write("framing", "write_factory_payload", bytes([0x00]) + request(131, b"\x11" * 49) + request(130))
    write("framing", "picture", bytes([0x01]) + request(2) + request(3, b"", 0, 1000)
          + request(3, b"", 307000, 1000) + request(3, b"", 0xFFFFFFF0, 0x20))
    write("framing", "pieces", bytes([0x75]) + request(32) + request(4) + request(1) + request(6) + request(25))
    write("framing", "oversized", bytes([0x00]) + request(4) + struct.pack("<IIII", 5, 65537, 0, 0))
    write("framing", "long_profile", bytes([0x06]) + request(1) + request(1))


def packet_seeds():
    write("packet", "small", bytes(range(64)))
    write("packet", "stepdir", b"\x01" * 24 + bytes(range(200)))
    write("packet", "long", b"\x00" * 22 + b"\x01\xff\xff\x00\x00" + bytes(16))


framing_seeds()
packet_seeds()
