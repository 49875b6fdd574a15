#!/usr/bin/env bash
# The side-by-side benchmark: this server against PostgreSQL, Redis, SQLite
# and a plain C echo server, on the same 100,000-row table, on this machine.
#
#   bench/compare.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-release; it is configured Release and only the
# programs needed are built. Missing tools are installed with apt-get (sudo
# when not root): PostgreSQL with pgbench, redis-server and redis-tools,
# sqlite3 and libsqlite3-dev. Every server is started here, in a scratch
# folder, bound to 127.0.0.1 on a free port, and stopped by its process id
# when the script ends (or fails, or is interrupted). Every step runs under a
# timeout and the whole run under BENCH_LIMIT seconds (default 1800); with the
# defaults it takes about 6-10 minutes on 2 cores.
#
# Environment: BENCH_SECONDS (default 4) is the length of one timed run;
# BENCH_REPS (default 3) the repetitions; BENCH_LOG (default
# BUILD_DIR/compare.log) receives every raw output line.
# BENCH_ROWS (default: all but metrics) runs only the named groups of rows,
# of lookup, ping, get, open (with range, sort and their fetch rows),
# fetch, insert, load, recordsets, tls and metrics: BENCH_ROWS="lookup ping".
# BENCH_METRICS=1 serves ours with its metrics endpoint on (MetricsAddress
# on a free loopback port) and scrapes GET /metrics every second for as
# long as it runs, so that the table shows what monitoring costs: run
# once with and once without and compare the two tables' ratios.
# The metrics group measures that cost directly, with less noise: two of
# our servers run side by side, one with the endpoint on and scraped every
# second, one without, and the lookup and ping rows run against each in
# turn; the ratio is on / off. Its cpu rows divide the requests by the CPU
# seconds the server spent on them, which other load on the machine moves
# far less than the rates.
#
# The table: BENCH (ID integer 10 key, NAME text 20, CITY text 12), 100,000
# rows from one generated CSV (IDs 1..100000, NAMEs upper-case and distinct,
# in no order). The same CSV fills SQLite's t(id, name, city) with an index
# on id, and PostgreSQL's bench(id, name, city) with an index on id.
#
# Each row below runs ours, then theirs, REPS times in turn. A pair of runs
# gives one ratio ours / theirs; the table shows the median ratio with the
# smallest and largest, and the median raw figure of each side.
#   - Throughput rows (lookup, insert, ping, get, load): ratio = our rate /
#     their rate, so above 1 means we are faster.
#   - Time rows (open, range, sort): ratio = our time per operation / theirs,
#     the "x slower" figure, so below 1 means we are faster.
#   - The recordsets row is not a ratio: GiB of server memory plus files.
#
# What each row measures (ours with tools/ztload, see its --help):
#   lookup 1/16   per transaction CLEARFILTERS, ADDFILTERCOLUMN ID = n (n random
#                 in 1..100000), OPEN, GETFIELDVALUE NAME in one write, each
#                 client its own recordset; transactions/s.  vs pgbench -S
#                 -M prepared on pgbench's own 100,000 accounts (scale 1), as
#                 many pgbench threads as clients (ztload too: one per client).
#   insert 1/16   a recordset open on the whole table, then per row ADDROW,
#                 SETFIELDVALUE ID and NAME, UPDATE, the row's four requests in
#                 one write (one round trip a row, as pgbench has); rows/s on
#                 a fresh copy of the database.  vs pgbench -f (one INSERT of
#                 id, name into bench, -M prepared). PostgreSQL runs with
#                 fsync on (every commit synced), ours with Durability=full
#                 (one log sync per processing run); only these rows write.
#   ping 16       STARTTRANSACTION (the cheapest request: accepted, ignored,
#                 answered with its own name, 18 bytes each way), one per round
#                 trip; requests/s.  vs bench/echo_server.c (epoll, one thread)
#                 with the same client and the same bytes.
#   get 16        GETFIELDVALUE NAME on the current row of an open recordset,
#                 one per round trip (no pipelining); requests/s.  vs
#                 redis-benchmark -t get -c 16 --threads 16 -P 1 -d 20 (a
#                 thread per connection, as ztload has: with its default one
#                 thread the client, not Redis, sets the pace on 2 cores).
#   open          OPEN the whole table without a filter and GETROWCOUNT, one
#                 client; ms per open.  vs SELECT count(*) FROM t.
#   range         ID >= a and ID < a+1000, OPEN, GETROWCOUNT: the server has
#                 made the 1000-row resultset; ms per range.  vs SELECT name
#                 ... WHERE id >= a AND id < a+1000 with every row stepped.
#   sort          OPEN, SORT on NAME, MOVEFIRST, GETROWCOUNT: the server has
#                 the 100,000 rows in order; ms per sort.  vs SELECT name FROM
#                 t ORDER BY name with every row stepped.
#   rangefetch,   the same, then every row also read over the protocol
#   sortfetch     (MOVENEXT, GETFIELDVALUE NAME, pipelined: two requests per
#                 row, as ztload reads); shown for information, against the
#                 same SQLite figures.
#   bulkfetch     the whole table (100,000 rows of ID, NAME, CITY) read into
#                 Python through the ztserver package: OPEN, then fetchall()
#                 (RECORDSETFETCHROWS, bounded replies, one request ahead);
#                 rows/s.  vs psycopg2 (python3-psycopg2): SELECT id, name,
#                 city FROM bench and fetchall(), on the same connection each
#                 time (bench/fetch_bench.py).
#   tls           ours with TlsAddress on, a certificate made here (openssl,
#                 P-256, for 127.0.0.1) that clients verify:
#     tlsping16   ping, 16 clients, over TLS / the same over the plain port
#                 (ours against ours: what encryption costs);
#     tlslookup16 lookup, 16 clients, over TLS  vs pgbench -S -c 16 with
#                 sslmode=require (PostgreSQL has ssl=on with the same kind
#                 of certificate; every other pgbench row uses sslmode=disable);
#     tlsconnect4 4 clients each making a new TLS connection per operation
#                 (handshake, greeting, STARTTRANSACTION, close) vs pgbench
#                 -S -C -c 4 with sslmode=require (a connection per
#                 transaction); operations/s.
#   load          `ztadmin load` of the CSV into a new database; rows/s.  vs
#                 sqlite3 `.import` of the CSV into a new file with the table
#                 and its index. Both are one process per load.
#   recordsets    1000 connections (one ztload thread) each opening a
#                 recordset on the whole table, on a freshly started server;
#                 its peak resident memory (VmHWM) plus the bytes of the files
#                 in its TMPDIR, in GiB. Opening stops early at the time limit
#                 or when memory + files pass 60% of what the machine has
#                 free; the figure for 1000 is then extrapolated from the
#                 growth per recordset, and marked so.
# SQLite runs in process (bench/sqlite_bench.c, one connection, prepared
# statement reused); ours runs through the protocol on loopback TCP to a
# long-running server: both keep their connection open across operations.
#
# The server is started with --port 0 when the build takes it (the port is
# then read from the listening socket), else on a free port picked here.
set -euo pipefail

if [ -z "${ZT_COMPARE_INNER:-}" ]; then
  # Bound the whole run; the inner script's trap still stops every server.
  export ZT_COMPARE_INNER=1
  exec timeout -k 30 "${BENCH_LIMIT:-1800}" bash "$0" "$@"
fi

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build-release}
case $build in /*) ;; *) build=$PWD/$build ;; esac
run_seconds=${BENCH_SECONDS:-4}
reps=${BENCH_REPS:-3}
log=${BENCH_LOG:-$build/compare.log}
rows=100000
sudo=
[ "$(id -u)" = 0 ] || sudo=sudo

metrics=${BENCH_METRICS:-0}
rows_wanted=${BENCH_ROWS:-lookup ping get open fetch insert load recordsets tls}
say() { printf '%s\n' "$*" >&2; }
# wanted GROUP: whether BENCH_ROWS asks for the group.
wanted() { case " $rows_wanted " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
die() {
  say "compare.sh: $*"
  exit 1
}

# --- tools ------------------------------------------------------------------
pg_bindir() { ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1; }
missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v c++ >/dev/null || missing+=(g++)
command -v cc >/dev/null || missing+=(gcc)
command -v python3 >/dev/null || missing+=(python3)
pgbin=$(pg_bindir)
[ -n "$pgbin" ] && [ -x "$pgbin/pgbench" ] || missing+=(postgresql postgresql-contrib)
command -v redis-server >/dev/null || missing+=(redis-server)
command -v redis-benchmark >/dev/null || missing+=(redis-tools)
command -v sqlite3 >/dev/null || missing+=(sqlite3)
[ -f /usr/include/sqlite3.h ] || missing+=(libsqlite3-dev)
# Debian's python3-psycopg2 serves Debian's own interpreter, which may not be
# the first python3 on the PATH.
bench_python=/usr/bin/python3
[ -x "$bench_python" ] || bench_python=python3
"$bench_python" -c 'import psycopg2' 2>/dev/null || missing+=(python3-psycopg2)
if [ ${#missing[@]} -gt 0 ]; then
  say "installing: ${missing[*]}"
  # Keep the packages from starting their own services (on 5432 and 6379):
  # this script starts the servers it measures.
  policy=
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $sudo tee $policy >/dev/null
    $sudo chmod 755 $policy
  fi
  install_status=0
  { timeout 600 $sudo apt-get update -q &&
    DEBIAN_FRONTEND=noninteractive timeout 900 $sudo apt-get install -y -q \
      --no-install-recommends "${missing[@]}"; } >&2 || install_status=$?
  [ -z "$policy" ] || $sudo rm -f $policy
  [ $install_status = 0 ] || die "apt-get failed"
  pgbin=$(pg_bindir)
fi

# --- build ------------------------------------------------------------------
say "building Release in $build"
timeout 900 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZT_BUILD_TESTS=OFF \
  >/dev/null || die "cmake failed"
timeout 1200 cmake --build "$build" -j2 --target ztserver ztadmin ztcli ztload >/dev/null ||
  die "build failed"
timeout 120 cc -O2 -Wall -o "$build/echo_server" "$here/echo_server.c" || die "echo_server"
timeout 120 cc -O2 -Wall -o "$build/sqlite_bench" "$here/sqlite_bench.c" -lsqlite3 ||
  die "sqlite_bench"

# --- scratch folder and the stop trap -----------------------------------------
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ztcompare-XXXXXX")
chmod 755 "$scratch"  # the postgres user reaches its data folder inside
: >"$log"
pids=()   # every server started, stopped by its id
pg_data=
stop_pid() {
  local pid=$1 waited=0
  kill "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  local pid
  for pid in "${pids[@]}"; do stop_pid "$pid"; done
  if [ -n "$pg_data" ] && [ -f "$pg_data/postmaster.pid" ]; then
    pid=$(head -1 "$pg_data/postmaster.pid")
    kill -INT "$pid" 2>/dev/null || true  # fast shutdown
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Descriptors: 1000 connections on each side, and the server's open files.
ulimit -n 8192 2>/dev/null || ulimit -n "$(ulimit -Hn)" || true

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# The TCP port process PID listens on, from its sockets and /proc/net/tcp.
listening_port() {
  local inode hex
  for inode in $(ls -l "/proc/$1/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\].*/\1/p'); do
    hex=$(awk -v i="$inode" '$4 == "0A" && $10 == i { split($2, a, ":"); print a[2]; exit }' \
      /proc/net/tcp)
    if [ -n "$hex" ]; then
      echo $((16#$hex))
      return 0
    fi
  done
  return 1
}

# elapsed seconds since $1 (date +%s%N)
since() { awk -v a="$1" -v b="$(date +%s%N)" 'BEGIN { printf "%.4f", (b - a) / 1e9 }'; }

# The number after word $1 in the text $2 ("" when absent).
num() { printf '%s\n' "$2" | awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) { print $(i + 1); exit } }'; }

# --- the data -----------------------------------------------------------------
csv=$scratch/bench.csv
schema=$scratch/bench.schema
printf 'table BENCH\ncolumn ID integer 10 key\ncolumn NAME text 20\ncolumn CITY text 12\n' >"$schema"
awk -v n=$rows 'BEGIN {
  split("LONDON PARIS BERLIN MADRID ROME VIENNA OSLO DUBLIN LISBON PRAGUE WARSAW ATHENS", city, " ")
  print "ID,NAME,CITY"
  for (i = 1; i <= n; i++) {
    h = (i * 2654435761) % 4294967296; name = ""
    for (k = 0; k < 7; k++) { name = name sprintf("%c", 65 + h % 26); h = int(h / 26) }
    printf "%d,%s%05d,%s\n", i, name, i % 100000, city[1 + i % 12]
  }
}' >"$csv"

say "loading $rows rows into a pristine database and into SQLite"
mkdir -p "$scratch/pristine"
timeout 60 "$build/ztadmin" create "$scratch/pristine/bench.dat" "$schema" >>"$log"
timeout 600 "$build/ztadmin" load "$scratch/pristine/bench.dat" BENCH "$csv" >>"$log" </dev/null ||
  die "ztadmin load failed"
sqlite_schema='CREATE TABLE t(id INTEGER, name TEXT, city TEXT); CREATE INDEX t_id ON t(id);'
timeout 60 sqlite3 "$scratch/bench.sqlite" "$sqlite_schema" ".import --csv --skip 1 $csv t" ||
  die "sqlite3 import failed"

# --- servers ------------------------------------------------------------------
zt_pid=
zt_port=
# Starts ztserver on a copy of the pristine database in $scratch/$1, with its
# temporary files in $scratch/$1/tmp.
start_zt() {
  local dir=$scratch/$1 tries=0
  rm -rf "$dir"
  mkdir -p "$dir/tmp"
  cp "$scratch/pristine"/bench.* "$dir/"
  printf '[CONNECTION]\nDatabaseFile=bench.dat\n\n[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\n' \
    >"$dir/zt.ini"
  [ -z "${zt_tls:-}" ] ||
    printf 'TlsAddress=127.0.0.1:0\nTlsCertificate=%s\nTlsKey=%s\n' "$tls_cert" "$tls_key" >>"$dir/zt.ini"
  [ "$metrics" = 0 ] || printf 'MetricsAddress=127.0.0.1:0\n' >>"$dir/zt.ini"
  TMPDIR=$dir/tmp "$build/ztserver" --config "$dir/zt.ini" --port 0 >"$dir/out" 2>&1 &
  zt_pid=$!
  zt_port=
  while [ -z "$zt_port" ] && [ $tries -lt 30 ]; do
    if ! kill -0 "$zt_pid" 2>/dev/null; then break; fi
    zt_port=$(listening_port "$zt_pid") || true
    [ -n "$zt_port" ] || sleep 0.1
    tries=$((tries + 1))
  done
  if [ -z "$zt_port" ]; then
    # This build does not take --port 0: pick a free port.
    stop_pid "$zt_pid"
    zt_port=$(free_port)
    TMPDIR=$dir/tmp "$build/ztserver" --config "$dir/zt.ini" --port "$zt_port" >"$dir/out" 2>&1 &
    zt_pid=$!
  fi
  pids+=("$zt_pid")
  tries=0
  until timeout 5 "$build/ztcli" -p "$zt_port" -t 1 GETLASTERRORTEXT >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || die "ztserver did not start: $(cat "$dir/out")"
    sleep 0.1
  done
  [ "$metrics" = 0 ] || start_scraper "$dir"
  zt_tls_port=$(sed -n 's/^TLS on .*:\([0-9]*\)$/\1/p' "$dir/out")
}
# Scrapes the metrics of the server just started, once a second, until it
# stops; every scrape must answer 200 (failures are counted in the log).
start_scraper() {
  local mport
  mport=$(sed -n 's/^Metrics on .*:\([0-9]*\)$/\1/p' "$1/out")
  [ -n "$mport" ] || die "ztserver serves no metrics: $(cat "$1/out")"
  (
    ok=0 bad=0
    while kill -0 "$zt_pid" 2>/dev/null; do
      if exec 3<>"/dev/tcp/127.0.0.1/$mport" 2>/dev/null; then
        printf 'GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&3
        if head -1 <&3 | grep -q '^HTTP/1.1 200'; then ok=$((ok + 1)); else bad=$((bad + 1)); fi
        cat <&3 >/dev/null || true
        exec 3<&-
      else
        bad=$((bad + 1))
      fi
      echo "scraper $1: $ok pages, $bad failures" >"$1/scrapes"
      sleep 1
    done
  ) &
  pids+=($!)
}
stop_zt() {
  stop_pid "$zt_pid"
  zt_pid=
  local scrapes
  for scrapes in "$scratch"/*/scrapes; do
    [ -f "$scrapes" ] || continue
    cat "$scrapes" >>"$log"
    say "  $(cat "$scrapes")"
    rm -f "$scrapes"
  done
}

say "starting PostgreSQL, Redis and the echo server"
# run_as_pg SECONDS COMMAND...: PostgreSQL refuses to run as root.
run_as_pg() {
  local limit=$1
  shift
  if [ "$(id -u)" = 0 ]; then timeout "$limit" runuser -u postgres -- "$@"; else timeout "$limit" "$@"; fi
}
# One certificate for both servers' TLS: P-256, naming 127.0.0.1, its own CA.
tls_cert=$scratch/tls-cert.pem
tls_key=$scratch/tls-key.pem
timeout 60 openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj /CN=localhost -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
  -keyout "$tls_key" -out "$tls_cert" >>"$log" 2>&1 || die "openssl req failed"
pg_data=$scratch/pg
pg_port=$(free_port)
mkdir -p "$pg_data"
chmod 700 "$pg_data"
[ "$(id -u)" != 0 ] || chown -R postgres: "$pg_data"
run_as_pg 120 "$pgbin/initdb" -D "$pg_data" -U bench -A trust -E UTF8 --no-sync \
  >>"$log" 2>&1 || die "initdb failed"
# The certificate goes in once initdb has made the folder (it refuses one
# that is not empty).
cp "$tls_cert" "$pg_data/tls-cert.pem"
cp "$tls_key" "$pg_data/tls-key.pem"
chmod 600 "$pg_data/tls-key.pem"
[ "$(id -u)" != 0 ] || chown postgres: "$pg_data/tls-cert.pem" "$pg_data/tls-key.pem"
# PostgreSQL as shipped: fsync on, every commit synced (only the insert rows
# write); ours with its default, Durability=full.
run_as_pg 120 "$pgbin/pg_ctl" -D "$pg_data" -l "$pg_data/server.log" -w -t 60 \
  -o "-p $pg_port -c listen_addresses=127.0.0.1 -c unix_socket_directories=$pg_data -c ssl=on -c ssl_cert_file=$pg_data/tls-cert.pem -c ssl_key_file=$pg_data/tls-key.pem" \
  start >>"$log" 2>&1 || die "PostgreSQL did not start: $(tail -5 "$pg_data/server.log")"
psql_run() { timeout 300 "$pgbin/psql" -h 127.0.0.1 -p "$pg_port" -U bench -d postgres -q -v ON_ERROR_STOP=1 "$@"; }
timeout 300 "$pgbin/pgbench" -h 127.0.0.1 -p "$pg_port" -U bench -i -s 1 -q postgres >>"$log" 2>&1 ||
  die "pgbench -i failed"
psql_run -c 'CREATE TABLE bench (id integer, name varchar(20), city varchar(12))' \
  -c "\\copy bench FROM '$csv' WITH (FORMAT csv, HEADER true)" \
  -c 'CREATE INDEX bench_id ON bench (id)' -c 'VACUUM ANALYZE' >>"$log" 2>&1 ||
  die "loading PostgreSQL failed"
printf '\\set id random(200000000, 2000000000)\nINSERT INTO bench (id, name) VALUES (:id, '"'"'LOADTEST'"'"');\n' \
  >"$scratch/insert.sql"

redis_port=
if wanted get; then
  redis_port=$(free_port)
  mkdir -p "$scratch/redis"
  redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no \
    --dir "$scratch/redis" --daemonize no >"$scratch/redis/out" 2>&1 &
  pids+=($!)
  tries=0
  until timeout 5 redis-cli -h 127.0.0.1 -p "$redis_port" ping >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || die "redis-server did not start: $(cat "$scratch/redis/out")"
    sleep 0.1
  done
  # redis-benchmark's GET reads the key its SET writes: one SET of 20 bytes.
  timeout 60 redis-benchmark -h 127.0.0.1 -p "$redis_port" -t set -n 1 -c 1 -d 20 -q >>"$log" 2>&1
fi

"$build/echo_server" 0 "${BENCH_LIMIT:-1800}" >"$scratch/echo.out" 2>&1 &
pids+=($!)
echo_pid=$!
tries=0
until grep -q '^port ' "$scratch/echo.out"; do
  tries=$((tries + 1))
  [ $tries -lt 100 ] && kill -0 $echo_pid 2>/dev/null || die "echo_server did not start"
  sleep 0.1
done
echo_port=$(awk '/^port /{print $2}' "$scratch/echo.out")

# --- the runs -----------------------------------------------------------------
results=$scratch/results  # lines: ROW OURS THEIRS
step_limit=$((run_seconds * 3 + 120))

# ztload ARGS...: the figure named by $figure from its summary line, or
# nothing when it failed.
ztload_figure() {
  local out status=0
  out=$(timeout -k 5 $step_limit "$build/ztload" -s "$run_seconds" -n 1000000 "$@" 2>>"$log") ||
    status=$?
  printf 'ztload %s\n%s\n' "$*" "$out" >>"$log"
  [ $status = 0 ] || { say "  ztload $* failed ($status); see $log"; return 0; }
  num "$figure" "$out"
}
# ztload_per_cpu PID ARGS...: ztload's ops divided by the CPU seconds
# (user + system) that process PID spent meanwhile: what one CPU second of
# the server buys, a figure that other load on the machine moves far less
# than a rate does.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
ztload_per_cpu() {
  local pid=$1 before after out status=0
  shift
  before=$(cpu_ticks "$pid")
  out=$(timeout -k 5 $step_limit "$build/ztload" -s "$run_seconds" -n 1000000 "$@" 2>>"$log") ||
    status=$?
  after=$(cpu_ticks "$pid")
  printf 'ztload %s (server cpu ticks %s -> %s)\n%s\n' "$*" "$before" "$after" "$out" >>"$log"
  [ $status = 0 ] || { say "  ztload $* failed ($status); see $log"; return 0; }
  awk -v ops="$(num ops "$out")" -v ticks=$((after - before)) -v hz="$(getconf CLK_TCK)" \
    'BEGIN { if (ticks > 0) printf "%.0f", ops / (ticks / hz) }'
}
pgbench_tps() {
  local out status=0
  out=$(PGSSLMODE=${pg_sslmode:-disable} timeout -k 5 $step_limit "$pgbin/pgbench" -h 127.0.0.1 -p "$pg_port" -U bench -n \
    -M prepared -T "$run_seconds" "$@" postgres 2>>"$log") || status=$?
  printf 'pgbench %s\n%s\n' "$*" "$out" >>"$log"
  [ $status = 0 ] || { say "  pgbench $* failed ($status)"; return 0; }
  printf '%s\n' "$out" | sed -n 's/^tps = \([0-9.]*\).*/\1/p' | head -1
}
sqlite_ms() {
  local out
  out=$(timeout -k 5 $step_limit "$build/sqlite_bench" "$scratch/bench.sqlite" "$1" \
    "$run_seconds" "$rows" 1000 2>>"$log") || { say "  sqlite_bench $1 failed"; return 0; }
  printf 'sqlite_bench %s\n%s\n' "$1" "$out" >>"$log"
  num mean "$out"
}
redis_get() {
  local out
  out=$(timeout -k 5 $step_limit redis-benchmark -h 127.0.0.1 -p "$redis_port" -t get -c 16 \
    --threads 16 -P 1 -d 20 -n $((run_seconds * 40000)) --csv 2>>"$log") || { say "  redis-benchmark failed"; return 0; }
  printf 'redis-benchmark\n%s\n' "$out" >>"$log"
  printf '%s\n' "$out" | awk -F'"' '$2 == "GET" { print $4 }'
}

# fetch_rate zt|pg PORT: rows/s of bench/fetch_bench.py (whole table,
# Python client against psycopg2).
fetch_rate() {
  local out status=0
  out=$(timeout -k 5 $step_limit "$bench_python" "$here/fetch_bench.py" "$1" "$2" "$run_seconds" \
    2>>"$log") ||
    status=$?
  printf 'fetch_bench %s\n%s\n' "$*" "$out" >>"$log"
  [ $status = 0 ] || { say "  fetch_bench $* failed ($status); see $log"; return 0; }
  num rows/s "$out"
}

# run ROW OURS-COMMAND THEIRS-COMMAND: REPS pairs, interleaved.
run() {
  local row=$1 ours theirs rep
  for rep in $(seq "$reps"); do
    ours=$(eval "$2")
    theirs=$(eval "$3")
    say "  $row $rep/$reps: ours ${ours:-failed}, theirs ${theirs:-failed}"
    echo "$row ${ours:-NA} ${theirs:-NA}" >>"$results"
  done
}

start_zt main
zl="-p \$zt_port -t BENCH -k ID --column NAME"
figure=ops/s
if wanted lookup; then
  say "lookup (tps)"
  run lookup1 "ztload_figure --mode lookup -c 1 $zl" "pgbench_tps -S -c 1 -j 1"
  run lookup16 "ztload_figure --mode lookup -c 16 $zl" "pgbench_tps -S -c 16 -j 16"
fi
if wanted ping; then
  say "ping (requests/s)"
  run ping16 "ztload_figure --mode ping -c 16 -p \$zt_port" \
    "ztload_figure --mode ping --echo -c 16 -p \$echo_port"
fi
if wanted get; then
    say "get (requests/s)"
    run get16 "ztload_figure --mode get -c 16 $zl" "redis_get"
fi
figure=mean
if wanted open; then
  say "open, range, sort (ms per operation)"
  run open "ztload_figure --mode open -c 1 $zl" "sqlite_ms count"
  run range "ztload_figure --mode range -c 1 --range 1000 --no-fetch $zl" "sqlite_ms range"
  run sort "ztload_figure --mode sort -c 1 --no-fetch $zl" "sqlite_ms sort"
  run rangefetch "ztload_figure --mode range -c 1 --range 1000 $zl" "sqlite_ms range"
  run sortfetch "ztload_figure --mode sort -c 1 $zl" "sqlite_ms sort"
fi
if wanted fetch; then
  say "bulk fetch through the Python clients (rows/s)"
  run bulkfetch "fetch_rate zt \$zt_port" "fetch_rate pg \$pg_port"
fi
stop_zt

if wanted tls; then
  say "tls (requests/s; operations/s)"
  zt_tls=1 start_zt tls
  [ -n "$zt_tls_port" ] || die "ztserver has no TLS listener: $(cat "$scratch/tls/out")"
  figure=ops/s
  zt_tls_args="--tls --ca $tls_cert -p \$zt_tls_port"
  run tlsping16 "ztload_figure --mode ping -c 16 $zt_tls_args" \
    "ztload_figure --mode ping -c 16 -p \$zt_port"
  run tlslookup16 "ztload_figure --mode lookup -c 16 -t BENCH -k ID --column NAME $zt_tls_args" \
    "pg_sslmode=require pgbench_tps -S -c 16 -j 16"
  run tlsconnect4 "ztload_figure --mode connect -c 4 $zt_tls_args" \
    "pg_sslmode=require pgbench_tps -S -C -c 4 -j 4"
  stop_zt
fi

if wanted insert; then
  say "insert (rows/s, fresh copy of the database)"
  start_zt insert
  figure=rows/s
  # Each run stores keys of its own (ztload gives client c first + c * 1000000 + row).
  echo 0 >"$scratch/insert_runs"
  ours_insert() {
    local runs
    runs=$(($(cat "$scratch/insert_runs") + 1))
    echo $runs >"$scratch/insert_runs"
    ztload_figure --mode insert --pipeline -c "$1" -p "$zt_port" -t BENCH -k ID -f $((runs * 100000000)) NAME=LOADTEST
  }
  run insert1 "ours_insert 1" "pgbench_tps -f $scratch/insert.sql -c 1 -j 1"
  run insert16 "ours_insert 16" "pgbench_tps -f $scratch/insert.sql -c 16 -j 16"
  stop_zt
fi

ours_load() {
  local dir=$scratch/load start
  rm -rf "$dir"
  mkdir -p "$dir"
  timeout 60 "$build/ztadmin" create "$dir/load.dat" "$schema" >/dev/null || return 0
  start=$(date +%s%N)
  timeout 600 "$build/ztadmin" load "$dir/load.dat" BENCH "$csv" </dev/null >>"$log" 2>&1 || return 0
  awk -v n=$rows -v s="$(since "$start")" 'BEGIN { printf "%.0f", n / s }'
}
sqlite_load() {
  local db=$scratch/load.sqlite start
  rm -f "$db"
  timeout 60 sqlite3 "$db" "$sqlite_schema" || return 0
  start=$(date +%s%N)
  timeout 600 sqlite3 "$db" ".import --csv --skip 1 $csv t" >>"$log" 2>&1 || return 0
  awk -v n=$rows -v s="$(since "$start")" 'BEGIN { printf "%.0f", n / s }'
}
if wanted load; then
  say "load (rows/s)"
  run load ours_load sqlite_load
fi

if wanted metrics; then
  say "metrics endpoint on and scraped every second / off (two of our servers)"
  metrics=1 start_zt metrics_on
  on_pid=$zt_pid
  on_port=$zt_port
  metrics=0 start_zt metrics_off
  figure=ops/s
  zl_off="-p \$zt_port -t BENCH -k ID --column NAME"
  zl_on="-p \$on_port -t BENCH -k ID --column NAME"
  run mlookup1 "ztload_figure --mode lookup -c 1 $zl_on" "ztload_figure --mode lookup -c 1 $zl_off"
  run mlookup16 "ztload_figure --mode lookup -c 16 $zl_on" "ztload_figure --mode lookup -c 16 $zl_off"
  run mping16 "ztload_figure --mode ping -c 16 -p \$on_port" "ztload_figure --mode ping -c 16 -p \$zt_port"
  run mlookup16cpu "ztload_per_cpu \$on_pid --mode lookup -c 16 $zl_on" \
    "ztload_per_cpu \$zt_pid --mode lookup -c 16 $zl_off"
  run mping16cpu "ztload_per_cpu \$on_pid --mode ping -c 16 -p \$on_port" \
    "ztload_per_cpu \$zt_pid --mode ping -c 16 -p \$zt_port"
  stop_pid "$on_pid"
  stop_zt
fi

rs_out=
if wanted recordsets; then
  say "1000 recordsets on the whole table (fresh server)"
  start_zt recordsets
  # Stop opening before memory + files take more than 60% of what is free.
  avail_mib=$(df -Pk "$scratch/recordsets/tmp" | awk 'NR == 2 { print int($4 / 1024) }')
  mem_mib=$(awk '/^MemAvailable:/ { print int($2 / 1024) }' /proc/meminfo)
  cap_mib=$(( (avail_mib < mem_mib ? avail_mib : mem_mib) * 6 / 10 ))
  rs_out=$(timeout -k 5 400 "$build/ztload" --mode recordsets -c 1000 -s 300 -p "$zt_port" -t BENCH \
    --pid "$zt_pid" --temp "$scratch/recordsets/tmp" --cap-mib "$cap_mib" 2>>"$log") || true
  printf 'ztload recordsets\n%s\n' "$rs_out" >>"$log"
  say "  $rs_out"
  stop_zt
  rm -rf "$scratch/recordsets"
fi

# --- the table ----------------------------------------------------------------
rs_open=$(num open "$rs_out")
rs_total=$(num GiB "$rs_out")
rs_est=$(printf '%s\n' "$rs_out" | sed -n 's/.*GiB at 1000 \([0-9.]*\).*/\1/p')
echo
echo "ZTServer against PostgreSQL $("$pgbin/postgres" --version | awk '{print $3}'), Redis $(redis-server --version | sed -n 's/.*v=\([0-9.]*\).*/\1/p'), SQLite $(sqlite3 --version | awk '{print $1}'); $reps pairs of ${run_seconds}s runs, interleaved"
echo "ratio = ours / theirs per pair: median (min-max). Rates: >1 is ours faster. Times: the 'x slower' figure, <1 is ours faster."
rs_run=0
wanted recordsets && rs_run=1
[ "$metrics" = 0 ] || echo "Ours served its metrics endpoint, scraped once a second (BENCH_METRICS=1)."
awk -v rs_open="$rs_open" -v rs_total="$rs_total" -v rs_est="$rs_est" -v rs_run=$rs_run '
function fmt(x) { return x >= 100 ? sprintf("%.0f", x) : x >= 1 ? sprintf("%.2f", x) : sprintf("%.4f", x) }
function median(v, n,   i, j, t, s) {
  for (i = 1; i <= n; i++) s[i] = v[i]
  for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (s[j] < s[i]) { t = s[i]; s[i] = s[j]; s[j] = t }
  return n % 2 ? s[(n + 1) / 2] : (s[n / 2] + s[n / 2 + 1]) / 2
}
{ n[$1]++; ours[$1, n[$1]] = $2; theirs[$1, n[$1]] = $3 }
END {
  split("lookup1 lookup16 insert1 insert16 ping16 get16 open range sort rangefetch sortfetch bulkfetch load mlookup1 mlookup16 mlookup16cpu mping16 mping16cpu tlsping16 tlslookup16 tlsconnect4", order, " ")
  label["lookup1"] = "lookup vs pgbench -S -M prepared, 1 client";  unit["lookup1"] = "tps"
  label["lookup16"] = "lookup vs pgbench -S -M prepared, 16 clients"; unit["lookup16"] = "tps"
  label["insert1"] = "insert vs PostgreSQL INSERT (fsync on), 1 client"; unit["insert1"] = "rows/s"
  label["insert16"] = "insert vs PostgreSQL INSERT (fsync on), 16 clients"; unit["insert16"] = "rows/s"
  label["ping16"] = "ping vs C echo floor, 16 clients"; unit["ping16"] = "req/s"
  label["get16"] = "get vs Redis GET (-P 1), 16 clients"; unit["get16"] = "req/s"
  label["open"] = "open 100k rows vs SQLite count(*)"; unit["open"] = "ms/op"
  label["range"] = "range of 1000 rows vs SQLite, fetched"; unit["range"] = "ms/op"
  label["sort"] = "sort 100k rows vs SQLite ORDER BY, fetched"; unit["sort"] = "ms/op"
  label["rangefetch"] = "  same, every row also read over the protocol"; unit["rangefetch"] = "ms/op"
  label["sortfetch"] = "  same, every row also read over the protocol"; unit["sortfetch"] = "ms/op"
  label["load"] = "ztadmin load vs sqlite3 .import"; unit["load"] = "rows/s"
  label["bulkfetch"] = "100k rows x 3 cols, Python client vs psycopg2 fetchall"; unit["bulkfetch"] = "rows/s"
  target["bulkfetch"] = ">= 1.0"
  label["mlookup1"] = "lookup, metrics on+scraped vs off, 1 client"; unit["mlookup1"] = "tps"
  label["tlsping16"] = "ping over TLS vs plain, 16 clients"; unit["tlsping16"] = "req/s"
  label["tlslookup16"] = "lookup over TLS vs pgbench -S sslmode=require, 16"; unit["tlslookup16"] = "tps"
  label["tlsconnect4"] = "new TLS connections vs pgbench -C sslmode=require, 4"; unit["tlsconnect4"] = "conn/s"
  target["tlsping16"] = ">= 0.7"; target["tlslookup16"] = ">= 1.0"; target["tlsconnect4"] = ">= 1.0"
  label["mlookup16"] = "lookup, metrics on+scraped vs off, 16 clients"; unit["mlookup16"] = "tps"
  label["mping16"] = "ping, metrics on+scraped vs off, 16 clients"; unit["mping16"] = "req/s"
  label["mlookup16cpu"] = "  same, per CPU second of the server"; unit["mlookup16cpu"] = "tx/cpu-s"
  label["mping16cpu"] = "  same, per CPU second of the server"; unit["mping16cpu"] = "req/cpu-s"
  target["mlookup1"] = ">= 0.97"; target["mlookup16"] = ">= 0.97"; target["mping16"] = ">= 0.97"
  target["mlookup16cpu"] = ">= 0.97"; target["mping16cpu"] = ">= 0.97"
  target["lookup1"] = ">= 1.0"; target["lookup16"] = ">= 1.0"; target["insert1"] = ">= 1.0"
  target["insert16"] = ">= 1.0"; target["ping16"] = ">= 0.9"; target["get16"] = ">= 1.0"
  target["open"] = "<= 1.5x"; target["range"] = "<= 1.0x"; target["sort"] = "<= 1.5x"
  target["load"] = ">= 0.3"
  printf "%-52s %-8s %-22s %14s %14s  %s\n", "workload", "target", "ratio median (min-max)", "ours median", "theirs median", "unit"
  for (k = 1; k in order; k++) {
    r = order[k]; m = 0; no = 0; nt = 0; lo = ""; hi = ""
    if (!(r in n)) continue  # not asked for (BENCH_ROWS)
    for (i = 1; i <= n[r]; i++) {
      if (ours[r, i] != "NA") ov[++no] = ours[r, i]
      if (theirs[r, i] != "NA") tv[++nt] = theirs[r, i]
      if (ours[r, i] != "NA" && theirs[r, i] != "NA" && theirs[r, i] > 0) {
        x = ours[r, i] / theirs[r, i]; rv[++m] = x
        if (lo == "" || x < lo) lo = x
        if (hi == "" || x > hi) hi = x
      }
    }
    suffix = unit[r] == "ms/op" ? "x" : ""
    ratio = m ? sprintf("%.3g%s (%.3g-%.3g)", median(rv, m), suffix, lo, hi) : "n/a"
    printf "%-52s %-8s %-22s %14s %14s  %s\n", label[r], target[r], ratio,
      no ? fmt(median(ov, no)) : "failed", nt ? fmt(median(tv, nt)) : "failed", unit[r]
  }
  if (!rs_run) exit
  if (rs_open == "") figure = "failed"
  else if (rs_open + 0 >= 1000) figure = sprintf("%.2f GiB", rs_total)
  else figure = sprintf("%.2f GiB (est.; %d opened: %.2f GiB)", rs_est, rs_open, rs_total)
  printf "%-52s %-8s %s\n", "1000 recordsets open: memory + temp files", "<= 2 GiB", figure
}' "$results"
echo "PostgreSQL runs with fsync on, ours with Durability=full (it matters for the insert rows only). SQLite runs in process"
echo "(one connection, statements prepared once); ours over loopback TCP to a running server."
echo "Every client has one thread per connection (ztload, pgbench -j = clients, redis-benchmark --threads)."
echo "raw output: $log"
