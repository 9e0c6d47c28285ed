"""HTTPS through nginx in front of kdr31-cli poll --http, against the simulator, with the site
of packaging/kdr31-nginx.conf as it is shipped but for its ports and its certificate, which the
test makes with openssl. nginx runs with a prefix, a pid file and temporary files of its own in
a temporary folder and writes nothing to /var, as root or not. The page, the API (an authorised
PUT of settings included) and the event stream pass through, the events as the poller sends
them rather than when nginx's buffer fills. The poller, told of the proxy as the README tells
(http-proxy = 127.0.0.1 in its configuration file), holds each client behind nginx to its own
share, and nginx keeps each client's connections.

    test_http_proxy.py KDR31_CLI KDR31_SIM
"""
import http.client
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

from feed import TOKEN, free_port, stop, token_file, wait_until

CLI = sys.argv.pop(1)
SIM = sys.argv.pop(1)
SITE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                    "kdr31-nginx.conf")
NGINX = shutil.which("nginx", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
OPENSSL = shutil.which("openssl")

# nginx of the test's own: everything in its folder, nothing in /var. Run as root, its workers
# are nobody, who may not be able to enter that folder: an answer larger than nginx's buffers is
# then passed on as it comes rather than kept in a temporary file.
MAIN = """daemon off;
worker_processes 1;
pid {dir}/nginx.pid;
lock_file {dir}/nginx.lock;
error_log {dir}/error.log info;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    proxy_max_temp_file_size 0;
    include {dir}/kdr31.conf;
}}
"""


def shipped_site(listen, upstream, certificate, key):
    """The shipped site with this test's ports and certificate: each line replaced must be
    there, so the test runs what is shipped."""
    with open(SITE) as f:
        text = f.read()
    for old, new in [("listen 443 ssl;", "listen 127.0.0.1:%d ssl;" % listen),
                     ("listen [::]:443 ssl;", ""),
                     ("127.0.0.1:8031", "127.0.0.1:%d" % upstream),
                     ("/etc/kdr31/tls/kdr31.crt", certificate),
                     ("/etc/kdr31/tls/kdr31.key", key)]:
        if old not in text:
            raise AssertionError("%s no longer holds %r" % (SITE, old))
        text = text.replace(old, new)
    return text


@unittest.skipUnless(NGINX and OPENSSL, "nginx-light and openssl are needed "
                                        "(scripts/install-deps.sh)")
class ThroughNginx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="kdr31-proxy-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        work = cls.work
        certificate = os.path.join(work, "kdr31.crt")
        key = os.path.join(work, "kdr31.key")
        subprocess.run([OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out",
                        certificate, "-days", "2", "-subj", "/CN=kdr31 test", "-addext",
                        "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                       check=True, capture_output=True)
        token = token_file(work)

        # The device reports 1 s, and the poller keeps the tests' floor of 1 s.
        link = os.path.join(work, "kdr31")
        sim = subprocess.Popen([SIM, "--link", link, "--serial", "KD310042", "--interval", "1"],
                               stdout=subprocess.DEVNULL)
        cls.addClassCleanup(stop, sim)
        wait_until(lambda: os.path.exists(link), 5, "the simulator's link")
        upstream = free_port()
        config = os.path.join(work, "ttyUSB0.conf")
        with open(config, "w") as f:
            f.write("http = 127.0.0.1:%d\nhttp-proxy = 127.0.0.1\n" % upstream)
        cls.poller_log = os.path.join(work, "poller.err")
        with open(cls.poller_log, "w") as log:
            poller = subprocess.Popen(
                [CLI, "poll", "--port", link, "--no-db", "--format", "json", "--config", config,
                 "--http-allow-settings", "--http-token-file", token],
                stdout=subprocess.DEVNULL, stderr=log,
                env=dict(os.environ, KDR31_TEST_MIN_INTERVAL_MS="1000"))
        cls.addClassCleanup(stop, poller)

        cls.port = free_port()
        with open(os.path.join(work, "kdr31.conf"), "w") as f:
            f.write(shipped_site(cls.port, upstream, certificate, key))
        main = os.path.join(work, "nginx.conf")
        with open(main, "w") as f:
            f.write(MAIN.format(dir=work))
        nginx = subprocess.Popen([NGINX, "-p", work, "-c", main, "-e",
                                  os.path.join(work, "error.log")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        cls.addClassCleanup(stop, nginx)

        def listening():
            if nginx.poll() is not None:
                with open(os.path.join(work, "error.log")) as log:
                    raise AssertionError("nginx ended: " + log.read())
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                return True
            except OSError:
                return False
        wait_until(listening, 10, "nginx listening")
        cls.context = ssl.create_default_context(cafile=certificate)
        def first_reading():
            if poller.poll() is not None:
                with open(cls.poller_log) as log:
                    raise AssertionError("the poller ended: " + log.read())
            return cls.request("GET", "/api/v1/readings/latest")[0] == 200
        wait_until(first_reading, 15, "the first reading through nginx")

    @classmethod
    def request(cls, method, path, body=None, headers=None, source="127.0.0.1"):
        """(status, headers, body) over HTTPS, the certificate checked; from a client address
        of its own (all of 127/8 is this machine)."""
        connection = http.client.HTTPSConnection("127.0.0.1", cls.port, timeout=10,
                                                 context=cls.context, source_address=(source, 0))
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()

    def test_page_and_api(self):
        status, headers, page = self.request("GET", "/")
        self.assertEqual(status, 200)
        self.assertIn("text/html", headers["Content-Type"])
        self.assertIn(b"<title>KDR31 readings</title>", page)
        # Chart.js: larger than all of nginx's buffers together.
        status, _, script = self.request("GET", "/chart.js")
        self.assertEqual(status, 200)
        self.assertGreater(len(script), 100000)
        status, _, body = self.request("GET", "/api/v1/readings/latest")
        reading = json.loads(body)
        self.assertEqual((reading["serial"], reading["status"]), ("KD310042", "ok"))
        status, _, metrics = self.request("GET", "/metrics")
        self.assertRegex(metrics.decode(), r"(?m)^kdr31_up(\{[^}]*\})? 1$")

    def test_settings(self):
        def put(settings, token=TOKEN):
            status, _, body = self.request(
                "PUT", "/api/v1/settings", json.dumps(settings),
                {"Authorization": "Bearer " + token, "Content-Type": "application/json"})
            return status, json.loads(body)

        self.assertEqual(put({"divider": 4}, "wrong-token-0123456789")[0], 401)
        status, answer = put({"divider": 4})
        self.assertEqual(status, 200, answer)
        self.assertEqual(answer, {"ok": True, "settings": {"divider": 4}})
        device = json.loads(self.request("GET", "/api/v1/device")[2])
        self.assertEqual(device["settings"]["divider"], 4)
        # The device has it now: answered, and not sent again.
        self.assertEqual(put({"divider": 4}),
                         (200, {"ok": True, "unchanged": True, "settings": {"divider": 4}}))

    def test_events_as_they_come(self):
        connection = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=10,
                                                 context=self.context)
        self.addCleanup(connection.close)
        started = time.monotonic()
        connection.request("GET", "/api/v1/events")
        response = connection.getresponse()
        self.assertEqual(response.status, 200)
        self.assertEqual(response.headers["Content-Type"].split(";")[0], "text/event-stream")
        # The newest reading comes at once, then one a second. Buffered, the first would wait
        # for kilobytes of them.
        arrivals = []
        readings = []
        event = None
        while len(readings) < 3:
            try:
                line = response.readline()
            except TimeoutError:
                self.fail("no event for 10 s: nginx holds the stream back (%d so far)"
                          % len(readings))
            self.assertTrue(line, "the stream ended")
            if line.startswith(b"event: "):
                event = line[7:].strip()
            elif line.startswith(b"data: ") and event == b"reading":
                arrivals.append(time.monotonic())
                readings.append(json.loads(line[6:]))
        self.assertEqual(readings[0]["serial"], "KD310042")
        self.assertEqual(len({r["time"] for r in readings}), 3)
        gaps = [b - a for a, b in zip([started] + arrivals, arrivals)]
        self.assertLess(max(gaps), 3, "events held back: %s" % gaps)

    def stream(self, source, headers=None):
        """An event stream through nginx from a client address, open until the test ends:
        (status, the body of a refusal or the first reading)."""
        connection = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=10,
                                                 context=self.context, source_address=(source, 0))
        self.addCleanup(connection.close)
        connection.request("GET", "/api/v1/events", headers=headers or {})
        response = connection.getresponse()
        if response.status != 200:
            return response.status, response.read()
        event = None
        while event != b"event: reading\n":
            event = response.readline()
            self.assertTrue(event, "the stream ended")
        return 200, response.readline()

    def test_shares_of_the_clients(self):
        """Every client reaches the poller from nginx's address. Three phones each get their
        event stream, one client gets two and no more, and a client's own X-Real-IP (nginx
        replaces it) claims no other address. nginx's connections are held to no share: eight
        streams and a request beside them, nine at once from 127.0.0.1."""
        for source in ("127.0.0.2", "127.0.0.3", "127.0.0.4"):
            self.assertEqual(self.stream(source)[0], 200, source)
        self.assertEqual(self.stream("127.0.0.2")[0], 200)
        for claim in ({}, {"X-Real-IP": "127.0.0.9"}):
            status, body = self.stream("127.0.0.2", claim)
            self.assertEqual((status, json.loads(body)["error"]),
                             (503, "this address holds 2 event streams already; close one"),
                             claim)
        # A stream of an earlier test may take a reading's time to end.
        for source in ("127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.5"):
            wait_until(lambda: self.stream(source)[0] == 200, 5, "a stream for " + source)
        status, _, body = self.request("GET", "/api/v1/device")
        self.assertEqual(status, 200, body)

    def test_nginx_holds_each_client_to_eight(self):
        """The poller leaves each client's share of connections to nginx: eight requests from
        one address still at their bodies, and its ninth gets 503 while another address is
        answered."""
        held = []
        for _ in range(8):
            s = self.context.wrap_socket(
                socket.create_connection(("127.0.0.1", self.port), timeout=10,
                                         source_address=("127.0.0.6", 0)),
                server_hostname="127.0.0.1")
            self.addCleanup(s.close)
            s.sendall(b"PUT /api/v1/settings HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Content-Length: 100\r\n\r\n{")
            held.append(s)
        wait_until(lambda: self.request("GET", "/api/v1/device", source="127.0.0.6")[0] == 503,
                   5, "the ninth refused")
        self.assertEqual(self.request("GET", "/api/v1/device", source="127.0.0.7")[0], 200)
        for s in held:
            s.close()
        wait_until(lambda: self.request("GET", "/api/v1/device", source="127.0.0.6")[0] == 200,
                   5, "answered again")


if __name__ == "__main__":
    unittest.main(verbosity=2)
