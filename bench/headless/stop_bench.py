#!/usr/bin/env python3
"""Stop time of px310-headless: 20 start/stop cycles per state under the
Python fixture's Emulator (free loopback ports), each timed from SIGTERM to
the process's end. Prints median and max per state.

    PX310_HEADLESS=build/tools/px310-headless PX310_CLIENT=build/tools/px310-client \
        python3 bench/headless/stop_bench.py [cycles]

The last state, a rig of 16 replaying one capture of about 12 MB (recorded
first with px310-client), shows what the rig's scanners hold and free.
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from px310emu import Emulator  # noqa: E402


def command_client(emulator):
    """A command client that stays connected (the stream pauses for it)."""
    return socket.create_connection(("127.0.0.1", emulator.tcp_port))


def control_client(emulator):
    """A control connection left open after one command."""
    emulator.stats()
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connection.connect(emulator.control_path)
    return connection


def csv_folder(directory):
    """A replay of three profiles, looped."""
    for k in range(3):
        with open(os.path.join(directory, "%d.csv" % k), "w") as f:
            f.write("".join("%g;%g\n" % (-30 + i * 0.1, 50 + k * 10 + i % 7) for i in range(600)))
    return directory


def recorded_capture(directory, seconds=10):
    """A capture of `seconds` of the built-in profile at 491 Hz."""
    path = os.path.join(directory, "stream.pcap")
    with Emulator(extra_args=["--frequency", "491"]) as emulator:
        subprocess.run([os.environ["PX310_CLIENT"], "stream", "--port", str(emulator.udp_port),
                        "--seconds", str(seconds), "--record", path], check=True, stdout=subprocess.DEVNULL)
    return path


def stop_time(make_emulator, hold):
    emulator = make_emulator()
    emulator.start()
    held = hold(emulator) if hold else None
    time.sleep(0.2)  # a few hundred datagrams out
    process = emulator._process
    began = time.monotonic()
    process.send_signal(signal.SIGTERM)
    process.wait(30)
    seconds = time.monotonic() - began
    if held:
        held.close()
    emulator.stop()
    return seconds


def main():
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    with tempfile.TemporaryDirectory(prefix="px310-stop-bench-") as directory:
        run_states(cycles, directory)


def run_states(cycles, directory):
    replay = csv_folder(directory)
    capture = recorded_capture(directory)
    states = [
        ("idle", lambda: Emulator(), None),
        ("command client connected", lambda: Emulator(), command_client),
        ("control connection open", lambda: Emulator(), control_client),
        ("replay", lambda: Emulator(extra_args=["--replay", replay]), None),
        ("rig of 4 with faults", lambda: Emulator(scanners=4, faults="loss=5%,delay=20ms,reorder=1%"), None),
        ("rig of 16 replaying 12 MB", lambda: Emulator(scanners=16, extra_args=["--replay", capture]), None),
    ]
    print("stop time, SIGTERM to exit, %d cycles each" % cycles)
    worst = 0.0
    for name, make_emulator, hold in states:
        times = [stop_time(make_emulator, hold) for _ in range(cycles)]
        worst = max(worst, max(times))
        print("%-28s median %6.1f ms   max %6.1f ms" % (name, statistics.median(times) * 1e3, max(times) * 1e3))
    print("worst %.1f ms (target 100 ms)" % (worst * 1e3))


if __name__ == "__main__":
    main()
