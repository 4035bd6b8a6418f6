#!/usr/bin/env python3
"""Relay clients for bench/soak.sh: N clients of the program's relay server on one
thread, every client's stream checked byte for byte, as it arrives, against what
went into the serial port.

    soak_clients.py PORT DIR [CLIENTS]

The soak's socat pairs record the bytes they carry toward the program in
DIR/line.1.bin, DIR/line.2.bin, ... (one file per plug-in of the port); the soak
creates DIR/line.K.done once pair K has ended. A client is exact while its stream is

    line.1[0:k1] + line.2[j2:k2] + ... + line.M[jM:kM]

that is, each plug-in's bytes in order, nothing changed, inserted or dropped, except
at the end of a line (bytes the program had not read when the port went) and at the
start of the next one (bytes sent before the program reopened the port). A gap
anywhere else, or a stray byte, makes the client inexact for good. Only reference
bytes that some client has not passed yet are kept in memory.

Every second DIR/status is replaced by one line:
    connected C exact E bytes B port P lost L fault TEXT
(B: bytes client 0 received; P: bytes recorded on the lines; L = P - B, final only
once everything arrived; TEXT: the first fault seen, or "-"). When DIR/finish
appears (after the last receiver stopped), it waits (up to 30 s) until every exact
client holds the whole last line, counts a client that does not as inexact, writes
DIR/final in the same format, closes the clients and ends.
"""
import os
import selectors
import socket
import sys
import time

port, work = int(sys.argv[1]), sys.argv[2]
count = int(sys.argv[3]) if len(sys.argv) > 3 else 100
SEEK = 64          # bytes after a gap that must be found in the next line
SEEK_LIMIT = 1 << 20  # bytes after a gap with no place in the next line: inexact


class Line:
    """One plug-in's recorded bytes, read as the file grows; base = offset of buf[0]."""

    def __init__(self, k):
        self.path = os.path.join(work, "line.%d.bin" % k)
        self.done_path = os.path.join(work, "line.%d.done" % k)
        self.file = None
        self.base = 0
        self.buf = bytearray()
        self.done = False
        self.read_at = 0.0

    @property
    def end(self):
        return self.base + len(self.buf)

    def grow(self, at_most_every=0.0):
        now = time.monotonic()
        if now - self.read_at < at_most_every:
            return
        self.read_at = now
        if self.file is None:
            if not os.path.exists(self.path):
                return
            self.file = open(self.path, "rb")
        # "done" is read before the data, so the last bytes are in when it shows.
        done = os.path.exists(self.done_path)
        while True:
            chunk = self.file.read(1 << 20)
            if not chunk:
                break
            self.buf += chunk
        self.done = done

    def trim(self, keep_from):
        if keep_from > self.base:
            del self.buf[:keep_from - self.base]
            self.base = keep_from


lines = []


def line(k):
    while len(lines) <= k:
        lines.append(Line(len(lines) + 1))
    return lines[k]


class Client:
    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setblocking(False)
        self.line = 0       # index into lines
        self.off = 0        # offset in that line
        self.seeking = False
        self.pending = bytearray()
        self.got = 0
        self.fault = None
        self.closed = False

    def fail(self, why):
        if self.fault is None:
            self.fault = why
        self.pending = bytearray()

    def check(self):
        """Matches pending bytes against the lines as far as they are recorded."""
        while self.pending and self.fault is None:
            ref = line(self.line)
            if self.seeking or ref.end - self.off < len(self.pending):
                ref.grow(0.05)
            if self.seeking:
                if len(self.pending) > SEEK_LIMIT:
                    self.fail("%d bytes after the gap at %d have no place in line %d"
                              % (len(self.pending), self.got - len(self.pending), self.line + 1))
                    return
                if len(self.pending) < SEEK or ref.file is None:
                    return
                if ref.base != 0:
                    self.fail("line %d already trimmed" % (self.line + 1))
                    return
                at = ref.buf.find(self.pending[:SEEK])
                if at < 0:
                    return
                self.off, self.seeking = at, False
                continue
            a = self.off - ref.base
            n = min(ref.end - self.off, len(self.pending))
            if n > 0:
                if ref.buf[a:a + n] == self.pending[:n]:
                    same = n
                else:
                    same = next(i for i in range(n) if ref.buf[a + i] != self.pending[i])
                del self.pending[:same]
                self.off += same
                if same < n:
                    self.next_line()
                    continue
            if self.pending and ref.done and self.off == ref.end:
                self.next_line()
                continue
            return

    def next_line(self):
        self.line += 1
        self.seeking = True


clients = []
sel = selectors.DefaultSelector()
for i in range(count):
    c = Client()
    clients.append(c)
    sel.register(c.sock, selectors.EVENT_READ, c)
    # The program listens with a backlog of 1: a connect that finds the queue full
    # waits a whole SYN retransmission (1 s). The pause only sets the pace.
    time.sleep(0.02)
open(os.path.join(work, "connected"), "w").close()


def pump(timeout):
    for key, _ in sel.select(timeout):
        c = key.data
        try:
            chunk = c.sock.recv(1 << 20)
        except (BlockingIOError, InterruptedError):
            continue
        except OSError:
            chunk = b""
        if not chunk:
            c.closed = True
            c.fail("disconnected after %d bytes" % c.got)
            sel.unregister(c.sock)
            continue
        c.got += len(chunk)
        if c.fault is None:
            c.pending += chunk
            c.check()


def trim():
    """Drops reference bytes every exact client has passed; a line someone may still
    have to seek in is kept whole."""
    exact = [c for c in clients if c.fault is None]
    for k, ref in enumerate(lines):
        ahead = [c for c in exact if c.line > k]
        here = [c for c in exact if c.line == k]
        if len(ahead) == len(exact):
            ref.trim(ref.end)
        elif len(here) + len(ahead) == len(exact) and not any(c.seeking for c in here):
            ref.trim(min(c.off for c in here))


def last_line():
    recorded = [k for k, ref in enumerate(lines) if ref.file is not None]
    return recorded[-1] if recorded else -1


def holds_all(c, last):
    return last >= 0 and c.line == last and not c.seeking and not c.pending and c.off == lines[last].end


def status(path):
    while os.path.exists(os.path.join(work, "line.%d.bin" % (len(lines) + 1))):
        line(len(lines))
    for ref in lines:
        ref.grow()
    recorded = sum(ref.end for ref in lines)
    exact = [c for c in clients if c.fault is None]
    first = clients[0]
    lost = recorded - first.got
    fault = next((("client %d: %s" % (i, c.fault)) for i, c in enumerate(clients) if c.fault), "-")
    with open(path + ".tmp", "w") as f:
        f.write("connected %d exact %d bytes %d port %d lost %d fault %s\n"
                % (sum(not c.closed for c in clients), len(exact), first.got, recorded, lost, fault))
    os.rename(path + ".tmp", path)


def settled():
    """Every exact client holds the whole of the last line (its receiver has stopped)."""
    last = last_line()
    return all(holds_all(c, last) for c in clients if c.fault is None)


next_status = 0
while not os.path.exists(os.path.join(work, "finish")):
    pump(0.2)
    now = time.time()
    if now >= next_status:
        # Clients whose bytes ran ahead of the recording are checked again.
        for c in clients:
            c.check()
        trim()
        status(os.path.join(work, "status"))
        next_status = now + 1

status(os.path.join(work, "status"))
deadline = time.time() + 30
while time.time() < deadline:
    pump(0.2)
    for ref in lines:
        ref.grow()
    for c in clients:
        c.check()
    if settled():
        break
last = last_line()
for c in clients:
    if c.fault is None and c.seeking:
        c.fail("%d bytes after a gap at byte %d have no place in line %d"
               % (len(c.pending), c.got - len(c.pending), c.line + 1))
    elif c.fault is None and not holds_all(c, last):
        c.fail("ends at byte %d of line %d's %d; the port had %d lines"
               % (c.off, c.line + 1, lines[c.line].end, last + 1))
status(os.path.join(work, "final"))
for c in clients:
    c.sock.close()
