#!/bin/sh
# A session recorded with `tqrf --trace` against tqrf-sim, replayed by `tqrf-sim --replay`: the
# same session gives the same output and the same dump file, from the recorded replies (the
# replaying simulator holds another card); a changed session ends the replay at the line of the
# first request that differs. Random faults: the same seed gives the same faults.
set -eu
sim=$1
tool=$2
dir=$(mktemp -d)
pids=""
cleanup() {
    for p in $pids; do kill -TERM "$p" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Starts the simulator with the given options on $dir/$name; leaves its pid in $pid.
start_sim() {
    name=$1
    shift
    "$sim" --link "$dir/$name" "$@" >"$dir/$name.out" 2>"$dir/$name.err" &
    pid=$!
    pids="$pids $pid"
    i=0
    while [ ! -s "$dir/$name.out" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done
    [ -L "$dir/$name" ] || fail "simulator $name did not start: $(cat "$dir/$name.err")"
}
# Waits for the simulator $1 to end (after a TERM when $2 is "term"); its status in $status.
end_sim() {
    [ "${2:-}" = term ] && kill -TERM "$1"
    status=0
    wait "$1" || status=$?
}

# Record: a card with its own UID and data, read by the tool.
head -c 1024 /dev/zero | tr '\000' '\042' >"$dir/card.bin"
printf '\001\002\003\004\004\010\004\000' | dd of="$dir/card.bin" conv=notrunc 2>/dev/null
for s in 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do
    printf '\377\377\377\377\377\377\377\007\200\151\377\377\377\377\377\377' |
        dd of="$dir/card.bin" bs=16 seek=$((s * 4 + 3)) conv=notrunc 2>/dev/null
done
start_sim rec --card "$dir/card.bin"
"$tool" --port "$dir/rec" --trace dump -o "$dir/a.json" >"$dir/a.txt" 2>"$dir/trace.txt" ||
    fail "recording dump failed: $(tail -3 "$dir/trace.txt")"
"$tool" --port "$dir/rec" --trace read 5 >"$dir/read.txt" 2>"$dir/read-trace.txt" ||
    fail "recording read failed"
end_sim "$pid" term
grep -q '^trace .*> 00 0A BB 61 60 00 \*\* \*\* \*\* \*\* \*\* \*\* \*\*  (frame' "$dir/trace.txt" ||
    fail "no hidden load-key frame in the recorded trace"

# Replay the same session on a simulator holding the default card: the same output, the same
# dump file, and the program ends well once the session is over.
start_sim play --replay "$dir/trace.txt"
"$tool" --port "$dir/play" dump -o "$dir/b.json" >"$dir/b.txt" 2>"$dir/b.err" ||
    fail "replayed dump failed: $(cat "$dir/b.err")"
end_sim "$pid" term
[ "$status" -eq 0 ] || fail "replay of the whole session: status $status: $(cat "$dir/play.err")"
sed "s|$dir/a.json|OUT|" "$dir/a.txt" >"$dir/a.cmp"
sed "s|$dir/b.json|OUT|" "$dir/b.txt" >"$dir/b.cmp"
cmp -s "$dir/a.cmp" "$dir/b.cmp" || fail "replayed dump printed something else"
cmp -s "$dir/a.json" "$dir/b.json" || fail "replayed dump file differs"
grep -q 01020304 "$dir/b.txt" || fail "the replayed dump does not show the recorded card"

# Another block read than the recorded one: the replay names the line of the recorded read.
start_sim read --replay "$dir/read-trace.txt"
"$tool" --port "$dir/read" read 6 >/dev/null 2>&1 && fail "read of another block succeeded"
end_sim "$pid"
[ "$status" -eq 1 ] || fail "changed session: status $status, not 1"
line=$(grep -n '> 00 04 BB 45 05 00 FF  (frame' "$dir/read-trace.txt" | cut -d: -f1)
[ -n "$line" ] || fail "no read of block 5 in the recorded trace"
grep -q "line $line: the request differs" "$dir/read.err" ||
    fail "the replay does not name line $line: $(cat "$dir/read.err")"
grep -q "recorded: 00 04 BB 45 05 00 FF" "$dir/read.err" || fail "recorded frame not shown"
grep -q "received: 00 04 BB 45 06 00 FC" "$dir/read.err" || fail "received frame not shown"
[ ! -e "$dir/read" ] || fail "symlink left behind after the replay ended"

# A session cut short: stopped with requests left, the replay says where and fails.
start_sim short --replay "$dir/trace.txt"
"$tool" --port "$dir/short" scan --all >/dev/null 2>&1 || fail "scan failed on the replay"
end_sim "$pid" term
[ "$status" -eq 1 ] || fail "unfinished replay: status $status, not 1"
grep -q "stopped after 1 of" "$dir/short.err" || fail "unfinished replay: $(cat "$dir/short.err")"

# Random faults: the same seed, the same faults; without --seed the seed used is printed.
for run in 1 2; do
    start_sim "seed$run" --fault noreply%20 --seed 42 --latency 0
    "$tool" --port "$dir/seed$run" --trace dump >/dev/null 2>"$dir/seed$run.trace" || true
    end_sim "$pid" term
    grep -c '(nothing)' "$dir/seed$run.trace" >"$dir/seed$run.count" || true
done
[ "$(cat "$dir/seed1.count")" -gt 0 ] || fail "noreply%20 lost no reply"
sed 's/^trace *[0-9.]*//' "$dir/seed1.trace" >"$dir/seed1.cmp"
sed 's/^trace *[0-9.]*//' "$dir/seed2.trace" >"$dir/seed2.cmp"
cmp -s "$dir/seed1.cmp" "$dir/seed2.cmp" || fail "the same seed gave other faults"
start_sim noseed --fault corrupt-xor%1
end_sim "$pid" term
grep -q "random faults with seed [0-9]" "$dir/noseed.err" || fail "the seed used is not printed"
echo ok
