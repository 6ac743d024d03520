#!/usr/bin/env bash
# Checks built Windows DLLs of the library:
#   - the export table holds exactly the library's functions (tests/header/exports.txt), by
#     undecorated name (no leading underscore, no @N, no C++ mangled names), and nothing else
#     (no ordinal-only entries);
#   - the import table names only Windows system DLLs (no compiler runtime DLLs).
#
#   packaging/windows/check-exports.sh build-mingw32/tq_RWD_DLL.dll build-mingw64/tq_RWD_DLL.dll
#
# Uses $OBJDUMP when set, else a mingw-w64 objdump, else the host's objdump.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 DLL..." >&2
    exit 2
fi

OBJDUMP=${OBJDUMP:-}
if [ -z "$OBJDUMP" ]; then
    for candidate in x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump objdump; do
        if command -v "$candidate" >/dev/null 2>&1; then
            OBJDUMP=$candidate
            break
        fi
    done
fi
if [ -z "$OBJDUMP" ]; then
    echo "check-exports: no objdump found" >&2
    exit 2
fi

# The one list of the library's exports, shared with the native build's check.
EXPORTS_LIST=${TQRF_EXPORTS_LIST:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tests/header/exports.txt}
EXPECTED_EXPORTS=$(grep -v '^[[:space:]]*$' "$EXPORTS_LIST")

# Windows system DLLs a DLL of ours may import from (compared in lower case).
is_system_dll() {
    case "$1" in
        kernel32.dll | msvcrt.dll | ntdll.dll | advapi32.dll | user32.dll | ucrtbase.dll | setupapi.dll) return 0 ;;
        api-ms-win-*.dll) return 0 ;;
        *) return 1 ;;
    esac
}

status=0
for dll in "$@"; do
    fail() {
        echo "check-exports: $dll: $*" >&2
        status=1
    }
    if [ ! -f "$dll" ]; then
        fail "no such file"
        continue
    fi
    dump=$("$OBJDUMP" -p "$dll")

    # Names of the export table: the lines "[   n] name" after "[Ordinal/Name Pointer] Table".
    names=$(printf '%s\n' "$dump" | awk '
        /^\[Ordinal\/Name Pointer\] Table/ { in_names = 1; next }
        in_names && /^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+[^[:space:]]/ {
            sub(/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+/, ""); print; next }
        in_names && /^[[:space:]]*$/ { in_names = 0 }' | sort)
    # Entries of the export address table (named or not), from its header.
    address_count=$(printf '%s\n' "$dump" |
        awk '!found && /^[[:space:]]*Export Address Table[[:space:]]+[0-9a-fA-F]+$/ { print $NF; found = 1 }')
    expected=$(printf '%s\n' $EXPECTED_EXPORTS | sort)
    name_count=$(printf '%s\n' "$names" | grep -c . || true)

    if [ -z "$address_count" ]; then
        fail "no export table"
    elif [ $((16#$address_count)) -ne "$name_count" ]; then
        fail "$((16#$address_count)) export address entries but $name_count names (ordinal-only exports?)"
    fi
    bad_names=$(printf '%s\n' "$names" | grep -E '^_|@|^\?|^_Z' || true)
    if [ -n "$bad_names" ]; then
        fail "decorated or mangled export names:" $bad_names
    fi
    missing=$(comm -23 <(printf '%s\n' "$expected") <(printf '%s\n' "$names"))
    extra=$(comm -13 <(printf '%s\n' "$expected") <(printf '%s\n' "$names"))
    [ -z "$missing" ] || fail "missing exports:" $missing
    [ -z "$extra" ] || fail "unexpected exports:" $extra

    imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ { print $3 }')
    if [ -z "$imports" ]; then
        fail "no import table"
    fi
    for import in $imports; do
        lower=$(printf '%s' "$import" | tr '[:upper:]' '[:lower:]')
        is_system_dll "$lower" || fail "imports a non-system DLL: $import"
    done

    if [ $status -eq 0 ]; then
        echo "check-exports: $dll: $name_count exports as expected; imports:" $imports
    fi
done
exit $status
