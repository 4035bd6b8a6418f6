#!/usr/bin/env python3
"""A feed server for the end-to-end cases: listens on 127.0.0.1:PORT and writes
every byte of its Nth accepted connection, raw, to DIR/conn.N (N = 1, 2, ...).
Connections are taken one after the other: the program has one feed link, and a
new one comes only after the old one was closed. DIR/listening appears once the
port is bound, so a case can wait for it instead of guessing.

    feed_peer.py PORT DIR
"""
import os
import socket
import sys

port, where = int(sys.argv[1]), sys.argv[2]
srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", port))
srv.listen(4)
open(os.path.join(where, "listening"), "w").close()
n = 0
while True:
    conn, _ = srv.accept()
    n += 1
    with open(os.path.join(where, "conn.%d" % n), "wb") as out:
        while True:
            data = conn.recv(65536)
            if not data:
                break
            out.write(data)
            out.flush()
    conn.close()
