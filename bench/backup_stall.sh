#!/usr/bin/env bash
# How long a backup on SIGUSR1 makes other clients wait: one client pings
# the server without pause for a few seconds, once while nothing else
# happens and once while the server writes a backup of a 100,000-row
# database (ROWS rows, default 100,000); the worst ping of each run is
# printed (3 runs each).
#
#   bench/backup_stall.sh [BUILD_DIR] [ROWS]      (default build-release)
#
# WRITES (default 20000) rows are inserted by 4 clients right before each
# backup, so that the files hold changes no sync has covered yet (what a
# backup of a busy server meets).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-release}
rows=${2:-100000}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ztstall-XXXXXX")
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

printf 'table BENCH\ncolumn ID integer 10 key\ncolumn NAME text 20\ncolumn CITY text 12\n' \
  >"$scratch/bench.schema"
awk -v n="$rows" 'BEGIN { print "ID,NAME,CITY"; for (i = 1; i <= n; i++) printf "%d,NAME%07d,CITY%d\n", i, i, i % 12 }' \
  >"$scratch/bench.csv"
"$build/ztadmin" create "$scratch/bench.dat" "$scratch/bench.schema" >/dev/null
"$build/ztadmin" load "$scratch/bench.dat" BENCH "$scratch/bench.csv" </dev/null >/dev/null
printf '[CONNECTION]\nDatabaseFile=bench.dat\n\n[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\nBackupFolder=backups\n' \
  >"$scratch/zt.ini"
"$build/ztserver" --config "$scratch/zt.ini" --port 0 >"$scratch/out" 2>&1 &
pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^Listening on .*:\([0-9][0-9]*\)$/\1/p' "$scratch/out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start"; cat "$scratch/out"; exit 1; }
echo "database: $(du -ch "$scratch"/bench.dat "$scratch"/bench.zdf "$scratch"/bench.zix | tail -1 | cut -f1)"
for run in 1 2 3; do
  if [ "${WRITES:-20000}" -gt 0 ]; then
    "$build/ztload" -t BENCH -p "$port" -c 4 -n $((${WRITES:-20000} / 4)) -s 120 \
      -f $((run * 10000000)) NAME=written CITY=here >/dev/null
  fi
  idle=$("$build/ztload" --mode ping -c 1 -s 2 -p "$port" | sed -n 's/.*worst \([0-9.]*\).*/\1/p')
  "$build/ztload" --mode ping -c 1 -s 2 -p "$port" >"$scratch/ping" &
  load=$!
  sleep 0.5
  kill -USR1 "$pid"
  wait "$load"
  during=$(sed -n 's/.*worst \([0-9.]*\).*/\1/p' "$scratch/ping")
  for _ in $(seq 600); do grep -q "Backup: wrote" "$scratch/work/dberrors.txt" && break; sleep 0.1; done
  grep -q "Backup: wrote" "$scratch/work/dberrors.txt" || { echo "no backup logged:"; cat "$scratch/work/dberrors.txt"; exit 1; }
  echo "run $run: worst ping ${idle} ms without a backup, ${during} ms during one"
  rm -rf "$scratch/backups"
  : >"$scratch/work/dberrors.txt"
done
