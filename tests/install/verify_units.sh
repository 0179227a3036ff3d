#!/usr/bin/env bash
# systemd-analyze verify on the servers' units as the build generated them,
# their programs taken from the build:  verify_units.sh UNIT_DIR PROGRAM_DIR
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/units-XXXXXX")
trap 'rm -rf "$work"' EXIT
for unit in "$1"/*.service; do
    sed -E "s|^ExecStart=[^ ]*/([^/ ]+) |ExecStart=$2/\1 |" "$unit" >"$work/$(basename "$unit")"
done
grep -h '^ExecStart=' "$work"/*.service
# Any complaint at all fails, not just an error status.
out=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$work"/*.service 2>&1) || {
    echo "$out"
    exit 1
}
[ -z "$out" ] || { echo "$out"; exit 1; }
