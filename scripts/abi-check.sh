#!/usr/bin/env bash
# The shared library's ABI against the releases before it: abidiff of each committed ABI
# description of an earlier release (packaging/abi/tq_RWD_DLL-X.Y.Z.abi, X.Y.Z other than the
# version of project() in CMakeLists.txt) against BUILD_DIR's libtq_RWD_DLL.so.1. Added
# functions and types are fine; anything else that changed in what an earlier release exported
# (a function removed or changed, a structure's layout, a parameter's type) fails.
#
#   scripts/abi-check.sh BUILD_DIR            # check (the build needs debug information: -g)
#   scripts/abi-check.sh --write BUILD_DIR    # write this version's description from the build
#
# Needs abidiff and abidw (Debian: abigail-tools). packaging/abi/README says when to write a
# description.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ABI_DIR=$ROOT/packaging/abi
write=0
if [ "${1:-}" = "--write" ]; then
    write=1
    shift
fi
[ $# -eq 1 ] || { echo "usage: $0 [--write] BUILD_DIR" >&2; exit 2; }
BUILD=$1
VERSION=$(sed -n 's/^project(tq_RWD_DLL VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
LIB=$BUILD/libtq_RWD_DLL.so.1
[ -e "$LIB" ] || { echo "abi-check: no $LIB (build the tq_RWD_DLL target first)" >&2; exit 2; }
for tool in abidw abidiff; do
    command -v "$tool" >/dev/null || { echo "abi-check: no $tool (Debian: abigail-tools)" >&2; exit 2; }
done

# Only what the public headers declare, and nothing of the build's paths, so that the
# description is the same from any checkout and build folder.
ABIDW_OPTIONS=(--no-corpus-path --no-comp-dir-path --short-locs --drop-private-types
    --exported-interfaces-only --headers-dir "$ROOT/include")

if [ "$write" -eq 1 ]; then
    out=$ABI_DIR/tq_RWD_DLL-$VERSION.abi
    abidw "${ABIDW_OPTIONS[@]}" --out-file "$out" "$(readlink -f "$LIB")"
    echo "abi-check: wrote ${out#"$ROOT"/}"
    exit 0
fi

checked=0
failed=0
for description in "$ABI_DIR"/tq_RWD_DLL-*.abi; do
    [ -e "$description" ] || continue
    release=$(basename "$description" .abi)
    release=${release#tq_RWD_DLL-}
    [ "$release" != "$VERSION" ] || continue
    checked=$((checked + 1))
    # Added functions are not reported: whatever abidiff still finds is a change.
    set +e
    abidiff --no-added-syms --drop-private-types --exported-interfaces-only \
        --headers-dir2 "$ROOT/include" "$description" "$LIB" >"$BUILD/abi-check-$release.txt" 2>&1
    status=$?
    set -e
    # abidiff's exit bits: 1 error, 2 usage error, 4 an ABI change, 8 an incompatible change.
    if [ "$status" -eq 0 ]; then
        echo "abi-check: $VERSION keeps the ABI of $release (additions only)"
        continue
    fi
    failed=$((failed + 1))
    cat "$BUILD/abi-check-$release.txt"
    if [ $((status & 3)) -ne 0 ]; then
        echo "abi-check: abidiff failed (exit $status) comparing $release" >&2
    elif [ $((status & 8)) -ne 0 ]; then
        echo "abi-check: $VERSION breaks the ABI of $release: something it exported is gone (above)" >&2
    else
        echo "abi-check: $VERSION changes the ABI of $release (above): programs built against it would break" >&2
    fi
done
if [ "$checked" -eq 0 ]; then
    echo "abi-check: no description of an earlier release in ${ABI_DIR#"$ROOT"/}" >&2
    exit 1
fi
[ "$failed" -eq 0 ]
