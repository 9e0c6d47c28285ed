#!/usr/bin/env bash
# The MQTT service unit's exposure by systemd's own measure, as an instance would be installed:
# printed, and at most 1.5. Skipped (exit 77) where systemd-analyze is missing or cannot run.
set -uo pipefail
unit=$1
limit=1.5
command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$unit" "$work/kdr31-mqtt@ttyUSB0.service"
cd "$work"
if ! report=$(systemd-analyze security --offline=true --no-pager kdr31-mqtt@ttyUSB0.service 2>&1); then
    # A refusal of the unit itself is a failure; a tool that cannot run here is not.
    if grep -q "Overall exposure" <<<"$report"; then
        echo "$report"
        exit 1
    fi
    echo "$report"
    echo "SKIP: systemd-analyze security cannot run here"
    exit 77
fi
grep '✗' <<<"$report"
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
[ -n "$exposure" ] || { echo "$report"; echo "FAIL: no exposure in the report"; exit 1; }
echo "exposure: $exposure (at most $limit)"
awk -v e="$exposure" -v l="$limit" 'BEGIN { exit !(e <= l) }' || { echo "FAIL: exposure above $limit"; exit 1; }
