"""The HTTP API of the poller against a real server process on 127.0.0.1: answers and their
status codes, the streamed history against the database it reads, settings with and without the
token, and the bounds a hostile client meets (connections, sizes, slow and idle clients).

    test_http_api.py KDR31_HTTP_FEED KDR31_CLI KDR31_SIM
"""
import csv
import hashlib
import http.client
import io
import json
import os
import re
import selectors
import socket
import sqlite3
import subprocess
import sys
import time
import unittest
import urllib.parse

from feed import TOKEN, Feed, free_port, token_file, wait_until

FEED = sys.argv.pop(1)
CLI = sys.argv.pop(1)
SIM = sys.argv.pop(1)
TIMEOUT_S = 1
# Every path the server answers GET (and HEAD) on, and nothing else.
GET_PATHS = ["/", "/app.js", "/style.css", "/chart.js", "/metrics", "/api/v1/device",
             "/api/v1/readings/latest", "/api/v1/readings", "/api/v1/peak",
             "/api/v1/quarter-hours", "/api/v1/quarter-hour", "/api/v1/capacity",
             "/api/v1/energy/days", "/api/v1/events", "/api/v1/firmware"]


def request(feed, method, path, body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", feed.port, timeout=5)
    connection.request(method, path, body=body, headers=headers or {})
    response = connection.getresponse()
    data = response.read()
    connection.close()
    return response.status, response.headers, data


def noisy_numbers(body):
    """Numbers with more digits than the device's single-precision values hold: arithmetic's
    noise, like 2168.5449999999255."""
    return [n for n in re.findall(rb"\d+\.\d+", body)
            if len(n.replace(b".", b"").lstrip(b"0")) > 9]


def connect(feed, source="127.0.0.1", timeout=3.0):
    """A connection from one of the loopback addresses (all of 127/8 is this machine), each a
    client address of its own for the server's fair share."""
    return socket.create_connection(("127.0.0.1", feed.port), timeout=timeout,
                                    source_address=(source, 0))


def raw(feed, data, wait=3.0, source="127.0.0.1"):
    """Sends bytes, returns what comes back until the server closes (b"" when it just closes)."""
    s = connect(feed, source, wait)
    try:
        s.sendall(data)
    except (BrokenPipeError, ConnectionResetError):
        pass
    received = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            received += chunk
    except (ConnectionResetError, socket.timeout):
        pass
    s.close()
    return received


def events(stream):
    """(name, data as JSON) of each whole event in the bytes of an event stream."""
    found = []
    for block in stream.split(b"\n\n")[:-1]:
        fields = dict(line.split(b": ", 1) for line in block.split(b"\n")
                      if b": " in line and not line.startswith(b":"))
        if b"event" in fields:
            found.append((fields[b"event"].decode(), json.loads(fields[b"data"])))
    return found


class Api(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.feed = Feed(FEED, "--every", "200", "--timeout", str(TIMEOUT_S), "--allow-settings",
                        "--http-host", "KDR31.example.lan", backfill=2, token=True)

    @classmethod
    def tearDownClass(cls):
        cls.feed.close()

    def json(self, path, status=200):
        code, headers, body = self.feed.get(path)
        self.assertEqual(code, status, (path, body))
        self.assertTrue(headers["Content-Type"].startswith("application/json"), path)
        return json.loads(body)

    def test_answers_and_refusals(self):
        device = self.json("/api/v1/device")
        self.assertEqual(device["serial"], "KDR00001")
        self.assertEqual(device["firmware"], "1.2.3.4")
        self.assertTrue(device["connected"])
        self.assertEqual(set(device["settings"]), {"interval", "country", "protocol", "divider"})
        latest = self.json("/api/v1/readings/latest")
        self.assertEqual(latest["status"], "ok")
        self.assertEqual(latest["units"]["import_power_w"], "W")
        self.assertLess(latest["age_s"], 2)
        quarter = self.json("/api/v1/quarter-hour")
        # Two hours of history: the quarter now has readings before its start, and the month
        # has complete quarters.
        self.assertIsNotNone(quarter["average_power_w"])
        self.assertIsNotNone(quarter["forecast_power_w"])
        self.assertGreater(quarter["month_peak"]["average_power_w"], 0)
        for path in ["/api/v1/quarter-hour", "/api/v1/readings/latest"]:
            self.assertEqual(noisy_numbers(self.feed.get(path)[2]), [], path)

        cases = [
            ("GET", "/nothing", 404),
            ("GET", "/api/v1/nothing", 404),
            ("POST", "/metrics", 405),
            ("DELETE", "/api/v1/device", 405),
            ("GET", "/api/v1/settings", 405),
            ("GET", "/api/v1/device?x=1", 400),
            ("GET", "/api/v1/readings", 400),
            ("GET", "/api/v1/readings?from=2026-01-01", 400),
            ("GET", "/api/v1/readings?from=2026-01-01&to=2026-02-01", 400),  # 32 days
            ("GET", "/api/v1/readings?from=2026-01-02&to=2026-01-01", 400),
            ("GET", "/api/v1/readings?from=yesterday&to=2026-01-01", 400),
            ("GET", "/api/v1/readings?from=2026-01-01&to=2026-01-02&format=xml", 400),
            ("GET", "/api/v1/readings?from=2026-01-01&to=2026-01-02&every=0", 400),
            ("GET", "/api/v1/readings?from=2026-01-01&to=2026-01-02&every=86401", 400),
            # Near the 64-bit limit: in seconds it is in no bound, in ms it wraps into one.
            ("GET", "/api/v1/readings?from=2026-01-01&to=2026-01-02&every=2305843009213693960",
             400),
            ("GET", "/api/v1/readings?from=2026-01-01&to=2026-01-02&every=-60", 400),
            ("GET", "/api/v1/readings?from=2026-01-01&to=2026-01-02&every=6e1", 400),
            ("GET", "/api/v1/readings?from=2026-01-01&to=2026-01-02&every=99999999999999999999",
             400),
            ("GET", "/api/v1/readings?from=2026-01-01&from=2026-01-01&to=2026-01-02", 400),
            ("GET", "/api/v1/peak?month=2026-13", 400),
            ("GET", "/api/v1/peak?month=26-1", 400),
            ("GET", "/api/v1/quarter-hours?date=2026-02-30", 400),
            ("GET", "/api/v1/quarter-hours?day=2026-02-03", 400),
            ("GET", "/api/v1/energy/days?from=2026-01-01", 400),
            ("GET", "/api/v1/energy/days?from=2026-01-02&to=2026-01-01", 400),
            ("GET", "/api/v1/energy/days?from=2026-01-01&to=2027-01-02", 400),  # 367 days
            ("GET", "/api/v1/energy/days?from=2026-01-01T00:00&to=2026-01-02", 400),
            ("GET", "/api/v1/firmware/upgrade", 405),
            ("POST", "/api/v1/firmware/upgrade", 403),  # a poller without --http-allow-upgrade
        ]
        # Every GET path refuses other methods and parameters it does not know.
        cases += [("POST", path, 405) for path in GET_PATHS]
        cases += [("GET", path + "?x=1", 400) for path in GET_PATHS]
        for method, path, status in cases:
            with self.subTest(method=method, path=path):
                code, headers, body = request(self.feed, method, path)
                self.assertEqual(code, status, body)
                self.assertTrue(json.loads(body)["error"])
                if status == 405:
                    self.assertIn("GET" if method != "GET" else
                                  "POST" if "firmware" in path else "PUT", headers["Allow"])

        # HEAD wherever GET goes, with GET's headers and no body, streamed answers too: the
        # next request on the same connection is answered as its own.
        connection = http.client.HTTPConnection("127.0.0.1", self.feed.port, timeout=5)
        for path in GET_PATHS:
            with self.subTest(method="HEAD", path=path):
                if path in ("/api/v1/readings", "/api/v1/energy/days"):
                    path += "?from=2026-01-01&to=2026-01-02"
                connection.request("HEAD", path)
                response = connection.getresponse()
                self.assertEqual((response.status, response.read()), (200, b""))
                self.assertEqual(response.headers["X-Content-Type-Options"], "nosniff")
                connection.request("GET", "/api/v1/device")
                response = connection.getresponse()
                self.assertEqual(json.loads(response.read())["serial"], "KDR00001")
        connection.close()
        code, headers, _ = self.feed.get("/")
        self.assertIn("frame-ancestors 'none'", headers["Content-Security-Policy"])

        for line in [b"GARBAGE\r\n\r\n", b"GET /\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n",
                     b"GET / HTTP/1.1\r\nNo colon here\r\n\r\n"]:
            with self.subTest(line=line):
                # An answer, or a connection closed at once.
                answer = raw(self.feed, line)
                self.assertRegex(answer.split(b"\r\n")[0], rb"^(HTTP/1\.[01] (400|505) |$)",
                                 answer[:200])

    def test_history_is_the_database(self):
        """The streamed answer (pieces of 500 rows) holds every row of the period once, in
        order, in JSON and in the export's CSV; the peak agrees with kdr31-cli peak."""
        db = sqlite3.connect(self.feed.db)
        newest = db.execute("SELECT max(time_ms) FROM readings").fetchone()[0]
        start, end = newest - 3_600_000 - 2500, newest - 2500  # 720 rows of 5 s
        expected = [t for (t,) in db.execute(
            "SELECT time_ms FROM readings WHERE time_ms >= ? AND time_ms < ? ORDER BY time_ms",
            (start, end))]
        self.assertGreater(len(expected), 500)
        iso = lambda ms: time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms / 1000)) + "+00:00"
        # Whole seconds: the period starts on the second that holds `start`.
        period = "from=%s&to=%s" % tuple(urllib.parse.quote(iso(t)) for t in (start, end))
        rows = self.json("/api/v1/readings?" + period)
        self.assertEqual(len(rows), len([t for t in expected if t >= start // 1000 * 1000]))
        counters = [r["extern1"] for r in rows]
        self.assertEqual(counters, list(range(counters[0], counters[0] + len(rows))))

        code, headers, body = self.feed.get("/api/v1/readings?format=csv&" + period)
        self.assertEqual(code, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/csv"))
        self.assertNotIn("Content-Length", headers)  # streamed
        export = subprocess.run([CLI, "export", "--db", self.feed.db, "--from", iso(start),
                                 "--to", iso(end)], capture_output=True, check=True).stdout
        self.assertEqual(body, export)
        records = list(csv.reader(io.StringIO(body.decode())))
        self.assertEqual(len(records), len(rows) + 1)

        sampled = self.json("/api/v1/readings?every=60&" + period)
        self.assertIn(len(sampled), (60, 61))
        # 31 days is the most one answer covers, and is covered (the refusal's own example).
        self.assertEqual(self.json("/api/v1/readings?from=2026-01-01&to=2026-01-31"), [])

        month = time.strftime("%Y-%m", time.localtime(newest / 1000))
        peak = self.json("/api/v1/peak?month=" + month)
        cli = json.loads(subprocess.run([CLI, "peak", "--json", "--db", self.feed.db, "--month",
                                         month], capture_output=True, check=True).stdout)
        peak.pop("current", None)
        cli.pop("current", None)
        self.assertEqual(peak, cli)
        quarters = self.json("/api/v1/quarter-hours?date=" +
                             time.strftime("%Y-%m-%d", time.localtime(newest / 1000)))
        self.assertIn(peak["peak"]["average_power_w"],
                      [q["average_power_w"] for q in quarters["quarter_hours"]])
        for path in ["/api/v1/peak?month=" + month, "/api/v1/quarter-hours"]:
            self.assertEqual(noisy_numbers(self.feed.get(path)[2]), [], path)

    def test_names_it_answers_to(self):
        """A request is answered only when its Host is a name no DNS rebinding can give: an IP
        address, localhost, the machine's own name (or with .local), or one admitted with
        --http-host. Any other gets 421 and nothing of the readings; no Host at all, 400."""
        machine = socket.gethostname().lower()
        port = self.feed.port
        admitted = ["127.0.0.1:%d" % port, "192.168.1.20:8031", "192.168.1.20", "[::1]:%d" % port,
                    "[fe80::1]", "localhost", "LocalHost:8031", machine, machine + ".local:8031",
                    "kdr31.example.lan", "KDR31.Example.LAN:80"]
        refused = ["rebind.attacker.example", "rebind.attacker.example:%d" % port,
                   "localhost.attacker.example", "127.0.0.1.attacker.example",
                   "kdr31.example.lan.attacker.example", machine + ".attacker.example",
                   "2130706433", "::1", "[::1", "[::1]x", "127.0.0.1:80x", "localhost:"]
        for host in admitted + refused:
            with self.subTest(host=host):
                code, _, body = request(self.feed, "GET", "/api/v1/readings/latest",
                                        headers={"Host": host})
                if host in admitted:
                    self.assertEqual(code, 200, body)
                    continue
                self.assertEqual(code, 421, body)
                self.assertNotIn(b"import_power_w", body)
                self.assertIn("--http-host", json.loads(body)["error"])
        code, _, body = request(self.feed, "GET", "/api/v1/device",
                                headers={"Host": "rebind.attacker.example:%d" % port})
        self.assertIn("--http-host rebind.attacker.example", json.loads(body)["error"])
        self.assertRegex(raw(self.feed, b"GET /api/v1/device HTTP/1.1\r\n\r\n"),
                         rb"^HTTP/1\.1 400 ")
        self.assertRegex(raw(self.feed, b"GET /api/v1/device HTTP/1.0\r\n\r\n"),
                         rb"^HTTP/1\.1 200 ")

    def test_unreadable_history(self):
        """A history that cannot be read: 503, with the database's path on standard error (once)
        and not in the answer."""
        broken = Feed(FEED, "--every", "60000", capture_errors=True)
        try:
            with open(broken.db, "w") as f:
                f.write("no history here\n" * 1000)
            for path in ["/api/v1/readings?from=2026-01-01&to=2026-01-02", "/api/v1/peak",
                         "/api/v1/quarter-hours"]:
                code, _, body = broken.get(path)
                self.assertEqual(code, 503, path)
                self.assertNotIn(os.path.basename(broken.dir.name).encode(), body)
        finally:
            broken.close()
        self.assertEqual(broken.errors.count(broken.db), 1, broken.errors)

    def test_events(self):
        """Each reading as it is taken, on a stream that outlives the idle timeout; two streams
        per client address and eight in all, the next one refused. The address is the peer's:
        without --http-proxy, an X-Real-IP a client sends claims nothing."""
        def open_stream(source, headers=b""):
            s = connect(self.feed, source)
            s.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + b"\r\n")
            return s

        def answer(source, headers=b""):
            with open_stream(source, headers) as s:
                return s.recv(400)

        streams = [open_stream("127.0.0.%d" % (2 + i // 2), b"X-Real-IP: 10.0.0.%d\r\n" % i)
                   for i in range(8)]
        received = b""
        started = time.monotonic()
        while time.monotonic() - started < TIMEOUT_S * 2.5:
            received += streams[0].recv(65536)
        self.assertIn(b"Content-Type: text/event-stream", received)
        self.assertIn(b"X-Content-Type-Options: nosniff", received)
        pulses = [data["extern1"] for name, data in events(received) if name == "reading"]
        # A reading every 200 ms, none missed, none twice.
        self.assertGreaterEqual(len(pulses), 8)
        self.assertEqual(pulses, list(range(pulses[0], pulses[0] + len(pulses))))
        self.assertIn(b"event: quarter\ndata: {", received)
        self.assertEqual(noisy_numbers(received), [])

        self.assertRegex(answer("127.0.0.6"), rb"^HTTP/1\.1 503 (.|\n)*too many event streams")
        for s in streams[6:]:
            s.close()
        wait_until(lambda: answer("127.0.0.6").startswith(b"HTTP/1.1 200"), 2,
                   "a stream free again")
        # Room for more, but not for an address that holds its share already, whatever it says
        # it is.
        for claim in (b"", b"X-Real-IP: 10.0.0.99\r\n", b"X-Forwarded-For: 10.0.0.99\r\n"):
            self.assertRegex(answer("127.0.0.2", claim),
                             rb"^HTTP/1\.1 503 (.|\n)*this address holds 2", claim)
        for s in streams:
            s.close()
        wait_until(lambda: answer("127.0.0.2").startswith(b"HTTP/1.1 200"), 2,
                   "the address's streams free again")

    def test_behind_a_named_proxy(self):
        """From a --http-proxy address, the client is the one X-Real-IP names: each holds its
        own two event streams. A request without one valid X-Real-IP counts under the proxy's
        own address. The proxy carries everybody's connections and is held to no share of
        them."""
        with Feed(FEED, "--every", "200", "--http-proxy", "127.0.0.7") as proxied:
            def stream(claim):
                s = connect(proxied, "127.0.0.7")
                s.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n" + claim +
                          b"\r\n")
                return s, s.recv(400)

            held = []
            for claim in [b"X-Real-IP: 10.0.0.1\r\n", b"X-Real-IP: 10.0.0.1\r\n",
                          b"X-Real-IP:  ::ffff:10.0.0.2 \r\n", b"", b""]:
                s, head = stream(claim)
                held.append(s)
                self.assertTrue(head.startswith(b"HTTP/1.1 200"), (claim, head))
            # 10.0.0.1 holds two, and so does the proxy's own address: neither a list, a port,
            # a name, a second X-Real-IP nor X-Forwarded-For takes a client's place.
            for claim in [b"X-Real-IP: 10.0.0.1\r\n", b"X-Real-IP: 10.0.0.9, 10.0.0.8\r\n",
                          b"X-Real-IP: 10.0.0.9:80\r\n", b"X-Real-IP: proxy.lan\r\n",
                          b"X-Real-IP: 10.0.0.9\r\nX-Real-IP: 10.0.0.8\r\n",
                          b"X-Forwarded-For: 10.0.0.9\r\n"]:
                s, head = stream(claim)
                s.close()
                self.assertRegex(head, rb"^HTTP/1\.1 503 (.|\n)*this address holds 2", claim)
            # 10.0.0.2 (as ::ffff:10.0.0.2) has room for one more.
            s, head = stream(b"X-Real-IP: 10.0.0.2\r\n")
            held.append(s)
            self.assertTrue(head.startswith(b"HTTP/1.1 200"), head)

            held += [connect(proxied, "127.0.0.7") for _ in range(10)]
            get = b"GET /api/v1/device HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
            self.assertRegex(raw(proxied, get, source="127.0.0.7"), rb"^HTTP/1\.1 200")
            for s in held:
                s.close()

    def test_events_open_with_the_newest_reading(self):
        """A poll every minute: the page must not wait that long for its first reading."""
        with Feed(FEED, "--every", "60000") as quiet:
            wait_until(lambda: quiet.get("/api/v1/readings/latest")[0] == 200, 5, "a reading")
            with socket.create_connection(("127.0.0.1", quiet.port), timeout=5) as s:
                s.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                received = b""
                deadline = time.monotonic() + 3
                while b"event: quarter\n" not in received and time.monotonic() < deadline:
                    s.settimeout(max(0.01, deadline - time.monotonic()))
                    try:
                        received += s.recv(65536)
                    except socket.timeout:
                        break
            self.assertIn(b"event: reading\ndata: {", received)

    def test_settings_need_the_token(self):
        body = json.dumps({"interval": 30}).encode()
        # Wrong tokens whose hashes share the first or the last byte with the right one's: the
        # whole hash is compared, not a part of it.
        digest = hashlib.sha256(TOKEN.encode()).digest()
        near = []
        for end in (0, -1):
            near.append(next(t for t in ("wrong-token-%08d" % i for i in range(100000))
                             if hashlib.sha256(t.encode()).digest()[end] == digest[end]))
        wrong = ["Bearer wrong-token-0123456789", "Basic " + TOKEN, "Bearer",
                 "Bearer " + TOKEN[:-1], "Bearer " + TOKEN + "x"] + ["Bearer " + t for t in near]
        for headers in [{}] + [{"Authorization": w} for w in wrong]:
            with self.subTest(headers=headers):
                code, answer_headers, answer = request(self.feed, "PUT", "/api/v1/settings",
                                                       body, headers)
                self.assertEqual(code, 401)
                self.assertIn("Bearer", answer_headers["WWW-Authenticate"])
                self.assertNotIn(TOKEN.encode(), answer)
        good = {"Authorization": "Bearer " + TOKEN}
        code, _, answer = request(self.feed, "PUT", "/api/v1/settings",
                                  json.dumps({"interval": 99, "colour": "red"}).encode(), good)
        self.assertEqual(code, 422)
        self.assertEqual(len(json.loads(answer)["refusals"]), 2)
        code, _, answer = request(self.feed, "PUT", "/api/v1/settings", body, good)
        self.assertEqual(code, 200, answer)
        self.assertEqual(json.loads(answer), {"ok": True, "settings": {"interval": 30}})
        self.assertEqual(self.json("/api/v1/device")["settings"]["interval"], 30)

    def test_bounds(self):
        before = self.json("/api/v1/readings/latest")["extern1"]
        # Sizes: a 10 MB header does not fit a connection's memory, a 10 MB body is refused
        # from its length before it is read.
        answer = raw(self.feed, b"GET / HTTP/1.1\r\nX-Big: " + b"a" * 10_000_000 + b"\r\n\r\n")
        self.assertTrue(answer == b"" or answer.startswith(b"HTTP/1.1 431"), answer[:100])
        # Refused from its length alone: the 413 comes while the body has not even been sent.
        with socket.create_connection(("127.0.0.1", self.feed.port), timeout=3) as s:
            s.sendall(b"PUT /api/v1/settings HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Content-Length: 10000000\r\n\r\n{\"interval\"")
            self.assertRegex(s.recv(100), rb"^HTTP/1\.1 413")

        # Idle and slow clients are closed after the timeout; a byte now and then does not
        # keep a request open.
        for trickle in (False, True):
            with self.subTest(trickle=trickle):
                s = socket.create_connection(("127.0.0.1", self.feed.port), timeout=5)
                started = time.monotonic()
                closed = False
                request_bytes = iter(b"GET /api/v1/device HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " +
                                     b"a" * 100)
                while time.monotonic() - started < TIMEOUT_S + 3 and not closed:
                    try:
                        if trickle:
                            s.send(bytes([next(request_bytes)]))
                        s.settimeout(0.2)
                        closed = s.recv(100) == b""
                    except socket.timeout:
                        pass
                    except (ConnectionResetError, BrokenPipeError):
                        closed = True
                s.close()
                self.assertTrue(closed)
                self.assertLess(time.monotonic() - started, TIMEOUT_S + 1.5)

        # One address holds 8 connections at most: its 9th is closed without an answer, while
        # another address (a phone) is answered. 32 in all from four addresses: the 33rd, from
        # a fifth, is closed too; once they go, the server answers again.
        get = b"GET /api/v1/device HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        held = [connect(self.feed, "127.0.0.2") for _ in range(8)]
        wait_until(lambda: raw(self.feed, get, source="127.0.0.2") == b"", 2, "a 9th closed")
        self.assertEqual(self.feed.get("/api/v1/device")[0], 200)
        held += [connect(self.feed, "127.0.0.%d" % (3 + i // 8)) for i in range(24)]
        wait_until(lambda: raw(self.feed, get, source="127.0.0.6") == b"", 2, "a 33rd closed")
        for s in held:
            s.close()
        wait_until(lambda: self.feed.get("/api/v1/device")[0] == 200, 2, "answers again")

        # 1,000 clients at once: each gets an answer or a closed connection.
        selector = selectors.DefaultSelector()
        clients = []
        for _ in range(1000):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", self.feed.port))
            clients.append(s)
            selector.register(s, selectors.EVENT_WRITE)
        ended = answered = 0
        deadline = time.monotonic() + 30  # a sanitizer build starts its threads slowly
        while ended < len(clients) and time.monotonic() < deadline:
            for key, events in selector.select(timeout=0.5):
                s = key.fileobj
                if events & selectors.EVENT_WRITE:
                    try:
                        s.send(b"GET /api/v1/device HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               b"Connection: close\r\n\r\n")
                    except OSError:
                        pass
                    selector.modify(s, selectors.EVENT_READ)
                    continue
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                answered += data.startswith(b"HTTP/1.1 200")
                if not data or data.startswith(b"HTTP/1.1"):
                    selector.unregister(s)
                    s.close()
                    ended += 1
        for s in clients:
            s.close()
        self.assertEqual(ended, len(clients))
        self.assertGreater(answered, 0)

        # And the readings went on all the while: one every 200 ms.
        wait_until(lambda: self.feed.get("/api/v1/device")[0] == 200, 3, "answers again")
        after = self.json("/api/v1/readings/latest")
        self.assertLess(after["age_s"], 1)
        self.assertGreater(after["extern1"], before)



class Framing(unittest.TestCase):
    """Requests whose body could end in two places are refused (400) and their connection
    closed, so a request hidden in a body is never answered, whatever a proxy in front made of
    it; a body over the limit is never read to its end. The server's own timeout (10 s) is
    longer than any wait here, so a connection that ends, ends for its request."""

    @classmethod
    def setUpClass(cls):
        cls.feed = Feed(FEED, "--every", "1000", "--allow-settings", token=True)

    @classmethod
    def tearDownClass(cls):
        cls.feed.close()

    def until_closed(self, data):
        with connect(self.feed, timeout=5) as s:
            s.sendall(data)
            received = b""
            try:
                while chunk := s.recv(65536):
                    received += chunk
            except socket.timeout:
                self.fail("the connection stays open: %r" % received[:300])
            except ConnectionResetError:
                pass
            return received

    def test_ambiguous_framing(self):
        hidden = b"GET /api/v1/device HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        put = b"PUT /api/v1/settings HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        cases = {
            "length and chunked": put + b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n"
                                  b"\r\n0\r\n\r\n" + hidden,
            "two lengths": put + b"Content-Length: 2\r\nContent-Length: %d\r\n\r\n{}" %
                           (2 + len(hidden)) + hidden,
            "a blank before the colon": b"GET /api/v1/device HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                        b"Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n" + hidden,
        }
        for name, data in cases.items():
            with self.subTest(name):
                answer = self.until_closed(data)
                self.assertRegex(answer, rb"^HTTP/1\.1 400 ")
                self.assertEqual(answer.count(b"HTTP/1.1 "), 1, answer)
        # Chunked, with no length to refuse it by: closed once it outgrows the limit.
        answer = self.until_closed(put + b"Transfer-Encoding: chunked\r\n\r\n2000\r\n" +
                                   b"x" * 0x2000 + b"\r\n")
        self.assertNotIn(b"HTTP/1.1 200", answer)


class Capacity(unittest.TestCase):
    """The capacity tariff at the newest reading, and the peak warning as it starts and ends:
    the feed draws 500 W in the quarter-hour now, and 1 MW for 1.5 s once it has served for 3 s
    (above the 2.5 kW floor for all but the last 2 s of a quarter)."""

    def test_warning_starts_and_ends(self):
        with Feed(FEED, "--every", "200", "--peak-power", "1000000", "--peak-after", "3000",
                  "--peak-for", "1500", "--capacity-price", "50", backfill=2) as feed:
            with socket.create_connection(("127.0.0.1", feed.port), timeout=1) as s:
                s.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                received = b""
                deadline = time.monotonic() + 15
                while time.monotonic() < deadline:
                    try:
                        received += s.recv(65536)
                    except socket.timeout:
                        continue
                    if len([e for e in events(received) if e[0] == "capacity"]) >= 3:
                        break
            found = [data for name, data in events(received) if name == "capacity"]
            # The figures as the stream opens, then the warning's start and its end once each:
            # none for the readings in between.
            self.assertEqual([e["peak_warning"] for e in found], [False, True, False], found)
            start, end = found[1], found[2]
            # To switch off: less than the 1 MW drawn, by what the time left still allows.
            self.assertTrue(-1000000 < start["capacity_headroom_w"] < 0, start)
            self.assertGreater(start["peak_warning_minutes_left"], 0)
            self.assertEqual(start["peak_warning_since"], start["time"])
            self.assertIsNone(end["peak_warning_minutes_left"])
            readings = [data for name, data in events(received) if name == "reading"]
            warned = [r["time"] for r in readings if r["peak_warning"]]
            self.assertEqual(warned[0], start["time"])

            # The answer holds the state message's figures of the same reading under the same
            # names, with the quarter-hour and the twelve months.
            def same_reading():
                capacity = json.loads(feed.get("/api/v1/capacity")[2])
                latest = json.loads(feed.get("/api/v1/readings/latest")[2])
                return capacity["time"] == latest["time"] and (capacity, latest)
            capacity, latest = wait_until(same_reading, 5, "one reading's figures")
            for name in ["capacity_threshold_w", "capacity_headroom_w", "peak_warning",
                         "billed_peak_w", "quarter_hour_average_power_w",
                         "quarter_hour_forecast_power_w", "month_peak_power_w"]:
                self.assertEqual(capacity[name], latest[name], name)
            self.assertEqual(capacity["capacity_threshold_w"], 2500)
            self.assertEqual(len(capacity["months"]), 12)
            self.assertEqual(capacity["months"][-1]["month"], time.strftime("%Y-%m"))
            self.assertGreaterEqual(capacity["months_counted"], 1)
            self.assertEqual(capacity["capacity_price_eur_per_kw_year"], 50)
            self.assertAlmostEqual(capacity["year_cost_eur"], capacity["billed_peak_w"] / 20, 2)
            self.assertEqual(noisy_numbers(feed.get("/api/v1/capacity")[2]), [])



    def test_energy_per_day(self):
        """A day's energy is the counters' difference over it, interpolated at its midnights; a
        day the readings do not cover whole (today, the first day of the history) has none."""
        with Feed(FEED, "--every", "60000", backfill=49) as feed:
            db = sqlite3.connect(feed.db)
            readings = db.execute("SELECT time_ms, import_high_wh + import_low_wh, "
                                  "export_high_wh + export_low_wh FROM readings "
                                  "ORDER BY time_ms").fetchall()
            today = time.localtime()
            midnight = lambda days: int(time.mktime((today.tm_year, today.tm_mon,
                                                     today.tm_mday + days, 0, 0, 0, 0, 0, -1)))

            def counters(at_s):
                at = at_s * 1000
                before = max(r for r in readings if r[0] <= at)
                after = min(r for r in readings if r[0] >= at)
                share = (at - before[0]) / (after[0] - before[0]) if after[0] > before[0] else 0
                return [b + (a - b) * share for b, a in zip(before[1:], after[1:])]

            day = lambda days: time.strftime("%Y-%m-%d", time.localtime(midnight(days)))
            code, _, body = feed.get("/api/v1/energy/days?from=%s&to=%s" % (day(-2), day(0)))
            self.assertEqual(code, 200, body)
            days = json.loads(body)["days"]
            self.assertEqual([d["date"] for d in days], [day(-2), day(-1), day(0)])
            whole = [readings[0][0] <= midnight(n) * 1000 <= midnight(n + 1) * 1000 <=
                     readings[-1][0] for n in (-2, -1, 0)]
            self.assertEqual([d["import_wh"] is not None for d in days], whole)
            self.assertEqual(whole[1:], [True, False])
            start, end = counters(midnight(-1)), counters(midnight(0))
            self.assertAlmostEqual(days[1]["import_wh"], end[0] - start[0], delta=0.05)
            self.assertAlmostEqual(days[1]["export_wh"], end[1] - start[1], delta=0.05)
            self.assertGreater(days[1]["import_wh"], days[1]["export_wh"])


class ThePoller(unittest.TestCase):
    """kdr31-cli poll --http itself, against the simulator: the device it polls, its readings,
    and settings over HTTP applied by the poller between two readings."""

    def test_poll_serves_the_device(self):
        import tempfile
        work = tempfile.TemporaryDirectory(prefix="kdr31-poll-http-")
        link = os.path.join(work.name, "kdr31")
        token = token_file(work.name)
        port = free_port()
        sim = subprocess.Popen([SIM, "--link", link, "--serial", "KD310042", "--interval", "5"])
        poller = None
        try:
            wait_until(lambda: os.path.exists(link), 5, "the simulator's link")
            # Names to answer to from the configuration file and the command line alike.
            config = os.path.join(work.name, "poll.conf")
            with open(config, "w") as f:
                f.write("http-host = kdr31.example.lan\n")
            poller = subprocess.Popen(
                [CLI, "poll", "--port", link, "--no-db", "--format", "json", "--http",
                 "127.0.0.1:%d" % port, "--http-allow-settings", "--http-token-file", token,
                 "--config", config, "--http-host", "Pi.Example.Lan"],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

            def get(path, host=None):
                try:
                    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                    connection.request("GET", path, headers={"Host": host} if host else {})
                    response = connection.getresponse()
                    return response.status, response.read()
                except OSError:
                    return 0, b""

            def latest():
                status, body = get("/api/v1/readings/latest")
                return status == 200 and json.loads(body)

            reading = wait_until(latest, 10, "a reading")
            self.assertEqual(reading["serial"], "KD310042")
            self.assertEqual(reading["status"], "ok")
            for host, status in [("kdr31.example.lan", 200), ("pi.example.lan:%d" % port, 200),
                                 ("rebind.attacker.example", 421)]:
                self.assertEqual(get("/api/v1/device", host)[0], status, host)
            device = json.loads(get("/api/v1/device")[1])
            self.assertTrue(device["connected"])
            self.assertEqual(device["port"], link)

            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            connection.request("PUT", "/api/v1/settings", body=json.dumps({"divider": 3}),
                               headers={"Authorization": "Bearer " + TOKEN,
                                        "Content-Type": "application/json"})
            response = connection.getresponse()
            answer = response.read()
            self.assertEqual(response.status, 200, answer)
            # What the device reports after the poller's settings exchange.
            self.assertEqual(json.loads(get("/api/v1/device")[1])["settings"]["divider"], 3)
            metrics = get("/metrics")[1].decode()
            self.assertRegex(metrics, r"(?m)^kdr31_up(\{[^}]*\})? 1$")
        finally:
            if poller:
                poller.terminate()
                self.assertEqual(poller.wait(15), 0, poller.stderr.read())
            sim.terminate()
            sim.wait(5)
            work.cleanup()


if __name__ == "__main__":
    unittest.main(verbosity=2)
