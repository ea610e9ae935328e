"""/metrics of the HTTP front end, read with Prometheus's own parser."""
import time
import urllib.request

import pytest

from px310emu import Emulator, find_headless, supports_option

parser = pytest.importorskip("prometheus_client.parser")
pytestmark = pytest.mark.skipif(not find_headless() or not supports_option("--http"),
                                reason="px310-headless with --http not built")

SCANNERS = 3
PER_SCANNER = ["px310_datagrams_sent_total", "px310_late_packets_total", "px310_datagrams_dropped_total",
               "px310_datagrams_duplicated_total", "px310_datagrams_reordered_total",
               "px310_datagrams_corrupted_total", "px310_hellos_suppressed_total", "px310_replies_cut_total",
               "px310_clients_connected", "px310_outage", "px310_measurement", "px310_profile_rate_hertz"]
PROCESS = ["px310_process_threads", "px310_process_open_fds", "px310_process_resident_memory_bytes"]


def scrape(emulator):
    """{(sample name, serial): value}; a scanner's requests by command are left out."""
    with urllib.request.urlopen(emulator.http_url + "metrics", timeout=10) as answer:
        text = answer.read().decode()
    samples = {}
    for family in parser.text_string_to_metric_families(text):
        for s in family.samples:
            if "command" not in s.labels:
                samples[(s.name, s.labels.get("serial"))] = s.value
    return samples


@pytest.fixture(scope="module")
def rig():
    with Emulator(scanners=SCANNERS, http=True) as running:
        yield running


def serials(rig):
    return [str(scanner["serial"]) for scanner in rig.listening]


def test_every_scanner_has_each_of_its_series(rig):
    samples = scrape(rig)
    missing = [(name, serial) for name in PER_SCANNER for serial in serials(rig) if (name, serial) not in samples]
    assert missing == []


def test_the_process_figures_are_there(rig):
    samples = scrape(rig)
    assert all(samples[(name, None)] > 0 for name in PROCESS)


def test_counters_only_grow(rig):
    before = scrape(rig)
    time.sleep(0.5)
    after = scrape(rig)
    counters = [key for key in before if key[0].endswith("_total")]
    assert counters and [key for key in counters if after[key] < before[key]] == []


def test_a_faults_drops_appear_in_its_scanners_counter():
    with Emulator(http=True) as emulator:
        emulator.set_faults("loss=50%")
        time.sleep(0.5)
        samples = scrape(emulator)
        serial = str(emulator.listening[0]["serial"])
        assert 0 < samples[("px310_datagrams_dropped_total", serial)] <= emulator.stats()["faults"]["lost"]


def test_an_outage_shows_in_its_scanners_gauge(rig):
    last = rig.listening[-1]
    rig.outage(2, scanner="%s:%d" % (last["address"], last["tcp_port"]))
    assert scrape(rig)[("px310_outage", str(last["serial"]))] == 1
