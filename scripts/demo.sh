#!/usr/bin/env bash
# Demo: the collector against the bundled packet server.
#
# Installs what is missing (Debian packages only), builds the linux preset, starts
# VBxPakketServer on a free port, runs VBxMorvel in console mode from a fresh folder with
# an HTTPTimer of 2000 ms until the first packet has been written, stops it with SIGTERM
# and shows the log lines, the status reports and the written TV_BRIVON.XML.
#
#   scripts/demo.sh            (as root on a fresh machine, or with the tools installed)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
  state=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$state" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

echo "== building (preset linux)"
cmake --preset linux >/dev/null
cmake --build --preset linux --target VBxMorvel VBxPakketServer

work=$(mktemp -d /tmp/vbxmorvel-demo.XXXXXX)
server_pid=""
collector_pid=""
cleanup() {
  [ -n "$collector_pid" ] && kill "$collector_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $2 seconds for the pattern $1 in the file $3.
await() {
  local deadline=$((SECONDS + $2))
  until grep -q -- "$1" "$3" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then return 1; fi
    sleep 0.2
  done
}

echo "== starting the packet server"
"$root/build/linux/VBxPakketServer" --port 0 >"$work/server.log" 2>&1 &
server_pid=$!
await "^listening on " 10 "$work/server.log" || { cat "$work/server.log"; echo "the packet server did not start"; exit 1; }
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.log" | head -n 1)
echo "   listening on 127.0.0.1:$port"

app="$work/app"
mkdir "$app"
cp "$root/build/linux/VBxMorvel" "$app/"
# The default configuration document, with a request every 2000 ms to the demo server.
lines=(
  '<?xml version="1.0" encoding="UTF-8"?>'
  '<BrivonMorvelserver>'
  '<Timers>'
  '<HTTPTimer>2000</HTTPTimer>'
  '</Timers>'
  '<TCPCLIENT>'
  '<Binding>127.0.0.1</Binding>'
  "<Port>$port</Port>"
  '</TCPCLIENT>'
  '<Output>'
  '<OutputToFile>True</OutputToFile>'
  "<OutputDirectory>$app/BrivonTV/XML</OutputDirectory>"
  '</Output>'
  '<Serverdata>'
  '<Verzender>brv</Verzender>'
  '<Ontvanger>brv</Ontvanger>'
  '<Protocol>Mm_BR</Protocol>'
  '<Versie>1.0</Versie>'
  '</Serverdata>'
  '</BrivonMorvelserver>'
)
printf '%s\r\n' "${lines[@]}" >"$app/VBxMorvelClient.xml"

echo "== running $app/VBxMorvel /CONSOLE until the first packet"
"$app/VBxMorvel" /CONSOLE >"$work/entries.log" 2>"$work/status.log" &
collector_pid=$!
if ! await "Vanto Brivon Morvel pakket ontvangen" 60 "$work/entries.log"; then
  echo "no packet within 60 s"
  echo "-- entries:"; cat "$work/entries.log"
  echo "-- status reports:"; cat "$work/status.log"
  echo "-- packet server:"; cat "$work/server.log"
  exit 1
fi
kill -TERM "$collector_pid"
status=0
wait "$collector_pid" || status=$?
collector_pid=""

echo
echo "== event-log entries (standard output)"
cat "$work/entries.log"
echo
echo "== status reports (standard error)"
cat "$work/status.log"
echo
echo "== packet server transcript"
cat "$work/server.log"
echo
echo "== $app/BrivonTV/XML/TV_BRIVON.XML"
tr -d '\r' <"$app/BrivonTV/XML/TV_BRIVON.XML"
echo
echo "== VBxMorvel ended with exit status $status"
exit "$status"
