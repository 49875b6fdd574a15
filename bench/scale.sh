#!/usr/bin/env bash
# What grows with the database: the server's costs at several table sizes,
# with SQLite's at the same size where it has an equivalent.
#
#   bench/scale.sh [BUILD_DIR]        (default build-release, built Release)
#
# SCALE_ROWS (default "100000 1000000 3000000") are the sizes;
# SCALE_SECONDS (default 5) the length of each ping run. The table is one
# table BENCH (ID integer 10 key, NAME text 20, CITY text 12) loaded with
# `ztadmin load` from a generated CSV (IDs 1..N in order, NAMEs in no
# order, CITY one of 12 names, Hull among them); the same CSV fills SQLite's
# t(id, name, city) with an index on id. One run per size on this machine:
# read the ratios, not the absolute figures. Rows:
#   ping            a bystander's STARTTRANSACTION round trips (p99 / worst)
#                   while another client sorts the table on NAME over and
#                   over (ztload --mode sort --no-fetch)
#   restart         after SIGKILL of the server during inserts (4 ztload
#                   clients): seconds until "Listening", and the restarted
#                   server's peak resident memory (VmHWM) then; the
#                   background verification's time and the peak after it
#   check           `ztadmin check`: seconds / peak memory, and the time over
#                   SQLite's PRAGMA integrity_check
#   open            OPEN with CITY <> Hull and GETROWCOUNT (best of 3), over
#                   SQLite's SELECT count(*) ... WHERE city <> 'Hull'
#   read            ID and NAME of the first 20,000 rows in ID order (after
#                   one SORT), 200 rows a write; rows/s, and SQLite's ORDER BY
#                   id LIMIT 20000
#   load            `ztadmin load` rows/s over `sqlite3 .import` rows/s
#   deleteall       RECORDSETDELETEALL + RECORDSETUPDATE of every row: result,
#                   seconds, the bystander's worst ping, the server's peak
#                   memory (run last: it empties the table)
# Every server is started here on --port 0 and stopped by its process id;
# the scratch folder goes at the end, on every path.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build-release}
case $build in /*) ;; *) build=$PWD/$build ;; esac
sizes=${SCALE_ROWS:-100000 1000000 3000000}
seconds=${SCALE_SECONDS:-5}
client="python3 $here/scale_client.py"
say() { printf '%s\n' "$*" >&2; }

command -v sqlite3 >/dev/null || { say "scale.sh: needs sqlite3 (apt-get install sqlite3)"; exit 1; }
say "building Release in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target ztserver ztadmin ztload >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ztscale-XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

now() { date +%s.%N; }
elapsed() { echo "$1 $2" | awk '{ printf "%.2f", $2 - $1 }'; }
ratio() { echo "$1 $2" | awk '{ if ($2 > 0) printf "%.1f", $1 / $2; else print "-" }'; }
hwm_mib() { awk '/VmHWM/ { printf "%d", $2 / 1024 }' "/proc/$1/status" 2>/dev/null || echo "-"; }
word() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }

# start_server: the server on the scratch database, in the background; sets
# server_pid and port, and started (the time it was started).
start_server() {
  : >"$scratch/server.out"
  started=$(now)
  "$build/ztserver" --config "$scratch/zt.ini" --port 0 >"$scratch/server.out" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  port=
  for _ in $(seq 6000); do
    port=$(sed -n 's/^Listening on .*:\([0-9][0-9]*\)$/\1/p' "$scratch/server.out")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.01
  done
  listened=$(now)
  [ -n "$port" ] || { say "ztserver did not start:"; cat "$scratch/server.out" >&2; exit 1; }
}
stop_server() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
}

declare -A row
for n in $sizes; do
  say "--- $n rows"
  rm -rf "${scratch:?}"/*
  printf 'table BENCH\ncolumn ID integer 10 key\ncolumn NAME text 20\ncolumn CITY text 12\n' \
    >"$scratch/bench.schema"
  awk -v n="$n" 'BEGIN { split("Hull York Leeds Bath Ely Wells Derby Truro Ripon Exeter Ayr Perth", c, " ");
    print "ID,NAME,CITY"; for (i = 1; i <= n; i++) printf "%d,NAME%09d,%s\n", i, (i * 7919) % n, c[i % 12 + 1] }' \
    >"$scratch/bench.csv"
  printf '[CONNECTION]\nDatabaseFile=bench.dat\n\n[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\nResultsetMemory=8192\n' \
    >"$scratch/zt.ini"

  # load
  "$build/ztadmin" create "$scratch/bench.dat" "$scratch/bench.schema" >/dev/null
  t0=$(now)
  "$build/ztadmin" --work-folder "$scratch/work" load "$scratch/bench.dat" BENCH "$scratch/bench.csv" </dev/null >/dev/null
  ours_load=$(elapsed "$t0" "$(now)")
  t0=$(now)
  sqlite3 "$scratch/bench.sqlite" "CREATE TABLE t(id INTEGER, name TEXT, city TEXT); CREATE INDEX t_id ON t(id);" \
    ".import --csv --skip 1 $scratch/bench.csv t"
  their_load=$(elapsed "$t0" "$(now)")
  row[load,$n]="$(ratio "$their_load" "$ours_load") (${ours_load} s vs ${their_load} s)"

  # check
  /usr/bin/time -f "%e %M" -o "$scratch/check.time" \
    "$build/ztadmin" --work-folder "$scratch/work" check "$scratch/bench.dat" >"$scratch/check.out" 2>&1 ||
    { say "check failed:"; tail -3 "$scratch/check.out" >&2; }
  read -r check_s check_kib <"$scratch/check.time"
  lite=$($client sqlite "$scratch/bench.sqlite" 20000)
  integrity=$(echo "$lite" | word integrity_s)
  row[check,$n]="$check_s s / $((check_kib / 1024)) MiB; $(ratio "$check_s" "$integrity")x sqlite ($integrity s)"

  start_server
  # ping during sorts
  "$build/ztload" --mode sort -p "$port" -n 1000000 -s "$((seconds + 2))" --no-fetch --column NAME \
    >"$scratch/sort.out" 2>&1 &
  sorter=$!
  sleep 1
  pinged=$($client ping "$port" "$seconds")
  wait "$sorter" || true
  row[ping,$n]="$(echo "$pinged" | word p99_ms) / $(echo "$pinged" | word worst_ms) ms"

  # open with a condition on a non-key column
  opened=$($client open "$port")
  open_s=$(echo "$opened" | word open_s)
  count_s=$(echo "$lite" | word count_s)
  row[open,$n]="$(ratio "$open_s" "$count_s")x ($open_s s vs $count_s s)"

  # reading rows in sort order
  read_rate=$($client read "$port" 20000 | word rows_per_s)
  row[read,$n]="$read_rate rows/s (sqlite $(echo "$lite" | word rows_per_s))"

  # restart after SIGKILL during inserts
  "$build/ztload" -p "$port" -c 4 -n 1000000 -s 30 -t BENCH -f "$((n + 1))" NAME=x CITY=Hull \
    >"$scratch/insert.out" 2>&1 &
  inserter=$!
  sleep 2
  kill -9 "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  wait "$inserter" 2>/dev/null || true
  start_server
  restart_s=$(elapsed "$started" "$listened")
  restart_mib=$(hwm_mib "$server_pid")
  verified=
  # (A server that verifies nothing in the background says nothing.)
  grep -q "Verification: the files are verified" "$scratch/work/dberrors.txt" 2>/dev/null ||
    verified="none"
  for _ in $(seq 12000); do
    [ -n "$verified" ] && break
    verified=$(grep -E "Verification: (the files check clean|found)" "$scratch/work/dberrors.txt" 2>/dev/null | tail -1 || true)
    [ -n "$verified" ] && break
    sleep 0.05
  done
  verify_s=$(elapsed "$listened" "$(now)")
  case $verified in none) verdict="none (checked before listening)" ;; *"check clean"*) verdict=clean ;;
    "") verdict="not done" ;; *) verdict=PROBLEMS ;; esac
  row[restart,$n]="$restart_s s / $restart_mib MiB; verification $verdict after $verify_s s, peak $(hwm_mib "$server_pid") MiB"

  # DELETEALL + UPDATE of every row, with a bystander
  $client ping "$port" 600 >"$scratch/bystander.out" 2>&1 &
  bystander=$!
  deleted=$($client deleteall "$port" 600)
  kill -TERM "$bystander" 2>/dev/null || true  # it prints its figures and ends
  wait "$bystander" 2>/dev/null || true
  row[deleteall,$n]="$(echo "$deleted" | word result) in $(echo "$deleted" | word seconds) s; bystander worst $(word worst_ms <"$scratch/bystander.out") ms; server peak $(hwm_mib "$server_pid") MiB"
  stop_server
done

# The table.
printf '\n| | %s |\n|---|' "$(echo $sizes | sed 's/ / rows | /g') rows"
for _ in $sizes; do printf -- '---|'; done
printf '\n'
for key in ping restart check open read load deleteall; do
  case $key in
    ping) label="bystander ping during back-to-back sorts: p99 / worst" ;;
    restart) label="restart after SIGKILL during inserts: until Listening / peak memory" ;;
    check) label="ztadmin check: time / peak memory; vs sqlite integrity_check" ;;
    open) label="open with CITY <> Hull vs sqlite count(*)" ;;
    read) label="ID and NAME of the first 20,000 rows in sort order" ;;
    load) label="ztadmin load vs sqlite3 .import (rate ratio)" ;;
    deleteall) label="DELETEALL + UPDATE of every row" ;;
  esac
  printf '| %s |' "$label"
  for n in $sizes; do printf ' %s |' "${row[$key,$n]}"; done
  printf '\n'
done
