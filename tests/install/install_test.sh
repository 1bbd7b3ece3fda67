#!/bin/sh
# The install tree, the service units and the Debian package:
# install_test.sh SOURCE_DIR BUILD_DIR VERSION
set -eu
# The source folder ($1) is not needed.
build=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR="$work/tree" cmake --install "$build" --prefix /usr/local >/dev/null
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack"
deb=$(echo "$work"/deb/morvane_*.deb)
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependencies worked out"
dpkg -x "$deb" "$work/root"
lintian --fail-on error,warning "$deb" || fail "lintian"

# The units as installed, but naming the programs in the scratch roots; the
# manual pages must be there too.
command -v systemd-analyze >/dev/null || fail "no systemd-analyze (make test installs systemd)"
for prefix in "$work/tree/usr/local" "$work/root/usr"; do
    mkdir -p "$work/units"
    for unit in "$prefix"/lib/systemd/system/morvane-*@.service; do
        sed "s|^ExecStart=|ExecStart=${prefix%/usr*}|" "$unit" >"$work/units/${unit##*/}"
    done
    # Unknown keys are only warnings: any output fails.
    (cd "$work/units" && MANPATH="$prefix/share/man" systemd-analyze verify ./*.service) >"$work/verify.log" 2>&1 || true
    [ ! -s "$work/verify.log" ] || { cat "$work/verify.log"; fail "units under $prefix"; }
    for unit in "$work"/units/*; do
        systemd-analyze security --offline=yes "$unit" 2>&1 | tee "$work/security.log" |
            awk '/Overall exposure level/ { sub(/.*: /, ""); level = $1 } END { exit !(level != "" && level <= 4.0) }' ||
            { cat "$work/security.log"; fail "${unit##*/} is exposed"; }
    done
    rm -r "$work/units"
done

program="$work/root/usr/bin/morvane-server"
"$program" --version | grep -qx "morvane-server $version.*" || fail "--version: $("$program" --version)"
"$program" --help | grep -q "man morvane-server" || fail "--help"
status=0
"$program" --port 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unknown argument ends with status $status, not 2"

# A reinstall leaves an edited sample as it is, in a scratch dpkg root (which
# only root may fill).
[ "$(id -u)" = 0 ] || { echo "ok, but the reinstall skipped: not root"; exit 0; }
admin="$work/dpkg/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates" && touch "$admin/status"
for round in 1 2; do
    dpkg --root="$work/dpkg" --force-script-chrootless --force-depends -i "$deb" >/dev/null 2>&1 || fail "dpkg -i"
    [ "$round" = 2 ] || echo "port=9" >>"$work/dpkg/etc/morvane/server.ini.sample"
done
tail -n 1 "$work/dpkg/etc/morvane/server.ini.sample" | grep -qx "port=9" || fail "a reinstall replaced an edited sample"
echo "ok: install tree, units, package, reinstall"
