#!/bin/sh
# tqrf-sim as a program: first line is the device, --link makes and removes the symlink,
# SIGTERM ends it cleanly, bad options and bad card images are refused.
set -eu
exe=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

"$exe" --bogus >/dev/null 2>&1 && fail "unknown option accepted"
head -c 1000 /dev/zero >"$dir/short.bin"
"$exe" --card "$dir/short.bin" >/dev/null 2>&1 && fail "1000-byte card image accepted"
"$exe" --fault nonsense >/dev/null 2>&1 && fail "bad fault accepted"
"$exe" --timing mf4k >/dev/null 2>&1 && fail "unknown timing profile accepted"
"$exe" --timing >/dev/null 2>&1 && fail "--timing without a profile accepted"
"$exe" --help | grep -q -- "--timing" || fail "--help does not list --timing"
"$exe" --adapter ftdi:0 >/dev/null 2>&1 && fail "latency timer 0 accepted"
"$exe" --adapter serial >/dev/null 2>&1 && fail "unknown adapter accepted"
"$exe" --help | grep -q -- "--adapter" || fail "--help does not list --adapter"
"$exe" --help | grep -q -- "--link" || fail "--help does not list --link"

# A card 0A0B0C0D whose sector 0 was read (the others are zeros: not read).
{
    printf '\012\013\014\015\000\010\004\000\142\143\144\145\146\147\150\151'
    head -c 32 /dev/zero
    printf '\377\377\377\377\377\377\377\007\200\151\377\377\377\377\377\377'
    head -c 960 /dev/zero
} >"$dir/card.bin"
"$exe" --link "$dir/reader" --card "$dir/card.bin" --uid 01020304 --latency 2 \
    --pace --timing mf1k --adapter ftdi:1 --fault noreply@0x45/1 >"$dir/out" 2>"$dir/err" &
pid=$!
i=0
# Up to 30 s for the first line: a loaded machine may be slow to start the program.
while [ ! -s "$dir/out" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done
path=$(head -n 1 "$dir/out")
[ -c "$path" ] || fail "first line '$path' is not a character device"
[ "$(readlink "$dir/reader")" = "$path" ] || fail "--link does not point at $path"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
[ ! -e "$dir/reader" ] && [ ! -L "$dir/reader" ] || fail "symlink left behind"
echo ok
