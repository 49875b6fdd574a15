#!/usr/bin/env python3
"""The web console in a real browser: headless Chromium, driven through
Selenium, against a server this script starts (--port 0, a scratch
database, ConsoleEnabled=yes, users). It checks the tables page, a filtered
and sorted browse, the live chart moving after requests, a hostile value
shown as text, and a change refused for a read-only user.

Needs Debian's chromium, chromium-driver and python3-selenium; without them
it says so and exits 77 (CTest counts that as skipped).

  console_browser_test.py BUILD_DIR [--screenshots DIR]

With --screenshots, a PNG of each page is written into DIR (the docs' images
are made this way).
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77


def skip(why):
    print("SKIPPED: console browser test: " + why)
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    skip("python3-selenium is not installed (scripts/install-deps.sh installs it)")

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver") or (
    "/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
if CHROMIUM is None or DRIVER is None:
    skip("chromium and chromium-driver are not installed (scripts/install-deps.sh installs them)")

HOSTILE = '<script>window.__pwned=1</script><img src=x onerror="window.__pwned=2">'
ROWS = 250
DEADLINE_S = 15


def wait_for(what, condition, timeout=DEADLINE_S):
    """Polls condition until it returns something true; fails at the deadline."""
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        try:
            last = condition()
            if last:
                return last
        except Exception as e:  # the page may be between two drawings
            last = e
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what + " (last: " + repr(last) + ")")


class Server:
    def __init__(self, build, folder):
        self.build = build
        self.folder = folder
        self.process = None

    def make(self):
        f = self.folder
        with open(os.path.join(f, "shop.schema"), "w") as out:
            out.write("table CUSTOMER\ncolumn ID integer 6 key\ncolumn NAME text 120\n"
                      "column CITY text 20\n\ntable ORDERS\ncolumn NO integer 8 key\n"
                      "column ITEM text 20\n")
        with open(os.path.join(f, "customers.csv"), "w") as out:
            out.write("ID,NAME,CITY\n")
            cities = ["Leith", "Glasgow", "Dundee", "Perth", "Oban"]
            for i in range(1, ROWS + 1):
                name = HOSTILE if i == 7 else "name%03d" % i
                out.write('%d,"%s",%s\n' % (i, name.replace('"', '""'), cities[i % 5]))
        admin = os.path.join(self.build, "ztadmin")
        run = lambda *args, **kw: subprocess.run([admin, "--work-folder", "work"] + list(args),
                                                 cwd=f, check=True, stdout=subprocess.DEVNULL, **kw)
        run("create", "db.dat", "shop.schema")
        run("load", "db.dat", "CUSTOMER", "customers.csv", stdin=subprocess.DEVNULL)
        for user, access in (("alice", "readwrite"), ("reader", "readonly")):
            run("user", "add", "users", user, "--access", access, "--iterations", "1000",
                input=("%s-pw\n%s-pw\n" % (user, user)).encode())
        with open(os.path.join(f, "zt.ini"), "w") as out:
            out.write("[CONNECTION]\nDatabaseFile=db.dat\nTransactionName=T1\nServerPort=6000\n\n"
                      "[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\n"
                      "RetryDelay=20\nMetricsAddress=127.0.0.1:0\nConsoleEnabled=yes\n"
                      "ConsoleEditing=yes\nUsersFile=users\n")

    def start(self):
        self.output = open(os.path.join(self.folder, "server.out"), "w+")
        self.process = subprocess.Popen(
            [os.path.join(self.build, "ztserver"), "--config", "zt.ini", "--port", "0"],
            cwd=self.folder, stdout=self.output, stderr=subprocess.STDOUT)

        def ports():
            self.output.seek(0)
            text = self.output.read()
            if self.process.poll() is not None:
                raise AssertionError("the server stopped: " + text)
            found = {}
            for line in text.splitlines():
                for label in ("Listening on ", "Metrics on "):
                    if line.startswith(label):
                        found[label] = int(line.rsplit(":", 1)[1])
            return found if len(found) == 2 else None

        found = wait_for("the server's ports", ports)
        self.port = found["Listening on "]
        self.http = found["Metrics on "]

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def protocol_requests(port, n):
    """n GETTABLENAMES requests on one protocol connection, replies read."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.recv(64)  # the greeting
        s.sendall(b"\x02GETTABLENAMES\x03" * n)
        got = b""
        while got.count(b"\x03") < n:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    build = os.path.abspath(sys.argv[1])
    shots = None
    if "--screenshots" in sys.argv:
        shots = os.path.abspath(sys.argv[sys.argv.index("--screenshots") + 1])
        os.makedirs(shots, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="zt-console-")
    server = Server(build, folder)
    driver = None
    failures = 0
    passed = 0
    try:
        server.make()
        server.start()
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1400,1000", "--user-data-dir=" + os.path.join(folder, "chrome")):
            options.add_argument(arg)
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        base = "http://127.0.0.1:%d/" % server.http

        def shot(name):
            if shots:
                time.sleep(0.3)
                driver.save_screenshot(os.path.join(shots, "console-%s.png" % name))

        def text_of(element_id):
            return driver.find_element(By.ID, element_id).text

        def log_in(user):
            driver.get(base)
            wait_for("the login form", lambda: driver.find_element(By.ID, "login-form").is_displayed())
            driver.find_element(By.ID, "login-user").send_keys(user)
            driver.find_element(By.ID, "login-password").send_keys(user + "-pw")
            if shots and user == "reader":
                shot("login")
            driver.find_element(By.ID, "login-submit").click()
            wait_for("logged in as " + user, lambda: ("user " + user) in text_of("who"))

        checks = []

        def check(name):
            def wrap(fn):
                checks.append((name, fn))
                return fn
            return wrap

        @check("the tables page lists every table with its columns and rows")
        def tables():
            driver.get(base + "#tables")
            cards = wait_for("the table cards", lambda: [c.text for c in driver.find_elements(
                By.CSS_SELECTOR, "#tables-list .table-card")] or None)
            customer = [c for c in cards if c.startswith("CUSTOMER")]
            assert customer and ("%d rows" % ROWS) in customer[0], cards
            assert "NAME" in customer[0] and "key" in customer[0], customer[0]
            assert any(c.startswith("ORDERS") and "0 rows" in c for c in cards), cards
            shot("tables")

        @check("a filtered and sorted browse")
        def browse():
            driver.get(base + "#browse/CUSTOMER")
            wait_for("the first page", lambda: "of %d" % ROWS in text_of("page-info"))
            driver.find_element(By.ID, "filter-add").click()
            column = driver.find_element(By.CSS_SELECTOR, ".filter-column")
            column.find_element(By.CSS_SELECTOR, "option[value='CITY'], option:nth-child(3)").click()
            driver.find_element(By.CSS_SELECTOR, ".filter-value").send_keys("Leith")
            driver.find_element(By.ID, "browse-apply").click()
            wait_for("the filtered count", lambda: text_of("page-info") == "1\u201350 of 50")
            header = lambda: driver.find_element(By.CSS_SELECTOR, "#browse-grid th[data-column='ID']")
            header().click()  # ascending
            wait_for("ascending", lambda: "\u25b2" in header().text)
            header().click()  # descending
            wait_for("descending", lambda: "\u25bc" in header().text)
            first = lambda: [td.text for td in driver.find_elements(
                By.CSS_SELECTOR, "#browse-grid tbody tr:first-child td")]
            wait_for("the highest Leith ID first", lambda: first()[:1] == ["250"])
            ids = [int(tr.find_element(By.CSS_SELECTOR, "td").text) for tr in
                   driver.find_elements(By.CSS_SELECTOR, "#browse-grid tbody tr")]
            assert ids == sorted(ids, reverse=True) and len(ids) == 50, ids
            assert all(i % 5 == 0 for i in ids), ids  # Leith: i % 5 == 0
            shot("browse")

        @check("a hostile value is shown as text")
        def hostile():
            driver.get(base + "#browse/CUSTOMER")
            driver.execute_script("location.reload()")
            wait_for("the first page", lambda: "of %d" % ROWS in text_of("page-info"))
            cells = wait_for("row 7", lambda: [td for td in driver.find_elements(
                By.CSS_SELECTOR, "#browse-grid tbody tr:nth-child(7) td")] or None)
            assert cells[1].text == HOSTILE, cells[1].text
            cells[1].click()
            wait_for("the row panel", lambda: HOSTILE in text_of("row-fields"))
            assert driver.execute_script("return window.__pwned === undefined")
            assert not driver.find_elements(By.CSS_SELECTOR, "#main script, #main img")

        @check("a change is refused for a read-only user")
        def read_only():
            assert not driver.find_element(By.ID, "row-save").is_displayed()
            assert not driver.find_element(By.ID, "row-add").is_displayed()
            # Past the page, as a script in it would: the server refuses.
            answer = driver.execute_async_script("""
                const done = arguments[arguments.length - 1];
                const body = 'action=set&table=CUSTOMER&key=ID&keyvalue=1&c=CITY&v=Nowhere';
                fetch('/api/session').then(r => r.json()).then(s => fetch('/api/edit', {
                    method: 'POST', body, headers: {'X-Console-Token': s.token,
                    'Content-Type': 'application/x-www-form-urlencoded'}}))
                  .then(r => r.json().then(j => done([r.status, j.error])))
                  .catch(e => done([0, String(e)]));""")
            assert answer[0] == 403 and "may not change stored data" in answer[1], answer

        @check("the live chart moves after requests")
        def chart():
            driver.get(base + "#overview")
            canvas = lambda: driver.find_element(By.ID, "chart-rate")
            wait_for("a few samples", lambda: int(canvas().get_attribute("data-points") or 0) >= 2)
            points = int(canvas().get_attribute("data-points"))
            protocol_requests(server.port, 2000)
            wait_for("the request rate drawn", lambda: float(canvas().get_attribute("data-latest") or 0) > 0
                     and int(canvas().get_attribute("data-points")) > points)
            cards = text_of("overview-cards")
            assert "Uptime" in cards and "Health" in cards, cards
            shot("overview")

        @check("the sessions and log pages")
        def sessions_and_log():
            with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
                s.recv(64)
                s.sendall(b"\x02CREATERECORDSET\x03")
                s.recv(64)
                driver.get(base + "#sessions")
                rows = wait_for("the client's session", lambda: [tr.text for tr in driver.find_elements(
                    By.CSS_SELECTOR, "#sessions-grid tbody tr")] or None)
                assert any(r.startswith("127.0.0.1") for r in rows), rows
                shot("sessions")
            driver.get(base + "#log")
            wait_for("the log", lambda: "Started on IP" in text_of("log-lines"))
            shot("log")

        @check("an editing user changes a row")
        def editing():
            driver.find_element(By.ID, "logout").click()
            log_in("alice")
            driver.get(base + "#browse/CUSTOMER")
            wait_for("the first page", lambda: "of %d" % ROWS in text_of("page-info"))
            driver.find_element(By.CSS_SELECTOR, "#browse-grid tbody tr:nth-child(2) td").click()
            city = wait_for("the editor", lambda: driver.find_element(
                By.CSS_SELECTOR, "#row-fields textarea[data-column='CITY']"))
            city.clear()
            city.send_keys("Stirling")
            shot("edit")
            driver.find_element(By.ID, "row-save").click()
            wait_for("the change shown", lambda: driver.find_elements(
                By.CSS_SELECTOR, "#browse-grid tbody tr:nth-child(2) td")[2].text == "Stirling")

        log_in("reader")
        for name, fn in checks:
            started = time.monotonic()
            try:
                fn()
                passed += 1
                print("ok    %-60s %.1f s" % (name, time.monotonic() - started))
            except Exception as e:
                failures += 1
                print("FAIL  %s: %s" % (name, e))
                if driver is not None:
                    driver.save_screenshot(os.path.join(folder, "failure.png"))
                    print("      (screenshot: %s)" % os.path.join(folder, "failure.png"))
    finally:
        if driver is not None:
            driver.quit()
        server.stop()
        if failures == 0:
            shutil.rmtree(folder, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
