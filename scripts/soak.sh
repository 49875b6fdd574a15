#!/bin/sh
# Soak: CLIENTS connections (default 300) run a random mix of work
# (scripts/soak.py) against ztserver for SECONDS (default 600) on a scratch
# table of 10,000 rows. Passes when, at the end, the server's output holds
# no sanitizer report, its resident memory is back near its level before
# the run, and `ztadmin check` finds the files consistent.
#
#   scripts/soak.sh [BUILD_DIR] [SECONDS] [CLIENTS]
# BUILD_DIR defaults to build-asan (configure it with -DZT_SANITIZE=ON).
# The test suite runs a short form (a few seconds, fewer clients).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-asan}
seconds=${2:-600}
clients=${3:-300}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ztsoak-XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT INT TERM
rss() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$server_pid/status"; }

"$build/ztadmin" create "$scratch/load.dat" "$here/bench/load.schema" >/dev/null
awk 'BEGIN { print "ID,NAME,CITY,QTY"; for (i = 1; i <= 10000; i++) printf "%d,n%d,c%d,%d\n", i, i % 1000, i % 50, i }' >"$scratch/rows.csv"
"$build/ztadmin" load "$scratch/load.dat" LOAD "$scratch/rows.csv" >/dev/null
cat >"$scratch/zt.ini" <<INI
[CONNECTION]
DatabaseFile=load.dat

[SERVER]
WorkFolder=work
LockFolder=locks
ListenAddress=127.0.0.1
RetryDelay=20
INI
# Freed memory goes back at once, so the resident size can come down again.
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}:quarantine_size_mb=1:allocator_release_to_os_interval_ms=0"
export ASAN_OPTIONS
"$build/ztserver" --config "$scratch/zt.ini" --port 0 >"$scratch/server.out" 2>&1 &
server_pid=$!
port=
tries=0
while [ -z "$port" ]; do
  port=$(sed -n 's/^Listening on .*:\([0-9][0-9]*\)$/\1/p' "$scratch/server.out")
  tries=$((tries + 1))
  if [ -z "$port" ] && { [ $tries -gt 300 ] || ! kill -0 "$server_pid" 2>/dev/null; }; then
    echo "ztserver did not start:"; cat "$scratch/server.out"; exit 1
  fi
  [ -n "$port" ] || sleep 0.1
done

# The idle level: after a first short round, so that caches and the shared
# rows of the table are in place.
python3 "$here/scripts/soak.py" "$port" 1 4 0 >/dev/null
idle=$(rss)
status=0
python3 "$here/scripts/soak.py" "$port" "$seconds" "$clients" 1 || status=1
# The clients are gone once the server has closed their sessions.
python3 "$here/scripts/soak.py" "$port" 1 1 2 >/dev/null || true
after=$(rss)
echo "soak: resident memory ${idle} KiB before, ${after} KiB after"
# Allowed: 64 MiB or half the idle level, whichever is more (allocator
# caches, the error log's and the index's bounded caches).
margin=$((idle / 2 > 65536 ? idle / 2 : 65536))
if [ "$after" -gt $((idle + margin)) ]; then
  echo "soak: the server's memory did not come back to its idle level"; status=1
fi
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=
if grep -E "ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:" "$scratch/server.out"; then
  echo "soak: sanitizer report"; status=1
fi
if ! "$build/ztadmin" --config "$scratch/zt.ini" check "$scratch/load.dat" >"$scratch/check.out" 2>&1; then
  cat "$scratch/check.out"; echo "soak: ztadmin check found problems"; status=1
fi
tail -1 "$scratch/check.out"
exit $status
