#!/usr/bin/env python3
"""One relay measurement against a running server: N clients, the receiver's end of
a serial line written at a steady rate, every client's bytes checked. Prints one
result line; never fails. Used by relay_wine.sh and relay_linux.sh (relay_bench
does the same in C++ for the core alone).

    relay_load.py [--label NAME] [--frames] [--reframed] PORT TTY CLIENTS RATE_KBS SECONDS CAPTURE [PID...]

NAME heads the result line (default wine). By default the stream is written in
blocks every 2 ms; with --frames it is written as a receiver delivers it: one
write per frame, at the times the capture's own 12 MHz stamps give (sorted, so the
bursts and gaps of a real site stay), scaled to RATE_KBS.

--reframed is for a server that relays frames rather than bytes (a decoder that
parses the stream and writes each frame it keeps anew): each client's bytes are
parsed into frames and lined up with the stream's, and loss is the bytes of the
stream's frames a client did not get; latency is per frame. The frames missing,
changed (a different signal byte) and not in the stream are added to the line.

Latency is measured at the last client, which a process of its own reads, so that
reading the other clients does not delay it; time.time() is the same clock in both.

CPU is the utime + stime of the given pids (the server; under Wine the program and
its wineserver) over the measured interval, per kB written.
"""
import ast
import bisect
import os
import select
import socket
import sys
import termios
import time
import tty

label = "wine"
frames_mode = False
reframed = False
while len(sys.argv) > 1 and sys.argv[1].startswith("--"):
    if sys.argv[1] == "--label":
        label = sys.argv[2]
        del sys.argv[1:3]
    elif sys.argv[1] == "--frames":
        frames_mode = True
        del sys.argv[1]
    elif sys.argv[1] == "--reframed":
        reframed = True
        del sys.argv[1]
    else:
        sys.exit("unknown option " + sys.argv[1])
port, path = int(sys.argv[1]), sys.argv[2]
nclients, rate, seconds = int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
stream = open(sys.argv[6], "rb").read() if os.path.exists(sys.argv[6]) else bytes(range(256)) * 256
pids = [int(p) for p in sys.argv[7:]]
tick = os.sysconf("SC_CLK_TCK")


def beast_frames(data):
    """(start, end offset, type, unescaped stamp, signal and payload) of each binary
    frame; bytes before the first frame or of a cut-off last one are left out of the
    paced stream."""
    sizes = {0x31: 2, 0x32: 7, 0x33: 14, 0x34: 14}
    out, i, n = [], 0, len(data)
    while i + 1 < n:
        if data[i] != 0x1A or data[i + 1] not in sizes:
            i += 1
            continue
        want, j, body = 7 + sizes[data[i + 1]], i + 2, bytearray()
        while len(body) < want and j < n:
            if data[j] == 0x1A:
                if j + 1 >= n or data[j + 1] != 0x1A:
                    break
                j += 1
            body.append(data[j])
            j += 1
        if len(body) == want:
            out.append((i, j, data[i + 1], bytes(body)))
            i = j
        else:
            i += 1
    return out


def cpu():
    total = 0
    for p in pids:
        try:
            fields = open("/proc/%d/stat" % p).read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total


tty_fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
tty.setraw(tty_fd, termios.TCSANOW)
os.set_blocking(tty_fd, False)


def write_tty(data):
    """Writes to the server's port; False when it took nothing for 5 s.

    A server that stops reading its port (ser2net, once a client of its falls
    behind) would otherwise hold the load, and the whole bench, for ever."""
    until = time.time() + 5
    while data:
        try:
            data = data[os.write(tty_fd, data):]
        except BlockingIOError:
            if not select.select([], [tty_fd], [], max(0.0, until - time.time()))[1]:
                return False
    return True


clients = []
for i in range(nclients):
    s = socket.create_connection(("127.0.0.1", port))
    s.setblocking(False)
    clients.append(s)
    time.sleep(0.02)  # backlog 1: pace the connects so none waits for a SYN retry
# A server that relays frames drops a bare byte: it warms up on a real frame.
marker = b"M"
if reframed:
    marker = b"\x1a\x33\x00\x00\x00\x00\x00\x01\x80" + bytes.fromhex("8D4840D6202CC371C32CE0576098")
# One epoll for the warm-up and the measurement.
index = {c: i for i, c in enumerate(clients)}
by_fd = {c.fileno(): c for c in clients}
ep = select.epoll()
for c in clients:
    ep.register(c.fileno(), select.EPOLLIN)

# Warm-up: marker bytes until every client saw one, then drain.
seen = set()
deadline = time.time() + 30
while len(seen) < nclients and time.time() < deadline:
    write_tty(marker)
    for fd, _ in ep.poll(0.02):
        if by_fd[fd].recv(65536):
            seen.add(index[by_fd[fd]])
time.sleep(0.5)
for s in clients:
    try:
        while s.recv(1 << 20):
            pass
    except BlockingIOError:
        pass

total = int(rate * 1024 * seconds)
per = max(1, int(rate * 1024 * 0.002))
# Frame mode: the capture from its first frame to its last, its frames' write
# times (seconds after the start of one pass) at the asked rate.
paced = []
if frames_mode:
    found = beast_frames(stream)
    if found:
        start = found[0][0]
        stream = stream[start:found[-1][1]]
        stamps = sorted(int.from_bytes(body[:6], "big") for _, _, _, body in found)
        span = len(stream) / (rate * 1024)
        scale = span / max(1, stamps[-1] - stamps[0])
        paced = [(end - start, (t - stamps[0]) * scale) for (_, end, _, _), t in zip(found, stamps)]
    else:
        frames_mode = False

def expected(pos, n):
    """n bytes of the looped stream from offset pos."""
    out = stream[pos % len(stream):pos % len(stream) + n]
    while len(out) < n:
        out += stream[:n - len(out)]
    return out


def check(data, base):
    want = expected(base, len(data))
    return 0 if data == want else sum(1 for a, b in zip(data, want) if a != b)


def frame_key(kind, body):
    """What a frame says: the signal byte (body[6]) left out, which a decoder may
    write anew."""
    return bytes([kind]) + body[:6] + body[7:]


# The stream's frames as written: where each ends, its size and what it says;
# where each saying occurs, for lining a client's frames up with them.
sent_frames = beast_frames(expected(0, total)) if reframed else []
sent_keys = [frame_key(k, b) for _, _, k, b in sent_frames]
at_key = {}
for i, key in enumerate(sent_keys):
    at_key.setdefault(key, []).append(i)


def line_up(data):
    """A client's frames against the stream's, in order: (end offset in data, index
    of the stream's frame) of each one found, and the bytes and count of the
    stream's frames missing, the changed and the foreign frames."""
    found, nxt, missing, missing_bytes, changed, foreign = [], 0, 0, 0, 0, 0
    for _, end, kind, body in beast_frames(data):
        places = at_key.get(frame_key(kind, body), [])
        k = bisect.bisect_left(places, nxt)
        if k == len(places):
            foreign += 1
            continue
        i = places[k]
        missing += i - nxt
        missing_bytes += sum(sent_frames[m][1] - sent_frames[m][0] for m in range(nxt, i))
        changed += sent_frames[i][3][6] != body[6]
        found.append((end, i))
        nxt = i + 1
    missing += len(sent_frames) - nxt
    missing_bytes += sum(f[1] - f[0] for f in sent_frames[nxt:])
    return found, missing_bytes, missing, changed, foreign


# The last client's reader: every byte checked, and when each total arrived.
last = nclients - 1
ep.unregister(clients[last].fileno())
marks_r, marks_w = os.pipe()
done_r, done_w = os.pipe()  # the stream is all written
reader = os.fork()
if reader == 0:
    os.close(marks_r)
    os.close(done_w)
    s = clients[last]
    s.setblocking(True)
    s.settimeout(seconds + 10)
    n = bad = 0
    marks = []
    chunks = []
    ended = False
    # A server that relays frames sends fewer bytes than the stream if it drops
    # any: its end is a second without data once the stream is all written (a
    # silence before that is a server stalled, not done).
    quiet = None
    while n < total or reframed:
        if reframed:
            ready, _, _ = select.select([s] if quiet else [s, done_r], [], [], quiet or seconds + 10)
            if done_r in ready:
                quiet = 1.0
                continue
            if not ready:
                break
        try:
            data = s.recv(1 << 20)
        except socket.timeout:
            ended = not reframed
            break
        except OSError:
            ended = True
            break
        if not data:
            ended = True
            break
        if reframed:
            chunks.append(data)
        else:
            bad += check(data, n)
        n += len(data)
        marks.append((n, time.time()))
    with os.fdopen(marks_w, "w") as f:
        f.write(repr((n, bad, ended, marks, b"".join(chunks))))
    os._exit(0)
os.close(marks_w)
os.close(done_r)

frame = 0  # next frame of the pass
passes = 0
writes = []  # (end offset, time)
got = [0] * nclients
received = [[] for _ in range(nclients)]
wrong = [0] * nclients
closed = [False] * nclients
lat = []
nxt = 0
written = 0
cpu0 = cpu()
t0 = time.time()
next_write = t0
last_data = t0
while True:
    now = time.time()
    if written < total and now >= next_write:
        if frames_mode:
            end, _ = paced[frame]
            begin = paced[frame - 1][0] if frame else 0
            n = min(end - begin, total - written)
            frame += 1
            if frame == len(paced):
                frame, passes = 0, passes + 1
            next_write = t0 + (passes * len(stream) / (rate * 1024)) + paced[frame][1]
        else:
            n = min(per, total - written)
            next_write += 0.002
        pos = written % len(stream)
        chunk = stream[pos:pos + n]
        if len(chunk) < n:
            chunk += stream[:n - len(chunk)]
        if not write_tty(chunk):
            print("%s: stopped reading its port after %d bytes" % (label, written), file=sys.stderr)
            break
        written += n
        writes.append((written, time.time()))
        if written >= total:
            os.write(done_w, b".")
        continue
    if written >= total:
        if reframed:
            if now > max(last_data, writes[-1][1]) + 1.0:
                break
        elif all(closed[i] or got[i] >= total for i in range(last)):
            break
        if now > t0 + seconds + 5:
            break
    # epoll rounds its time-out up to whole milliseconds, which would bunch the
    # frames of a busy site into groups: it waits the whole milliseconds, and the
    # rest is slept in short steps between looks at the clients.
    left = next_write - now if written < total else 0.05
    wait = int(min(0.002, left) * 1000) / 1000.0 if written < total else 0.05
    events = ep.poll(wait)
    if not events and wait == 0 and left > 0:
        time.sleep(min(left, 0.0002))
    for fd, _ in events:
        sock = by_fd[fd]
        i = index[sock]
        try:
            data = sock.recv(1 << 20)
        except BlockingIOError:
            continue
        if not data:
            closed[i] = True
            ep.unregister(fd)
            continue
        if reframed:
            received[i].append(data)
            last_data = time.time()
        else:
            wrong[i] += check(data, got[i])
        got[i] += len(data)
t1 = time.time()
cpu1 = cpu()
with os.fdopen(marks_r) as f:
    got[last], wrong[last], closed[last], marks, data = ast.literal_eval(f.read())
os.waitpid(reader, 0)
kb = total / 1024
extra = ""
if reframed:
    # The interval ends with the last byte any client got, not the quiet after it.
    t1 = max([writes[-1][1], last_data] + [t for _, t in marks[-1:]])
    received[last] = [data]
    lined = {}  # clients that got the same bytes are lined up once
    sums = [0, 0, 0, 0]
    for i in range(nclients):
        b = b"".join(received[i])
        if b not in lined:
            lined[b] = line_up(b)
        for j in range(4):
            sums[j] += lined[b][j + 1]
    lost = sums[0]
    ends = [n for n, _ in marks]
    write_ends = [w for w, _ in writes]
    for end, i in lined[data][0]:
        arrived = marks[bisect.bisect_left(ends, end)][1]
        left = writes[bisect.bisect_left(write_ends, sent_frames[i][1])][1]
        lat.append((arrived - left) * 1000)
    extra = " %d %d %d %d" % (len(sent_frames), sums[1], sums[2], sums[3])
else:
    for n, t in marks:
        while nxt < len(writes) and writes[nxt][0] <= n:
            lat.append((t - writes[nxt][1]) * 1000)
            nxt += 1
    lost = sum(total - min(g, total) for g in got) + sum(wrong)
lat.sort()
p50 = lat[len(lat) // 2] if lat else 0
p99 = lat[min(len(lat) - 1, len(lat) * 99 // 100)] if lat else 0
print("%-9s %7d %6d/s %7.1f/s %10d %6d %10.4f %8.2f %8.2f %7.3f %s%s" % (
    label, nclients, rate, kb / (t1 - t0), lost, sum(closed), (cpu1 - cpu0) * 1000.0 / tick / kb, p50, p99,
    (cpu1 - cpu0) / tick / (t1 - t0), "frames" if frames_mode else "blocks", extra))
for s in clients:
    s.close()
os.close(tty_fd)
