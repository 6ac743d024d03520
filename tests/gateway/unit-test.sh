#!/usr/bin/env bash
# The systemd unit passes `systemd-analyze verify` with nothing to say: a copy of it whose
# ExecStart runs BINARY (verify wants the program to exist), its Documentation= man page looked
# up in MANDIR. Any line verify prints (an unknown key, a bad value, a missing man page) fails.
#
#   tests/gateway/unit-test.sh UNIT BINARY MANDIR
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 UNIT BINARY MANDIR" >&2; exit 2; }
UNIT=$1
BINARY=$2
MANDIR=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy="$work/$(basename "$UNIT")"
sed "s|^ExecStart=/usr/bin/tqrf-gateway |ExecStart=$BINARY |" "$UNIT" >"$copy"
if ! grep -q "^ExecStart=$BINARY --config /etc/tqrf/gateway.toml\$" "$copy"; then
    echo "FAIL  the unit's ExecStart is not /usr/bin/tqrf-gateway --config /etc/tqrf/gateway.toml:"
    grep '^ExecStart' "$UNIT"
    exit 1
fi
rc=0
out=$(MANPATH="$MANDIR" SYSTEMD_LOG_COLOR=0 systemd-analyze verify "$copy" 2>&1) || rc=$?
if [ "$rc" -ne 0 ] || [ -n "$out" ]; then
    echo "FAIL  systemd-analyze verify (status $rc):"
    echo "$out"
    exit 1
fi
echo "ok    systemd-analyze verify $(basename "$UNIT")"
