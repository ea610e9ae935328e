"""The HTTP front end (px310-headless --http): health, the control API, its guards and limits."""
import json
import os
import socket
import subprocess
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

from px310emu import Emulator, find_headless, supports_option

pytestmark = pytest.mark.skipif(not find_headless() or not supports_option("--http"),
                                reason="px310-headless with --http not built")

TIMEOUT = 10
FORBIDDEN = 403
UNAUTHORIZED = 401
NOT_FOUND = 404
METHOD_NOT_ALLOWED = 405
TOO_LARGE = 413
MAX_BODY = 4096
MAX_CONNECTIONS = 128
IDLE = 300
REPLAY_FRAMES = 3
MAX_EVENT_STREAMS = 16
UNAVAILABLE = 503
UNREAD_STREAMS = 4
UNREAD_BUFFER = 4096
UNREAD_SECONDS = 8
# As many scanners as a page gets thumbnails of: the updates are large enough to fill the buffers soon.
UNREAD_RIG = 64
# The socket buffers fill within seconds, then the 10 s idle time runs out.
DROPPED_WITHIN_SECONDS = 40
CANNOT_START = 2
READ_PARAMS = 4
SEE_OTHER = 303
SECRET = "s3cret-for-tests"
THUMBNAIL_POINTS = 128
PROFILE_POINTS = 640
QUIET_SECONDS = 0.3


def get(url, headers=None):
    """(status, body) of a GET, errors included."""
    return send(urllib.request.Request(url, headers=headers or {}))


def post(url, body, headers=None):
    return send(urllib.request.Request(url, data=body.encode(), headers=headers or {}, method="POST"))


def send(request):
    try:
        with urllib.request.urlopen(request, timeout=TIMEOUT) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as refused:
        return refused.code, refused.read().decode()


def raw_exchange(url, data):
    """What the server answers to bytes written as they are, without an HTTP client's help."""
    address = urllib.parse.urlsplit(url)
    with socket.create_connection((address.hostname, address.port), timeout=TIMEOUT) as connection:
        connection.sendall(data)
        answer = b""
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                return answer.decode(errors="replace")
            answer += chunk


def status_of(answer):
    return int(answer.split(" ", 2)[1])


@pytest.fixture(scope="module")
def emulator():
    with Emulator(scanners=2, http=True) as running:
        yield running


def test_healthz_answers_200(emulator):
    assert get(emulator.http_url + "healthz") == (200, "ok\n")


def test_the_listening_line_names_the_front_ends_url(emulator):
    assert emulator.http_url.startswith("http://127.0.0.1:")


def test_the_apis_requests_answer_equals_the_control_sockets(emulator):
    address, port = emulator.scanners[0]
    with socket.create_connection((address, port), timeout=TIMEOUT) as client:
        client.sendall(READ_PARAMS.to_bytes(4, "little") + bytes(12))
        client.recv(1)
    status, body = get(emulator.http_url + "api/requests")
    assert status == 200 and json.loads(body) == json.loads(emulator.control("requests"))


def test_the_scanner_list_names_every_scanner_of_the_rig(emulator):
    status, body = get(emulator.http_url + "api/scanners")
    listed = [(card["address"], card["tcp_port"]) for card in json.loads(body)["scanners"]]
    assert (status, listed) == (200, [tuple(scanner) for scanner in emulator.scanners])


def test_a_replayed_folders_card_tells_its_frame_of_how_many(tmp_path):
    for k in range(REPLAY_FRAMES):
        (tmp_path / ("frame%d.csv" % k)).write_text("".join("%d;%d\n" % (x, 20 + k) for x in range(-10, 11)))
    with Emulator(http=True, replay=str(tmp_path)) as emulator:
        card = json.loads(get(emulator.http_url + "api/scanners")[1])["scanners"][0]
    assert card["frames"] == REPLAY_FRAMES and 1 <= card["frame"] <= REPLAY_FRAMES


def test_a_command_for_a_scanner_the_rig_lacks_is_refused_naming_it(emulator):
    status, body = get(emulator.http_url + "api/stats?scanner=127.0.0.9")
    assert status == 400 and json.loads(body)["error"] == "no scanner at 127.0.0.9"


def test_a_post_without_the_page_token_is_refused(emulator):
    status, _ = post(emulator.http_url + "api/faults", "loss=50%")
    assert status == FORBIDDEN and emulator.stats()["current_faults"] == "none"


def test_a_post_with_the_page_token_sets_the_faults_the_control_socket_shows(emulator):
    second = "%s:%d" % emulator.scanners[1]
    status, body = post(emulator.http_url + "api/faults?scanner=" + second, "dup=1%",
                        {"X-PX310-Token": emulator.http_token()})
    assert (status, emulator.stats(scanner=second)["current_faults"]) == (200, json.loads(body)["answer"])


def test_a_body_ending_in_a_line_end_is_taken_as_the_argument(emulator):
    second = "%s:%d" % emulator.scanners[1]
    status, body = post(emulator.http_url + "api/faults?scanner=" + second, "loss=2%\n",
                        {"X-PX310-Token": emulator.http_token()})
    assert (status, json.loads(body)) == (200, {"answer": "loss=2%"})


def test_a_changing_command_is_refused_as_a_get(emulator):
    assert get(emulator.http_url + "api/outage?arg=1")[0] == METHOD_NOT_ALLOWED


def test_a_refused_argument_is_answered_with_the_control_sockets_reason(emulator):
    status, body = get(emulator.http_url + "api/truth?arg=minus")
    assert status == 400 and "truth takes a measurement counter" in json.loads(body)["error"]


def test_an_unknown_command_is_answered_404(emulator):
    assert get(emulator.http_url + "api/reboot")[0] == NOT_FOUND


def test_an_unknown_path_is_answered_404(emulator):
    assert get(emulator.http_url + "nothing/here")[0] == NOT_FOUND


def test_a_foreign_host_name_is_refused_naming_the_host(emulator):
    status, body = get(emulator.http_url + "api/stats", {"Host": "rebound.example:80"})
    assert (status, "Host" in json.loads(body)["error"]) == (FORBIDDEN, True)


def test_a_malformed_request_line_is_answered_400(emulator):
    assert status_of(raw_exchange(emulator.http_url, b"NOT HTTP AT ALL\r\n\r\n")) == 400


def test_an_oversized_request_head_is_answered_4xx(emulator):
    head = b"GET /healthz?" + b"a" * 100000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    assert 400 <= status_of(raw_exchange(emulator.http_url, head)) < 500


def test_an_oversized_body_of_unknown_length_is_answered_413(emulator):
    head = ("POST /api/faults HTTP/1.1\r\nHost: 127.0.0.1\r\nX-PX310-Token: %s\r\nTransfer-Encoding: chunked\r\n"
            "Connection: close\r\n\r\n"
            % emulator.http_token()).encode()
    chunk = b"%x\r\n%s\r\n" % (MAX_BODY, b"x" * MAX_BODY)
    assert status_of(raw_exchange(emulator.http_url, head + chunk * 2 + b"0\r\n\r\n")) == TOO_LARGE


def test_an_oversized_body_is_answered_413(emulator):
    status, _ = post(emulator.http_url + "api/faults", "x" * (MAX_BODY + 1), {"X-PX310-Token": emulator.http_token()})
    assert status == TOO_LARGE


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def test_idle_connections_past_the_limit_are_left_unaccepted(emulator):
    address = urllib.parse.urlsplit(emulator.http_url)
    before = open_descriptors(emulator.pid)
    idle = [socket.create_connection((address.hostname, address.port), timeout=TIMEOUT) for _ in range(IDLE)]
    try:
        time.sleep(1)
        assert open_descriptors(emulator.pid) - before <= MAX_CONNECTIONS
    finally:
        for connection in idle:
            connection.close()


def test_the_scanner_answers_its_client_while_idle_connections_fill_the_front_end(emulator):
    address = urllib.parse.urlsplit(emulator.http_url)
    idle = [socket.create_connection((address.hostname, address.port), timeout=TIMEOUT) for _ in range(IDLE)]
    try:
        with socket.create_connection(emulator.scanners[0], timeout=TIMEOUT) as client:
            client.sendall(READ_PARAMS.to_bytes(4, "little") + bytes(12))
            assert len(client.recv(1)) == 1
    finally:
        for connection in idle:
            connection.close()


def test_the_front_end_serves_again_once_idle_connections_went(emulator):
    address = urllib.parse.urlsplit(emulator.http_url)
    for connection in [socket.create_connection((address.hostname, address.port), timeout=TIMEOUT)
                       for _ in range(IDLE)]:
        connection.close()
    assert get(emulator.http_url + "healthz")[0] == 200


def unread_event_stream(url):
    """A page that asks for the live updates and never reads them."""
    address = urllib.parse.urlsplit(url)
    connection = socket.socket()
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, UNREAD_BUFFER)
    connection.connect((address.hostname, address.port))
    connection.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    return connection


def metric(emulator, name):
    for line in get(emulator.http_url + "metrics")[1].splitlines():
        if line.startswith(name + " "):
            return float(line.split()[1])
    raise AssertionError("no %s in /metrics" % name)


def test_a_page_that_never_reads_its_updates_has_them_skipped():
    with Emulator(scanners=UNREAD_RIG, http=True) as emulator:
        streams = [unread_event_stream(emulator.http_url) for _ in range(UNREAD_STREAMS)]
        try:
            deadline = time.monotonic() + UNREAD_SECONDS
            while metric(emulator, "px310_http_events_dropped_total") == 0 and time.monotonic() < deadline:
                time.sleep(0.2)
            assert metric(emulator, "px310_http_events_dropped_total") > 0
        finally:
            for connection in streams:
                connection.close()


def first_event(url):
    with urllib.request.urlopen(url, timeout=TIMEOUT) as stream:
        line = stream.readline().decode()
    assert line.startswith("data: ")
    return json.loads(line[len("data: "):])


def test_the_live_updates_carry_the_profiles_a_page_asks_for_only(emulator):
    second = "%s:%d" % emulator.scanners[1]
    event = first_event(emulator.http_url + "events?profiles=" + second)
    assert ["profile" in card for card in event["scanners"]] == [False, True]


def test_a_page_that_never_reads_its_updates_is_dropped_after_the_idle_time():
    with Emulator(scanners=UNREAD_RIG, http=True) as emulator:
        streams = [unread_event_stream(emulator.http_url) for _ in range(UNREAD_STREAMS)]
        try:
            deadline = time.monotonic() + DROPPED_WITHIN_SECONDS
            while metric(emulator, "px310_http_event_streams") > 0 and time.monotonic() < deadline:
                time.sleep(0.5)
            assert metric(emulator, "px310_http_event_streams") == 0
        finally:
            for connection in streams:
                connection.close()


def test_pages_past_the_limit_of_live_updates_are_answered_503(emulator):
    streams = [unread_event_stream(emulator.http_url) for _ in range(MAX_EVENT_STREAMS)]
    try:
        deadline = time.monotonic() + TIMEOUT
        while metric(emulator, "px310_http_event_streams") < MAX_EVENT_STREAMS and time.monotonic() < deadline:
            time.sleep(0.1)
        with unread_event_stream(emulator.http_url) as one_more:
            assert one_more.recv(len("HTTP/1.1 503")).decode().endswith(str(UNAVAILABLE))
    finally:
        for connection in streams:
            connection.close()
        # The front end sees a closed page at its next update: later tests of this module need the slots.
        deadline = time.monotonic() + TIMEOUT
        while metric(emulator, "px310_http_event_streams") > 0 and time.monotonic() < deadline:
            time.sleep(0.1)


def test_a_non_loopback_address_without_a_token_exits_2_naming_the_option():
    done = subprocess.run([find_headless(), "--tcp-port", "0", "--http", "0.0.0.0:0", "--exit-with-parent"],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    assert done.returncode == CANNOT_START and "--http-token" in done.stderr


@pytest.fixture(scope="module")
def guarded(tmp_path_factory):
    secret = tmp_path_factory.mktemp("token") / "secret"
    secret.write_text(SECRET + "\n")
    with Emulator(extra_args=["--http", "127.0.0.1:0", "--http-token", str(secret)]) as running:
        yield running


def test_with_a_bearer_secret_a_request_without_it_is_answered_401(guarded):
    assert get(guarded.http_url + "api/stats")[0] == UNAUTHORIZED


def test_with_a_bearer_secret_a_request_bringing_it_is_served(guarded):
    assert get(guarded.http_url + "api/stats", {"Authorization": "Bearer " + SECRET})[0] == 200


def test_with_a_bearer_secret_healthz_needs_none(guarded):
    assert get(guarded.http_url + "healthz")[0] == 200


def test_an_oversized_body_is_refused_before_it_has_all_come(emulator):
    head = ("POST /api/faults HTTP/1.1\r\nHost: 127.0.0.1\r\nX-PX310-Token: %s\r\nContent-Length: 1000000\r\n\r\n"
            % emulator.http_token()).encode()
    assert status_of(raw_exchange(emulator.http_url, head + b"x" * (2 * MAX_BODY))) == TOO_LARGE


def test_with_a_bearer_secret_a_refusal_names_the_scheme_to_bring(guarded):
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(guarded.http_url + "api/stats", timeout=TIMEOUT)
    assert refused.value.headers["WWW-Authenticate"] == "Bearer"


def test_the_live_updates_carry_thumbnails_of_the_cards_a_page_shows(emulator):
    first = "%s:%d" % emulator.scanners[0]
    event = first_event(emulator.http_url + "events?profiles=" + first)
    assert 0 < len(event["scanners"][0]["profile"]["x"]) <= THUMBNAIL_POINTS


def test_the_live_updates_carry_the_full_profile_of_the_scanner_a_page_details(emulator):
    second = "%s:%d" % emulator.scanners[1]
    event = first_event(emulator.http_url + "events?profiles=%s&detail=%s" % (second, second))
    assert len(event["scanners"][1]["profile"]["x"]) == PROFILE_POINTS


def sent_within(emulator, seconds, scanner=None):
    before = emulator.stats(scanner)["datagrams_sent"]
    time.sleep(seconds)
    return emulator.stats(scanner)["datagrams_sent"] - before


@pytest.fixture
def paused():
    with Emulator(control=False, http=True) as running:
        running.pause()
        time.sleep(QUIET_SECONDS)  # a packet may have been on its way
        yield running


def test_a_pause_from_the_api_holds_the_stream(paused):
    assert sent_within(paused, QUIET_SECONDS) == 0


def test_stats_tell_a_stream_paused_from_the_api(paused):
    assert paused.stats()["paused"] is True


def test_a_resume_from_the_api_lets_the_stream_go_on(paused):
    paused.resume()
    assert sent_within(paused, QUIET_SECONDS) > 0


def test_a_pause_is_refused_as_a_get(emulator):
    assert get(emulator.http_url + "api/pause")[0] == METHOD_NOT_ALLOWED


def sign_in(url, token):
    """The answer to /?token=TOKEN, not followed: (status, headers)."""
    class Keep(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *arguments):
            return None
    try:
        with urllib.request.build_opener(Keep).open(url + "?token=" + urllib.parse.quote(token),
                                                    timeout=TIMEOUT) as answer:
            return answer.status, answer.headers
    except urllib.error.HTTPError as answer:
        return answer.code, answer.headers


def session_cookie(guarded):
    return sign_in(guarded.http_url, SECRET)[1]["Set-Cookie"].split(";")[0]


def test_with_a_bearer_secret_the_page_opened_with_it_sends_the_browser_on_with_a_strict_httponly_cookie(guarded):
    status, headers = sign_in(guarded.http_url, SECRET)
    attributes = {part.strip() for part in headers["Set-Cookie"].split(";")[1:]}
    assert (status, headers["Location"], {"HttpOnly", "SameSite=Strict"} <= attributes) == (SEE_OTHER, "/", True)


def test_with_a_bearer_secret_a_wrong_token_in_the_pages_address_gets_no_cookie(guarded):
    status, headers = sign_in(guarded.http_url, "not-" + SECRET)
    assert (status, headers["Set-Cookie"]) == (UNAUTHORIZED, None)


def test_with_a_bearer_secret_the_session_cookie_is_taken_for_it(guarded):
    assert get(guarded.http_url + "api/stats", {"Cookie": session_cookie(guarded)})[0] == 200


def test_with_a_bearer_secret_a_cookie_the_server_did_not_set_is_refused(guarded):
    assert get(guarded.http_url + "api/stats", {"Cookie": "px310_session=" + SECRET})[0] == UNAUTHORIZED


def test_with_a_bearer_secret_a_post_with_the_cookie_alone_is_refused(guarded):
    status, _ = post(guarded.http_url + "api/faults", "loss=1%", {"Cookie": session_cookie(guarded)})
    assert (status, guarded.stats()["current_faults"]) == (UNAUTHORIZED, "none")


def test_with_a_bearer_secret_a_post_with_the_cookie_and_the_pages_token_is_served(guarded):
    cookie = {"Cookie": session_cookie(guarded)}
    token = json.loads(get(guarded.http_url + "api/token", cookie)[1])["token"]
    status, _ = post(guarded.http_url + "api/faults", "dup=1%", dict(cookie, **{"X-PX310-Token": token}))
    assert (status, guarded.stats()["current_faults"]) == (200, "dup=1%")
