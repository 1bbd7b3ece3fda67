#!/bin/sh
# The install tree, the service units, the Debian package and the settings
# table: install_test.sh SOURCE_DIR BUILD_DIR VERSION
set -eu
source=$1
build=$2
version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

grep '^| [A-Z]* |' "$source/dist/settings.md" >"$work/table"
grep '^| [A-Z]* |' "$source/README.md" | cmp -s - "$work/table" || fail "README's settings table differs from dist/settings.md"

DESTDIR="$work/tree" cmake --install "$build" --prefix /usr/local >/dev/null
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack"
dpkg-deb -f "$work"/deb/morvane_*.deb Depends | grep -q libc6 || fail "no dependencies worked out"
dpkg -x "$work"/deb/morvane_*.deb "$work/root"

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
    rm -r "$work/units"
done

program="$work/root/usr/bin/morvane-server"
"$program" --version | grep -qx "morvane-server $version.*" || fail "--version: $("$program" --version)"
"$program" --help | grep -q "man morvane-server" || fail "--help"
status=0
"$program" --port 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unknown argument ends with status $status, not 2"

dpkg-deb -e "$work"/deb/morvane_*.deb "$work/control"
DPKG_ROOT="$work/root" sh "$work/control/postinst" configure || fail "postinst"
cmp -s "$work/root/etc/morvane/client.ini.sample" "$work/root/usr/share/morvane/client/morvane.ini" ||
    fail "postinst: no client sample in /etc/morvane"
echo "ok: install tree, units, package, postinst, settings table"
