#!/usr/bin/env bash
# End-to-end test of the Windows DLLs under Wine, against the reader simulator on a
# pseudo-terminal, for i686 and x86_64:
#   1. installs Wine (wine, wine64, wine32:i386) and the cross compilers when missing
#      (tests/windows/install-wine.sh);
#   2. cross-builds the DLLs and the host program (packaging/windows/build.sh, incremental) and
#      checks their export and import tables (packaging/windows/check-exports.sh);
#   3. builds the native simulator tqrf-sim unless $TQRF_SIM names one;
#   4. per architecture, four runs of the host program under Wine (section 5): the legacy
#      exports through tqrf_init("COMn"), in fixed reply mode and under TQRF_REPLY=complete,
#      two readers opened with tqrf_reader_open() on two COM names driven from two threads at
#      once, all three with the serial trace on, and a reader whose device goes away. Each run gets fresh simulators, each mapped to a COM
#      name of a cached Wine prefix (a dosdevices symlink to its pseudo-terminal), and is
#      checked for its steps' results and the parity order on every line. The legacy runs'
#      simulator answers five requests badly once each (no reply, bad XOR, too late, too long,
#      truncated); the host's fault steps expect exactly that.
#   5. per architecture, the first C++ program of docs/api.md built against the Windows bundle
#      with MinGW's C++ runtime linked dynamically, its runtime DLLs beside it
#      (tests/windows/cxx-example.sh), run under Wine against a simulator.
#
#   tests/windows/wine-e2e.sh
#
# Environment (all optional), besides those of wine-common.sh (TQRF_SIM, TQRF_BUILD_NATIVE,
# TQRF_BUILD_MINGW32, TQRF_BUILD_MINGW64, TQRF_WINEPREFIX):
#   TQRF_WINE_COM       COM port number n to map (default 42): COMn is the reader of the legacy
#                       runs and the first reader, COMn+1 stays missing, COMn+2 is the second
#                       reader
#   TQRF_WINE_RUN_TIMEOUT  bound of one host program run in seconds (default 180)
#   TQRF_WINE_ARCHS     architectures to run (default "i686 x86_64")
#   TQRF_WINE_LOGS      where logs and traces are kept (default build-wine-e2e)
#   TQRF_E2PROM_ADDRESS E2PROM address for the host's write/read-back step (default 0x30)
#
# Exit code 0 only when everything passed. When Wine cannot run a program at all the script
# says so in a banner and fails: it never passes by skipping.
set -euo pipefail

WINE_SCRIPT=wine-e2e
# shellcheck source-path=SCRIPTDIR source=wine-common.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-common.sh"
PORT=${TQRF_WINE_COM:-42}
MISSING_PORT=$((PORT + 1))
PORT_B=$((PORT + 2))
# Bound of one host program run under Wine (the longest, the two readers, takes seconds).
RUN_TIMEOUT=${TQRF_WINE_RUN_TIMEOUT:-180}
LOGS=$(realpath -m "${TQRF_WINE_LOGS:-$ROOT/build-wine-e2e}")
E2PROM_ADDRESS=${TQRF_E2PROM_ADDRESS:-0x30}

# ---- 1. Packages --------------------------------------------------------------------------
"$HERE/install-wine.sh"
read -r -a want <<<"${TQRF_WINE_ARCHS:-i686 x86_64}"
select_wine_archs "${want[@]}"
ARCHS=("${RUN_ARCHS[@]}")

# ---- 2. Cross builds and their tables -----------------------------------------------------
"$PACKAGING/build.sh" "${ARCHS[@]}"
dlls=()
for arch in "${ARCHS[@]}"; do dlls+=("$(build_dir "$arch")/tq_RWD_DLL.dll"); done
"$PACKAGING/check-exports.sh" "${dlls[@]}"

# ---- 3. The simulator ---------------------------------------------------------------------
find_sim

# ---- 4. The Wine prefix -------------------------------------------------------------------
open_wine_prefix "$LOGS"

# ---- 5. The sessions ----------------------------------------------------------------------
# Per architecture, three runs, each against fresh simulators (a new pseudo-terminal is in its
# initial line state: newer Linux kernels refuse, with EINVAL, a parity change on a
# pseudo-terminal that leaves its settings as they were; a second session's opening switch to
# space parity on a terminal that the first one left in space parity would be such a change,
# and Wine passes the refusal on as a failed SetCommState):
#   legacy-fixed     the legacy exports as a host program uses them;
#   legacy-complete  the same host program under TQRF_REPLY=complete. Its simulator also sends
#                    three stray bytes after its reply to the second identity read (the reader
#                    session's): complete mode takes the frame without them, where the fixed
#                    pause would read them along and fail with -86, so the run shows that the
#                    variable took effect;
#   readers          two readers on two COM names and two simulators (distinct card UIDs and
#                    identity numbers), opened with tqrf_reader_open() and driven from two
#                    threads at once, in complete and then in fixed reply mode;
#   loss             a reader whose simulator ends mid-session (see run_loss).
# The serial trace of each of the first three is checked for the parity order on every serial
# handle.
failures=0
runs=0

# One bad reply each for five commands: the legacy fault steps run first and expect them.
LEGACY_FAULTS=(--fault noreply@0x77/1 --fault corrupt-xor@0x76/1 --fault delay:60@0x73/1
    --fault oversize@0x75/1 --fault truncate@0x6B/1)
# The readers' clock reads: one late, two with bytes after the frame (see host.c).
READER_FAULTS=(--fault delay:150@0x6B/1 --fault noise-after:3@0x6B/2)
UID_A=1A2B3C4D ID_A=0A0B0C0D UID_B=5E6F7081 ID_B=11223344

# Runs the host program under Wine with the serial trace on and checks it: run name, reply
# setting for TQRF_REPLY ("" for none), then the host's arguments after the DLL.
run_host() {
    local name=$1 reply=$2 rc=0
    shift 2
    local log=$LOGS/host-$name.log trace=$LOGS/trace-$name.log
    runs=$((runs + 1))
    rm -f "$PREFIX/dosdevices/com$MISSING_PORT"
    say "---- $name: $host $*${reply:+ (TQRF_REPLY=$reply)}"
    env -u TQRF_REPLY -u TQRF_TRACE ${reply:+TQRF_REPLY=$reply} \
        WINEDEBUG=fixme-all,+pid,+timestamp,+comm,+file timeout "$RUN_TIMEOUT" \
        wine "$host" "$(windows_path "$dll")" "$@" >"$log" 2>"$trace" || rc=$?
    tr -d '\r' <"$log" | sed "s/^/  [$name] /"
    stop_sims

    if [ $rc -ne 0 ]; then
        if ! grep -q '^loaded ' "$log"; then
            tail -20 "$trace" >&2 || true
            banner "$name: Wine did not run the host program (exit $rc; trace: $trace)"
        elif [ $rc -eq 124 ]; then
            say "$name: FAIL: the host program did not end within $RUN_TIMEOUT s"
        else
            say "$name: FAIL: the host program exited with $rc"
        fi
        failures=$((failures + 1))
        return
    fi
    local requests
    requests=$(tr -d '\r' <"$log" | awk '/^requests: [0-9]+$/ { print $2 }')
    if [ -z "$requests" ]; then
        say "$name: FAIL: the host program did not report its requests"
        failures=$((failures + 1))
        return
    fi
    if ! awk -v expected="$requests" -f "$HERE/parity-order.awk" "$trace"; then
        say "$name: FAIL: parity order (trace: $trace)"
        failures=$((failures + 1))
        return
    fi
    say "$name: PASS"
}

# Waits (bounded) until the host program's log holds a line; false when the program ended or
# the time ran out first.
wait_for_line() {
    local log=$1 text=$2 pid=$3
    for _ in $(seq 1 "$((RUN_TIMEOUT * 10))"); do
        tr -d '\r' <"$log" 2>/dev/null | grep -qF -- "$text" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Device loss on a reader handle: the host program reads the identity, the script ends the
# simulator, the reader must report -88 for good and close; then a new simulator (another
# identity) takes the same COM name and the port must open again. No serial trace: the
# request that finds the device gone leaves an address byte without its frame.
run_loss() {
    local name=$1 rc=0 wine_pid
    local log=$LOGS/host-$name.log
    runs=$((runs + 1))
    say "---- $name: $host lose COM$PORT"
    start_sim "$name-before" "$PORT" --identity "$ID_A"
    local first=${SIM_PIDS[0]}
    : >"$log"
    env -u TQRF_REPLY -u TQRF_TRACE WINEDEBUG=-all timeout "$RUN_TIMEOUT" \
        wine "$host" "$(windows_path "$dll")" lose "COM$PORT" "$ID_A" "$ID_B" >"$log" \
        2>"$LOGS/wine-$name.err" &
    wine_pid=$!
    if wait_for_line "$log" "waiting for the loss of COM$PORT" "$wine_pid"; then
        kill "$first" 2>/dev/null || true
        wait "$first" 2>/dev/null || true
        SIM_PIDS=()
        if wait_for_line "$log" "waiting for COM$PORT again" "$wine_pid"; then
            start_sim "$name-after" "$PORT" --identity "$ID_B"
        fi
    fi
    wait "$wine_pid" || rc=$?
    tr -d '\r' <"$log" | sed "s/^/  [$name] /"
    stop_sims
    if [ $rc -ne 0 ]; then
        say "$name: FAIL: the host program exited with $rc"
        failures=$((failures + 1))
        return
    fi
    say "$name: PASS"
}

# The C++ example of docs/api.md, built as a user of the bundle builds it (the C++ runtime as
# DLLs beside the program), against a simulator whose card is factory-fresh.
run_cxx() {
    local name=$1 rc=0 exe
    local log=$LOGS/host-$name.log
    runs=$((runs + 1))
    say "---- $name: the C++ example of docs/api.md, MinGW's C++ runtime as DLLs"
    if ! exe=$("$HERE/cxx-example.sh" "$arch" "$build" "$LOGS/$name" 2>"$LOGS/$name-build.log"); then
        tail -20 "$LOGS/$name-build.log" >&2 || true
        say "$name: FAIL: the example did not build (log: $LOGS/$name-build.log)"
        failures=$((failures + 1))
        return
    fi
    start_sim "$name" "$PORT" --uid "$UID_A"
    env -u TQRF_REPLY -u TQRF_TRACE WINEDEBUG=-all timeout "$RUN_TIMEOUT" \
        wine "$exe" "COM$PORT" >"$log" 2>"$LOGS/wine-$name.err" || rc=$?
    tr -d '\r' <"$log" | sed "s/^/  [$name] /"
    stop_sims
    local expected
    expected=$(printf 'card %s\nblock 4 %s\nblock 64: %s' "$UID_A" \
        00000000000000000000000000000000 "TQRF_ERR_BAD_ARGUMENT: an argument was refused")
    if [ $rc -ne 0 ]; then
        tail -20 "$LOGS/wine-$name.err" >&2 || true
        say "$name: FAIL: the program exited with $rc"
        failures=$((failures + 1))
        return
    fi
    if [ "$(tr -d '\r' <"$log")" != "$expected" ]; then
        say "$name: FAIL: unexpected output (expected: $(printf '%s' "$expected" | tr '\n' '|'))"
        failures=$((failures + 1))
        return
    fi
    say "$name: PASS"
}

for arch in "${ARCHS[@]}"; do
    build=$(build_dir "$arch")
    dll=$build/tq_RWD_DLL.dll
    host=$build/tests/windows/tqrf-win-host.exe

    start_sim "$arch-legacy-fixed" "$PORT" "${LEGACY_FAULTS[@]}"
    run_host "$arch-legacy-fixed" "" "COM$PORT" "COM$MISSING_PORT" "$E2PROM_ADDRESS" faults

    start_sim "$arch-legacy-complete" "$PORT" "${LEGACY_FAULTS[@]}" --fault noise-after:3@0x76/1
    run_host "$arch-legacy-complete" complete "COM$PORT" "COM$MISSING_PORT" "$E2PROM_ADDRESS" faults

    start_sim "$arch-reader-a" "$PORT" --uid "$UID_A" --identity "$ID_A" "${READER_FAULTS[@]}"
    start_sim "$arch-reader-b" "$PORT_B" --uid "$UID_B" --identity "$ID_B" "${READER_FAULTS[@]}"
    run_host "$arch-readers" "" readers "COM$PORT" "$UID_A" "$ID_A" "COM$PORT_B" "$UID_B" "$ID_B" \
        "COM$MISSING_PORT"

    run_loss "$arch-loss"

    run_cxx "$arch-cxx"
done

if [ $failures -ne 0 ]; then
    die "$failures of $runs Windows runs under Wine failed (logs in $LOGS)"
fi
say "PASS: ${ARCHS[*]} under Wine against the simulator"
