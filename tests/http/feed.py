"""Starts kdr31-http-feed on 127.0.0.1 for a test and stops it again."""
import http.client
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

TOKEN = "kdr31-test-token-0123456789"


class Feed:
    def __init__(self, program, *args, backfill=0, token=False, capture_errors=False):
        self.dir = tempfile.TemporaryDirectory(prefix="kdr31-http-")
        self.db = os.path.join(self.dir.name, "history.sqlite")
        self.token_file = os.path.join(self.dir.name, "token")
        with open(self.token_file, "w") as f:
            f.write(TOKEN + "\n")
        command = [program, "--http", "127.0.0.1:0", "--db", self.db, *args]
        if token:
            command += ["--token-file", self.token_file]
        if backfill:
            command += ["--backfill", str(backfill)]
        self.errors = None  # with capture_errors: its standard error, once closed
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True,
                                        stderr=subprocess.PIPE if capture_errors else None)
        line = self.process.stdout.readline()
        match = re.search(r":(\d+)/$", line.strip())
        if not match:
            self.process.kill()
            sys.exit("kdr31-http-feed did not start: %r" % line)
        self.port = int(match.group(1))
        self.base = "http://127.0.0.1:%d" % self.port

    def get(self, path, timeout=5):
        """(status, headers, body bytes); 4xx and 5xx too."""
        try:
            with urllib.request.urlopen(self.base + path, timeout=timeout) as r:
                return r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()
        except (ConnectionError, http.client.RemoteDisconnected):
            return 0, {}, b""  # closed without an answer (all connections taken)

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

    def close(self):
        self.process.stdout.close()
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.process.stderr:
            self.errors = self.process.stderr.read()
            self.process.stderr.close()
        self.dir.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("not within %.1f s: %s" % (seconds, what))


def firmware_server(work, image):
    """The test FTP server on 127.0.0.1, serving from work/served a version list of V1.2.4.0 and
    image as its Intel HEX file, with the account the program logs in with. Debian's
    interpreter runs it, which sees Debian's pyftpdlib; it ends when its input closes.
    Returns (the process, its port)."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    with open(os.path.join(source, "firmware", "Inet.h")) as f:
        constants = f.read()
    account, password = (re.search(r"%s\[\] = \"(.*)\";" % name, constants).group(1)
                         for name in ("kFirmwareAccount", "kFirmwarePassword"))
    served = os.path.join(work, "served")
    os.mkdir(served)
    listing = bytearray(92)
    listing[40:44] = bytes([1, 2, 4, 0])
    with open(os.path.join(served, "TAMO_UPGlist.bin"), "wb") as f:
        f.write(listing)
    lines = []
    for offset in range(0, len(image), 16):
        record = bytes([len(image[offset:offset + 16]), offset >> 8, offset & 0xFF, 0])
        record += image[offset:offset + 16]
        lines.append(":" + (record + bytes([-sum(record) & 0xFF])).hex().upper())
    with open(os.path.join(served, "KDR31v2.hex"), "w", newline="") as f:
        f.write("\r\n".join(lines + [":00000001FF"]) + "\r\n")
    ftp = subprocess.Popen(["/usr/bin/python3", os.path.join(source, "tests", "support",
                                                             "ftp_server.py"),
                            "--root", served, "--user", account, "--password", password],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    return ftp, int(ftp.stdout.readline().split()[1])


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def token_file(folder, token=TOKEN):
    """The bearer token in folder/token, mode 0600: the poller refuses one that others can read.
    Returns its path."""
    path = os.path.join(folder, "token")
    with open(path, "w") as f:
        f.write(token + "\n")
    os.chmod(path, 0o600)
    return path


def stop(process):
    """Ends a process the test started: its pipes closed, terminated, killed after 10 s."""
    for stream in (process.stdin, process.stdout):
        if stream:
            stream.close()
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
