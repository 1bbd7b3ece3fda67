#!/bin/bash
# Takes a picture of each program's window under Wine and Xvfb for the
# README: scripts/wine-screenshots.sh [WINDOWS_BUILD] -> docs/*.png
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows_build=$(cd "${1:-$root/build-windows}" && pwd)
work=$(mktemp -d)
# shellcheck source=tests/wine/wine-env.sh
. "$root/tests/wine/wine-env.sh"
trap wine_cleanup EXIT

ensure_japanese_locale
start_display
start_serial_pair
make_prefix
mkdir -p "$root/docs"
# The server runs with COM1; the client, without its driver, stops at its
# message box, which the driver moves aside.
for program in server client; do
    title="WIN morvane ${program^}"
    mkdir -p "$work/$program"
    printf '[SERVER]\ncom=1\nport=0\n[CLIENT]\nhost=127.0.0.1\ncom=1\n' >"$work/$program/morvane.ini"
    (cd "$work/$program" && exec timeout 60 wine "$windows_build/$program/morvane-$program.exe") >/dev/null 2>&1 &
    remember $!
    box=""
    [ "$program" = client ] && box=with-box
    read -r left top width height < <(timeout 60 wine "$windows_build/tests/wine/morvane-driver.exe" place "$title" $box)
    # The program draws through its own X connection: look again until the
    # picture is there.
    shot="$root/docs/morvane-$program.png"
    for _ in $(seq 50); do
        import -display "$DISPLAY" -window root -crop "${width}x${height}+${left}+${top}" +repage -colors 32 "$shot"
        [ "$(identify -format '%k' "$shot")" -gt 8 ] && break
        sleep 0.2
    done
    echo "docs/morvane-$program.png (${width}x${height})"
    timeout 30 wine "$windows_build/tests/wine/morvane-driver.exe" exit "$title" >/dev/null || true
done
