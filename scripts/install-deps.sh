#!/usr/bin/env bash
# Installs the Debian packages a build needs, and any named on the command line. Safe to run
# again: installs only what is missing. Runs apt-get through sudo when not run as root.
#
#   scripts/install-deps.sh                  # the library, tqrf-sim, tqrf and the tests:
#                                            # cmake g++ make pkgconf libgtest-dev libgmock-dev
#                                            # libcli11-dev nlohmann-json3-dev
#   scripts/install-deps.sh lintian ...      # and these
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
need=()
for pkg in cmake g++ make pkgconf libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
    echo "installing: ${need[*]}"
    # Waits up to 10 minutes for another install (the background Wine install of the tests).
    APT_LOCK=(-o DPkg::Lock::Timeout=600)
    # A mirror caught mid-sync fails the update of one index (the i386 one, say) while the
    # others are fine: the install is tried with the lists as they are, and fails by itself
    # only when a package is really not to be had.
    if ! $SUDO apt-get "${APT_LOCK[@]}" update -qq; then
        echo "install-deps: apt-get update reported errors (above); installing from the package lists as they are" >&2
    fi
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "${APT_LOCK[@]}" install -y -qq "${need[@]}" >/dev/null
fi
