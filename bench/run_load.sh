#!/bin/sh
# Rows stored per second through the protocol, with 1 and 16 clients:
# makes a scratch database from bench/load.schema, starts ztserver on a
# port the system picks (--port 0; the server prints which), runs ztload
# against it, stops the server and removes the scratch folder.
#
#   bench/run_load.sh [BUILD_DIR] [ROWS_PER_CLIENT]
#
# ZT_DURABILITY=os runs the server with Durability=os (default full).
# BUILD_DIR defaults to build-release (configure it with
# -DCMAKE_BUILD_TYPE=Release for meaningful figures).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build-release}
rows=${2:-2000}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ztload-XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

"$build/ztadmin" create "$scratch/load.dat" "$here/load.schema" >/dev/null
cat >"$scratch/zt.ini" <<INI
[CONNECTION]
DatabaseFile=load.dat

[SERVER]
WorkFolder=work
LockFolder=locks
ListenAddress=127.0.0.1
Durability=${ZT_DURABILITY:-full}
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

"$build/ztload" -p "$port" -c 1 -n "$rows" -s 120 -f 1
"$build/ztload" -p "$port" -c 16 -n "$rows" -s 120 -f 100000000
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=
"$build/ztadmin" check "$scratch/load.dat" | tail -1
