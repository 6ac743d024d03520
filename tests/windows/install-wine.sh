#!/usr/bin/env bash
# Installs what the Wine end-to-end run needs: Wine for 64- and 32-bit programs (wine, wine64,
# and wine32 with the i386 architecture added) and the mingw-w64 cross compilers. Safe to run
# again; does nothing when all is installed. Large the first time (several hundred MB), so CI
# may start it early in the background:
#
#   tests/windows/install-wine.sh >build/install-wine.log 2>&1 &
#
# It waits up to 10 minutes for the package manager's lock when another install is running.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
APT_LOCK=(-o DPkg::Lock::Timeout=600)
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# apt-get update fails as a whole when one index is caught mid-sync on the mirror ("File has
# unexpected size ... Mirror sync in progress?"); the other indexes are fetched all the same. It
# is tried again a few times; what it could fetch is used.
apt_update() {
    local try tries=${1:-3}
    for try in $(seq "$tries"); do
        if $SUDO apt-get "${APT_LOCK[@]}" update -qq; then return 0; fi
        echo "install-wine: apt-get update failed (try $try of $tries)" >&2
        [ "$try" -eq "$tries" ] || sleep 20
    done
    echo "install-wine: going on with the package lists that could be fetched" >&2
}
apt_install() {
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "${APT_LOCK[@]}" install -y -qq "$@" >/dev/null
}

need=()
for pkg in wine wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64; do
    have_pkg "$pkg" || need+=("$pkg")
done
need32=()
have_pkg wine32:i386 || need32+=(wine32:i386)
if [ ${#need[@]} -eq 0 ] && [ ${#need32[@]} -eq 0 ]; then
    echo "install-wine: all installed"
    exit 0
fi
echo "install-wine: installing ${need[*]} ${need32[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
# With only 32-bit Wine missing (the 64-bit runs go on without it), one try is enough.
if [ ${#need[@]} -gt 0 ]; then apt_update 3; else apt_update 1; fi
[ ${#need[@]} -eq 0 ] || apt_install "${need[@]}"
# 32-bit Wine needs the i386 package lists to match the amd64 ones. When the mirror cannot give
# them, the 64-bit runs still go on; the scripts that run i686 programs ask which architectures
# Wine can run here (select_wine_archs of wine-common.sh) and say which they leave out.
if [ ${#need32[@]} -gt 0 ] && ! apt_install "${need32[@]}"; then
    echo "install-wine: WARNING: 32-bit Wine (wine32:i386) could not be installed;" \
        "i686 programs cannot run under Wine on this machine" >&2
fi
echo "install-wine: done"
