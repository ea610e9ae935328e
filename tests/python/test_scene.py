"""A client measures a scene's objects from results and checks them against the scene's truth."""
import json
import os
import socket
import struct
import time

import pytest

from px310emu import ControlError, Emulator, find_headless, supports_control

pytestmark = pytest.mark.skipif(not find_headless() or not supports_control(), reason="px310-headless not built")

SIGMA = 0.05
# Boxes of different widths pass under the laser one after another, 10 mm per measurement.
SCENE = {
    "belt": {"stepPerMeasurement": 10, "z": 20},
    "loop": True,
    "scanner": {"xemr": 70, "zdiap": 170},
    "noise": {"sigma": SIGMA},
    "seed": 5,
    "objects": [{"id": k + 1, "kind": "box", "x": 3 * k - 6, "y": 100 * k, "length": 100,
                 "width": 12 + 5 * k, "height": 10 + 4 * k} for k in range(5)],
}
GET_RESULT = struct.pack("<IIII", 1, 0, 0, 0)


def receive(connection, size):
    data = b""
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        assert chunk, "the connection closed"
        data += chunk
    return data


def get_result(connection):
    """(measurement counter, x in mm, z in mm) of one result packet."""
    connection.sendall(GET_RESULT)
    header = receive(connection, 12)
    count = struct.unpack_from("<H", header, 10)[0]
    body = receive(connection, 4 * count + 12)
    xs = struct.unpack_from("<%dh" % count, body, 0)
    zs = struct.unpack_from("<%dH" % count, body, 2 * count)
    xemr, zdiap = struct.unpack_from("<HH", body, 4 * count + 6)
    counter = struct.unpack_from("<H", header, 0)[0]
    return counter, [x * xemr / 16384 for x in xs], [z * zdiap / 16384 for z in zs]


def client_width(xs, zs, belt):
    """What a client measures: the width of what stands more than 1 mm above the belt."""
    raised = [x for x, z in zip(xs, zs) if z > belt + 1]
    step = xs[1] - xs[0]
    return max(raised) - min(raised) + step


def test_a_clients_width_from_result_k_is_the_truth_of_its_measurement(tmp_path):
    scene = tmp_path / "boxes.json"
    scene.write_text(json.dumps(SCENE))
    with Emulator(scene=str(scene)) as emulator:
        with socket.create_connection(("127.0.0.1", emulator.tcp_port), timeout=5) as connection:
            widths = {}
            for _ in range(12):
                counter, xs, zs = get_result(connection)
                truth = emulator.truth(counter)
                assert truth["measurement"] == counter
                (box,) = truth["objects"]
                step = xs[1] - xs[0]
                assert client_width(xs, zs, truth["belt"]) == pytest.approx(box["right"] - box["left"],
                                                                              abs=step + 6 * SIGMA)
                widths[box["id"]] = box["right"] - box["left"]
    assert len(widths) > 1, "the belt moved other boxes under the laser"


def test_truth_needs_a_scene_and_a_bad_scene_is_refused_naming_its_fault(px310_emulator, tmp_path):
    with pytest.raises(ControlError, match="no scene"):
        px310_emulator.truth(1)
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps({"objects": [{"kind": "box", "width": 0, "height": 1, "length": 1}]}))
    with pytest.raises(ControlError, match=r"objects\[0\]\.width: must be > 0"):
        px310_emulator.scene(str(bad))
    px310_emulator.scene(os.path.join(os.path.dirname(__file__), "..", "..", "examples", "scenes", "weld-seam.json"))
    (seam,) = px310_emulator.truth(10)["objects"]
    assert (seam["kind"], seam["gap"], seam["bevel"]) == ("vgroove", 2, 30)


def test_the_truth_file_holds_a_line_per_measurement_streamed(tmp_path):
    scene = tmp_path / "boxes.json"
    scene.write_text(json.dumps(SCENE))
    truth = tmp_path / "truth.csv"
    emulator = Emulator(scene=str(scene), extra_args=["--truth", str(truth)]).start()
    time.sleep(0.5)
    assert emulator.stop() == 0
    lines = truth.read_text().splitlines()
    counters = [int(line.split(",")[0]) for line in lines[1:]]
    assert len(counters) > 10 and counters == list(range(1, len(counters) + 1))
