#!/bin/sh
# Starts both programs in a scratch folder and shows how they report their
# start-up; the full demonstration arrives with the client's virtual port.
set -u
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf '[SERVER]\ncom=1\nport=0\n[CLIENT]\nhost=127.0.0.1\ncom=3\n' > morvane.ini
echo "== morvane-server"; "$build/server/morvane-server"; echo "exit status $?"
echo "== morvane-client"; "$build/client/morvane-client"; echo "exit status $?"
