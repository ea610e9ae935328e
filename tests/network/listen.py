"""Run inside a network namespace: receives UDP datagrams on a port for a
while and prints one JSON line per datagram: its source address and port,
its size and, for a 268-byte hello packet, the address it names. The lines
are printed once receiving is over: a reader that waits would otherwise
block the receiver on a full pipe while the system drops the datagrams."""
import argparse
import json
import socket
import sys
import time

HELLO_SIZE = 268
HELLO_ADDRESS = slice(2, 6)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--until-sources", type=int, default=0, help="stop once this many sources were heard")
    arguments = parser.parse_args()
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("0.0.0.0", arguments.port))
    print("ready", flush=True)
    deadline = time.monotonic() + arguments.seconds
    sources = set()
    lines = []
    while time.monotonic() < deadline:
        receiver.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data, (address, port) = receiver.recvfrom(65536)
        except socket.timeout:
            break
        line = {"source": address, "port": port, "size": len(data)}
        if len(data) == HELLO_SIZE:
            line["named"] = ".".join(str(b) for b in data[HELLO_ADDRESS])
        lines.append(json.dumps(line))
        sources.add(address)
        if arguments.until_sources and len(sources) >= arguments.until_sources:
            break
    for line in lines:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
