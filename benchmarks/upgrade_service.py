#!/usr/bin/python3
"""The firmware upgrade's wall time through the service next to kdr31-cli upgrade's, on the same
image, the same simulator and the same FTP server:

    benchmarks/upgrade_service.py [blocks] [build-dir]        (defaults: 63, build)

kdr31-cli upgrade --online --yes is timed from its start to its end (the connection, the check,
the download, the blocks, the reboot wait, the reconnection). Through the service,
kdr31-cli poll --http --http-allow-upgrade is asked with POST /api/v1/firmware/upgrade, and
timed from the request until GET /api/v1/firmware says the upgrade has ended. Each runs against
a fresh simulator reporting V1.2.3.4, with the firmware server listing V1.2.4.0.
"""
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "http"))
from feed import firmware_server, free_port, token_file, wait_until  # noqa: E402
BLOCKS = int(sys.argv[1]) if len(sys.argv) > 1 else 63
BUILD = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else os.path.join(ROOT, "build")
CLI = os.path.join(BUILD, "cli", "kdr31-cli")
SIM = os.path.join(BUILD, "simulator", "kdr31-sim")
TOKEN = "kdr31-benchmark-token-0123456789"


def serve(work):
    return firmware_server(work, bytes((i * 31 + i // 251) & 0xFF for i in range(BLOCKS * 128)))


def simulator(work, name):
    link = os.path.join(work, name)
    sim = subprocess.Popen([SIM, "--link", link, "--interval", "5"], stdout=subprocess.DEVNULL)
    wait_until(lambda: os.path.exists(link), 5, "the simulator")
    return sim, link


def firmware(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/firmware" % port, timeout=2) as r:
            return json.load(r)
    except OSError:
        return None


def main():
    work = tempfile.mkdtemp(prefix="kdr31-bench-upgrade-")
    ftp, ftp_port = serve(work)
    environment = dict(os.environ, KDR31_FIRMWARE_SERVER="127.0.0.1:%d" % ftp_port,
                       XDG_CACHE_HOME=os.path.join(work, "cache"))
    processes = [ftp]
    try:
        sim, link = simulator(work, "cli")
        processes.append(sim)
        start = time.monotonic()
        done = subprocess.run([CLI, "upgrade", "--port", link, "--online", "--yes"],
                              env=environment, capture_output=True, text=True)
        cli_s = time.monotonic() - start
        if done.returncode != 0 or "V1.2.4.0" not in done.stdout:
            sys.exit("kdr31-cli upgrade failed: " + done.stderr)

        sim, link = simulator(work, "service")
        processes.append(sim)
        token = token_file(work, TOKEN)
        port = free_port()
        poller = subprocess.Popen([CLI, "poll", "--port", link, "--no-db", "--http",
                                   "127.0.0.1:%d" % port, "--http-allow-upgrade",
                                   "--http-token-file", token], env=environment,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(poller)
        wait_until(lambda: (firmware(port) or {}).get("listed"), 20, "the poller's firmware check")
        request = urllib.request.Request("http://127.0.0.1:%d/api/v1/firmware/upgrade" % port,
                                         method="POST",
                                         headers={"Authorization": "Bearer " + TOKEN})
        start = time.monotonic()
        with urllib.request.urlopen(request, timeout=120) as r:
            answered_s = time.monotonic() - start
            if r.status != 202:
                sys.exit("the poller answered %d" % r.status)
        def upgrade_ended():
            state = firmware(port)
            return state if state and state["upgrade"] and not state["upgrade"]["running"] else None

        ended = wait_until(upgrade_ended, 300, "the end of the upgrade")
        service_s = time.monotonic() - start
        if ended["upgrade"]["outcome"] != "done" or ended["installed"] != "1.2.4.0":
            sys.exit("the service's upgrade ended: %s" % ended["upgrade"])
    finally:
        for process in reversed(processes):
            if process.stdin:
                process.stdin.close()
            process.terminate()
            process.wait()
        if ftp.stdout:
            ftp.stdout.close()
        subprocess.run(["rm", "-rf", work])

    print("Firmware upgrade of %d blocks, same image, simulator and FTP server:" % BLOCKS)
    print("  kdr31-cli upgrade --online --yes                 %6.1f s wall" % cli_s)
    print("  through the service (POST to the end in GET)     %6.1f s wall "
          "(answered 202 after %.1f s)" % (service_s, answered_s))


if __name__ == "__main__":
    main()
