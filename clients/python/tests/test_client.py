"""The Python client against a real server (started here with --port 0).

ZT_BINARY_DIR names the build folder holding ztserver and ztadmin
(scripts/test.sh sets it through CTest)."""

import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from decimal import Decimal

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import ztserver  # noqa: E402

BIN = os.environ.get("ZT_BINARY_DIR", os.path.join(os.path.dirname(__file__), "../../../build"))

SCHEMA = """\
table People
column Id integer 4 key
column Name text 20 key
column City text 12
column Old text 4 dropped

table Typed
column Id integer 6 key
column Amount numeric 10
column Ratio float 8
column Note text 16
"""
ROWS = "Id,Name,City\n1,Ann,Leith\n2,Bob,Perth\n3,Cy,Leith\n"
TYPED = ('Id,Amount,Ratio,Note\n1,12.50,0.25,FAILED\n2,,,"a~b"\n3,cheap,1e3,"x,y"\n'
         '4,-7,-0.5,\n')
REPLY_CASES = os.path.join(os.path.dirname(__file__), "../../../tests/client/reply_cases.txt")


class Server:
    """ztserver on a scratch database; stopped by stop()."""

    def __init__(self, extra_ini="", prepare=None):
        self.dir = tempfile.TemporaryDirectory()
        d = self.dir.name
        if prepare:
            prepare(d)
        with open(os.path.join(d, "s.schema"), "w") as f:
            f.write(SCHEMA)
        with open(os.path.join(d, "p.csv"), "w") as f:
            f.write(ROWS)
        with open(os.path.join(d, "t.csv"), "w") as f:
            f.write(TYPED)
        admin = os.path.join(BIN, "ztadmin")
        subprocess.run([admin, "create", d + "/db.dat", d + "/s.schema"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([admin, "load", d + "/db.dat", "People", d + "/p.csv"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([admin, "load", d + "/db.dat", "Typed", d + "/t.csv"], check=True,
                       stdout=subprocess.DEVNULL)
        with open(os.path.join(d, "zt.ini"), "w") as f:
            f.write("[CONNECTION]\nDatabaseFile=db.dat\n[SERVER]\nWorkFolder=work\n"
                    "LockFolder=locks\nListenAddress=127.0.0.1\nRetryDelay=20\n" + extra_ini)
        self.out = open(os.path.join(d, "out"), "w+")
        self.proc = subprocess.Popen([os.path.join(BIN, "ztserver"), "--config", d + "/zt.ini",
                                      "--port", "0"], stdout=self.out, stderr=subprocess.STDOUT)
        self.port = 0
        deadline = time.monotonic() + 10
        while not self.port and time.monotonic() < deadline and self.proc.poll() is None:
            self.out.seek(0)
            text = self.out.read()
            m = re.search(r"Listening on [^\n]*:(\d+)\n", text)
            t = re.search(r"TLS on [^\n]*:(\d+)\n", text)
            if m and (t or "TlsAddress" not in extra_ini):
                self.port = int(m.group(1))
                self.tls_port = int(t.group(1)) if t else 0
            else:
                time.sleep(0.01)
        if not self.port:
            raise RuntimeError("the server did not start")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.out.close()
        self.dir.cleanup()


class ClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def connect(self):
        db = ztserver.connect("127.0.0.1", self.server.port, timeout=5)
        self.addCleanup(db.close)
        return db

    def test_rows_as_dicts_without_dropped_columns(self):
        db = self.connect()
        self.assertEqual(db.table_names(), ["People", "Typed"])
        with db.recordset("People", where=[("City", "=", "leith")]) as people:
            self.assertEqual(list(people), [{"Id": 1, "Name": "Ann", "City": "Leith"},
                                            {"Id": 3, "Name": "Cy", "City": "Leith"}])
            self.assertEqual([c[0] for c in people.columns()], ["Id", "Name", "City", "Old"])

    def test_add_update_sort_find_delete(self):
        db = self.connect()
        with db.recordset("People") as people:
            people.add({"Id": "10", "Name": "Dee", "City": "Ayr"})
            people.open("People")
            self.assertEqual(people.count(), 4)
            people.sort("Id", ascending=False)
            self.assertEqual(people.row()["Name"], "Dee")
            self.assertTrue(people.find("Name", "b"))
            people.update({"City": "Crieff"})
            self.assertFalse(people.find("Name", "zz"))
            self.assertTrue(people.find("Name", "dee"))
            people.delete()
            people.open("People")
            self.assertEqual(people.count(), 3)
            self.assertTrue(people.find("Name", "Bob"))
            self.assertEqual(people.get("City"), "Crieff")
            self.assertEqual(people.get("Id"), 2)
            self.assertEqual(people.get_raw("Id"), "2")
            people.update({"City": "Perth"})

    def test_failures_carry_the_servers_reason(self):
        db = self.connect()
        h = db.create_recordset()
        with self.assertRaises(ztserver.Failed) as caught:
            db.command("RECORDSETOPEN", h, "Nope")
        self.assertEqual(caught.exception.reason, "RecordsetOpen: Error reading the table header")
        with self.assertRaises(ztserver.Failed) as caught:
            db.command("RECORDSETMOVENEXT", 99)
        self.assertEqual(caught.exception.reason, "there is no recordset 99")
        with self.assertRaises(ztserver.Failed) as caught:
            db.command("RECORDSETOPENFLOOR", h, "People", "City", "x")
        self.assertEqual(caught.exception.reason,
                         "RecordsetOpenFloor: Field name is not a valid key name")
        with self.assertRaises(ztserver.InvalidValue):
            db.command("RECORDSETSETFIELDVALUE", h, "Name", "a~b")
        with self.assertRaises(ztserver.InvalidValue):
            db.command("RECORDSETSETFIELDVALUE", h, "Name", "  ")
        self.assertTrue(db.connected)

    def test_pipelining_and_unknown_commands(self):
        db = self.connect()
        h = db.create_recordset()
        replies = db.pipeline(["RECORDSETOPEN~%d~People" % h, "RECORDSETGETROWCOUNT~%d" % h,
                               "STARTTRANSACTION", "RECORDSETMOVEPREV~%d" % h])
        self.assertEqual([r.text for r in replies[:3]],  # noqa
                         ["RECORDSETOPEN~%d" % h, "RECORDSETGETROWCOUNT~%d~3" % h,
                          "STARTTRANSACTION"])
        self.assertTrue(replies[3].failed)
        with self.assertRaises(ztserver.UnknownCommand):
            db.call("HELLO")
        self.assertEqual(db.call("starttransaction").text, "STARTTRANSACTION")

    def test_timeout_closes_and_server_down_is_an_error(self):
        db = self.connect()
        db.send_frame("HELLO")  # never answered
        db.timeout = 0.05
        with self.assertRaises(ztserver.Timeout):
            db.receive()
        self.assertFalse(db.connected)
        with self.assertRaises(ztserver.Closed):
            db.call("STARTTRANSACTION")
        with self.assertRaises(ztserver.Closed):
            ztserver.connect("127.0.0.1", 1)

    def test_the_shared_reply_cases(self):
        with open(REPLY_CASES) as f:
            cases = [line.rstrip("\n") for line in f if line.strip() and not line.startswith("#")]
        self.assertTrue(cases)
        for line in cases:
            head, text = line.split("\t", 1)
            verdict, fields = head.split()
            reply = ztserver.Reply(text)
            self.assertEqual("failed" if reply.failed else "ok", verdict, line)
            self.assertEqual(len(reply.fields), int(fields), line)

    def test_fetch_replies_are_decoded_and_checked(self):
        columns, end = ztserver._parse_fetch(
            ztserver.Reply("RECORDSETFETCHROWS~1~2~2~1~a\x10>b\x10B~\x10P\x10C~FAILED~"))
        self.assertEqual((columns, end), ([["a~b\x02", "FAILED"], ["\x10\x03", ""]], True))
        for bad in ("RECORDSETFETCHROWS~1~2~2~0~a~b~c", "RECORDSETFETCHROWS~1~1~1~2~a",
                    "RECORDSETFETCHROWS~1~x~1~0", "RECORDSETFETCHROWS~1~1~1~0~a\x10"):
            with self.assertRaises(ztserver.BadReply, msg=bad):
                ztserver._parse_fetch(ztserver.Reply(bad))

    def test_values_typed_by_column_and_raw(self):
        db = self.connect()
        with db.recordset("Typed") as typed:
            rows = typed.fetchall()
            self.assertEqual(rows, [(1, Decimal("12.50"), 0.25, "FAILED"),
                                    (2, None, None, "a~b"),
                                    (3, "cheap", 1000.0, "x,y"),  # not a number: kept as text
                                    (4, Decimal("-7"), -0.5, "")])
            self.assertEqual(typed.fetchall(), [])  # it stands past the last row
            typed.move_first()
            self.assertEqual(typed.fetchmany(2, columns=["Note", "Id"], raw=True),
                             [("FAILED", "1"), ("a~b", "2")])
            self.assertEqual(typed.get("Amount"), "cheap")
            self.assertEqual(typed.fetchmany(5, columns=["Amount"]), [("cheap",), (Decimal("-7"),)])
            self.assertEqual(typed.fetchmany(5), [])
            with self.assertRaises(ztserver.Failed) as caught:
                typed.fetchmany(1, columns=["Nope"])
            self.assertEqual(caught.exception.reason,
                             "RecordsetFetchRows: Invalid column name: Nope")
            self.assertEqual(list(typed)[1], {"Id": 2, "Amount": None, "Ratio": None,
                                              "Note": "a~b"})

    def test_iteration_leaves_the_current_row_alone(self):
        db = self.connect()
        with db.recordset("People") as people:
            people.sort("Name", ascending=False)
            walk = iter(people)
            self.assertEqual(next(walk)["Name"], "Cy")
            self.assertEqual(next(walk)["Name"], "Bob")
            people.update({"City": "Troon"})  # the current row: still the first
            self.assertEqual([r["Name"] for r in walk], ["Ann"])
            self.assertEqual(people.get("Name"), "Cy")
            self.assertEqual(people.get("City"), "Troon")
            people.update({"City": "Leith"})
            # Abandoned half-way, an iteration leaves the connection in step.
            for row in people:
                break
            self.assertEqual(db.call("STARTTRANSACTION").text, "STARTTRANSACTION")

    def test_a_refused_add_is_dropped_and_named(self):
        db = self.connect()
        with db.recordset("People") as people:
            with self.assertRaises(ztserver.Failed) as caught:
                people.add({"Id": "20", "Nmae": "typo"})
            self.assertIn("column Nmae, value 'typo' refused", str(caught.exception))
            with self.assertRaises(ztserver.Failed):
                people.add({"Id": "21"})  # Name is a key: the update is refused
            people.add({"Id": "22", "Name": "Di"})
            people.open("People")
            self.assertEqual(people.count(), 4)
            self.assertTrue(people.find("Name", "Di"))
            people.delete()
            self.assertEqual(people.count(), 3)
            people.open("People")
            self.assertEqual(people.count(), 3)
            self.assertEqual(sorted(r["Id"] for r in people), [1, 2, 3])
            # With filter_on, a delete after it is taken off the filtered
            # count too (the server's stays as FILTERON made it).
            people.add({"Id": "23", "Name": "Di"})
            people.add({"Id": "24", "Name": "Di"})
            people.open("People")
            people.filter_on("Name", "Di")
            self.assertEqual(people.count(), 2)
            self.assertTrue(people.find("Name", "Di"))
            people.delete()
            self.assertEqual(people.count(), 1)
            people.filter_on("Name", "Di")
            self.assertEqual(people.count(), 1)
            people.delete()  # the table is as the other tests expect it again
            self.assertEqual(people.count(), 0)


def _make_tls_and_users(d):
    """A self-signed certificate for 127.0.0.1 (openssl) and two users."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                    "-keyout", d + "/key.pem", "-out", d + "/cert.pem"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    admin = os.path.join(BIN, "ztadmin")
    for name, access in (("ann", "readwrite"), ("rob", "readonly")):
        subprocess.run([admin, "user", "add", d + "/users", name, "--access", access,
                        "--iterations", "1000"], input=name + "-pw\n", text=True, check=True,
                       stdout=subprocess.DEVNULL)


class TlsClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server("TlsAddress=127.0.0.1:0\nTlsCertificate=cert.pem\nTlsKey=key.pem\n"
                            "UsersFile=users\nRequireAuthentication=yes\n",
                            prepare=_make_tls_and_users)
        cls.ca = os.path.join(cls.server.dir.name, "cert.pem")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_tls_with_a_user(self):
        tls = ztserver.tls_context(self.ca)
        with ztserver.connect("127.0.0.1", self.server.tls_port, 5, tls=tls, user="ann",
                              password="ann-pw") as db:
            self.assertEqual(db.table_names(), ["People", "Typed"])

    def test_refusals_carry_the_servers_reason(self):
        tls = ztserver.tls_context(self.ca)
        with self.assertRaises(ztserver.Failed) as caught:
            ztserver.connect("127.0.0.1", self.server.tls_port, 5, tls=tls, user="ann",
                             password="wrong")
        self.assertIn("unknown user or wrong password", str(caught.exception))
        with ztserver.connect("127.0.0.1", self.server.tls_port, 5, tls=tls, user="rob",
                              password="rob-pw") as db:
            rs = db.recordset("People")
            with self.assertRaises(ztserver.Failed) as caught:
                rs.add({"Id": "9", "Name": "Zed"})
            self.assertIn("may not change stored data", str(caught.exception))

    def test_the_server_certificate_is_verified(self):
        # Without the certificate's CA (the system's CAs only) it is refused.
        with self.assertRaises(ztserver.Closed):
            ztserver.Connection("127.0.0.1", self.server.tls_port, 5, tls=ztserver.tls_context())


if __name__ == "__main__":
    unittest.main()
