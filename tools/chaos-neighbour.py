#!/usr/bin/python3
"""A neighbour for the chaos run: another program's simulated KDR31 that takes the chaos run's
pseudo-terminal number the moment its pulled cable frees it, as the simulator of a test running
alongside may. The run must still record only what its own simulator served.

    mkdir -p /tmp/chaos && tools/chaos-neighbour.py build/simulator/kdr31-sim /tmp/chaos &
    TMPDIR=/tmp/chaos QT_QPA_PLATFORM=offscreen build/tests/test_chaos

Watches the newest link TMPDIR/test_chaos-*/kdr31; once the pseudo-terminal it names is gone,
starts simulators (same serial, a counter of their own) until one gets that number, holds it
for 8 s and ends. Gives up after two minutes.
"""
import glob
import os
import subprocess
import sys
import time

sim, tmp = sys.argv[1], sys.argv[2]


def start():
    p = subprocess.Popen([sim, "--interval", "5"], stdout=subprocess.PIPE, text=True)
    line = p.stdout.readline()
    return p, line.split()[-1] if line else ""


deadline = time.time() + 120
target = None
while time.time() < deadline:
    if target is None:
        try:
            links = glob.glob(os.path.join(tmp, "test_chaos-*", "kdr31"))
            newest = max(links, key=lambda link: os.lstat(link).st_mtime) if links else None
            target = os.readlink(newest) if newest else None
            if target:
                print("the chaos run's device:", target, flush=True)
        except OSError:
            target = None
    if target and not os.path.exists(target):
        held = []
        # Each new pseudo-terminal gets the lowest free number: hold the others until ours.
        for _ in range(100):
            p, path = start()
            if path == target:
                print("took", path, flush=True)
                for q in held:
                    q.kill()
                time.sleep(8)
                p.kill()
                sys.exit(0)
            held.append(p)
        for q in held:
            q.kill()
    time.sleep(0.01)
sys.exit(1)
