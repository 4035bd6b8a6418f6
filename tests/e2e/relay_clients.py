#!/usr/bin/env python3
"""Relay clients for the end-to-end relay cases: many TCP clients of the program's
relay server on one thread, driven step by step through files in a directory.

    relay_clients.py PORT DIR

The case writes a step file DIR/step.N (N = 1, 2, ...) holding one command; this
process carries it out and writes DIR/done.N with its result (one line, "ok ..."
or "FAIL ..."). Commands:

    connect N [stall]   connect N clients (stall: the last one never reads and has
                        a tiny receive buffer)
    refused             one more client must be accepted and closed at once
    expect FILE         every reading client receives exactly FILE's bytes after
                        what earlier steps checked; a stalling client must have been
                        disconnected with a clean prefix of the stream
    close               close every client
    quit
"""
import os
import selectors
import socket
import sys
import time

port = int(sys.argv[1])
work = sys.argv[2]


class Client:
    def __init__(self, stall=False):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if stall:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        self.sock.connect(("127.0.0.1", port))
        self.sock.setblocking(False)
        self.stall = stall
        self.data = bytearray()
        self.mark = 0  # bytes checked by earlier expect steps
        self.closed = False


clients = []
sel = selectors.DefaultSelector()


def pump(timeout):
    """Reads what the reading clients have (stalled ones are left alone)."""
    for key, _ in sel.select(timeout):
        c = key.data
        try:
            chunk = c.sock.recv(1 << 20)
        except (BlockingIOError, InterruptedError):
            continue
        except OSError:
            chunk = b""
        if chunk:
            c.data += chunk
        else:
            c.closed = True
            sel.unregister(c.sock)


def connect(n, stall):
    for i in range(n):
        c = Client(stall=stall and i == n - 1)
        clients.append(c)
        # The program listens with a backlog of 1: a connect that finds the queue
        # full waits a whole SYN retransmission (1 s). A short pause lets the
        # window's accept keep up; it only sets the pace, nothing depends on it.
        time.sleep(0.02)
        if not c.stall:
            sel.register(c.sock, selectors.EVENT_READ, c)
    return "ok connected %d" % n


def refused():
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.settimeout(10)
    try:
        got = s.recv(1)
    except socket.timeout:
        return "FAIL the extra client was not closed within 10 s"
    except OSError:
        got = b""
    s.close()
    return "ok refused" if got == b"" else "FAIL the extra client received data"


def expect(path):
    want = open(path, "rb").read()
    base = {id(c): c.mark for c in clients}
    deadline = time.time() + 180
    readers = [c for c in clients if not c.stall]
    while time.time() < deadline:
        if all(len(c.data) - base[id(c)] >= len(want) or c.closed for c in readers):
            break
        pump(0.2)
    pump(0.5)
    bad = []
    for i, c in enumerate(readers):
        got = bytes(c.data[base[id(c)]:])
        if c.closed:
            bad.append("client %d was disconnected after %d bytes" % (i, len(got)))
        elif got != want:
            first = next((k for k in range(min(len(got), len(want))) if got[k] != want[k]), min(len(got), len(want)))
            bad.append("client %d: %d bytes, first difference at %d" % (i, len(got), first))
    for c in clients:
        if not c.stall:
            continue
        # Its bytes must be a clean prefix of the stream, then the end.
        c.sock.setblocking(True)
        c.sock.settimeout(10)
        got = bytearray(c.data)
        ended = False
        try:
            while True:
                chunk = c.sock.recv(1 << 20)
                if not chunk:
                    ended = True
                    break
                got += chunk
        except socket.timeout:
            pass
        except OSError:
            ended = True
        got = bytes(got[base[id(c)]:])
        if not ended:
            bad.append("the stalled client was not disconnected")
        elif len(got) >= len(want) or want[:len(got)] != got:
            bad.append("the stalled client got %d bytes, not a clean prefix" % len(got))
    for c in clients:
        c.mark = len(c.data)
    if bad:
        return "FAIL " + "; ".join(bad[:5])
    return "ok %d clients identical (%d bytes)" % (len(readers), len(want))


def close():
    for c in clients:
        try:
            sel.unregister(c.sock)
        except (KeyError, ValueError):
            pass
        c.sock.close()
    clients.clear()
    return "ok closed"


step = 1
while True:
    path = os.path.join(work, "step.%d" % step)
    if not os.path.exists(path):
        pump(0.05) if clients else time.sleep(0.05)
        continue
    words = open(path).read().split()
    if not words:
        continue
    cmd = words[0]
    try:
        if cmd == "connect":
            result = connect(int(words[1]), len(words) > 2 and words[2] == "stall")
        elif cmd == "refused":
            result = refused()
        elif cmd == "expect":
            result = expect(words[1])
        elif cmd == "close":
            result = close()
        elif cmd == "quit":
            result = "ok"
        else:
            result = "FAIL unknown command " + cmd
    except Exception as e:  # reported to the case, which fails on it
        result = "FAIL %s: %r" % (cmd, e)
    with open(os.path.join(work, "done.%d.tmp" % step), "w") as f:
        f.write(result + "\n")
    os.rename(os.path.join(work, "done.%d.tmp" % step), os.path.join(work, "done.%d" % step))
    step += 1
    if cmd == "quit":
        break
