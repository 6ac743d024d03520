#!/usr/bin/env bash
# Shows that the checks of the Windows build catch the faults they are there for:
#   - check-exports.sh: small stand-in DLLs built with mingw-w64 (i686, where __stdcall
#     decorates names); the sound one passes, each faulty one is refused;
#   - parity-order.awk: hand-made Wine serial traces; the sound one passes, each faulty one is
#     refused.
#
#   tests/windows/selftest.sh
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CC=${TQRF_SELFTEST_CC:-i686-w64-mingw32-gcc}
CXX=${TQRF_SELFTEST_CXX:-i686-w64-mingw32-g++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mapfile -t names < <(grep -v '^[[:space:]]*$' "$ROOT/tests/header/exports.txt")

# Writes a C source exporting every name with the given convention, and extra lines after.
emit() {
    local out=$1 convention=$2 extra=${3:-}
    {
        for name in "${names[@]}"; do
            echo "__declspec(dllexport) int $convention $name(int a) { return a; }"
        done
        printf '%s\n' "$extra"
    } >"$out"
}

emit "$work/good.c" __cdecl
emit "$work/stdcall.c" __stdcall
emit "$work/extra.c" __cdecl "__declspec(dllexport) int __cdecl tqrf_debug_dump(int a) { return a; }"
{
    echo '#include <string>'
    echo 'static int helper(int a) { return static_cast<int>(std::to_string(a).size()); }'
    for name in "${names[@]}"; do
        echo "extern \"C\" __declspec(dllexport) int __cdecl $name(int a) { return helper(a); }"
    done
} >"$work/runtime.cpp"

"$CC" -shared -O1 -o "$work/good.dll" "$work/good.c"
"$CC" -shared -O1 -o "$work/stdcall.dll" "$work/stdcall.c"
"$CC" -shared -O1 -o "$work/extra.dll" "$work/extra.c"
# Linked against the shared C++ runtime: imports libstdc++ and libgcc DLLs.
"$CXX" -shared -O1 -o "$work/runtime.dll" "$work/runtime.cpp" -shared-libgcc

status=0
expect() {
    local want=$1 dll=$2 what=$3
    if "$ROOT/packaging/windows/check-exports.sh" "$work/$dll" >"$work/out" 2>&1; then got=pass; else got=refuse; fi
    if [ "$got" = "$want" ]; then
        echo "selftest: ok   $what: $got"
        [ "$got" = pass ] || cut -c1-160 "$work/out" | sed "s/^/    /"
    else
        echo "selftest: FAIL $what: expected $want, got $got"
        sed 's/^/    /' "$work/out"
        status=1
    fi
}
expect pass good.dll "all exports, cdecl, system imports only"
expect refuse stdcall.dll "__stdcall exports (decorated name@N)"
expect refuse extra.dll "one export too many"
expect refuse runtime.dll "compiler runtime DLL imported"

# ---- parity-order.awk on hand-made traces ---------------------------------------------------
# One request as Wine traces it: the line set to the address parity, a 1-byte write, the line
# set to the frame parity, a frame write. Arguments: address parity, frame parity, handle
# text of the writes, frame size, milliseconds between the writes.
request() {
    local address_parity=$1 frame_parity=$2 handle=${3:-00000030} size=${4:-7} gap=${5:-2}
    local t=$((100 + ${clock:-0}))
    clock=$((${clock:-0} + 50))
    local p="$t.000:0020:0024"
    echo "$p:trace:file:dump_dcb size=8 rate=19200 fParity=0 Parity=33 stopbits=1"
    echo "$p:trace:file:dump_dcb size=8 rate=19200 fParity=0 Parity=$address_parity stopbits=1"
    echo "$p:trace:comm:io_control 0x30 IOCTL_SERIAL_SET_LINE_CONTROL 0x63fa50 3 (nil) 0 0x63f9f8"
    echo "$p:trace:file:WriteFile $handle 67A52060 1 0063FA3C 67A5204C"
    echo "$p:trace:file:dump_dcb size=8 rate=19200 fParity=0 Parity=$frame_parity stopbits=1"
    echo "$p:trace:comm:io_control 0x30 IOCTL_SERIAL_SET_LINE_CONTROL 0x63fa50 3 (nil) 0 0x63f9f8"
    printf '%d.%03d:0020:0024:trace:file:WriteFile %s 67A52060 %d 0063FA3C 67A5204C\n' \
        "$t" "$gap" "$handle" "$size"
}
trace_case() {
    local want=$1 expected=$2 what=$3 file=$work/trace
    if awk -v expected="$expected" -f "$HERE/parity-order.awk" "$file" >"$work/out" 2>&1; then
        got=pass
    else
        got=refuse
    fi
    if [ "$got" = "$want" ]; then
        echo "selftest: ok   $what: $got"
    else
        echo "selftest: FAIL $what: expected $want, got $got"
        sed 's/^/    /' "$work/out"
        status=1
    fi
}

{ request 3 4; request 3 4 0000000000000030 20; } >"$work/trace"
trace_case pass 2 "two requests, mark then space (32- and 64-bit handle texts)"
{
    request 3 4
    echo "100.500:0020:0024:trace:file:WriteFile 00000040 67A52060 9 0063FA3C 67A5204C"
    echo "100.500:0099:0024:trace:file:WriteFile 00000030 67A52060 9 0063FA3C 67A5204C"
} >"$work/trace"
trace_case pass 1 "writes to other handles and processes are not the line's"
{ request 4 3; } >"$work/trace"
trace_case refuse 1 "parities swapped"
{ request 3 3; } >"$work/trace"
trace_case refuse 1 "frame with mark parity"
{ request 0 4; } >"$work/trace"
trace_case refuse 1 "address byte without parity"
{ request 3 4; request 3 4; } >"$work/trace"
trace_case refuse 3 "a request missing from the line"
{ request 3 4 00000030 7 0; } >"$work/trace"
trace_case refuse 1 "no pause between address byte and frame"
{ request 3 4 00000030 3; } >"$work/trace"
trace_case refuse 1 "frame too short"
{ request 3 4 | grep -v 'WriteFile.* 1 '; } >"$work/trace"
trace_case refuse 1 "frame without its address byte"
{
    request 3 4
    echo "101.000:0020:0024:err:comm:set_line_control tcsetattr error 'Invalid argument'"
} >"$work/trace"
trace_case refuse 1 "Wine reports a comm error"

# Two readers on two threads: each half of a request (line mode change, then the write) on
# its own handle and thread, at a time in ms. Arguments: handle, thread, parity, byte count,
# time.
half() {
    local handle=$1 thread=$2 parity=$3 size=$4 t=$5
    local p
    p=$(printf '%d.%03d:0020:%s' $((t / 1000)) $((t % 1000)) "$thread")
    echo "$p:trace:file:dump_dcb size=8 rate=19200 fParity=0 Parity=$parity stopbits=1"
    echo "$p:trace:comm:io_control 0x$handle IOCTL_SERIAL_SET_LINE_CONTROL 0x63fa50 3 (nil) 0 0x63f9f8"
    echo "$p:trace:file:WriteFile $handle 67A52060 $size 0063FA3C 67A5204C"
}
{
    # A's address byte, B's address byte, A's frame, B's frame: interleaved, each sound.
    half 00000030 0024 3 1 100000
    half 00000040 0028 3 1 100000
    half 00000030 0024 4 7 100002
    half 00000040 0028 4 9 100002
    half 00000040 0028 3 1 100050
    half 00000040 0028 4 7 100052
} >"$work/trace"
trace_case pass 3 "two handles on two threads, interleaved"
{
    # B's mode change dumped on A's thread's line: B's frame goes out with A's mark parity.
    half 00000030 0024 3 1 100000
    half 00000040 0028 3 1 100000
    p="100.002:0020:0028"
    echo "100.002:0020:0024:trace:file:dump_dcb size=8 rate=19200 fParity=0 Parity=4 stopbits=1"
    echo "$p:trace:comm:io_control 0x40 IOCTL_SERIAL_SET_LINE_CONTROL 0x63fa50 3 (nil) 0 0x63f9f8"
    echo "$p:trace:file:WriteFile 00000040 67A52060 7 0063FA3C 67A5204C"
    half 00000030 0024 4 7 100002
} >"$work/trace"
trace_case refuse 2 "a frame under another thread's mode change"
{
    # B's frame right after A's mode change to space, but B's own line still at mark.
    half 00000030 0024 3 1 100000
    half 00000040 0028 3 1 100000
    half 00000030 0024 4 7 100002
    echo "100.003:0020:0028:trace:file:WriteFile 00000040 67A52060 7 0063FA3C 67A5204C"
} >"$work/trace"
trace_case refuse 2 "a frame on a handle whose line was not switched"

exit $status
