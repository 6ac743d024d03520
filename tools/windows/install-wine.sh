#!/usr/bin/env bash
# Installs what the Wine end-to-end run needs: Wine for 64- and 32-bit programs (wine, wine64,
# and wine32 with the i386 architecture added) and the mingw-w64 cross compilers. Safe to run
# again; does nothing when all is installed. Large the first time (several hundred MB), so CI
# may start it early in the background:
#
#   tools/windows/install-wine.sh >build/install-wine.log 2>&1 &
#
# It waits up to 10 minutes for the package manager's lock when another install is running.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
APT_LOCK=(-o DPkg::Lock::Timeout=600)
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

need=()
for pkg in wine wine64 wine32:i386 g++-mingw-w64-i686 g++-mingw-w64-x86-64; do
    have_pkg "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -eq 0 ]; then
    echo "install-wine: all installed"
    exit 0
fi
echo "install-wine: installing ${need[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get "${APT_LOCK[@]}" update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get "${APT_LOCK[@]}" install -y -qq "${need[@]}" >/dev/null
echo "install-wine: done"
