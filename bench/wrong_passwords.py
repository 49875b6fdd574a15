#!/usr/bin/env python3
"""Many wrong passwords from one address, with a bystander.

Starts ztserver (BUILD/ztserver) on a scratch copy of the demo schema with
RequireAuthentication and two users, then sends ATTEMPTS wrong passwords for
one user over one connection (a new one whenever AuthenticationTimeout
closes it), each after the answer to the one before,
while a second, authenticated client pings (STARTTRANSACTION) without
pause. Prints one line of KEY=VALUE words:

  attempts accepted   how many were tried, and how many were let in (0)
  reconnects          connections closed for never authenticating
  delayed             attempts answered later than AUTH_DELAY_MS after sent
  attempt_median_ms   the attempts' answer times
  pings ping_p99_ms ping_worst_ms   the bystander's round trips meanwhile

  wrong_passwords.py BUILD [ATTEMPTS] [AUTH_DELAY_MS] [AUTH_MAX_DELAY_MS]

The delays default to 1 and 8 ms (the server's defaults, 250 ms doubling to
30 s, would take hours for 10,000 attempts: what is measured is that every
attempt after the first waits, that none is accepted, and what the password
checks cost the bystander). The users hash with the default iterations.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clients", "python"))
import ztserver  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else 0.0


def main():
    build = sys.argv[1]
    attempts = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    delay_ms = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    max_delay_ms = int(sys.argv[4]) if len(sys.argv) > 4 else 8
    scratch = tempfile.mkdtemp(prefix="ztbrute-")
    server = None
    try:
        admin = os.path.join(build, "ztadmin")
        subprocess.run([admin, "create", os.path.join(scratch, "db.dat"),
                        os.path.join(HERE, "..", "examples", "demo.schema")],
                       check=True, stdout=subprocess.DEVNULL)
        users = os.path.join(scratch, "users")
        for name in ("alice", "bob"):
            subprocess.run([admin, "user", "add", users, name], input=name + "-pw\n", text=True,
                           check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(scratch, "zt.ini"), "w") as ini:
            ini.write("[CONNECTION]\nDatabaseFile=db.dat\n\n[SERVER]\nWorkFolder=work\n"
                      "LockFolder=locks\nListenAddress=127.0.0.1\nUsersFile=users\n"
                      "RequireAuthentication=yes\nAuthFailureDelay=%d\nAuthMaxFailureDelay=%d\n"
                      % (delay_ms, max_delay_ms))
        out = open(os.path.join(scratch, "server.out"), "w")
        server = subprocess.Popen([os.path.join(build, "ztserver"), "--config",
                                   os.path.join(scratch, "zt.ini"), "--port", "0"],
                                  stdout=out, stderr=subprocess.STDOUT)
        port = 0
        deadline = time.monotonic() + 30
        while port == 0 and time.monotonic() < deadline:
            for line in open(os.path.join(scratch, "server.out")):
                if line.startswith("Listening on "):
                    port = int(line.rsplit(":", 1)[1])
            time.sleep(0.01)
        if port == 0:
            sys.exit("ztserver did not start")

        stop = threading.Event()
        pings = []

        def bystander():
            with ztserver.connect("127.0.0.1", port, user="bob", password="bob-pw") as db:
                while not stop.is_set():
                    t0 = time.perf_counter()
                    db.call("STARTTRANSACTION")
                    pings.append((time.perf_counter() - t0) * 1000)

        pinger = threading.Thread(target=bystander)
        pinger.start()
        accepted = 0
        delayed = 0
        answers = []
        reconnects = 0
        attacker = ztserver.connect("127.0.0.1", port, timeout=120)
        i = 0
        while i < attempts:
            t0 = time.perf_counter()
            try:
                reply = attacker.call("AUTHENTICATE~alice~guess%d" % i)
            except ztserver.Closed:
                # A session that never authenticates is closed after
                # AuthenticationTimeout: the attacker comes back.
                attacker.close()
                attacker = ztserver.connect("127.0.0.1", port, timeout=120)
                reconnects += 1
                continue
            ms = (time.perf_counter() - t0) * 1000
            answers.append(ms)
            if not reply.failed:
                accepted += 1
            if i > 0 and ms >= delay_ms:
                delayed += 1
            i += 1
        attacker.close()
        stop.set()
        pinger.join()
        print("attempts=%d accepted=%d delayed=%d reconnects=%d attempt_median_ms=%.1f pings=%d "
              "ping_p99_ms=%.2f ping_worst_ms=%.2f"
              % (attempts, accepted, delayed, reconnects, percentile(answers, 0.5), len(pings),
                 percentile(pings, 0.99), max(pings) if pings else 0.0))
    finally:
        if server is not None:
            server.terminate()
            server.wait()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
