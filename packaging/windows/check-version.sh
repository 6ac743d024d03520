#!/usr/bin/env bash
# Checks the version resource of built Windows DLLs: file and product version, product name
# and description, as Windows Explorer shows them (wrestool, Debian package icoutils).
#
#   packaging/windows/check-version.sh VERSION DLL...     # e.g. 1.2.0 build-mingw64/tq_RWD_DLL.dll
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 VERSION DLL..." >&2
    exit 2
fi
version=$1
shift
command -v wrestool >/dev/null 2>&1 || { echo "check-version: wrestool not found (icoutils)" >&2; exit 2; }
IFS=. read -r major minor patch <<<"$version"

status=0
for dll in "$@"; do
    fail() {
        echo "check-version: $dll: $*" >&2
        status=1
    }
    resource=$(mktemp)
    if ! wrestool -x --raw --type=16 "$dll" >"$resource" 2>/dev/null || [ ! -s "$resource" ]; then
        fail "no version resource"
        rm -f "$resource"
        continue
    fi
    # The fixed part: signature 0xFEEF04BD, then the file version as two 32-bit words
    # (major << 16 | minor, patch << 16 | build), little-endian.
    fixed=$(od -An -tx1 -v "$resource" | tr -d ' \n' | grep -o 'bd04effe.\{24\}' | head -n 1 || true)
    want=$(printf 'bd04effe00000100%02x%02x%02x%02x%02x%02x%02x%02x' \
        $((minor & 255)) $((minor >> 8)) $((major & 255)) $((major >> 8)) \
        0 0 $((patch & 255)) $((patch >> 8)))
    [ "$fixed" = "$want" ] || fail "fixed file version is not $version.0 (${fixed:-none})"
    # Each string is its key and its value in UTF-16LE, each ending in a zero character, the
    # value starting on a 32-bit boundary (after one zero character of padding or none).
    hex=$(od -An -tx1 -v "$resource" | tr -d ' \n')
    utf16() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n' | sed 's/../&00/g'; }
    expect_string() {
        local key=$1 value=$2
        printf '%s' "$hex" | grep -q "$(utf16 "$key")0000\(0000\)\?$(utf16 "$value")0000" ||
            fail "$key is not '$value'"
    }
    expect_string FileVersion "$version.0"
    expect_string ProductVersion "$version"
    expect_string ProductName "tq_RWD_DLL"
    expect_string OriginalFilename "tq_RWD_DLL.dll"
    expect_string FileDescription "MF RC500 contactless reader driver"
    rm -f "$resource"
    [ $status -ne 0 ] || echo "check-version: $dll: version resource $version.0 as expected"
done
exit $status
