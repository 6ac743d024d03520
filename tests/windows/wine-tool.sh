#!/usr/bin/env bash
# End-to-end test of tqrf.exe, the command-line tool of the Windows bundles, under Wine against
# the reader simulator on a pseudo-terminal:
#   1. installs Wine and the cross compilers when missing (tests/windows/install-wine.sh);
#   2. cross-builds both architectures (packaging/windows/build.sh) and makes their bundles
#      (packaging/windows/bundle.sh); each bundle is unzipped into a folder of its own and its
#      bin\tqrf.exe is what runs: the program as a user gets it, with its DLL beside it;
#   3. per architecture that Wine can run here (i686 needs wine32:i386), against a fresh
#      simulator mapped to COMn in a cached Wine prefix:
#        --version; scan; info; write and read; dump -o in every image format that the tool
#        names (the list of its "--format takes ..." message), each checked for the block
#        written; an image replaced in place; restore --dry-run (writes nothing), restore;
#        value init/inc/dec/get; watch --json ended by Ctrl-C (SIGINT: Wine runs the console
#        control handler); the exit codes of a usage error, a refused key and a missing COM
#        port, with Windows' own messages; --simulate refused with exit 2.
#
#   tests/windows/wine-tool.sh
#
# Environment (all optional), besides those of wine-common.sh (TQRF_SIM, TQRF_BUILD_NATIVE,
# TQRF_BUILD_MINGW32, TQRF_BUILD_MINGW64, TQRF_WINEPREFIX):
#   TQRF_WINE_TOOL_COM     COM port number n (default 52): COMn is the reader, COMn+1 missing
#   TQRF_WINE_RUN_TIMEOUT  bound of one tqrf.exe run in seconds (default 120)
#   TQRF_WINE_ARCHS        architectures to run (default "i686 x86_64"; both are built)
#   TQRF_WINE_TOOL_LOGS    logs, bundles and image files (default build-wine-tool)
#
# Exit code 0 only when every check passed on every architecture Wine can run; an
# architecture left out is said so on stderr.
set -euo pipefail

WINE_SCRIPT=wine-tool
# shellcheck source-path=SCRIPTDIR source=wine-common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-common.sh"
PORT=${TQRF_WINE_TOOL_COM:-52}
MISSING_PORT=$((PORT + 1))
RUN_TIMEOUT=${TQRF_WINE_RUN_TIMEOUT:-120}
read -r -a ARCHS <<<"${TQRF_WINE_ARCHS:-i686 x86_64}"
LOGS=$(realpath -m "${TQRF_WINE_TOOL_LOGS:-$ROOT/build-wine-tool}")

# ---- 1. Packages --------------------------------------------------------------------------
# The wine stage of scripts/test-all.sh has run install-wine.sh already.
command -v wine >/dev/null 2>&1 || "$HERE/install-wine.sh"
select_wine_archs "${ARCHS[@]}"

# ---- 2. Builds and bundles (every architecture asked for, run or not) ----------------------
"$PACKAGING/build.sh" "${ARCHS[@]}"
builds=()
for arch in "${ARCHS[@]}"; do
    build=$(build_dir "$arch")
    [ -f "$build/tqrf.exe" ] ||
        die "$build/tqrf.exe was not built: its configure run says why (CLI11 or nlohmann-json missing?)"
    builds+=("$build")
done
rm -rf "$LOGS"
mkdir -p "$LOGS/dist" "$LOGS/unzipped"
"$PACKAGING/bundle.sh" "$LOGS/dist" "${builds[@]}"
for zip in "$LOGS"/dist/*.zip; do
    (cd "$LOGS/unzipped" && cmake -E tar xf "$zip")
done
VERSION=$(sed -n 's/^project(tq_RWD_DLL VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")

# ---- 3. The simulator and the Wine prefix -------------------------------------------------
find_sim
open_wine_prefix "$LOGS"

# ---- 4. The checks ------------------------------------------------------------------------
failures=0
checks=0
fail() {
    say "FAIL: $arch: $*"
    failures=$((failures + 1))
}

# tool NAME STATUS ARGS...: runs tqrf.exe with ARGS; true when it exits with STATUS. Its output
# (carriage returns removed) is in $out and $err.
tool() {
    local name=$1 want=$2 rc=0
    shift 2
    checks=$((checks + 1))
    out=$LOGS/$arch-$name.out
    err=$LOGS/$arch-$name.err
    timeout "$RUN_TIMEOUT" wine "$exe" "$@" >"$out.raw" 2>"$err.raw" </dev/null || rc=$?
    tr -d '\r' <"$out.raw" >"$out"
    tr -d '\r' <"$err.raw" >"$err"
    if [ "$rc" -ne "$want" ]; then
        fail "$name: tqrf $* exited with $rc, not $want"
        sed 's/^/    | /' "$out" "$err" >&2
        return 1
    fi
}
# has NAME FILE REGEX: the check fails unless a line of FILE matches the extended REGEX.
has() {
    grep -Eq -- "$3" "$2" || { fail "$1: no line matches /$3/ in $(basename "$2")"; sed 's/^/    | /' "$2" >&2; }
}
lacks() {
    if grep -Eq -- "$3" "$2"; then fail "$1: a line matches /$3/ in $(basename "$2")"; sed 's/^/    | /' "$2" >&2; fi
}
# The 16 bytes of HEX (32 digits) in a file of any format: as bytes, or as hex digits (any
# case, with or without blanks between them).
holds_block() {
    local file=$1 hex=$2
    od -An -v -tx1 "$file" | tr -d ' \n' | grep -qi -- "$hex" && return 0
    tr -d ' \t\r\n:' <"$file" | grep -qi -- "$hex"
}

UID_HEX=5A6B7C8D ID_HEX=0A0B0C0D
BLOCK_A=00112233445566778899AABBCCDDEEFF
BLOCK_B=F0E1D2C3B4A5968778695A4B3C2D1E0F

for arch in "${RUN_ARCHS[@]}"; do
    exe=$(find "$LOGS/unzipped" -path "*-windows-$arch/bin/tqrf.exe" -print -quit)
    [ -n "$exe" ] || die "the $arch bundle has no bin/tqrf.exe"
    files=$LOGS/$arch-files
    mkdir -p "$files"
    say "---- $arch: $exe"
    start_sim "$arch" "$PORT" --uid "$UID_HEX" --identity "$ID_HEX"
    P=(--port "COM$PORT")

    tool version 0 --version && has version "$out" "^tqrf $VERSION\$" &&
        has version "$out" "^library tq_RWD_DLL $VERSION\$"
    tool scan 0 "${P[@]}" scan && has scan "$out" "UID +$UID_HEX"
    tool scan-json 0 "${P[@]}" --json scan && has scan-json "$out" "\"uid\": *\"$UID_HEX\""
    tool info 0 "${P[@]}" info && has info "$out" "0x$ID_HEX" && has info "$out" "Link test +ok"
    # The ports Wine knows: its registry's SERIALCOMM holds COM1 from the prefix's start; the
    # simulator's port, given with --port, is probed as this reader.
    tool ports 0 ports && has ports "$out" "COM1"
    tool ports-json 0 ports --json && has ports-json "$out" '"COM1"'
    tool ports-probe 0 "${P[@]}" ports --probe && has ports-probe "$out" "COM$PORT.*reader"
    tool write 0 "${P[@]}" write 1 "$BLOCK_A"
    tool read 0 "${P[@]}" read 1 && has read "$out" "Block 1 +$BLOCK_A"

    # Every image format the tool names.
    if tool formats 2 "${P[@]}" dump -o "$(windows_path "$files/none")" --format no-such-format; then
        list=$(sed -n 's/.*--format takes \(.*\), not "no-such-format".*/\1/p' "$err" | head -n 1)
        read -r -a formats <<<"$(printf '%s' "$list" | sed -e 's/, / /g' -e 's/ or / /g')"
        if [ ${#formats[@]} -lt 2 ]; then
            fail "formats: no list of formats in: $(cat "$err")"
            formats=(mfd)
        fi
        say "$arch: image formats: ${formats[*]}"
    fi
    for format in "${formats[@]}"; do
        image=$files/card-$format.image
        if tool "dump-$format" 0 "${P[@]}" dump -o "$(windows_path "$image")" --format "$format"; then
            if [ ! -s "$image" ]; then
                fail "dump-$format: no image written"
            elif ! holds_block "$image" "$BLOCK_A"; then
                fail "dump-$format: the image lacks block 1 ($BLOCK_A)"
            fi
            tool "restore-dry-$format" 0 "${P[@]}" restore --dry-run --format "$format" \
                "$(windows_path "$image")"
        fi
    done
    # No temporary file is left beside the images.
    leftovers=$(find "$files" -name '.*tmp*' | head -n 3)
    [ -z "$leftovers" ] || fail "temporary files left: $leftovers"

    # An existing image replaced in place; restore writes the card back.
    mfd=$files/card.mfd
    tool dump-mfd 0 "${P[@]}" dump -o "$(windows_path "$mfd")"
    tool write-b 0 "${P[@]}" write 1 "$BLOCK_B"
    tool dump-again 0 "${P[@]}" dump -o "$(windows_path "$files/card-b.mfd")"
    cp "$files/card-b.mfd" "$files/replaced.mfd"
    tool dump-replace 0 "${P[@]}" dump -o "$(windows_path "$files/replaced.mfd")"
    holds_block "$files/replaced.mfd" "$BLOCK_B" || fail "dump-replace: the replaced image lacks block B"
    tool restore-dry 0 "${P[@]}" restore --dry-run "$(windows_path "$mfd")" &&
        has restore-dry "$out" "(^|[^0-9])1([^0-9]|$)"
    tool read-after-dry 0 "${P[@]}" read 1 && has read-after-dry "$out" "Block 1 +$BLOCK_B"
    tool restore 0 "${P[@]}" restore "$(windows_path "$mfd")"
    tool read-restored 0 "${P[@]}" read 1 && has read-restored "$out" "Block 1 +$BLOCK_A"

    tool value-init 0 "${P[@]}" value init 5 100
    tool value-inc 0 "${P[@]}" value inc 5 25
    tool value-dec 0 "${P[@]}" value dec 5 3
    tool value-get 0 "${P[@]}" value get 5 && has value-get "$out" "value 122\$"
    tool value-json 0 "${P[@]}" --json value get 5 && has value-json "$out" "\"value\": *122"

    # Exit codes and messages.
    tool bad-block 2 "${P[@]}" read 64 && has bad-block "$err" "BLOCK"
    tool wrong-key 1 "${P[@]}" read 1 --key 010203040506 --no-default-keys
    tool missing-port 1 --port "COM$MISSING_PORT" info &&
        has missing-port "$err" "cannot open COM$MISSING_PORT \(\\\\\\\\\.\\\\COM$MISSING_PORT\): the device is missing" &&
        has missing-port "$err" "Device Manager"
    # A missing input file: Windows' own text (FormatMessage), not a C library's.
    tool missing-file 2 "${P[@]}" restore "$(windows_path "$files/no-such.mfd")" &&
        has missing-file "$err" "cannot read image .*no-such\.mfd: [A-Z]" &&
        lacks missing-file "$err" "No such file or directory|Unknown error"
    tool missing-folder 2 "${P[@]}" dump -o "$(windows_path "$files/no-such-folder/x.mfd")" &&
        has missing-folder "$err" "does not exist"
    tool simulate 2 --simulate info && has simulate "$err" "not available on Windows"

    # watch --json until Ctrl-C: Wine turns SIGINT into the console's Ctrl-C event.
    checks=$((checks + 1))
    out=$LOGS/$arch-watch.out
    err=$LOGS/$arch-watch.err
    # Wine's console trace shows whether a handler of the program took the event: without
    # one, Wine's default handler ends the process (with exit status 0 all the same).
    WINEDEBUG=+console timeout "$RUN_TIMEOUT" wine "$exe" "${P[@]}" --json watch --interval 50 \
        >"$out" 2>"$err" </dev/null &
    watcher=$!
    for _ in $(seq 1 "$((RUN_TIMEOUT * 10))"); do
        grep -q '"event"' "$out" 2>/dev/null && break
        kill -0 "$watcher" 2>/dev/null || break
        sleep 0.1
    done
    # timeout passes SIGINT on to wine, whose process is the tool's.
    kill -INT "$watcher" 2>/dev/null || true
    rc=0
    wait "$watcher" || rc=$?
    tr -d '\r' <"$out" >"$out.txt"
    if [ $rc -ne 0 ]; then
        fail "watch: ended by Ctrl-C with exit $rc, not 0"
        sed 's/^/    | /' "$out.txt" "$err" >&2
    else
        has watch "$out.txt" "^\{.*\"event\": *\"arrived\".*\"uid\": *\"$UID_HEX\".*\}\$"
        lacks watch "$out.txt" "^[^{]"
        has watch-ctrl-c "$err" "SetConsoleCtrlHandler"
        lacks watch-ctrl-c "$err" "default_ctrl_handler"
    fi
    stop_sims
done

if [ $failures -ne 0 ]; then
    die "$failures of $checks checks of tqrf.exe under Wine failed (${RUN_ARCHS[*]}; logs in $LOGS)"
fi
say "PASS: $checks checks of tqrf.exe from the unzipped bundles under Wine (${RUN_ARCHS[*]})"
