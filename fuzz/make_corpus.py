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
    write("framing", "write_factory_payload", bytes([0x00]) + request(131, b"\x11" * 4) + b"\x5d" * 1024 + request(130))
    write("framing", "write_factory_image", bytes([0x00]) + request(131, b"\x5e" * 1024) + request(130))
    write("framing", "picture", bytes([0x01]) + request(2) + request(3, b"", 0, 1000)
          + request(3, b"", 307000, 1000) + request(3, b"", 0xFFFFFFF0, 0x20))
    write("framing", "pieces", bytes([0x75]) + request(32) + request(4) + request(1) + request(6) + request(25))
    write("framing", "oversized", bytes([0x00]) + request(4) + struct.pack("<IIII", 5, 65537, 0, 0))
    write("framing", "long_profile", bytes([0x06]) + request(1) + request(1))


def profile_packet(xs, zs, stepdir=False):
    body = struct.pack("<HHIBBH", 7, 3, 0, 2, 0xFF, len(xs))
    body += struct.pack("<%dh" % len(xs), *xs) + struct.pack("<%dH" % len(zs), *zs)
    body += struct.pack("<HB3sHH", 10 if stepdir else 8, 1, b"\x01\x02\x03", 70, 170)
    if stepdir:
        body += struct.pack("<H", 1)
    total = sum(struct.unpack("<%dH" % (len(body) // 2), body))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return body + struct.pack("<H", ~total & 0xFFFF)


def packet_seeds():
    # Read both as settings for the encoder and as a datagram for the decoder.
    write("packet", "datagram", profile_packet([-5, 0, 5], [100, 200, 300]))
    write("packet", "datagram_stepdir", profile_packet([1], [2], stepdir=True))
    write("packet", "small", bytes(range(64)))
    write("packet", "stepdir", b"\x01" * 24 + bytes(range(200)))
    write("packet", "long", b"\x00" * 22 + b"\x01\xff\xff\x00\x00" + bytes(16))


def csv_scale(xemr, zdiap):
    # The harness takes XEMR, then ZDIAP, from the end of its input, three
    # bytes each, as offsets from -1.
    def tail(value):
        n = value + 1
        return bytes([n & 0xFF, (n >> 8) & 0xFF, n >> 16])
    return tail(zdiap) + tail(xemr)


def csv_seeds():
    write("csv", "plain", b"-10.5;20\n0;40\n10.5;60\n" + csv_scale(70, 170))
    write("csv", "crlf_comma", b"-3,25;40,5\r\n\r\n1;2;3\r\n;\n" + csv_scale(100, 200))
    write("csv", "odd_values", b"1e400;-7\nnan;inf\nabc;\n\x00ignored;1\n" + csv_scale(1, 1))
    write("csv", "no_scale", b"1;2\n" + csv_scale(0, 170))


INI_KEYS = ["config_version_u16", "laser_level_u8", "exposure_time_u16", "wnd_top_u8", "wnd_height_u8",
            "ext_sync_signal_u16", "ext_sync_divider_u16", "tcp_ip_address_u8", "tcp_subnet_mask_u8",
            "udp_ip_address_u8", "udp_port_u16", "udp_frequency_u16", "tcp_port_u16", "auto_exposure_u8",
            "pixel_brightness_thres_u8", "dif_brightness_thres_u8", "raw_image_u8", "interpolation_u8",
            "dhs_enable_u8", "analog_enable_u8", "syncChannels", "measureSync", "delaySync", "divSync",
            "keepTCPTime", "keepTCP", "filter", "smooth", "filterParam", "smoothParam", "ap", "ah", "wUDP",
            "wAVE", "dropCountersExt", "dropCountersInt", "invertXZ", "localSAPEnabled", "SDMode",
            "SDStepMode", "SDChannels"]


def ini_seeds():
    with open(os.path.join(HERE, "..", "assets", "user_params.ini"), "rb") as f:
        write("ini", "shipped", f.read())
    lines = ["[UserParams]"]
    for i, key in enumerate(INI_KEYS):
        value = "192.168.%d.%d" % (i, 255 - i) if key.endswith("address_u8") or key.endswith("mask_u8") else str(i * 977)
        lines.append("%s=%s" % (key, value))
    lines += ["serial=1234567", "xsmr=0", "zbase=-5", "[Other]", "keep=1"]
    write("ini", "every_key", ("\n".join(lines) + "\n").encode())
    write("ini", "odd_values", b"[UserParams]\nudp_port_u16=0x10\ntcp_port_u16=99999999999\n"
          b"tcp_ip_address_u8=1.2.3\ninterpolation_u8=7\nserial=\"12\"\n")


def ipv4(payload, ident, offset=0, more=False, protocol=17):
    header = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident, (0x2000 if more else 0) | offset // 8,
                         64, protocol, 0, bytes([127, 0, 0, 2]), bytes([127, 0, 0, 1]))
    return header + payload


def udp(payload, port=6003):
    return struct.pack(">HHHH", 40000, port, 8 + len(payload), 0) + payload


def pcap(link_type, frames):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link_type)
    for i, frame in enumerate(frames):
        out += struct.pack("<IIII", 1700000000 + i, 0, len(frame), len(frame)) + frame
    return out


def pcapng(link_type, frames):
    def block(kind, body):
        return struct.pack("<II", kind, 12 + len(body)) + body + struct.pack("<I", 12 + len(body))
    out = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    out += block(1, struct.pack("<HHI", link_type, 0, 65535))
    for frame in frames:
        padded = frame + bytes(-len(frame) % 4)
        out += block(6, struct.pack("<IIIII", 0, 0, 0, len(frame), len(frame)) + padded)
    return out


def capture_seeds():
    datagram = udp(profile_packet(list(range(-40, 40)), list(range(100, 180))))
    write("capture", "raw_ipv4", pcap(101, [ipv4(datagram, 1), ipv4(udp(b"hello", 6001), 2)]))
    write("capture", "loopback", pcap(0, [b"\x02\x00\x00\x00" + ipv4(datagram, 1)]))
    ethernet = bytes(12) + b"\x08\x00"
    fragments = [ethernet + ipv4(datagram[o:o + 168], 7, o, o + 168 < len(datagram)) for o in range(0, len(datagram), 168)]
    write("capture", "ethernet_fragments", pcap(1, fragments[::-1]))
    cooked = bytes(14) + b"\x08\x00"
    write("capture", "cooked", pcap(113, [cooked + ipv4(datagram, 3)]))
    write("capture", "pcapng", pcapng(101, [ipv4(datagram, 4), ipv4(udp(b"hello", 6001), 5)]))
    # More unfinished datagrams than the reader keeps waiting between the
    # fragments of a profile packet.
    pieces = [ipv4(datagram[o:o + 168], 7, o, o + 168 < len(datagram)) for o in range(0, len(datagram), 168)]
    unfinished = [ipv4(bytes(8), 1000 + k, 0, True) for k in range(1100)]
    write("capture", "many_fragments", pcap(101, pieces[:1] + unfinished + pieces[1:] + [ipv4(datagram, 8)]))


def control_seeds():
    # Each input is read both as a fault list and as a control line.
    write("control", "every_fault", b"loss=5%,burst=3,dup=1%,reorder=1%,corrupt=0.5%,delay=10ms,jitter=5ms,"
          b"reply-delay=50ms,drop-after=100,cut=2%,stall=20,hello=off")
    write("control", "faults_line", b"--scanner 127.0.0.2 faults loss=0.0001%,delay=2s")
    write("control", "other_lines", b"outage 2.5")
    write("control", "profile", b"profile /tmp/a b.csv")
    write("control", "bad", b"faults loss=5,,=\x00")


def scene_seeds():
    # The sampling and the choice of text (an even byte) or built scene (odd) are
    # read from the input's end, the text from its start.
    sampling = bytes([3, 0, 0, 0, 0x46, 0, 0xAA, 0, 4])
    text, built = bytes([0]) + sampling, bytes([1]) + sampling
    folder = os.path.join(HERE, "..", "examples", "scenes")
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            write("scene", name[:-len(".json")], f.read() + text)
    # Keys that differ only after a raw NUL: Qt 5 took them for one key and leaked the first one's object.
    write("scene", "raw_nul_keys", b'{"\x01\x00a": {"z": 0}, "\x01\x00b": true}\n' + text)
    # Every number at a limit the parser takes: far beyond a 1 mm range, the largest seed.
    write("scene", "limits", b'{"objects": [{"x": 5e6, "y": -1, "width": 1, "height": 1, "length": 1e7}, '
          b'{"kind": "step", "x": -1e7, "y": -1e7, "rises": "left", "height": 1e7, "length": 1e7}], '
          b'"belt": {"z": 1000}, "scanner": {"xemr": 1, "zdiap": 1000, '
          b'"cameraAngle": -80}, "noise": {"sigma": 1000, "dropout": 1, "spikes": 1, "spikeHeight": 1000}, '
          b'"seed": 9007199254740992}' + text)
    # Built scenes whose choices are all lowest, all highest, and mixed.
    for name, choices in (("built_low", bytes(64)), ("built_high", bytes([255]) * 256),
                          ("built_mixed", bytes(range(256)))):
        write("scene", name, choices + built)


framing_seeds()
packet_seeds()
capture_seeds()
csv_seeds()
ini_seeds()
control_seeds()
scene_seeds()
