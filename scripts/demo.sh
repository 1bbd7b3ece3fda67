#!/bin/sh
# The demonstration on one machine, no serial hardware: a simulated device on
# one end of a pty pair, morvane-server sharing the other end, morvane-client
# publishing its virtual port, and a pyserial application using that port.
set -eu
build=$(cd "${1:-build}" && pwd)
scripts=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
work=$(mktemp -d)
pids=""

cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    for pid in $pids; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Waits (at most 10 s) until file $1 holds a line matching $2.
wait_for() {
    tries=0
    until grep -q "$2" "$1" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -le 500 ] || { echo "gave up waiting for '$2' in $1" >&2; cat "$1" >&2; exit 1; }
        sleep 0.02
    done
}

mkdir "$work/server" "$work/client"

echo "== device simulator"
$python "$scripts/device_simulator.py" "$work/device-path" &
simulator=$!
pids="$simulator"
wait_for "$work/device-path" /dev/
device=$(cat "$work/device-path")
echo "  its line is the tty $device"

echo "== morvane-server shares $device"
start_server() {
    printf '[SERVER]\nport=%s\nclient=127.0.0.1\ndevice=%s\n' "$1" "$device" > "$work/server/morvane.ini"
    (cd "$work/server" && exec "$build/server/morvane-server") 2> "$work/server.log" &
    server=$!
    pids="$simulator $server ${client:-}"
    wait_for "$work/server.log" "listening on"
    sed 's/^/  /' "$work/server.log"
}
start_server 0
port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\),.*/\1/p' "$work/server.log")

echo "== morvane-client connects to 127.0.0.1:$port"
printf '[CLIENT]\nhost=127.0.0.1\nport=%s\ncom=3\nreconnect=1\n' "$port" > "$work/client/morvane.ini"
(cd "$work/client" && exec "$build/client/morvane-client") 2> "$work/client.log" &
client=$!
pids="$pids $client"
wait_for "$work/client.log" "virtual port"
sed 's/^/  /' "$work/client.log"
ls -l "$work/client/com3" | sed 's/^/  /'

echo "== an application uses the virtual port"
$python "$scripts/demo_application.py" "$work/client/com3"

echo "== the server restarts; the client keeps its virtual port (reconnect=1)"
kill "$server"
wait "$server" || true
start_server "$port"
wait_for "$work/client.log" "connected again"
sed '1d; s/^/  /' "$work/client.log"
$python "$scripts/demo_application.py" "$work/client/com3"

echo "== clean-up"
for pid in $pids; do kill "$pid"; done
for pid in $pids; do wait "$pid" || true; done
pids=""
if [ -e "$work/client/com3" ] || [ -L "$work/client/com3" ]; then
    echo "  the virtual port's symlink is still there" >&2
    exit 1
fi
echo "  every process ended, the symlink is gone"
