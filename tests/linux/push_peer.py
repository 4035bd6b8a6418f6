"""A push target for the Linux cases: takes connections on PORT and writes
connection N's bytes to OUT/conn.N, with the times of its events in OUT/events.
  normal          reads every connection as it comes
  stalled         a small receive buffer, and reads nothing until OUT/drain exists;
                  then what each connection holds is read out
  late SECONDS    listens only after SECONDS (connections are refused till then)"""
import os, select, socket, sys, time

mode, port, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
os.makedirs(out, exist_ok=True)
def log(what):
    with open(os.path.join(out, "events"), "a") as f:
        f.write("%.3f %s\n" % (time.monotonic(), what))
if mode == "late":
    time.sleep(float(sys.argv[4]))
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
if mode == "stalled":
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
srv.bind(("127.0.0.1", port))
srv.listen(8)
log("listening")
conns = {}  # socket -> (number, file)
while True:
    drain = mode == "stalled" and os.path.exists(os.path.join(out, "drain"))
    watch = [srv] + (list(conns) if mode != "stalled" or drain else [])
    ready, _, _ = select.select(watch, [], [], 0.1)
    for s in ready:
        if s is srv:
            c, _ = srv.accept()
            n = len([1 for _ in os.listdir(out) if _.startswith("conn.")]) + 1
            conns[c] = (n, open(os.path.join(out, "conn.%d" % n), "wb"))
            log("accepted %d" % n)
            continue
        try:
            d = s.recv(65536)
        except OSError:
            d = b""
        n, f = conns[s]
        if d:
            f.write(d)
            f.flush()
        else:
            f.close()
            s.close()
            del conns[s]
            log("closed %d" % n)
