"""ztcli on a terminal (a pseudo-terminal), against a real server: Ctrl-C at
the prompt and during a waiting request, Tab completion, the history file,
and the reconnection after a restart of the server.

ZT_BINARY_DIR names the build folder holding ztserver, ztadmin and ztcli.
Every wait polls the terminal or the server with a deadline."""

import os
import pty
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../../clients/python"))
import ztserver  # noqa: E402

BIN = os.path.abspath(os.environ.get("ZT_BINARY_DIR", os.path.join(HERE, "../../build")))
DEADLINE = 10.0  # seconds any one expected thing may take on a loaded machine


class Server:
    """ztserver on a scratch database (People: Id, Name, City)."""

    def __init__(self, folder, extra_ini=""):
        self.folder = folder
        admin = os.path.join(BIN, "ztadmin")
        with open(os.path.join(folder, "s.schema"), "w") as f:
            f.write("table People\ncolumn Id integer 4 key\ncolumn Name text 20 key\n"
                    "column City text 12\n")
        with open(os.path.join(folder, "p.csv"), "w") as f:
            f.write("Id,Name,City\n1,Ann,Leith\n2,Bob,Perth\n")
        for args in (["create", "db.dat", "s.schema"], ["load", "db.dat", "People", "p.csv"]):
            subprocess.run([admin] + args, cwd=folder, check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(folder, "zt.ini"), "w") as f:
            f.write("[CONNECTION]\nDatabaseFile=db.dat\n[SERVER]\nWorkFolder=work\n"
                    "LockFolder=locks\nListenAddress=127.0.0.1\nMetricsAddress=127.0.0.1:0\n"
                    + extra_ini)
        self.proc = None
        self.start(0)

    def start(self, port):
        self.out = open(os.path.join(self.folder, "out"), "w+")
        self.proc = subprocess.Popen(
            [os.path.join(BIN, "ztserver"), "--config", "zt.ini", "--port", str(port)],
            cwd=self.folder, stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + DEADLINE
        while time.monotonic() < deadline and self.proc.poll() is None:
            self.out.seek(0)
            text = self.out.read()
            listening = re.search(r"Listening on [^\n]*:(\d+)\n", text)
            metrics = re.search(r"Metrics on [^\n]*:(\d+)\n", text)
            if listening and metrics:
                self.port, self.metrics_port = int(listening.group(1)), int(metrics.group(1))
                return
            time.sleep(0.01)
        raise RuntimeError("the server did not start: " + text)

    def metric(self, name):
        """The sum of the samples of a metric whose line begins with name."""
        url = "http://127.0.0.1:%d/metrics" % self.metrics_port
        page = urllib.request.urlopen(url, timeout=DEADLINE).read().decode()
        return sum(float(line.split()[-1]) for line in page.splitlines()
                   if line.startswith(name))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(DEADLINE)
        self.out.close()


class Terminal:
    """ztcli on a pseudo-terminal of its own (its controlling terminal, so
    that ^C there is SIGINT to it)."""

    def __init__(self, port, home):
        env = dict(os.environ, HOME=home, TERM="dumb", INPUTRC=os.path.join(home, "inputrc"))
        with open(env["INPUTRC"], "w") as f:
            f.write("set enable-bracketed-paste off\n")
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(os.path.join(BIN, "ztcli"), ["ztcli", "-p", str(port)], env)
        self.seen = ""

    def send(self, text):
        os.write(self.fd, text.encode())

    def expect(self, pattern):
        """Reads until pattern matches what arrived since the last match."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + DEADLINE
        while True:
            found = regex.search(self.seen)
            if found:
                self.seen = self.seen[found.end():]
                return found
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r in %r" % (pattern, self.seen))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:  # the terminal closed: ztcli is gone
                    chunk = b""
                if not chunk:
                    raise AssertionError("ztcli ended; no %r in %r" % (pattern, self.seen))
                # The bell readline rings at an ambiguous Tab is not text.
                self.seen += chunk.decode(errors="replace").replace("\x07", "")

    def wait(self):
        """ztcli's exit status."""
        deadline = time.monotonic() + DEADLINE
        while time.monotonic() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                os.close(self.fd)
                return os.waitstatus_to_exitcode(status)
            select.select([self.fd], [], [], 0.05)
            try:
                os.read(self.fd, 4096)
            except OSError:
                pass
        raise AssertionError("ztcli did not end")

    def kill(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
        try:
            os.close(self.fd)
        except OSError:
            pass


class TerminalTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        # Long retries: a request that waits for a row lock waits for minutes
        # unless something ends it.
        cls.server = Server(cls.dir.name, "RetryDelay=60000\n")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.dir.cleanup()

    def setUp(self):
        self.home = tempfile.TemporaryDirectory()
        self.term = Terminal(self.server.port, self.home.name)
        self.term.expect(r"zt> ")

    def tearDown(self):
        self.term.kill()
        self.home.cleanup()

    def history(self):
        with open(os.path.join(self.home.name, ".ztcli_history")) as f:
            return f.read().splitlines()

    def test_ctrl_c_at_the_prompt_clears_the_line_and_the_shell_goes_on(self):
        self.term.send("GETTABLENAM")
        self.term.expect(r"GETTABLENAM")  # read by ztcli (a ^C drops what the terminal holds)
        self.term.send("\x03")
        self.term.expect(r"zt> ")
        self.term.send("STARTTRANSACTION\r")
        self.term.expect(r"\nSTARTTRANSACTION\r\n")  # the reply: the typed text was dropped
        self.term.expect(r"zt> ")
        self.term.send("\\q\r")
        self.assertEqual(self.term.wait(), 0)
        self.assertEqual(self.history(), ["STARTTRANSACTION", "\\q"])

    def test_ctrl_c_abandons_a_waiting_request_and_a_new_connection_serves(self):
        holder = ztserver.connect("127.0.0.1", self.server.port, timeout=DEADLINE)
        try:
            h = holder.call("CREATERECORDSET").text.split("~")[1]
            self.assertTrue(holder.call("RECORDSETOPEN~%s~People" % h).ok)
            self.assertTrue(holder.call("RECORDSETLOCKCURRENTROW~%s" % h).ok)
            before = self.server.metric("ztserver_request_deferrals_total")
            for line in ("CREATERECORDSET", "RECORDSETOPEN~:h~People"):
                self.term.send(line + "\r")
                self.term.expect(r"zt> ")
            self.term.send("RECORDSETLOCKCURRENTROW~:h\r")
            deadline = time.monotonic() + DEADLINE
            while self.server.metric("ztserver_request_deferrals_total") <= before:
                self.assertLess(time.monotonic(), deadline, "the request never waited")
                time.sleep(0.01)
            self.term.send("\x03")
            self.term.expect(r"request abandoned \(Ctrl-C\); connecting again")
            self.term.expect(r"zt> ")
            self.term.send("GETTABLENAMES\r")
            self.term.expect(r"GETTABLENAMES~[^\r\n]*People")
        finally:
            holder.close()

    def test_tab_completes_commands_tables_and_columns(self):
        cases = [
            ("\\sh\t", r"\\show "),
            ("Peo\t", r"People "),
            ("WHERE Ci\t", r"City "),
        ]
        for typed, shown in cases:
            self.term.send(typed)
            self.term.expect(shown)
        self.term.send(" = Perth\r")
        self.term.expect(r"Bob")
        self.term.expect(r"zt> ")
        cases = [
            ("CREATERECO\t", r"CREATERECORDSET"),
            ("\r", r"zt> "),
            ("recordsetop\t", r"recordsetopen"),
            ("~:h~Pe\t", r"People"),
            ("\r", r"zt> "),
            ("RECORDSETGETFIELDVALUE~:h~Na\t", r"Name"),
            ("\r", r"RECORDSETGETFIELDVALUE~\d+~Ann"),
        ]
        for typed, shown in cases:
            self.term.send(typed)
            self.term.expect(shown)

    def test_history_is_kept_when_the_terminal_goes_away(self):
        self.term.send("STARTTRANSACTION\r")
        self.term.expect(r"zt> ")
        os.kill(self.term.pid, signal.SIGHUP)
        self.term.wait()
        self.assertEqual(self.history(), ["STARTTRANSACTION"])


class RestartTest(unittest.TestCase):
    def test_a_server_restart_costs_one_line_and_no_command(self):
        with tempfile.TemporaryDirectory() as folder, tempfile.TemporaryDirectory() as home:
            server = Server(folder)
            term = Terminal(server.port, home)
            try:
                term.expect(r"zt> ")
                term.send("CREATERECORDSET\r")
                term.expect(r"CREATERECORDSET~1")
                term.expect(r"zt> ")
                server.stop()
                server.start(server.port)
                term.send("GETTABLENAMES\r")
                term.expect(r"the server closed the connection; connecting again")
                term.expect(r"GETTABLENAMES~[^\r\n]*People")
                term.expect(r"zt> ")
                # The old handle went with the old connection.
                term.send("RECORDSETOPEN~:h~People\r")
                term.expect(r":h is not set")
            finally:
                term.kill()
                server.stop()


if __name__ == "__main__":
    unittest.main()
