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
import selectors
import socket
import sqlite3
import subprocess
import sys
import time
import unittest
import urllib.parse

from feed import TOKEN, Feed, wait_until

FEED = sys.argv.pop(1)
CLI = sys.argv.pop(1)
SIM = sys.argv.pop(1)
TIMEOUT_S = 1
# Every path the server answers GET (and HEAD) on, and nothing else.
GET_PATHS = ["/", "/app.js", "/style.css", "/chart.js", "/metrics", "/api/v1/device",
             "/api/v1/readings/latest", "/api/v1/readings", "/api/v1/peak",
             "/api/v1/quarter-hours", "/api/v1/quarter-hour", "/api/v1/events"]


def request(feed, method, path, body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", feed.port, timeout=5)
    connection.request(method, path, body=body, headers=headers or {})
    response = connection.getresponse()
    data = response.read()
    connection.close()
    return response.status, response.headers, data


def raw(feed, data, wait=3.0):
    """Sends bytes, returns what comes back until the server closes (b"" when it just closes)."""
    s = socket.create_connection(("127.0.0.1", feed.port), timeout=wait)
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


class Api(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.feed = Feed(FEED, "--every", "200", "--timeout", str(TIMEOUT_S), "--allow-settings",
                        backfill=2, token=True)

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
            ("GET", "/api/v1/readings?from=2026-01-01&from=2026-01-01&to=2026-01-02", 400),
            ("GET", "/api/v1/peak?month=2026-13", 400),
            ("GET", "/api/v1/peak?month=26-1", 400),
            ("GET", "/api/v1/quarter-hours?date=2026-02-30", 400),
            ("GET", "/api/v1/quarter-hours?day=2026-02-03", 400),
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
                    self.assertIn(method == "GET" and "PUT" or "GET", headers["Allow"])

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

    def test_events(self):
        """Each reading as it is taken, on a stream that outlives the idle timeout; 8 streams at
        once, the 9th is refused."""
        streams = []
        for _ in range(8):
            s = socket.create_connection(("127.0.0.1", self.feed.port), timeout=3)
            s.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n")
            streams.append(s)
        received = b""
        started = time.monotonic()
        while time.monotonic() - started < TIMEOUT_S * 2.5:
            received += streams[0].recv(65536)
        self.assertIn(b"Content-Type: text/event-stream", received)
        pulses = [json.loads(line[6:])["extern1"] for line in received.split(b"\n")
                  if line.startswith(b"data: {\"export")]
        # A reading every 200 ms, none missed, none twice.
        self.assertGreaterEqual(len(pulses), 8)
        self.assertEqual(pulses, list(range(pulses[0], pulses[0] + len(pulses))))
        self.assertIn(b"event: quarter\ndata: {", received)
        def status():
            with socket.create_connection(("127.0.0.1", self.feed.port), timeout=2) as s:
                s.sendall(b"GET /api/v1/events HTTP/1.1\r\n\r\n")
                return s.recv(12)
        self.assertEqual(status(), b"HTTP/1.1 503")
        for s in streams:
            s.close()
        wait_until(lambda: status() == b"HTTP/1.1 200", 2, "a stream slot free again")

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
        wrong = ["Bearer wrong-token-0123456789", "Basic " + TOKEN, "Bearer", "Bearer " + TOKEN[:-1],
                 "Bearer " + TOKEN + "x"] + ["Bearer " + t for t in near]
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
                request_bytes = iter(b"GET /api/v1/device HTTP/1.1\r\nHost: x\r\nX-Slow: " +
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

        # 32 connections at once; the 33rd is closed without an answer, and once they go, the
        # server answers again.
        held = [socket.create_connection(("127.0.0.1", self.feed.port)) for _ in range(32)]
        time.sleep(0.1)
        self.assertEqual(raw(self.feed, b"GET /api/v1/device HTTP/1.1\r\n\r\n"), b"")
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
                        s.send(b"GET /api/v1/device HTTP/1.1\r\nConnection: close\r\n\r\n")
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



class ThePoller(unittest.TestCase):
    """kdr31-cli poll --http itself, against the simulator: the device it polls, its readings,
    and settings over HTTP applied by the poller between two readings."""

    def test_poll_serves_the_device(self):
        import os
        import tempfile
        work = tempfile.TemporaryDirectory(prefix="kdr31-poll-http-")
        link = os.path.join(work.name, "kdr31")
        token = os.path.join(work.name, "token")
        with open(token, "w") as f:
            f.write(TOKEN + "\n")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        sim = subprocess.Popen([SIM, "--link", link, "--serial", "KD310042", "--interval", "5"])
        poller = None
        try:
            wait_until(lambda: os.path.exists(link), 5, "the simulator's link")
            poller = subprocess.Popen(
                [CLI, "poll", "--port", link, "--no-db", "--format", "json", "--http",
                 "127.0.0.1:%d" % port, "--http-allow-settings", "--http-token-file", token],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

            def get(path):
                try:
                    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                    connection.request("GET", path)
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
