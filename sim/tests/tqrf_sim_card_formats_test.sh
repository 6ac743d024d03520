#!/bin/sh
# tqrf-sim --card takes a card image in every format of the card image library, whichever
# parts the build has: each file of IMAGES_DIR starts a simulator, what a file does not know
# is said on stderr as the card holds it, and a file of a larger card is refused with the
# line at fault. The same partial card (CARDS_DIR) in Proxmark3 JSON, .nfc, .mct and .eml
# gets the same notices, a sector a line, whether the format marks what was not read or leaves
# it as zeros; an image without a UID (a dump that failed) is refused with exit 2.
#
#   tqrf_sim_card_formats_test.sh TQRF_SIM IMAGES_DIR CARDS_DIR
set -eu
exe=$1
images=$2
cards=$3
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

# The partial card: sectors 2 to 15 not read, each said once, in every format alike.
full=$images
images=$cards
for f in partial-pm3.json partial.eml partial.mct partial.nfc; do
    starts "$f" "$f: not in the file, the card holds sector 15: block 60, 61, 62"
    sed "s|^tqrf-sim: [^:]*: ||" "$dir/err" >"$dir/notices.$f"
    [ "$(wc -l <"$dir/notices.$f")" -eq 14 ] || fail "$f: 14 notices expected: $(cat "$dir/err")"
    cmp -s "$dir/notices.$f" "$dir/notices.partial-pm3.json" ||
        fail "$f: notices differ from the Proxmark3 file's: $(cat "$dir/err")"
done
grep -qxF "not in the file, the card holds sector 2: block 8, 9, 10; the access bits (transport: FF0780); key A (FFFFFFFFFFFF); key B (FFFFFFFFFFFF)" \
    "$dir/notices.partial.eml" || fail "sector 2's notice: $(cat "$dir/notices.partial.eml")"
images=$full

# A dump that failed: no UID, nothing read.
head -c 1024 /dev/zero >"$dir/failed.mfd"
status=0
"$exe" --card "$dir/failed.mfd" >"$dir/out" 2>"$dir/err" || status=$?
[ "$status" -eq 2 ] || fail "an image of zeros: exit status $status, 2 expected"
grep -qF "failed.mfd holds no UID and no block that was read" "$dir/err" ||
    fail "an image of zeros refused with: $(cat "$dir/err")"
[ ! -s "$dir/out" ] || fail "an image of zeros: a device was served: $(cat "$dir/out")"

"$exe" --card "$images/card4k.nfc" >/dev/null 2>"$dir/err" && fail "a 4K .nfc card accepted"
grep -qF "card4k.nfc line 7: a Mifare Classic 4K card" "$dir/err" ||
    fail "card4k.nfc refused with: $(cat "$dir/err")"
echo ok
