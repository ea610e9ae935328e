"""The emulator as a device on a network: discovered, aimed and streaming
across a veth pair between two namespaces of the test's own (conftest.py)."""
import os
import subprocess

import pytest

from conftest import (A_ADDRESS, A_BROADCAST, B_ADDRESS, HEADLESS, HELLO_PORT, LATE_A_ADDRESS, LATE_B_ADDRESS,
                      OFF_SUBNET, STREAM_PORT, TCP_PORT)

HELLO_WAIT_SECONDS = 6  # a hello every 2 s
STREAM_SECONDS = 3
CAPTURE_SECONDS = 3
RIG_SCANNERS = 16
RIG_FIRST_HOST = 11
EXIT_BAD_OPTION = 1
EXIT_CANNOT_START = 2


def emulator_on_a(pair, *arguments):
    return pair.emulator(["--listen", A_ADDRESS, "--tcp-port", str(TCP_PORT), "--hello-port", str(HELLO_PORT)]
                         + list(arguments))


def aim_stream(pair, address, port=STREAM_PORT):
    code, out, err = pair.client("params", "set", "udp_ip_address_u8=" + address, "udp_port_u16=%d" % port)
    assert code == 0, err


def test_a_client_in_another_namespace_discovers_the_emulator_by_its_broadcast_hello(pair):
    listening = emulator_on_a(pair, "--hello-to", "broadcast")
    assert listening[0]["hello_destinations"] == ["%s:%d" % (A_BROADCAST, HELLO_PORT)]
    hellos = pair.listen(HELLO_PORT, HELLO_WAIT_SECONDS, until_sources=1).received()
    assert hellos and hellos[0]["source"] == A_ADDRESS and hellos[0]["named"] == A_ADDRESS


def test_a_hello_on_every_interface_names_the_interfaces_address_not_the_wildcard(pair):
    pair.emulator(["--listen", "0.0.0.0", "--tcp-port", str(TCP_PORT), "--hello-port", str(HELLO_PORT),
                   "--hello-to", "broadcast"])
    hellos = pair.listen(HELLO_PORT, HELLO_WAIT_SECONDS, until_sources=1).received()
    assert hellos and (hellos[0]["source"], hellos[0]["named"]) == (A_ADDRESS, A_ADDRESS)


def test_a_hello_on_every_interface_goes_out_on_a_network_that_comes_up_after_the_start(pair):
    pair.emulator(["--listen", "0.0.0.0", "--tcp-port", str(TCP_PORT), "--hello-port", str(HELLO_PORT),
                   "--hello-to", "broadcast"])
    pair.add_address(LATE_B_ADDRESS, end="b")
    listener = pair.listen(HELLO_PORT, HELLO_WAIT_SECONDS, until_sources=2)
    pair.add_address(LATE_A_ADDRESS)
    hellos = listener.received()
    assert (LATE_A_ADDRESS, LATE_A_ADDRESS) in {(h["source"], h["named"]) for h in hellos}


def test_a_record_address_held_at_first_is_streamed_to_once_a_network_holding_it_comes_up(pair):
    emulator_on_a(pair, "--stream-to", "record")
    pair.add_address(LATE_B_ADDRESS, end="b")
    aim_stream(pair, LATE_B_ADDRESS)
    assert pair.stats()["stream_destination"].startswith("held: ")
    listener = pair.listen(STREAM_PORT, STREAM_SECONDS)
    pair.add_address(LATE_A_ADDRESS)
    assert listener.received()


def test_a_write_params_from_another_namespace_moves_the_stream_there(pair):
    emulator_on_a(pair, "--stream-to", "record")
    listener = pair.listen(STREAM_PORT, STREAM_SECONDS)
    aim_stream(pair, B_ADDRESS)
    profiles = listener.received()
    assert profiles and {p["source"] for p in profiles} == {A_ADDRESS}


def test_a_fixed_destination_off_the_subnet_is_sent_through_the_route(pair):
    """What the next test's capture would see, were the stream sent there."""
    pair.route_a_through_b()
    emulator_on_a(pair, "--stream-to", "%s:%d" % (OFF_SUBNET, STREAM_PORT))
    assert pair.capture(CAPTURE_SECONDS, "udp and dst host " + OFF_SUBNET)


def test_a_record_address_off_every_subnet_holds_the_stream_sending_nothing_anywhere(pair):
    """Neither there nor to the address aimed at before."""
    pair.route_a_through_b()
    emulator_on_a(pair, "--stream-to", "record")
    listener = pair.listen(STREAM_PORT, STREAM_SECONDS)
    aim_stream(pair, B_ADDRESS)
    assert listener.received(), "streaming to B before"
    aim_stream(pair, OFF_SUBNET)
    assert pair.capture(CAPTURE_SECONDS, "udp") == []


def test_a_refused_record_address_is_counted_and_the_emulator_keeps_serving(pair):
    emulator_on_a(pair, "--stream-to", "record")
    refused_at_start = pair.stats()["destinations_refused"]  # the default record's 255.255.255.255
    aim_stream(pair, OFF_SUBNET)
    stats = pair.stats()
    assert stats["destinations_refused"] == refused_at_start + 1
    assert stats["stream_destination"].startswith("held: " + OFF_SUBNET)
    assert pair.client("params", "get", "udp_ip_address_u8")[1].split()[-1] == OFF_SUBNET


def test_an_allowed_network_lets_the_stream_leave_the_subnet(pair):
    pair.route_a_through_b()
    emulator_on_a(pair, "--stream-to", "record", "--stream-allow", OFF_SUBNET + "/32")
    aim_stream(pair, OFF_SUBNET)
    assert pair.capture(CAPTURE_SECONDS, "udp and dst host " + OFF_SUBNET)


def test_a_rig_of_sixteen_is_discovered_as_sixteen_sources_each_streaming_from_its_own_address(pair):
    addresses = ["198.51.100.%d" % (RIG_FIRST_HOST + k) for k in range(RIG_SCANNERS)]
    for address in addresses:
        pair.add_address(address)
    rig = os.path.join(pair.dir, "rig.ini")
    with open(rig, "w") as out:
        for k, address in enumerate(addresses):
            out.write("[s%02d]\naddress=%s\ntcp_port=%d\nhello_to=broadcast\nstream_to=%s:%d\n"
                      % (k, address, TCP_PORT, B_ADDRESS, STREAM_PORT))
    pair.emulator(["--rig", rig, "--hello-port", str(HELLO_PORT)])
    hellos = pair.listen(HELLO_PORT, HELLO_WAIT_SECONDS, until_sources=RIG_SCANNERS)
    profiles = pair.listen(STREAM_PORT, HELLO_WAIT_SECONDS, until_sources=RIG_SCANNERS)
    assert {(h["source"], h["named"]) for h in hellos.received()} == {(a, a) for a in addresses}
    assert {p["source"] for p in profiles.received()} == set(addresses)


BAD_OPTIONS = {
    "stream-to-not-an-address": (["--stream-to", "somewhere"], EXIT_BAD_OPTION, "--stream-to takes an IPv4 address"),
    "hello-to-not-an-address": (["--hello-to", "198.51.100.2.5"], EXIT_BAD_OPTION, "--hello-to takes an IPv4 address"),
    "stream-allow-garbage": (["--stream-allow", "198.51.100.0/24,,"], EXIT_BAD_OPTION, "--stream-allow takes networks"),
}


@pytest.mark.parametrize("arguments,code,reason", BAD_OPTIONS.values(), ids=list(BAD_OPTIONS))
def test_a_bad_destination_option_is_refused_at_start_with_a_one_line_reason(arguments, code, reason, tmp_path):
    run = subprocess.run([HEADLESS, "--params", str(tmp_path / "p.ini")] + arguments, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=20)
    assert (run.returncode, run.stderr.count("\n"), reason in run.stderr) == (code, 1, True), run.stderr


def test_an_unknown_rig_key_is_refused_at_start_with_a_one_line_reason(tmp_path):
    rig = tmp_path / "rig.ini"
    rig.write_text("[a]\naddress=127.0.0.1\nstream-to=record\n")
    run = subprocess.run([HEADLESS, "--rig", str(rig), "--params", str(tmp_path / "p.ini")], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=20)
    refusal = [line for line in run.stderr.splitlines() if "is not a known key" in line]
    assert (run.returncode, len(refusal), run.stdout) == (EXIT_CANNOT_START, 1, ""), run.stderr
