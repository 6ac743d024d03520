#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Safe to run again.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
need=()
for pkg in cmake g++ make libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
    echo "installing: ${need[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
