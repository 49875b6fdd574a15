#!/bin/sh
# Does a long operation of one client starve the others? A scratch table of
# ROWS rows (default 1,000,000) is loaded with ztadmin; then a bystander's
# pings (STARTTRANSACTION, one per round trip) are timed three ways: on an
# idle server, while another client sorts the whole table over and over,
# and while another opens it with a filter over and over. Prints ztload's
# line for each (mean and worst round trip) and the worst ratios.
#
#   bench/starvation.sh [BUILD_DIR] [ROWS] [SECONDS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build-release}
rows=${2:-1000000}
seconds=${3:-20}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ztstarve-XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

"$build/ztadmin" create "$scratch/load.dat" "$here/load.schema" >/dev/null
awk -v n="$rows" 'BEGIN { print "ID,NAME,CITY,QTY"; for (i = 1; i <= n; i++) printf "%d,name%d,city%d,%d\n", i, (i * 7919) % n, i % 97, i % 1000 }' >"$scratch/rows.csv"
"$build/ztadmin" load "$scratch/load.dat" LOAD "$scratch/rows.csv" >/dev/null
cat >"$scratch/zt.ini" <<INI
[CONNECTION]
DatabaseFile=load.dat

[SERVER]
WorkFolder=work
LockFolder=locks
ListenAddress=127.0.0.1
ResultsetMemory=4096
INI
"$build/ztserver" --config "$scratch/zt.ini" --port 0 >"$scratch/server.out" 2>&1 &
server_pid=$!
port=
tries=0
while [ -z "$port" ]; do
  port=$(sed -n 's/^Listening on .*:\([0-9][0-9]*\)$/\1/p' "$scratch/server.out")
  tries=$((tries + 1))
  if [ -z "$port" ] && { [ $tries -gt 100 ] || ! kill -0 "$server_pid" 2>/dev/null; }; then
    echo "ztserver did not start:"; cat "$scratch/server.out"; exit 1
  fi
  [ -n "$port" ] || sleep 0.1
done

ping() { "$build/ztload" --mode ping -p "$port" -n 1000000 -s "$seconds"; }
echo "idle:"
ping | tee "$scratch/idle"
for mode in sort range; do
  echo "while another client runs $mode over $rows rows:"
  "$build/ztload" --mode "$mode" -p "$port" -n 1000000 -s "$((seconds + 2))" --no-fetch \
    --keys "$rows" --range "$rows" >"$scratch/$mode.load" 2>&1 &
  load_pid=$!
  ping | tee "$scratch/$mode"
  wait "$load_pid" || true
  cat "$scratch/$mode.load"
done
