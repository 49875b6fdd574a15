"""Client for the ZTServer protocol: a connection, its replies, recordsets.

Frames are STX text ETX; fields are separated by "~". Texts travel as
UTF-8; bytes that are not UTF-8 come back as surrogate escapes (the server
counts bytes and assumes no encoding). Every request gets one
reply frame in order, except an unknown command, which the server never
answers: such a name is refused here instead. See docs/protocol.md.

A reply is a failure exactly when it has two fields and the second is
FAILED: "RECORDSETGETFIELDVALUE~1~FAILED" is a value that reads FAILED.
"""

from __future__ import annotations

import re
import socket
import ssl
import time
from decimal import Decimal
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

__all__ = [
    "COMMANDS", "Connection", "Reply", "Recordset", "connect", "tls_context",
    "Error", "Failed", "Timeout", "Closed", "UnknownCommand", "InvalidValue", "BadReply",
]

STX = b"\x02"
ETX = b"\x03"
GREETING = b"\x02CONNECTIONSTATUS\x03~SUCCEEDED"

# Where each command's failure leaves its reason: "db" (GETLASTERRORTEXT),
# "rs" (RECORDSETGETLASTERROR~h) or None.
_DB, _RS = "db", "rs"
COMMANDS: Dict[str, Optional[str]] = {
    "STARTTRANSACTION": None, "COMMITTRANSACTION": None, "ROLLBACKTRANSACTION": None,
    "GETLASTERRORTEXT": None, "CREATERECORDSET": _DB, "RECORDSETCLOSE": _DB,
    "RECORDSETISCONNECTED": None, "RECORDSETGETLASTERROR": None,
    "GETLOCATIONINFORMATION": _DB, "SETLOCATIONINFORMATION": _DB, "REBUILDDATABASE": _DB,
    "GETTABLENAMES": _DB, "AUTHENTICATE": _DB,
    "RECORDSETOPEN": _RS, "RECORDSETOPENFLOOR": _DB, "RECORDSETOPENCEILING": _DB,
    "RECORDSETADDFILTERCOLUMN": _RS, "RECORDSETCLEARFILTERS": None, "RECORDSETFILTERON": _RS,
    "RECORDSETCANBOOKMARK": _RS, "RECORDSETSETBOOKMARK": _RS, "RECORDSETGETBOOKMARK": _RS,
    "RECORDSETGETLASTUPDATEDBOOKMARK": _RS, "RECORDSETGETROWCOUNT": _RS,
    "RECORDSETGETSELECTEDROWCOUNT": _RS, "RECORDSETGETFILTEREDCOUNT": _RS,
    "RECORDSETMOVEFIRST": _RS, "RECORDSETMOVENEXT": _RS, "RECORDSETMOVEPREV": _RS,
    "RECORDSETMOVELAST": _RS, "RECORDSETFETCHROWS": _RS,
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

    def __init__(self, request: str, reason: str) -> None:
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


class BadReply(Error):
    """A reply of a shape the request cannot have."""


def _command_name(request: str) -> str:
    return request.strip(" ~").split("~", 1)[0].strip(" ").upper()


def _check_value(value: Any) -> str:
    text = str(value)
    if not text.strip(" ") or any(c in text for c in "~\x02\x03\x00"):
        raise InvalidValue("cannot send %r: a value must not be blank or hold '~', STX, "
                           "ETX or NUL" % text)
    return text


class Reply:
    """One reply: .text as received, .fields (text cut at '~'), .ok, .failed."""

    __slots__ = ("text", "fields")

    def __init__(self, text: str) -> None:
        self.text = text
        self.fields = text.split("~")

    @property
    def failed(self) -> bool:
        """Exactly "NAME~FAILED": two fields, the second FAILED."""
        return len(self.fields) == 2 and self.fields[1] == "FAILED"

    @property
    def ok(self) -> bool:
        return not self.failed

    @property
    def name(self) -> str:
        return self.fields[0]

    def value(self, skip: int) -> str:
        """The text behind the first `skip` fields, '~' included."""
        parts = self.text.split("~", skip)
        return parts[skip] if len(parts) > skip else ""

    def __repr__(self) -> str:
        return "Reply(%r)" % self.text


# RECORDSETFETCHROWS value framing (docs/protocol.md): DLE (0x10), then the
# byte XOR 0x40, stands for each of STX, ETX, DLE and "~".
_ESCAPED = re.compile("\x10(.?)", re.DOTALL)


def _unescaped(match: "re.Match[str]") -> str:
    if not match.group(1):
        raise BadReply("a fetched value ends in its escape")
    return chr(ord(match.group(1)) ^ 0x40)


def _unescape(value: str) -> str:
    return _ESCAPED.sub(_unescaped, value) if "\x10" in value else value


def _parse_fetch(reply: Reply) -> Tuple[List[List[str]], bool]:
    """(columns of values, end) of a RECORDSETFETCHROWS reply: one list per
    column, each holding that column's value of every row, decoded."""
    f = reply.fields
    try:
        rows, ncols, end = int(f[2]), int(f[3]), f[4]
    except (IndexError, ValueError):
        raise BadReply("not a RECORDSETFETCHROWS reply: %r" % reply.text[:80]) from None
    if len(f) != 5 + rows * ncols or end not in ("0", "1"):
        raise BadReply("not a RECORDSETFETCHROWS reply: %r" % reply.text[:80])
    values = f[5:]
    if "\x10" in reply.text:
        values = [_unescape(v) for v in values]
    return [values[c::ncols] for c in range(ncols)] if rows else [[] for _ in range(ncols)], \
        end == "1"


# Column types (the code the database stores): 1 integer, 2 numeric,
# 3 float, anything else text.
def _convert_one(kind: Callable[[str], Any], text: str) -> Any:
    if text == "":
        return None
    try:
        return kind(text)
    except (ValueError, ArithmeticError):
        return text  # the server does not check types: a stored text stays one


def _converter(type_code: int) -> Optional[Callable[[str], Any]]:
    return {1: int, 2: Decimal, 3: float}.get(type_code)


def _convert_column(type_code: int, texts: List[str]) -> List[Any]:
    """texts typed by the column's type; an empty numeric is None, and a
    text the type cannot read stays the text."""
    kind = _converter(type_code)
    if kind is None:
        return texts
    try:
        if kind is Decimal:
            out = list(map(Decimal, texts))
            if not all(v.is_finite() for v in out):  # "NaN", "Infinity" stay texts
                raise ValueError
            return out
        return list(map(kind, texts))
    except (ValueError, ArithmeticError):
        return [_convert_one(kind, t) for t in texts]


class Connection:
    """One connection; use from one thread at a time."""

    def __init__(self, host: str = "127.0.0.1", port: int = 5432, timeout: float = 15.0,
                 connect_timeout: float = 5.0, tls: Optional[ssl.SSLContext] = None,
                 user: Optional[str] = None, password: Optional[str] = None) -> None:
        """tls: an ssl.SSLContext (see tls_context) to connect through the
        server's TLS listener; the server's name is verified as host unless
        the context says otherwise. user: AUTHENTICATE after the greeting
        (Failed, with the server's reason, when refused)."""
        self.timeout = timeout
        self._buffer = bytearray()
        self._scanned = 0  # bytes of _buffer known to hold no ETX
        self._sock: Optional[socket.socket] = None
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

    def authenticate(self, user: str, password: str) -> None:
        """AUTHENTICATE~user~password (an extension; see docs/protocol.md)."""
        self.execute("AUTHENTICATE~%s~%s" % (_check_value(user), _check_value(password)))

    # -- plumbing -----------------------------------------------------------
    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    @property
    def connected(self) -> bool:
        return self._sock is not None

    def _fill(self, deadline: float) -> None:
        if self._sock is None:
            raise Closed("not connected")
        left = deadline - time.monotonic()
        if left <= 0:
            self.close()
            raise Timeout("no reply from the server in time")
        self._sock.settimeout(left)
        try:
            chunk = self._sock.recv(262144)
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

    def _read_exactly(self, n: int, timeout: float) -> bytes:
        deadline = time.monotonic() + timeout
        while len(self._buffer) < n:
            self._fill(deadline)
        data = bytes(self._buffer[:n])
        del self._buffer[:n]
        self._scanned = 0
        return data

    def send_frame(self, text: str) -> None:
        """Sends STX text ETX as it is (no command check)."""
        self._send(STX + text.encode("utf-8", "surrogateescape") + ETX)

    def _send(self, data: bytes) -> None:
        if self._sock is None:
            raise Closed("not connected")
        try:
            self._sock.settimeout(self.timeout)
            self._sock.sendall(data)
        except OSError as e:
            self.close()
            raise Closed("the connection broke: %s" % e) from e

    def receive(self) -> Reply:
        """The next reply. Bytes outside STX ... ETX are dropped."""
        deadline = time.monotonic() + self.timeout
        while True:
            end = self._buffer.find(ETX, self._scanned)
            if end >= 0:
                start = self._buffer.rfind(STX, 0, end)
                frame = bytes(self._buffer[start + 1:end]) if start >= 0 else b""
                del self._buffer[:end + 1]
                self._scanned = 0
                if frame:
                    return Reply(frame.decode("utf-8", "surrogateescape"))
                continue
            self._scanned = len(self._buffer)
            self._fill(deadline)

    @staticmethod
    def _checked(request: str) -> str:
        if _command_name(request) not in COMMANDS:
            raise UnknownCommand("unknown command %r (the server would never answer)"
                                 % _command_name(request))
        return request

    # -- requests -----------------------------------------------------------
    def call(self, request: str) -> Reply:
        """Sends one request and returns its Reply (ok or failed)."""
        self.send_frame(self._checked(request))
        return self.receive()

    def pipeline(self, requests: Sequence[str]) -> List[Reply]:
        """Sends every request in one write, then reads their replies in order."""
        data = b"".join(STX + self._checked(r).encode("utf-8", "surrogateescape") + ETX
                        for r in requests)
        self._send(data)
        return [self.receive() for _ in requests]

    def failure_reason(self, request: str) -> str:
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

    def execute(self, request: str) -> Reply:
        """call(), raising Failed with the server's reason on a FAILED reply."""
        reply = self.call(request)
        if reply.failed:
            raise Failed(request, self.failure_reason(request))
        return reply

    def command(self, name: str, *args: Any) -> Reply:
        """Builds NAME~arg~arg... (values checked) and executes it."""
        return self.execute("~".join([name] + [_check_value(a) for a in args]))

    # -- conveniences -------------------------------------------------------
    def table_names(self) -> List[str]:
        """GETTABLENAMES~COUNT (an extension: older servers never answer it):
        the count first, so that no table name reads as a failure."""
        reply = self.command("GETTABLENAMES", "COUNT")
        f = reply.fields
        if len(f) < 2 or not f[1].isdigit() or int(f[1]) != len(f) - 2:
            raise BadReply("GETTABLENAMES: not a counted list: %r" % reply.text)
        return f[2:]

    def last_error_text(self) -> str:
        return self.call("GETLASTERRORTEXT").value(1)

    def location_information(self) -> List[str]:
        return self.command("GETLOCATIONINFORMATION").fields[1:]

    def create_recordset(self) -> int:
        return int(self.command("CREATERECORDSET").fields[1])

    def recordset(self, table: Optional[str] = None,
                  where: Iterable[Tuple[str, str, Any]] = ()) -> "Recordset":
        """A new Recordset, opened on table (with (column, op, value) conditions) if given."""
        rs = Recordset(self, self.create_recordset())
        if table is not None:
            try:
                rs.open(table, where)
            except Error:
                rs.close()
                raise
        return rs


def tls_context(ca_file: Optional[str] = None, cert_file: Optional[str] = None,
                key_file: Optional[str] = None) -> ssl.SSLContext:
    """A client TLS context that verifies the server against ca_file (None:
    the system's CAs) and its name, TLS 1.2 at least; cert_file and key_file
    present a client certificate."""
    context = ssl.create_default_context(cafile=ca_file)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if cert_file:
        context.load_cert_chain(cert_file, key_file)
    return context


def connect(host: str = "127.0.0.1", port: int = 5432, timeout: float = 15.0,
            tls: Optional[ssl.SSLContext] = None, user: Optional[str] = None,
            password: Optional[str] = None) -> Connection:
    return Connection(host, port, timeout, tls=tls, user=user, password=password)


# Rows a RECORDSETFETCHROWS asks for; the server may send fewer (it bounds
# each reply), never more.
FETCH_BATCH = 10000


class Recordset:
    """A server-side recordset: a handle and the commands on it.

    Values come typed by their column: int (type 1), Decimal (2), float (3),
    str otherwise; an empty numeric value is None, and a text a numeric
    column holds that is not a number stays a str (the server does not check
    types). The *_raw methods give the texts as the server sent them.
    """

    def __init__(self, connection: Connection, handle: int) -> None:
        self.db = connection
        self.handle = handle
        self._columns: Optional[List[Tuple[str, int, int]]] = None
        self._type_codes: Dict[str, int] = {}
        # How the recordset was opened, so that iteration can open its own
        # cursor alike and a refused add can start afresh.
        self._table: Optional[str] = None
        self._where: List[Tuple[str, str, Any]] = []
        self._sort: Optional[Tuple[str, bool]] = None
        self._filter_on: Optional[Tuple[str, str]] = None
        self._deleted = 0  # rows deleted through this recordset since its open
        # ... and since its last filter_on with a value: the server's
        # filtered count is made by FILTERON and keeps rows deleted after it.
        self._deleted_filtered = 0
        self._dropped_names: Optional[set] = None

    def _do(self, name: str, *args: Any) -> Reply:
        return self.db.command(name, self.handle, *args)

    def __enter__(self) -> "Recordset":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        if self.db.connected:
            self.db.call("RECORDSETCLOSE~%d" % self.handle)

    def open(self, table: str, where: Iterable[Tuple[str, str, Any]] = ()) -> None:
        where = list(where)
        self.db.call("RECORDSETCLEARFILTERS~%d" % self.handle)
        for column, op, value in where:
            self._do("RECORDSETADDFILTERCOLUMN", column, op, value, 0)
        self._do("RECORDSETOPEN", table)
        self._table, self._where, self._sort, self._filter_on = table, where, None, None
        self._columns = None
        self._dropped_names = None
        self._deleted = 0
        self._deleted_filtered = 0

    def _reopen(self) -> None:
        """Opens again as last opened, sorted and filtered alike: what a
        refused change left pending is dropped."""
        if self._table is None:
            return
        sort, filter_on = self._sort, self._filter_on
        self.open(self._table, self._where)
        if sort:
            self.sort(*sort)
        if filter_on:
            self.filter_on(*filter_on)

    def columns(self) -> List[Tuple[str, int, int]]:
        """(name, type, size) of every column, dropped ones included."""
        if self._columns is None:
            count = int(self._do("RECORDSETGETFIELDCOUNT").fields[2])
            replies = self.db.pipeline(["RECORDSETGETFIELDINFO~%d~%d" % (self.handle, f)
                                        for f in range(count)])
            self._columns = []
            for f, reply in enumerate(replies):
                if reply.failed:
                    raise Failed("RECORDSETGETFIELDINFO~%d~%d" % (self.handle, f),
                                 self.db.failure_reason("RECORDSETGETFIELDINFO~%d" % self.handle))
                self._columns.append((reply.fields[2], int(reply.fields[3]), int(reply.fields[4])))
            self._type_codes = {name.upper(): kind for name, kind, _ in self._columns}
        return self._columns

    def _type_of(self, column: str) -> int:
        self.columns()
        return self._type_codes.get(column.strip().upper(), 0)

    def count(self) -> int:
        """The rows a walk visits now: deletes made through this recordset
        are taken off at once (the server's count keeps them until the next
        open); with filter_on, the rows it leaves visible."""
        if self._filter_on is not None:
            return int(self._do("RECORDSETGETFILTEREDCOUNT").fields[2]) - self._deleted_filtered
        return int(self._do("RECORDSETGETROWCOUNT").fields[2]) - self._deleted

    def get_raw(self, column: str) -> str:
        return self._do("RECORDSETGETFIELDVALUE", column).value(2)

    def get(self, column: str) -> Any:
        """The current row's value of column, typed."""
        text = self.get_raw(column)
        kind = _converter(self._type_of(column))
        return text if kind is None else _convert_one(kind, text)

    def set(self, column: str, value: Any) -> None:
        self._do("RECORDSETSETFIELDVALUE", column, value)

    def move_first(self) -> bool:
        return self.db.call("RECORDSETMOVEFIRST~%d" % self.handle).ok

    def move_next(self) -> bool:
        return self.db.call("RECORDSETMOVENEXT~%d" % self.handle).ok

    # -- rows in bulk -------------------------------------------------------
    def _fetch_request(self, handle: int, n: int, names: Optional[Sequence[str]]) -> str:
        request = "RECORDSETFETCHROWS~%d~%d" % (handle, n)
        if names:
            request += "~" + ",".join(names)
        return request

    def _types(self, names: Sequence[str], raw: bool) -> Optional[List[int]]:
        """The type of each column named (None: raw texts). Asked before a
        stream of fetches begins: nothing else may be sent while it runs."""
        return None if raw else [self._type_of(n) for n in names]

    @staticmethod
    def _typed_rows(columns: List[List[str]], types: Optional[List[int]]) -> List[tuple]:
        if types is not None:
            columns = [_convert_column(t, c) for t, c in zip(types, columns)]
        return list(zip(*columns))

    def _names(self, columns: Optional[Sequence[str]]) -> List[str]:
        """The columns named, or every live one (a dropped column cannot be read)."""
        if columns:
            return list(columns)
        return [name for name, _, _ in self.columns() if name.upper() not in self._dropped()]

    def _dropped(self) -> set:
        """Names (upper case) of the dropped columns, which GETFIELDINFO lists
        like the others but no read can name: asked once per open."""
        if self._dropped_names is None:
            names = [name for name, _, _ in self.columns()]
            requests = []
            for n in names:
                requests += ["RECORDSETGETFIELDVALUE~%d~%s" % (self.handle, n),
                             "RECORDSETGETLASTERROR~%d" % self.handle]
            replies = self.db.pipeline(requests) if names else []
            self._dropped_names = {
                n.upper() for n, value, why in zip(names, replies[0::2], replies[1::2])
                if value.failed and "Invalid column name" in why.value(2)}
        return self._dropped_names

    def fetchmany(self, size: int = FETCH_BATCH, columns: Optional[Sequence[str]] = None,
                  raw: bool = False) -> List[tuple]:
        """Up to size rows from the current row on, as tuples (of columns, or
        of every live column), typed unless raw; the recordset then stands
        after them (past its last row once they are all read). Fewer than
        size rows: the rows are done."""
        types = self._types(self._names(columns), raw)
        rows: List[tuple] = []
        while len(rows) < size:
            reply = self.db.execute(self._fetch_request(self.handle, min(size - len(rows), FETCH_BATCH),
                                                        columns))
            values, end = _parse_fetch(reply)
            rows.extend(self._typed_rows(values, types))
            if end:
                break
        return rows

    def fetchall(self, columns: Optional[Sequence[str]] = None, raw: bool = False) -> List[tuple]:
        """Every row from the current row on (see fetchmany)."""
        types = self._types(self._names(columns), raw)
        rows: List[tuple] = []
        for values in self._stream(self.handle, columns):
            rows.extend(self._typed_rows(values, types))
        return rows

    def _stream(self, handle: int, columns: Optional[Sequence[str]]) -> Iterator[List[List[str]]]:
        """Batches of column values from the handle's current row to its end,
        one request more on its way while a batch is read here, so that the
        server works meanwhile. Abandoned early, it still reads the replies
        on their way (the connection stays in step)."""
        request = self._fetch_request(handle, FETCH_BATCH, columns)
        data = STX + request.encode("utf-8", "surrogateescape") + ETX
        in_flight = 0

        def drain() -> None:
            nonlocal in_flight
            while in_flight and self.db.connected:
                self.db.receive()
                in_flight -= 1

        try:
            self.db._send(data)
            in_flight = 1
            while True:
                self.db._send(data)
                in_flight += 1
                reply = self.db.receive()
                in_flight -= 1
                if reply.failed:
                    drain()
                    raise Failed(request, self.db.failure_reason(request))
                values, end = _parse_fetch(reply)
                if values and values[0]:
                    yield values
                if end:
                    return
        finally:
            drain()

    def __iter__(self) -> Iterator[Dict[str, Any]]:
        """Every row, typed, as a dict of the live columns, through a cursor
        of its own: the recordset's current row does not move, whatever the
        caller does between rows. That cursor is opened alike (table,
        conditions, sort, filter_on) when the iteration starts, so it sees
        the rows stored at that moment."""
        if self._table is None:
            return
        names = self._names(None)
        types = self._types(names, False)
        own = self.db.create_recordset()
        try:
            for column, op, value in self._where:
                self.db.command("RECORDSETADDFILTERCOLUMN", own, column, op, value, 0)
            self.db.command("RECORDSETOPEN", own, self._table)
            if self._sort:
                self.db.command("RECORDSETSORT", own, self._sort[0], 1 if self._sort[1] else 0)
            if self._filter_on:
                self.db.command("RECORDSETFILTERON", own, *self._filter_on)
            for values in self._stream(own, None):
                for row in self._typed_rows(values, types):
                    yield dict(zip(names, row))
        finally:
            if self.db.connected:
                self.db.call("RECORDSETCLOSE~%d" % own)

    def row(self) -> Dict[str, Any]:
        """The current row as a dict, typed."""
        names = self._names(None)
        replies = self.db.pipeline(["RECORDSETGETFIELDVALUE~%d~%s" % (self.handle, n)
                                    for n in names])
        out = {}
        for name, reply in zip(names, replies):
            if reply.failed:
                raise Failed("RECORDSETGETFIELDVALUE~%d~%s" % (self.handle, name),
                             self.db.failure_reason("RECORDSETGETFIELDVALUE~%d" % self.handle))
            kind = _converter(self._type_of(name))
            text = reply.value(2)
            out[name] = text if kind is None else _convert_one(kind, text)
        return out

    # -- changes ------------------------------------------------------------
    def add(self, values: Dict[str, Any]) -> None:
        """Adds and stores one row. Refused (a value, or the update), the new
        row is dropped, so later adds are not refused for it; the error names
        the value refused."""
        texts = {}
        for column, value in values.items():
            try:
                texts[column] = _check_value(value)
            except InvalidValue as e:
                raise InvalidValue("column %s: %s" % (column, e)) from None
        self._do("RECORDSETADDROW")
        try:
            for column, text in texts.items():
                try:
                    self.set(column, text)
                except Failed as e:
                    raise Failed(e.request, "column %s, value %r refused: %s"
                                 % (column, text, e.reason)) from None
            self._do("RECORDSETUPDATE")
        except Failed:
            self._reopen()
            raise

    def update(self, values: Dict[str, Any]) -> None:
        """Changes the current row and stores it."""
        for column, value in values.items():
            self.set(column, value)
        self._do("RECORDSETUPDATE")

    def delete(self) -> None:
        """Deletes the current row (marked, then stored)."""
        self._do("RECORDSETDELETECURRENTROW")
        self._do("RECORDSETUPDATE")
        self._deleted += 1
        self._deleted_filtered += 1

    def sort(self, column: str, ascending: bool = True) -> None:
        self._do("RECORDSETSORT", column, 1 if ascending else 0)
        self._sort = (column, ascending)

    def filter_on(self, column: str, value: str = "") -> None:
        """Hides the rows whose column does not equal value; no value shows
        every row again."""
        if value == "":
            self._do("RECORDSETFILTERON", column)
            self._filter_on = None
        else:
            self._do("RECORDSETFILTERON", column, value)
            self._filter_on = (column, value)
            self._deleted_filtered = 0

    def find(self, column: str, prefix: str) -> bool:
        """Moves to the first row whose column begins with prefix; False when none."""
        try:
            self._do("RECORDSETFINDROW", column, prefix)
        except Failed:
            return False
        self._sort = (column, True) if self._sort is None or self._sort[0] != column else self._sort
        return True
