#!/usr/bin/env bash
# Serves a firmware upgrade for the simulated KDR31: an FTP server on 127.0.0.1 with the tool's
# firmware account, holding an upgrade list that names VERSION (default 1.2.4.0) and an Intel HEX
# image of 8,000 bytes (63 blocks). Runs until Ctrl+C; start the tool with the line it prints.
#
#   scripts/demo-upgrade-server.sh [VERSION]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=${1:-1.2.4.0}
"$root/scripts/install-deps.sh"

# The account the tool logs in with.
constant() { sed -n "s/.*$1\[\] = \"\(.*\)\";.*/\1/p" "$root/firmware/Inet.h"; }
account=$(constant kFirmwareAccount)
password=$(constant kFirmwarePassword)

dir=$(mktemp -d "${TMPDIR:-/tmp}/kdr31-firmware.XXXXXX")
trap 'rm -rf "$dir"' EXIT

/usr/bin/python3 - "$dir" "$version" <<'PY'
import os
import sys

directory, version = sys.argv[1], sys.argv[2]
parts = [int(p) for p in version.split(".")]
if len(parts) != 4 or not all(0 <= p <= 255 for p in parts):
    sys.exit("VERSION must be four numbers 0-255, as 1.2.4.0")

upgrade_list = bytearray(92)
upgrade_list[40:44] = bytes(parts)
with open(os.path.join(directory, "TAMO_UPGlist.bin"), "wb") as f:
    f.write(upgrade_list)

image = bytes((i * 31 + i // 251) & 0xFF for i in range(8000))
lines = []
for offset in range(0, len(image), 16):
    data = image[offset:offset + 16]
    record = bytes([len(data), offset >> 8, offset & 0xFF, 0]) + data
    record += bytes([-sum(record) & 0xFF])
    lines.append(":" + record.hex().upper())
lines.append(":00000001FF")
with open(os.path.join(directory, "KDR31v2.hex"), "w", newline="") as f:
    f.write("\r\n".join(lines) + "\r\n")
PY

# The server stops when its standard input closes, that is when this script ends.
coproc server { /usr/bin/python3 "$root/tests/support/ftp_server.py" --root "$dir" \
                  --user "$account" --password "$password"; }
read -r word port <&"${server[0]}"
[ "$word" = PORT ] || { echo "the FTP server did not start" >&2; exit 1; }

cat <<TXT
Firmware server on 127.0.0.1:$port offering KDR31 firmware V$version (the simulator runs 1.2.3.4).
In another terminal start the tool with the simulator on COM1: and this server:

    KDR31_FIRMWARE_SERVER=127.0.0.1:$port scripts/demo.sh

Select COM1:, press "Open", then "Upgrade". Ctrl+C here stops the server.
TXT
wait "$server_PID"
