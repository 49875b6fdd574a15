#!/usr/bin/env bash
# A change of every row of a large table, through the protocol: one client
# opens the table, marks every row deleted (RECORDSETDELETEALL) and stores
# the deletions (RECORDSETUPDATE), while another pings the server without
# pause (STARTTRANSACTION, ROLLBACKTRANSACTION). Prints how long each step took, whether the UPDATE succeeded, the
# worst ping meanwhile, the server's peak resident memory, the longest
# commit (the metrics gauge), and then, on a fresh copy with the server
# stopped, the time and peak memory of `ztadmin alter rename-column` of
# the key column.
#
#   bench/big_change.sh [BUILD_DIR] [ROWS]      (build-release, 1000000)
#
# ZT_PERF=FILE records the server with perf (call graphs) while the change
# runs, into FILE.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-release}
rows=${2:-1000000}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ztbig-XXXXXX")
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
mkdir "$scratch/copy"
cp "$scratch"/bench.dat "$scratch"/bench.zdf "$scratch"/bench.zix "$scratch/copy/"
echo "rows: $rows; database: $(du -ch "$scratch"/bench.dat "$scratch"/bench.zdf "$scratch"/bench.zix | tail -1 | cut -f1)"

printf '[CONNECTION]\nDatabaseFile=bench.dat\n\n[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\nMetricsAddress=127.0.0.1:0\n' \
  >"$scratch/zt.ini"
"$build/ztserver" --config "$scratch/zt.ini" --port 0 >"$scratch/out" 2>&1 &
pid=$!
port=
for _ in $(seq 300); do
  port=$(sed -n 's/^Listening on .*:\([0-9][0-9]*\)$/\1/p' "$scratch/out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start"; cat "$scratch/out"; exit 1; }
mport=$(sed -n 's/^Metrics on .*:\([0-9]*\)$/\1/p' "$scratch/out")
perf_pid=
if [ -n "${ZT_PERF:-}" ]; then
  perf record --call-graph dwarf,16384 -F 499 -o "$ZT_PERF" -p "$pid" >/dev/null 2>&1 &
  perf_pid=$!
fi

python3 - "$port" "$here/../clients/python" <<'PY'
import sys, threading, time
sys.path.insert(0, sys.argv[2])
import ztserver
port = int(sys.argv[1])
done = threading.Event()
worst = [0.0, 0]
def ping():
    with ztserver.connect(port=port, timeout=3600) as c:
        while not done.is_set():
            t = time.monotonic()
            c.call("STARTTRANSACTION")
            c.call("ROLLBACKTRANSACTION")
            worst[0] = max(worst[0], (time.monotonic() - t) * 1000)
            worst[1] += 1
pinger = threading.Thread(target=ping)
pinger.start()
time.sleep(0.5)
db = ztserver.connect(port=port, timeout=3600)
rs = db.recordset("BENCH")
t = time.monotonic(); rs._do("RECORDSETDELETEALL"); deleteall = time.monotonic() - t
t = time.monotonic(); reply = db.call("RECORDSETUPDATE~%d" % rs.handle); update = time.monotonic() - t
why = "" if reply.ok else ": " + db.failure_reason("RECORDSETUPDATE~%d" % rs.handle)
rs.close()
done.set()
pinger.join()
left = db.recordset("BENCH").count()
print("DELETEALL %.2f s, UPDATE %.2f s (%s%s); rows left %d" %
      (deleteall, update, "succeeded" if reply.ok else "FAILED", why, left))
print("bystander: %d pings, worst %.0f ms" % (worst[1], worst[0]))
PY
if [ -n "$perf_pid" ]; then kill -INT "$perf_pid"; wait "$perf_pid" || true; fi
echo "server peak resident memory: $(sed -n 's/^VmHWM:[[:space:]]*//p' /proc/$pid/status)"
if [ -n "$mport" ]; then
  python3 - "$mport" <<'PY'
import sys, urllib.request
text = urllib.request.urlopen("http://127.0.0.1:%s/metrics" % sys.argv[1], timeout=10).read().decode()
for line in text.splitlines():
    if line.startswith(("ztserver_log_longest_commit_seconds", "ztserver_log_spills_total")):
        print(line)
PY
fi
kill "$pid"; wait "$pid" 2>/dev/null || true; pid=

/usr/bin/time -f "alter rename-column: %e s, peak memory %M KiB" \
  "$build/ztadmin" alter "$scratch/copy/bench.dat" rename-column BENCH ID IDENT </dev/null 2>&1 | tail -2
