#!/usr/bin/env bash
# One program per port, with kdr31-cli as a process against the simulator.
#
#   port_claim.sh plain   CLI SIM UNIT   a poller holds the port; a second program is refused
#   port_claim.sh sandbox CLI SIM UNIT   the same the way the service runs: unprivileged users,
#                                        /run/lock read-only, a private /tmp; lock files left
#                                        in /run/lock by killed programs; and a firmware
#                                        upgrade through the poller (the test FTP server)
#
# The sandbox needs root (to build mount namespaces with unshare and to change users with
# setpriv); where that is not permitted it is skipped (exit 77).
set -uo pipefail
mode=$1 cli=$2 sim=$3 unit=$4
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Not in the build folder: the unprivileged users must reach the port's link and the program, and
# a build folder may sit where they cannot (root's home, mode 0700). Not in /tmp either, which the
# sandbox replaces by one of its own.
work=$(mktemp -d /var/tmp/kdr31-port-claim.XXXXXX) || { echo "FAIL: no folder in /var/tmp"; exit 1; }
chmod 755 "$work"
devlink=/dev/kdr31-port-claim-$$
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -f /run/lock/LCK..*"${work//\//_}"* "/run/lock/LCK..${devlink#/dev/}" "$devlink" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

if [ "$mode" = sandbox ]; then
    if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null ||
        ! unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null; then
        echo "SKIP: the sandbox needs root, mount namespaces (unshare -m) and setpriv"
        exit 77
    fi
    [ -d /run/lock ] || { echo "SKIP: no /run/lock here"; exit 77; }
fi

port=$work/port
"$sim" --link "$port" >"$work/sim.out" 2>&1 &
sim_pid=$!
pids+=($sim_pid)
for _ in $(seq 50); do [ -L "$port" ] && break; sleep 0.1; done
[ -L "$port" ] || { cat "$work/sim.out"; echo "FAIL: the simulator did not start"; exit 1; }
# The unprivileged users must be able to open the pseudo-terminal, as the service's group can.
chmod 666 "$(readlink "$port")"

if [ "$mode" = sandbox ]; then
    cp "$cli" "$work/kdr31-cli" && cli=$work/kdr31-cli
    if ! setpriv --reuid nobody --regid nogroup --clear-groups "$cli" --version >/dev/null 2>&1; then
        echo "SKIP: nobody cannot run a program from $work (a file system mounted noexec?)"
        exit 77
    fi
fi

# Runs a command the way the service runs: as the unprivileged user $1, with a /tmp of its own
# and /run/lock as $0 says: "ro" read-only, "private" a fresh one of its own (the unit's),
# "system" the system's (sticky and writable to all). Every step execs the next, so the program
# keeps the pid the shell started.
sandboxed=(unshare -m --propagation private sh -c '
    set -e
    locks=$0 user=$1
    shift
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    case $locks in
    private) mount -t tmpfs -o mode=755 tmpfs /run/lock ;;
    ro) mount --bind /run/lock /run/lock; mount -o remount,bind,ro /run/lock ;;
    esac
    exec setpriv --reuid "$user" --regid "$(id -g "$user")" --clear-groups --inh-caps=-all \
        env HOME=/nonexistent "$@"')

# Starts a poller (plain or sandboxed) and waits for its first reading.
start_poller() {
    local out=$1
    shift
    "$@" poll --port "$port" >"$out" 2>&1 &
    poller=$!
    pids+=($poller)
    for _ in $(seq 100); do
        kill -0 "$poller" 2>/dev/null || break
        grep -q ' Wh ' "$out" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "the poller took no reading: $(cat "$out")"
    return 1
}

# A second program is refused, and the refusal names the holder.
expect_refused() {
    local what=$1 holder=$2
    shift 2
    local out
    out=$("$@" info --port "$port" 2>&1)
    local rc=$?
    if [ $rc = 0 ]; then
        fail "$what: a second program opened the held port: $out"
    elif ! grep -qF "another program holds the port: $holder" <<<"$out"; then
        fail "$what: the refusal does not name $holder: $out"
    else
        echo "ok: $what: $out"
    fi
}

if [ "$mode" = plain ]; then
    # A program that takes no claim but has the port open, under a lock file of its own (this
    # shell), is named from its open files.
    exec 7<"$port"
    if [ -w /var/lock ]; then
        printf '%s\nbash\n%s\n' $$ "$(uname -n)" >"/var/lock/LCK..${port//\//_}"
        expect_refused "open without a claim" "bash (pid $$)" "$cli"
        rm -f "/var/lock/LCK..${port//\//_}"
    else
        echo "not checked where /var/lock cannot be written: a holder without a claim"
    fi
    exec 7<&-
    # The kernel's claim is exclusive: even a shared lock, as a program that only reads the port
    # alongside would take, is refused while the poller holds it. (Through a descriptor opened
    # before the poller's TIOCEXCL, which would refuse the open itself.)
    exec 7<"$port"
    start_poller "$work/poll.out" "$cli"
    if flock -n -s 7; then fail "a shared lock was granted on the held port"; fi
    exec 7<&-
    expect_refused "held port" "kdr31-cli (pid $poller)" "$cli"
    # Released by its end, even a killed one's: the next program opens the port. (A killed
    # program's TIOCEXCL stays on a pseudo-terminal while the master lives; the simulator
    # clears it as a real port's last close does, which takes root.)
    kill -9 "$poller"
    wait "$poller" 2>/dev/null
    if [ "$(id -u)" = 0 ]; then
        out=$("$cli" info --port "$port" 2>&1) || fail "the port stayed held after the poller died: $out"
    else
        echo "not checked without root: the port's release after a killed poller"
    fi
    exit $((failures > 0))
fi

# The unit gives the service a lock directory of its own over /run/lock; the sandbox below
# does what that line does, so it must be there.
grep -qx 'TemporaryFileSystem=/run/lock' "$unit" ||
    fail "the unit does not give the service a private /run/lock"

# Two pollers in sandboxes of their own: each has its own /tmp, so Qt's lock files never meet.
# Another user may not see the holder's open files: the holder is named from the kernel's locks.
start_poller "$work/poll1.out" "${sandboxed[@]}" ro nobody "$cli"
expect_refused "sandboxed, /run/lock read-only" "kdr31-cli (pid $poller)" "${sandboxed[@]}" ro nobody "$cli"
expect_refused "sandboxed, as another user" "kdr31-cli (pid $poller)" "${sandboxed[@]}" ro daemon "$cli"
expect_refused "outside the sandbox" "kdr31-cli (pid $poller)" "$cli"
first=$poller

# A poller killed where /run/lock is writable leaves its lock file there, root's.
kill -9 "$first"
wait "$first" 2>/dev/null
start_poller "$work/poll2.out" "$cli"
kill -9 "$poller"
wait "$poller" 2>/dev/null
stale=$(ls /run/lock/LCK..*"${work//\//_}"* 2>/dev/null | head -1)
[ -n "$stale" ] || fail "the killed poller left no lock file in /run/lock"

# Another user can remove that file neither from a read-only /run/lock nor from the sticky one;
# its program is gone, so the port opens anyway, and the file stays.
for locks in ro system; do
    out=$("${sandboxed[@]}" $locks nobody "$cli" info --port "$port" 2>&1) ||
        fail "a stale lock file of another user kept the port (/run/lock $locks): $out"
done
[ -z "$stale" ] || [ -e "$stale" ] || fail "the stale lock file was removed"

# The same for a port under /dev, whose lock file is named without "/dev/".
ln -s "$(readlink "$port")" "$devlink" || fail "cannot make $devlink"
devlock=/run/lock/LCK..${devlink#/dev/}
sh -c 'exit 0' &
gone=$!
wait $gone
printf '%s\nkdr31-cli\n%s\n' $gone "$(uname -n)" >"$devlock"
out=$("${sandboxed[@]}" ro nobody "$cli" info --port "$devlink" 2>&1) ||
    fail "a stale lock file kept $devlink: $out"
# A lock file whose process still runs (the simulator, another user's here) is not stale: the
# port stays refused, and the refusal tells how to remove the file.
printf '%s\nkdr31-sim\n%s\n' $sim_pid "$(uname -n)" >"$devlock"
out=$("${sandboxed[@]}" ro nobody "$cli" info --port "$devlink" 2>&1) &&
    fail "opened past the lock file of a running process: $out"
grep -qF "the lock file $devlock is left by a program that ended" <<<"$out" &&
    grep -qF "remove it with: sudo rm $devlock" <<<"$out" ||
    fail "the refusal does not say how to remove $devlock: $out"
rm -f "$devlock" "$devlink"

# With the unit's lock directory the stale file is out of the way; the port is still the
# service's alone.
start_poller "$work/poll3.out" "${sandboxed[@]}" private nobody "$cli"
expect_refused "after a stale lock file, sandboxed" "kdr31-cli (pid $poller)" "${sandboxed[@]}" ro nobody "$cli"
expect_refused "after a stale lock file, outside" "kdr31-cli (pid $poller)" "$cli"
kill "$poller"
wait "$poller" 2>/dev/null

# A firmware upgrade through the service, sandboxed as nobody: the port is closed and opened again
# around the device's reboot under the claim the poller keeps, and another user's program that
# takes no claim is refused all the while; the poller's own reopen is not.
src=$(cd "$(dirname "$0")/.." && pwd)
constant() { sed -n "s/.*$1\[\] = \"\(.*\)\";.*/\1/p" "$src/firmware/Inet.h"; }
mkdir "$work/served" "$work/cache"
chown nobody "$work/cache"
/usr/bin/python3 - "$work/served" <<'PY'
import os, sys
listing = bytearray(92)
listing[40:44] = bytes([1, 2, 4, 0])
open(os.path.join(sys.argv[1], "TAMO_UPGlist.bin"), "wb").write(listing)
lines = []
for offset in range(0, 512, 16):
    record = bytes([16, offset >> 8, offset & 0xFF, 0]) + bytes(range(offset % 256, offset % 256 + 16))
    lines.append(":" + (record + bytes([-sum(record) & 0xFF])).hex().upper())
open(os.path.join(sys.argv[1], "KDR31v2.hex"), "w").write("\n".join(lines + [":00000001FF"]) + "\n")
PY
coproc ftp { /usr/bin/python3 "$src/tests/support/ftp_server.py" --root "$work/served" \
    --user "$(constant kFirmwareAccount)" --password "$(constant kFirmwarePassword)"; }
pids+=($ftp_PID)
read -r _ ftp_port <&"${ftp[0]}"
token=kdr31-port-claim-token-0123456789
echo "$token" >"$work/token"
chown nobody "$work/token" && chmod 600 "$work/token"
http_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${sandboxed[@]}" private nobody env XDG_CACHE_HOME="$work/cache" \
    KDR31_FIRMWARE_SERVER="127.0.0.1:$ftp_port" "$cli" poll --port "$port" --no-db \
    --http "127.0.0.1:$http_port" --http-allow-upgrade --http-token-file "$work/token" \
    >"$work/poll4.out" 2>&1 &
poller=$!
pids+=($poller)
firmware() { /usr/bin/python3 - "$http_port" "$@" <<'PY'
import json, sys, time, urllib.request
port, want = sys.argv[1], sys.argv[2]
for _ in range(300):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%s/api/v1/firmware" % port, timeout=2) as r:
            state = json.load(r)
        if want == "listed" and state["listed"]:
            sys.exit(0)
        if want == "done" and state["upgrade"] and not state["upgrade"]["running"]:
            sys.exit(0 if state["upgrade"]["outcome"] == "done" else 1)
    except OSError:
        pass
    time.sleep(0.1)
sys.exit(1)
PY
}
if ! firmware listed; then
    fail "the sandboxed poller did not check the firmware: $(cat "$work/poll4.out")"
else
    /usr/bin/python3 -c 'import sys, urllib.request; urllib.request.urlopen(urllib.request.Request(
        "http://127.0.0.1:%s/api/v1/firmware/upgrade" % sys.argv[1], method="POST",
        headers={"Authorization": "Bearer " + sys.argv[2]}), timeout=90)' "$http_port" "$token" ||
        fail "the upgrade was not started: $(cat "$work/poll4.out")"
    # Another user's program that takes no claim tries to open the device every 0.2 ms, until
    # the upgrade has ended: TIOCEXCL alone must refuse it throughout, the reboot's close and
    # open of the port included.
    setpriv --reuid daemon --regid daemon --clear-groups /usr/bin/python3 -c '
import os, signal, sys, time
opened = 0
def end(*_):
    print(opened)
    sys.exit(0)
signal.signal(signal.SIGTERM, end)
while True:
    try:
        os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        opened += 1
    except OSError:
        pass
    time.sleep(0.0002)
' "$(readlink "$port")" >"$work/opened" &
    opener=$!
    pids+=($opener)
    while kill -0 "$poller" 2>/dev/null &&
        ! grep -q "firmware upgrade done\|upgrade ended\|was sent, but" "$work/poll4.out"; do
        sleep 0.1
    done
    kill "$opener"
    wait "$opener" 2>/dev/null
    opened=$(cat "$work/opened")
    [ "$opened" = 0 ] || fail "another user's program opened the port ${opened:-an unknown number of} times during the upgrade"
    firmware done || fail "the upgrade through the sandboxed poller failed: $(cat "$work/poll4.out")"
    grep -q "firmware upgrade done: KDR31 FW V1.2.4.0" "$work/poll4.out" && [ "$opened" = 0 ] &&
        echo "ok: upgraded as nobody, the port never free"
fi
kill "$poller"
wait "$poller" 2>/dev/null

exit $((failures > 0))
