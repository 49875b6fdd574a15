#!/usr/bin/env python3
"""Rows fetched per second through a Python client: ours (the ztserver
package, RECORDSETFETCHROWS) or PostgreSQL's (psycopg2, fetchall()).

  fetch_bench.py zt PORT SECONDS     open BENCH, fetchall() of ID, NAME, CITY
  fetch_bench.py pg PORT SECONDS     SELECT id, name, city FROM bench; fetchall()

Each operation reads the whole table from the server, with values typed
(ints and strs on both sides); operations repeat for SECONDS. Prints
"rows/s N ops K" (bench/compare.sh reads the rows/s figure).
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients",
                                "python"))


def main():
    side, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    if side == "zt":
        import ztserver
        db = ztserver.connect("127.0.0.1", port, timeout=60)
        rs = db.recordset("BENCH")
        columns = ["ID", "NAME", "CITY"]

        def once():
            rs.open("BENCH")
            return len(rs.fetchall(columns=columns))
    else:
        import psycopg2
        conn = psycopg2.connect(host="127.0.0.1", port=port, user="bench", dbname="postgres",
                                sslmode="disable")
        cur = conn.cursor()

        def once():
            cur.execute("SELECT id, name, city FROM bench")
            return len(cur.fetchall())
    once()  # warm: connection, caches
    rows = ops = 0
    start = time.perf_counter()
    while True:
        rows += once()
        ops += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            break
    print("rows/s %.0f ops %d" % (rows / elapsed, ops))


if __name__ == "__main__":
    main()
