#!/bin/sh
# tqrf-sim --card takes a card image in every format of the card image library, whichever
# parts the build has: each file of IMAGES_DIR starts a simulator, what a file does not know
# is said on stderr as the card holds it, and a file of a larger card is refused with the
# line at fault.
#
#   tqrf_sim_card_formats_test.sh TQRF_SIM IMAGES_DIR
set -eu
exe=$1
images=$2
dir=$(mktemp -d)
pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# FILE, then what stderr must hold ("" for nothing).
starts() {
    # New files each time: the parent must not see the last run's line before the child
    # truncates them.
    rm -f "$dir/out" "$dir/err"
    : >"$dir/out"
    "$exe" --card "$images/$1" >"$dir/out" 2>"$dir/err" &
    pid=$!
    i=0
    # Up to 30 s for the first line: a loaded machine may be slow to start the program.
    while [ ! -s "$dir/out" ] && [ $i -lt 600 ] && kill -0 "$pid" 2>/dev/null; do
        sleep 0.05
        i=$((i + 1))
    done
    path=$(head -n 1 "$dir/out")
    [ -c "$path" ] || fail "$1: first line '$path' is not a device: $(cat "$dir/err")"
    kill -TERM "$pid"
    wait "$pid" || fail "$1: exit status $? after SIGTERM"
    pid=""
    if [ -n "$2" ]; then
        grep -qF -- "$2" "$dir/err" || fail "$1: stderr lacks '$2': $(cat "$dir/err")"
    else
        [ ! -s "$dir/err" ] || fail "$1: stderr says $(cat "$dir/err")"
    fi
}

starts card.mfd ""
starts card.eml ""
starts card-pm3.json ""
starts card-mfcard.json ""
filled="card-v4.nfc: not in the file, the card holds sector 5: block 20, 21, 22; the access bits"
starts card-v4.nfc "$filled"
starts card-v2.nfc "card-v2.nfc: not in the file, the card holds sector 3: key B (FFFFFFFFFFFF)"
starts card.mct "card.mct: not in the file, the card holds sector 5: block 20"

"$exe" --card "$images/card4k.nfc" >/dev/null 2>"$dir/err" && fail "a 4K .nfc card accepted"
grep -qF "card4k.nfc line 7: a Mifare Classic 4K card" "$dir/err" ||
    fail "card4k.nfc refused with: $(cat "$dir/err")"
echo ok
