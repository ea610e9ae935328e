"""The HTTP front end served on a network: the emulator in namespace A with
a bearer secret, a browser or scraper in B (conftest.py)."""
import json
import os
import sys

import pytest

from conftest import A_ADDRESS, TCP_PORT

HTTP_PORT = 8080
SECRET = "s3cret-across-namespaces"
OK = 200
UNAUTHORIZED = 401
# One request from B: prints {"status": n, "body": "..."}.
FETCH = """
import json, sys, urllib.error, urllib.request
url, secret, body = sys.argv[1], sys.argv[2], sys.argv[3]
headers = {"Authorization": "Bearer " + secret} if secret else {}
request = urllib.request.Request(url, data=body.encode() if body else None, headers=headers)
try:
    with urllib.request.urlopen(request, timeout=10) as answer:
        print(json.dumps({"status": answer.status, "body": answer.read().decode()}))
except urllib.error.HTTPError as refused:
    print(json.dumps({"status": refused.code, "body": refused.read().decode()}))
"""


@pytest.fixture
def served(pair):
    secret = os.path.join(pair.dir, "secret")
    with open(secret, "w") as out:
        out.write(SECRET + "\n")
    pair.emulator(["--listen", A_ADDRESS, "--tcp-port", str(TCP_PORT), "--http", "%s:%d" % (A_ADDRESS, HTTP_PORT),
                   "--http-token", secret])
    return pair


def fetch_from_b(pair, path, secret="", body=""):
    url = "http://%s:%d/%s" % (A_ADDRESS, HTTP_PORT, path)
    code, out, err = pair.run(pair.b, [sys.executable, "-c", FETCH, url, secret, body])
    assert code == 0, err
    answer = json.loads(out)
    return answer["status"], answer["body"]


def test_healthz_answers_200_in_another_namespace(served):
    assert fetch_from_b(served, "healthz") == (OK, "ok\n")


def test_stats_are_served_in_another_namespace_with_the_bearer_secret(served):
    status, body = fetch_from_b(served, "api/stats", SECRET)
    assert (status, "datagrams_sent" in json.loads(body)) == (OK, True)


def test_stats_are_refused_in_another_namespace_without_the_bearer_secret(served):
    assert fetch_from_b(served, "api/stats")[0] == UNAUTHORIZED


def test_a_fault_set_from_another_namespace_shows_in_its_stats(served):
    fetch_from_b(served, "api/faults", SECRET, "loss=5%")
    assert json.loads(fetch_from_b(served, "api/stats", SECRET)[1])["current_faults"] == "loss=5%"
