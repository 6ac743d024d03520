#!/usr/bin/env bash
# Prints the Windows architectures whose programs Wine can run on this machine, among those
# asked for (default "i686 x86_64"), one line with spaces; says on standard error which it leaves
# out and why. 32-bit programs need the wine32:i386 package.
#
#   read -r -a ARCHS <<<"$(tests/windows/wine-archs.sh "${ARCHS[@]}")"
set -euo pipefail
want=("$@")
[ ${#want[@]} -gt 0 ] || want=(i686 x86_64)
out=()
for arch in "${want[@]}"; do
    case $arch in
    i686)
        if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
            out+=(i686)
        else
            echo "wine-archs: LEFT OUT i686: 32-bit Wine (package wine32:i386) is not installed" >&2
        fi
        ;;
    *) out+=("$arch") ;;
    esac
done
echo "${out[*]}"
