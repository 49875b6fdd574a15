"""Client for the ZTServer protocol: a connection, its replies, recordsets.

Frames are STX text ETX; fields are separated by "~". Texts travel as
UTF-8; bytes that are not UTF-8 come back as surrogate escapes (the server
counts bytes and assumes no encoding). Every request gets one
reply frame in order, except an unknown command, which the server never
answers: such a name is refused here instead. See docs/protocol.md.
"""

import socket
import ssl
import time

__all__ = [
    "COMMANDS", "Connection", "Reply", "Recordset", "connect",
    "Error", "Failed", "Timeout", "Closed", "UnknownCommand", "InvalidValue",
]

STX = b"\x02"
ETX = b"\x03"
GREETING = b"\x02CONNECTIONSTATUS\x03~SUCCEEDED"

# Where each command's failure leaves its reason: "db" (GETLASTERRORTEXT),
# "rs" (RECORDSETGETLASTERROR~h) or None.
_DB, _RS = "db", "rs"
COMMANDS = {
    "STARTTRANSACTION": None, "COMMITTRANSACTION": None, "ROLLBACKTRANSACTION": None,
    "GETLASTERRORTEXT": None, "CREATERECORDSET": _DB, "RECORDSETCLOSE": None,
    "RECORDSETISCONNECTED": None, "RECORDSETGETLASTERROR": None,
    "GETLOCATIONINFORMATION": _DB, "SETLOCATIONINFORMATION": _DB, "REBUILDDATABASE": None,
    "GETTABLENAMES": _DB, "AUTHENTICATE": _DB,
    "RECORDSETOPEN": _RS, "RECORDSETOPENFLOOR": _DB, "RECORDSETOPENCEILING": _DB,
    "RECORDSETADDFILTERCOLUMN": _RS, "RECORDSETCLEARFILTERS": None, "RECORDSETFILTERON": _RS,
    "RECORDSETCANBOOKMARK": _RS, "RECORDSETSETBOOKMARK": _RS, "RECORDSETGETBOOKMARK": _RS,
    "RECORDSETGETLASTUPDATEDBOOKMARK": _RS, "RECORDSETGETROWCOUNT": _RS,
    "RECORDSETGETSELECTEDROWCOUNT": _RS, "RECORDSETGETFILTEREDCOUNT": _RS,
    "RECORDSETMOVEFIRST": _RS, "RECORDSETMOVENEXT": _RS, "RECORDSETMOVEPREV": _RS,
    "RECORDSETMOVELAST": _RS,
    "RECORDSETISCURRENTROWLOCKED": _RS, "RECORDSETLOCKCURRENTROW": _RS,
    "RECORDSETUNLOCKCURRENTROW": _RS, "RECORDSETLOCKALL": _RS, "RECORDSETUNLOCKALL": None,
    "RECORDSETADDROW": _RS, "RECORDSETSETFIELDVALUE": _RS, "RECORDSETGETFIELDVALUE": _RS,
    "RECORDSETUPDATE": _RS, "RECORDSETDELETECURRENTROW": _RS, "RECORDSETDELETEALL": _RS,
    "RECORDSETFINDROW": _RS, "RECORDSETSORT": _RS,
    "RECORDSETGETFIELDCOUNT": _RS, "RECORDSETGETFIELDNAME": _RS, "RECORDSETGETFIELDINFO": _RS,
    "RECORDSETISFIELDNULLABLE": _RS, "RECORDSETISFIELDKEYCOLUMN": _RS,
    "RECORDSETISFIELDBLOB": _RS, "RECORDSETGETFIELDSIZE": _RS,
    "RECORDSETSELECTROW": _RS, "RECORDSETDESELECTROW": _RS, "RECORDSETSELECTALL": _RS,
    "RECORDSETDESELECTALL": _RS, "RECORDSETSELECTROWSRANGE": _RS,
    "RECORDSETDESELECTROWSRANGE": _RS, "RECORDSETISROWSELECTED": _RS,
    "RECORDSETMOVETOFIRSTSELECTEDROW": _RS, "RECORDSETMOVETONEXTSELECTEDROW": _RS,
    "RECORDSETMOVETOPREVSELECTEDROW": _RS, "RECORDSETMOVETOLASTSELECTEDROW": _RS,
}


class Error(Exception):
    """Anything that went wrong talking to the server."""


class Failed(Error):
    """The server answered COMMAND~FAILED; .reason is its explanation."""

    def __init__(self, request, reason):
        super().__init__("%s: %s" % (request, reason or "failed (no reason given)"))
        self.request = request
        self.reason = reason


class Timeout(Error):
    """No reply in time; the connection is closed."""


class Closed(Error):
    """The server closed the connection (or it was never open)."""


class UnknownCommand(Error):
    """Not a command of the protocol: refused, never sent."""


class InvalidValue(Error):
    """A value that cannot travel in a field ('~', STX, ETX, NUL, or blank)."""


def _command_name(request):
    return request.strip(" ~").split("~", 1)[0].strip(" ").upper()


def _check_value(value):
    text = str(value)
    if not text.strip(" ") or any(c in text for c in "~\x02\x03\x00"):
        raise InvalidValue("cannot send %r: a value must not be blank or hold '~', STX, "
                           "ETX or NUL" % text)
    return text


class Reply:
    """One reply: .text as received, .fields (text cut at '~'), .ok, .failed."""

    __slots__ = ("text", "fields")

    def __init__(self, text):
        self.text = text
        self.fields = text.split("~")

    @property
    def failed(self):
        return self.text.endswith("~FAILED")

    @property
    def ok(self):
        return not self.failed

    @property
    def name(self):
        return self.fields[0]

    def value(self, skip):
        """The text behind the first `skip` fields, '~' included."""
        parts = self.text.split("~", skip)
        return parts[skip] if len(parts) > skip else ""

    def __repr__(self):
        return "Reply(%r)" % self.text


class Connection:
    """One connection; use from one thread at a time."""

    def __init__(self, host="127.0.0.1", port=5432, timeout=15.0, connect_timeout=5.0,
                 tls=None, user=None, password=None):
        """tls: an ssl.SSLContext (see tls_context) to connect through the
        server's TLS listener; the server's name is verified as host unless
        the context says otherwise. user: AUTHENTICATE after the greeting
        (Failed, with the server's reason, when refused)."""
        self.timeout = timeout
        self._buffer = b""
        self._sock = None
        try:
            self._sock = socket.create_connection((host, port), timeout=connect_timeout)
            self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if tls is not None:
                self._sock = tls.wrap_socket(self._sock, server_hostname=host)
        except (OSError, ssl.SSLError) as e:
            if self._sock is not None:
                self._sock.close()
                self._sock = None
            raise Closed("cannot connect to %s:%s: %s" % (host, port, getattr(e, "strerror", None) or e)) from e
        greeting = self._read_exactly(len(GREETING), connect_timeout)
        if greeting != GREETING:
            self.close()
            raise Error("unexpected greeting: not a ZTServer")
        if user is not None:
            try:
                self.authenticate(user, password or "")
            except Error:
                self.close()
                raise

    def authenticate(self, user, password):
        """AUTHENTICATE~user~password (an extension; see docs/protocol.md)."""
        self.execute("AUTHENTICATE~%s~%s" % (_check_value(user), _check_value(password)))

    # -- plumbing -----------------------------------------------------------
    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def connected(self):
        return self._sock is not None

    def _fill(self, deadline):
        if self._sock is None:
            raise Closed("not connected")
        left = deadline - time.monotonic()
        if left <= 0:
            self.close()
            raise Timeout("no reply from the server in time")
        self._sock.settimeout(left)
        try:
            chunk = self._sock.recv(65536)
        except socket.timeout:
            self.close()
            raise Timeout("no reply from the server in time") from None
        except OSError as e:
            self.close()
            raise Closed("the connection broke: %s" % e) from e
        if not chunk:
            self.close()
            raise Closed("the server closed the connection")
        self._buffer += chunk

    def _read_exactly(self, n, timeout):
        deadline = time.monotonic() + timeout
        while len(self._buffer) < n:
            self._fill(deadline)
        data, self._buffer = self._buffer[:n], self._buffer[n:]
        return data

    def send_frame(self, text):
        """Sends STX text ETX as it is (no command check)."""
        self._send(STX + text.encode("utf-8", "surrogateescape") + ETX)

    def _send(self, data):
        if self._sock is None:
            raise Closed("not connected")
        try:
            self._sock.settimeout(self.timeout)
            self._sock.sendall(data)
        except OSError as e:
            self.close()
            raise Closed("the connection broke: %s" % e) from e

    def receive(self):
        """The next reply. Bytes outside STX ... ETX are dropped."""
        deadline = time.monotonic() + self.timeout
        while True:
            end = self._buffer.find(ETX)
            if end >= 0:
                start = self._buffer.rfind(STX, 0, end)
                frame = self._buffer[start + 1:end] if start >= 0 else b""
                self._buffer = self._buffer[end + 1:]
                if frame:
                    return Reply(frame.decode("utf-8", "surrogateescape"))
                continue
            self._fill(deadline)

    @staticmethod
    def _checked(request):
        if _command_name(request) not in COMMANDS:
            raise UnknownCommand("unknown command %r (the server would never answer)"
                                 % _command_name(request))
        return request

    # -- requests -----------------------------------------------------------
    def call(self, request):
        """Sends one request and returns its Reply (ok or failed)."""
        self.send_frame(self._checked(request))
        return self.receive()

    def pipeline(self, requests):
        """Sends every request in one write, then reads their replies in order."""
        data = b"".join(STX + self._checked(r).encode("utf-8", "surrogateescape") + ETX
                       for r in requests)
        self._send(data)
        return [self.receive() for _ in requests]

    def failure_reason(self, request):
        """The server's reason for a FAILED reply to request ('' when it keeps none)."""
        where = COMMANDS.get(_command_name(request))
        if where == _DB:
            return self.call("GETLASTERRORTEXT").value(1)
        if where == _RS:
            fields = request.split("~")
            handle = fields[1].strip() if len(fields) > 1 else "0"
            reply = self.call("RECORDSETGETLASTERROR~" + (handle or "0"))
            if reply.failed:
                return "there is no recordset %s" % handle
            return reply.value(2)
        return ""

    def execute(self, request):
        """call(), raising Failed with the server's reason on a FAILED reply."""
        reply = self.call(request)
        if reply.failed:
            raise Failed(request, self.failure_reason(request))
        return reply

    def command(self, name, *args):
        """Builds NAME~arg~arg... (values checked) and executes it."""
        return self.execute("~".join([name] + [_check_value(a) for a in args]))

    # -- conveniences -------------------------------------------------------
    def table_names(self):
        """GETTABLENAMES (an extension: older servers never answer it)."""
        return self.command("GETTABLENAMES").fields[1:]

    def last_error_text(self):
        return self.call("GETLASTERRORTEXT").value(1)

    def location_information(self):
        return self.command("GETLOCATIONINFORMATION").fields[1:]

    def create_recordset(self):
        return int(self.command("CREATERECORDSET").fields[1])

    def recordset(self, table=None, where=()):
        """A new Recordset, opened on table (with (column, op, value) conditions) if given."""
        rs = Recordset(self, self.create_recordset())
        if table is not None:
            try:
                rs.open(table, where)
            except Error:
                rs.close()
                raise
        return rs


def tls_context(ca_file=None, cert_file=None, key_file=None):
    """A client TLS context that verifies the server against ca_file (None:
    the system's CAs) and its name, TLS 1.2 at least; cert_file and key_file
    present a client certificate."""
    context = ssl.create_default_context(cafile=ca_file)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if cert_file:
        context.load_cert_chain(cert_file, key_file)
    return context


def connect(host="127.0.0.1", port=5432, timeout=15.0, tls=None, user=None, password=None):
    return Connection(host, port, timeout, tls=tls, user=user, password=password)


class Recordset:
    """A server-side recordset: a handle and the commands on it."""

    def __init__(self, connection, handle):
        self.db = connection
        self.handle = handle
        self._columns = None

    def _do(self, name, *args):
        return self.db.command(name, self.handle, *args)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.db.connected:
            self.db.call("RECORDSETCLOSE~%d" % self.handle)

    def open(self, table, where=()):
        self.db.call("RECORDSETCLEARFILTERS~%d" % self.handle)
        for column, op, value in where:
            self._do("RECORDSETADDFILTERCOLUMN", column, op, value, 0)
        self._do("RECORDSETOPEN", table)
        self._columns = None

    def columns(self):
        """(name, type, size) of every column, dropped ones included."""
        if self._columns is None:
            count = int(self._do("RECORDSETGETFIELDCOUNT").fields[2])
            self._columns = []
            for f in range(count):
                fields = self._do("RECORDSETGETFIELDINFO", f).fields
                self._columns.append((fields[2], int(fields[3]), int(fields[4])))
        return self._columns

    def count(self):
        return int(self._do("RECORDSETGETROWCOUNT").fields[2])

    def get(self, column):
        return self._do("RECORDSETGETFIELDVALUE", column).value(2)

    def set(self, column, value):
        self._do("RECORDSETSETFIELDVALUE", column, value)

    def move_first(self):
        return self.db.call("RECORDSETMOVEFIRST~%d" % self.handle).ok

    def move_next(self):
        return self.db.call("RECORDSETMOVENEXT~%d" % self.handle).ok

    def _readable(self):
        # Dropped columns answer "Invalid column name"; they are left out.
        names = []
        for name, _, _ in self.columns():
            if self.db.call("RECORDSETGETFIELDVALUE~%d~%s" % (self.handle, name)).ok:
                names.append(name)
        return names

    def __iter__(self):
        """The rows from the first on, as dicts (pipelined, a row per round trip)."""
        if not self.move_first():
            return
        names = self._readable()
        h = self.handle
        requests = ["RECORDSETGETFIELDVALUE~%d~%s" % (h, n) for n in names]
        requests.append("RECORDSETMOVENEXT~%d" % h)
        while True:
            replies = self.db.pipeline(requests)
            yield {n: r.value(2) for n, r in zip(names, replies)}
            if replies[-1].failed:
                return

    def row(self):
        """The current row as a dict."""
        return {n: self.get(n) for n in self._readable()}

    def add(self, values):
        """Adds and stores one row."""
        self._do("RECORDSETADDROW")
        for column, value in values.items():
            self.set(column, value)
        self._do("RECORDSETUPDATE")

    def update(self, values):
        """Changes the current row and stores it."""
        for column, value in values.items():
            self.set(column, value)
        self._do("RECORDSETUPDATE")

    def delete(self):
        """Deletes the current row (marked, then stored)."""
        self._do("RECORDSETDELETECURRENTROW")
        self._do("RECORDSETUPDATE")

    def sort(self, column, ascending=True):
        self._do("RECORDSETSORT", column, 1 if ascending else 0)

    def find(self, column, prefix):
        """Moves to the first row whose column begins with prefix; False when none."""
        try:
            self._do("RECORDSETFINDROW", column, prefix)
        except Failed:
            return False
        return True
