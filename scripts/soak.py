#!/usr/bin/env python3
"""Soak driver: many connections run a random mix of work against ztserver.

Each client connects, then loops until the time is up, choosing among:
browse (filtered open, moves, reads), edit (add rows with keys of its own,
change and delete them), lock (lock and unlock rows; a conflict waits for
the server's retries), sort, ping, and a rude exit (the connection is
dropped halfway through a frame or with requests unanswered; the client
connects again). It prints one summary line; a protocol surprise (a
malformed reply, a reply to nothing) is counted and makes the exit status 1.

    soak.py PORT SECONDS CLIENTS [SEED]
"""
import asyncio
import random
import sys
import time

STX, ETX = b"\x02", b"\x03"
TABLE = "LOAD"
COLUMNS = ["ID", "NAME", "CITY", "QTY"]


class Client:
    def __init__(self, port, number, rng, stats):
        self.port, self.number, self.rng, self.stats = port, number, rng, stats
        self.reader = self.writer = None
        self.buffer = b""
        self.next_key = 0

    async def connect(self):
        self.reader, self.writer = await asyncio.open_connection("127.0.0.1", self.port)
        self.buffer = b""
        greeting = await self.reply()  # CONNECTIONSTATUS
        if greeting != "CONNECTIONSTATUS":
            self.stats["surprises"] += 1

    async def reply(self):
        while True:
            start = self.buffer.find(STX)
            end = self.buffer.find(ETX, start + 1) if start >= 0 else -1
            if end >= 0:
                text = self.buffer[start + 1:end].decode("latin-1")
                self.buffer = self.buffer[end + 1:]
                return text
            chunk = await asyncio.wait_for(self.reader.read(65536), 30)
            if not chunk:
                raise ConnectionError("closed by the server")
            self.buffer += chunk

    async def call(self, *requests):
        self.writer.write(b"".join(STX + r.encode("latin-1") + ETX for r in requests))
        await self.writer.drain()
        replies = []
        for request in requests:
            text = await self.reply()
            name = request.split("~", 1)[0]
            if not text.startswith(name) and not (name == "RECORDSETGETLASTERROR"):
                self.stats["surprises"] += 1
                print("soak: asked %r, answered %r" % (request, text), file=sys.stderr)
            replies.append(text)
        self.stats["requests"] += len(requests)
        return replies

    async def run(self, deadline):
        await self.connect()
        while time.monotonic() < deadline:
            action = self.rng.choices(
                ["browse", "edit", "lock", "sort", "ping", "rude"], [30, 25, 15, 5, 20, 5])[0]
            try:
                await getattr(self, action)()
                self.stats[action] += 1
            except (ConnectionError, asyncio.TimeoutError, OSError):
                self.stats["reconnects"] += 1
                self.close()
                await self.connect()
        self.close()

    def close(self):
        if self.writer is not None:
            self.writer.close()
            self.writer = None

    async def browse(self):
        low = self.rng.randint(1, 10000)
        h = await self.my_handle()
        await self.call(f"RECORDSETCLEARFILTERS~{h}",
                        f"RECORDSETADDFILTERCOLUMN~{h}~ID~>=~{low}~1",
                        f"RECORDSETADDFILTERCOLUMN~{h}~ID~<~{low + 50}~1",
                        f"RECORDSETOPEN~{h}~{TABLE}", f"RECORDSETGETROWCOUNT~{h}",
                        f"RECORDSETMOVEFIRST~{h}",
                        *[r for _ in range(5) for r in
                          (f"RECORDSETGETFIELDVALUE~{h}~NAME", f"RECORDSETMOVENEXT~{h}")])

    async def edit(self):
        h = await self.my_handle()
        key = 10_000_000 + self.number * 100_000 + self.next_key
        self.next_key += 1
        await self.call(f"RECORDSETCLEARFILTERS~{h}",
                        f"RECORDSETADDFILTERCOLUMN~{h}~ID~=~{key}~1",
                        f"RECORDSETOPEN~{h}~{TABLE}", f"RECORDSETADDROW~{h}",
                        f"RECORDSETSETFIELDVALUE~{h}~ID~{key}",
                        f"RECORDSETSETFIELDVALUE~{h}~NAME~soak{self.number}",
                        f"RECORDSETSETFIELDVALUE~{h}~CITY~c{key % 13}",
                        f"RECORDSETUPDATE~{h}")
        if self.rng.random() < 0.5:
            await self.call(f"RECORDSETOPEN~{h}~{TABLE}", f"RECORDSETMOVEFIRST~{h}",
                            f"RECORDSETDELETECURRENTROW~{h}", f"RECORDSETUPDATE~{h}")

    async def lock(self):
        h = await self.my_handle()
        low = self.rng.randint(1, 200)  # a small range: clients meet
        await self.call(f"RECORDSETCLEARFILTERS~{h}",
                        f"RECORDSETADDFILTERCOLUMN~{h}~ID~>=~{low}~1",
                        f"RECORDSETADDFILTERCOLUMN~{h}~ID~<~{low + 3}~1",
                        f"RECORDSETOPEN~{h}~{TABLE}", f"RECORDSETMOVEFIRST~{h}",
                        f"RECORDSETLOCKCURRENTROW~{h}", f"RECORDSETUNLOCKCURRENTROW~{h}",
                        f"RECORDSETLOCKALL~{h}", f"RECORDSETUNLOCKALL~{h}")

    async def sort(self):
        h = await self.my_handle()
        low = self.rng.randint(1, 9000)
        await self.call(f"RECORDSETCLEARFILTERS~{h}",
                        f"RECORDSETADDFILTERCOLUMN~{h}~ID~>=~{low}~1",
                        f"RECORDSETADDFILTERCOLUMN~{h}~ID~<~{low + 1000}~1",
                        f"RECORDSETOPEN~{h}~{TABLE}",
                        f"RECORDSETSORT~{h}~{self.rng.choice(COLUMNS)}~{self.rng.randint(0, 1)}",
                        f"RECORDSETMOVEFIRST~{h}", f"RECORDSETGETFIELDVALUE~{h}~CITY")

    async def ping(self):
        await self.call(*["STARTTRANSACTION"] * self.rng.randint(1, 20))

    async def rude(self):
        h = await self.my_handle()
        frames = [f"RECORDSETOPEN~{h}~{TABLE}", f"RECORDSETLOCKALL~{h}", f"RECORDSETSORT~{h}~NAME~1"]
        data = b"".join(STX + f.encode() + ETX for f in frames)
        cut = self.rng.randint(1, len(data))
        self.writer.write(data[:cut])
        await self.writer.drain()
        if self.rng.random() < 0.5:
            self.writer.transport.abort()  # a reset
        else:
            self.writer.close()  # an orderly close, requests unanswered
        self.writer = None
        await self.connect()

    async def my_handle(self):
        if not hasattr(self, "_h") or self._h_conn is not self.writer:
            text = (await self.call("CREATERECORDSET"))[0]
            self._h = text.split("~")[1] if "~" in text else "1"
            self._h_conn = self.writer
        return self._h


async def main():
    port, seconds, clients = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    stats = {k: 0 for k in ["requests", "surprises", "reconnects", "browse", "edit", "lock",
                            "sort", "ping", "rude"]}
    deadline = time.monotonic() + seconds
    rng = random.Random(seed)
    tasks = [Client(port, n, random.Random(rng.random()), stats).run(deadline) for n in range(clients)]
    results = await asyncio.gather(*tasks, return_exceptions=True)
    failures = [r for r in results if isinstance(r, BaseException)]
    print("soak: clients %d seconds %.0f %s failures %d" %
          (clients, seconds, " ".join(f"{k} {v}" for k, v in stats.items()), len(failures)))
    for f in failures[:5]:
        print("soak: client failed:", repr(f))
    return 1 if failures or stats["surprises"] else 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
