#!/usr/bin/env bash
# The Debian package tqrf-gateway as dpkg sees it: its files (program, unit, configuration, man
# page, copyright), /etc/tqrf/gateway.toml listed as a conffile, its maintainer scripts and
# dependencies; the configuration it ships passes --check-config; the unit it ships passes
# systemd-analyze verify with the man page it ships; lintian finds no error. With --installed
# the package is installed on this system as well (the install stage) and its postinst's work
# is checked: the system user in the group dialout, the configuration's mode.
#
#   tests/package/gateway-package-test.sh [--installed] DEB GATEWAY_BINARY
#   tests/package/gateway-package-test.sh --build BUILD_DIR GATEWAY_BINARY   (makes the .deb)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
installed=0
build=""
case "${1:-}" in
--installed) installed=1; shift ;;
--build) build=$2; shift 2 ;;
esac
[ $# -ge 1 ] || { echo "usage: $0 [--installed] DEB BINARY | --build BUILD_DIR BINARY" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -n "$build" ]; then
    BINARY=$(realpath "$1")
    # The gateway's package alone, made in the scratch folder.
    (cd "$build" && cpack -G DEB -D CPACK_COMPONENTS_ALL=gateway -B "$work/cpack" >"$work/cpack.log" 2>&1) ||
        { cat "$work/cpack.log"; echo "FAIL  cpack"; exit 1; }
    DEB=$(ls "$work"/cpack/tqrf-gateway_*.deb)
else
    DEB=$1
    BINARY=$(realpath "$2")
fi
failed=0
ok() { echo "ok    $*"; }
fail() { echo "FAIL  $*"; failed=$((failed + 1)); }

contents=$(dpkg-deb -c "$DEB" | awk '{print $6}')
for f in ./usr/bin/tqrf-gateway ./lib/systemd/system/tqrf-gateway.service ./etc/tqrf/gateway.toml \
    ./usr/share/man/man1/tqrf-gateway.1.gz ./usr/share/doc/tqrf-gateway/copyright \
    ./usr/share/doc/tqrf-gateway/changelog.gz; do
    if grep -qx -- "$f" <<<"$contents"; then ok "holds $f"; else fail "lacks $f"; fi
done
conffiles=$(dpkg-deb -I "$DEB" conffiles 2>/dev/null || true)
if [ "$conffiles" = "/etc/tqrf/gateway.toml" ]; then
    ok "conffiles: $conffiles"
else
    fail "conffiles should be /etc/tqrf/gateway.toml alone, is: $conffiles"
fi
for script in postinst prerm postrm; do
    if dpkg-deb -I "$DEB" "$script" >"$work/$script" 2>/dev/null && sh -n "$work/$script"; then
        ok "$script"
    else
        fail "no $script, or not sh"
    fi
done
grep -q 'adduser .*--system' "$work/postinst" || fail "the postinst makes no system user"
grep -q 'adduser .* dialout' "$work/postinst" || fail "the postinst does not add the user to dialout"
depends=$(dpkg-deb -f "$DEB" Depends)
for d in adduser libtq-rwd-dll1; do
    if grep -q "\\b$d\\b" <<<"$depends"; then ok "depends on $d"; else fail "Depends lacks $d: $depends"; fi
done

# What it ships works: the configuration and the unit (with its man page).
root="$work/root"
dpkg-deb -x "$DEB" "$root"
if out=$("$BINARY" --check-config "$root/etc/tqrf/gateway.toml" 2>&1); then
    ok "its /etc/tqrf/gateway.toml: $out"
else
    fail "its /etc/tqrf/gateway.toml: $out"
fi
if command -v systemd-analyze >/dev/null; then
    if out=$("$HERE/../gateway/unit-test.sh" "$root/lib/systemd/system/tqrf-gateway.service" \
        "$BINARY" "$root/usr/share/man"); then
        ok "its unit: $out"
    else
        fail "its unit: $out"
    fi
fi
if command -v lintian >/dev/null; then
    # No tag at all is an empty output: grep finding no line must not fail the pipe.
    if out=$(lintian --fail-on error --tag-display-limit 0 "$DEB" 2>&1 |
        { grep -v '^running with root' || true; }); then
        ok "lintian: no errors${out:+ (}$(grep -c . <<<"$out" || true)${out:+ other tags)}"
        [ -z "$out" ] || echo "$out"
    else
        fail "lintian: $out"
    fi
fi

if [ "$installed" -eq 1 ]; then
    if id -nG tqrf-gateway 2>/dev/null | tr ' ' '\n' | grep -qx dialout; then
        ok "the user tqrf-gateway is in the group dialout"
    else
        fail "no user tqrf-gateway in the group dialout: $(id tqrf-gateway 2>&1)"
    fi
    mode=$(stat -c '%a %U:%G' /etc/tqrf/gateway.toml)
    if [ "$mode" = "640 root:tqrf-gateway" ]; then ok "/etc/tqrf/gateway.toml: $mode"; else fail "/etc/tqrf/gateway.toml: $mode"; fi
    if out=$(/usr/bin/tqrf-gateway --check-config /etc/tqrf/gateway.toml 2>&1); then
        ok "the installed tqrf-gateway: $out"
    else
        fail "the installed tqrf-gateway: $out"
    fi
    if command -v systemd-analyze >/dev/null; then
        if out=$(SYSTEMD_LOG_COLOR=0 systemd-analyze verify /lib/systemd/system/tqrf-gateway.service 2>&1) &&
            [ -z "$out" ]; then
            ok "systemd-analyze verify /lib/systemd/system/tqrf-gateway.service"
        else
            fail "systemd-analyze verify of the installed unit: $out"
        fi
    fi
fi
[ "$failed" -eq 0 ] && echo "gateway package test: passed"
