#!/usr/bin/env python3
"""What 1000 idle HTTP connections on the front end cost the scanners: stream
lateness (late_packets of every scanner but the first) and command round trips
(read-params on the first scanner, whose client pauses only its own stream),
measured over the same window without, with, and again without the idle
connections (the two plain windows show the noise).

    PX310_HEADLESS=build/tools/px310-headless python3 bench/headless/http_idle_bench.py [seconds]

The front end serves 128 connections and leaves the others unaccepted; it
closes each after 10 s idle, so a window longer than that also measures the
turnover.
"""
import os
import resource
import socket
import statistics
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from px310emu import Emulator  # noqa: E402

SCANNERS = 8
FREQUENCY = 491
IDLE = 1000
READ_PARAMS = 4
RECORD_SIZE = 512
SETTLE_SECONDS = 1.0
# Paced, so that the measuring client does not take the emulator's core.
TRIP_INTERVAL_SECONDS = 0.002


def exchange(client):
    client.sendall(READ_PARAMS.to_bytes(4, "little") + bytes(12))
    received = 0
    while received < RECORD_SIZE:
        received += len(client.recv(RECORD_SIZE - received))


def late_and_sent(emulator):
    stats = [emulator.stats(scanner="%s:%d" % s) for s in emulator.scanners[1:]]
    return sum(s["late_packets"] for s in stats), sum(s["datagrams_sent"] for s in stats)


def measure(emulator, seconds):
    """(late packets, packets sent, round trips in µs) over `seconds`."""
    late_before, sent_before = late_and_sent(emulator)
    trips = []
    with socket.create_connection(emulator.scanners[0], timeout=10) as client:
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            start = time.perf_counter()
            exchange(client)
            trips.append((time.perf_counter() - start) * 1e6)
            time.sleep(TRIP_INTERVAL_SECONDS)
    late_after, sent_after = late_and_sent(emulator)
    return late_after - late_before, sent_after - sent_before, trips


def idle_connections(url, count):
    """Connections that send nothing; those past the front end's limit wait unaccepted."""
    address = urllib.parse.urlsplit(url)
    connections = []
    for _ in range(count):
        connection = socket.socket()
        connection.setblocking(False)
        connection.connect_ex((address.hostname, address.port))
        connections.append(connection)
    return connections


def report(name, late, sent, trips):
    trips = sorted(trips)
    p99 = trips[int(len(trips) * 0.99) - 1]
    print("%-26s late %6d of %8d packets (%.4f%%)  round trip median %7.1f µs  p99 %8.1f µs  (%d trips)"
          % (name, late, sent, 100.0 * late / max(sent, 1), statistics.median(trips), p99, len(trips)))
    return statistics.median(trips), p99


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, IDLE + 256)), hard))
    with Emulator(scanners=SCANNERS, http=True, extra_args=["--frequency", str(FREQUENCY)]) as emulator:
        time.sleep(SETTLE_SECONDS)
        print("%d scanners at %d Hz, %.1f s a window" % (SCANNERS, FREQUENCY, seconds))
        plain = report("without idle connections", *measure(emulator, seconds))
        idle = idle_connections(emulator.http_url, IDLE)
        try:
            time.sleep(SETTLE_SECONDS)
            loaded = report("with %d idle connections" % IDLE, *measure(emulator, seconds))
        finally:
            for connection in idle:
                connection.close()
        time.sleep(SETTLE_SECONDS)
        # The same window once more: how far two plain runs differ is the noise.
        again = report("without, once more", *measure(emulator, seconds))
        print("ratio with/without: round trip median %.2f, p99 %.2f; without/once more: median %.2f, p99 %.2f"
              % (loaded[0] / plain[0], loaded[1] / plain[1], again[0] / plain[0], again[1] / plain[1]))

if __name__ == "__main__":
    main()
