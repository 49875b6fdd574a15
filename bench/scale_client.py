"""The client side of bench/scale.sh: the measurements that need a
latency distribution or a sequence of requests ztload does not make. Uses
the project's own Python client (clients/python) and Python's sqlite3 for
the SQLite figures. Each command prints one line of KEY=VALUE words.

  scale_client.py ping PORT SECONDS            p99 and worst round trip (ms)
  scale_client.py open PORT                    OPEN with CITY <> Hull (s)
  scale_client.py read PORT ROWS               ID and NAME of the first ROWS
                                               rows in ID order (rows/s)
  scale_client.py deleteall PORT TIMEOUT       DELETEALL + UPDATE (result, s)
  scale_client.py sqlite DB ROWS               integrity_check, count(*) with
                                               the condition, first ROWS rows
"""
import os
import signal
import sqlite3
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients", "python"))
import ztserver  # noqa: E402

TABLE = "BENCH"
PIPELINE_ROWS = 200  # rows read per write, as the table has it


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class Stopped(Exception):
    pass


def ping(port, seconds):
    """Pings for the given seconds, or until SIGTERM; prints the figures
    either way (a ping cut off by SIGTERM counts as long as it had waited)."""
    def stop(signum, frame):
        raise Stopped()

    signal.signal(signal.SIGTERM, stop)
    times = []
    start = None
    try:
        with ztserver.connect("127.0.0.1", port, timeout=600) as db:
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                start = time.perf_counter()
                db.call("STARTTRANSACTION")
                times.append((time.perf_counter() - start) * 1000)
                start = None
    except Stopped:
        if start is not None:
            times.append((time.perf_counter() - start) * 1000)
    if not times:
        times = [0.0]
    print("pings=%d p99_ms=%.2f worst_ms=%.2f" % (len(times), percentile(times, 0.99), max(times)),
          flush=True)


def best_of(runs, work):
    return min(work() for _ in range(runs))


def open_condition(port):
    with ztserver.connect("127.0.0.1", port, timeout=600) as db:
        def once():
            h = db.call("CREATERECORDSET").fields[1]
            start = time.perf_counter()
            db.execute("RECORDSETCLEARFILTERS~%s" % h)
            db.execute("RECORDSETADDFILTERCOLUMN~%s~CITY~<>~Hull~0" % h)
            db.execute("RECORDSETOPEN~%s~%s" % (h, TABLE))
            count = db.execute("RECORDSETGETROWCOUNT~%s" % h).fields[2]
            elapsed = time.perf_counter() - start
            db.execute("RECORDSETCLOSE~%s" % h)
            once.count = count
            return elapsed

        seconds = best_of(3, once)
        print("open_s=%.4f rows=%s" % (seconds, once.count))


def read_sorted(port, rows):
    with ztserver.connect("127.0.0.1", port, timeout=600) as db:
        h = db.call("CREATERECORDSET").fields[1]
        db.execute("RECORDSETOPEN~%s~%s" % (h, TABLE))
        db.execute("RECORDSETSORT~%s~ID~1" % h)
        db.execute("RECORDSETMOVEFIRST~%s" % h)
        batch = []
        for _ in range(PIPELINE_ROWS):
            batch += ["RECORDSETGETFIELDVALUE~%s~ID" % h, "RECORDSETGETFIELDVALUE~%s~NAME" % h,
                      "RECORDSETMOVENEXT~%s" % h]
        start = time.perf_counter()
        read = 0
        while read < rows:
            replies = db.pipeline(batch)
            if any(r.failed for r in replies):
                break
            read += PIPELINE_ROWS
        seconds = time.perf_counter() - start
        print("rows=%d rows_per_s=%.0f" % (read, read / seconds))


def delete_all(port, timeout):
    with ztserver.connect("127.0.0.1", port, timeout=timeout) as db:
        h = db.call("CREATERECORDSET").fields[1]
        db.execute("RECORDSETOPEN~%s~%s" % (h, TABLE))
        start = time.perf_counter()
        result = "ok"
        try:
            db.execute("RECORDSETDELETEALL~%s" % h)
            db.execute("RECORDSETUPDATE~%s" % h)
        except ztserver.Failed as failed:
            result = "FAILED(%s)" % str(failed).replace(" ", "_")[:120]
        except ztserver.Timeout:
            result = "timeout"
        print("result=%s seconds=%.2f" % (result, time.perf_counter() - start))


def sqlite_figures(path, rows):
    db = sqlite3.connect(path)
    start = time.perf_counter()
    db.execute("PRAGMA integrity_check").fetchall()
    integrity = time.perf_counter() - start

    def count():
        start = time.perf_counter()
        db.execute("SELECT count(*) FROM t WHERE city <> 'Hull'").fetchone()
        return time.perf_counter() - start

    counted = best_of(3, count)
    start = time.perf_counter()
    got = len(db.execute("SELECT id, name FROM t ORDER BY id LIMIT ?", (rows,)).fetchall())
    read = time.perf_counter() - start
    print("integrity_s=%.4f count_s=%.4f rows_per_s=%.0f" % (integrity, counted, got / read))


def main(argv):
    command = argv[1]
    if command == "ping":
        ping(int(argv[2]), float(argv[3]))
    elif command == "open":
        open_condition(int(argv[2]))
    elif command == "read":
        read_sorted(int(argv[2]), int(argv[3]))
    elif command == "deleteall":
        delete_all(int(argv[2]), float(argv[3]))
    elif command == "sqlite":
        sqlite_figures(argv[2], int(argv[3]))
    else:
        sys.exit("unknown command " + command)


if __name__ == "__main__":
    main(sys.argv)
