#!/usr/bin/env python3
"""A simulated serial device on a pty pair of its own (os.openpty: both ends
share one termios, so the speed the program sets on its end is seen here).

    sim_receiver.py LINK BAUD KIND [FILE]

LINK becomes a symlink to the program's end. KIND: binary (FILE's bytes), text
(FILE's binary frames as '@' lines), nmea, random. BAUD 0 sends at any speed (a
USB device that ignores it); otherwise the stream goes only while the program's
end is at BAUD, random bytes at the same rate while not. 20 kB/s. Whatever the
program writes to the device is counted into LINK.written."""
import os, random, sys, termios, time

link, baud, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3]
data = open(sys.argv[4], "rb").read() if len(sys.argv) > 4 else b""
if kind == "text":
    lines, i = [], 0
    while i + 1 < len(data):
        if data[i] == 0x1A and data[i + 1] in (0x32, 0x33):
            need, frame, j = (14 if data[i + 1] == 0x32 else 21), bytearray(), i + 2
            while j < len(data) and len(frame) < need:
                if data[j] == 0x1A:
                    j += 1
                if j < len(data):
                    frame.append(data[j])
                j += 1
            if len(frame) < need:
                break
            lines.append(b"@" + (frame[:6] + frame[7:]).hex().upper().encode() + b";\n")
            i = j
        else:
            i += 1
    data = b"".join(lines)
elif kind == "nmea":
    out = b""
    for body in (b"GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,", b"GPRMC,123519,A,4807.038,N"):
        x = 0
        for c in body:
            x ^= c
        out += b"$" + body + b"*%02X\r\n" % x
    data = out
speeds = {3000000: termios.B3000000, 1000000: termios.B1000000, 921600: termios.B921600,
          230400: termios.B230400, 115200: termios.B115200}
master, slave = os.openpty()
attrs = termios.tcgetattr(slave)
attrs[0] = attrs[1] = attrs[3] = 0  # raw: no echo back to us
termios.tcsetattr(slave, termios.TCSANOW, attrs)
os.set_blocking(master, False)
tmp = link + ".tmp"
os.symlink(os.ttyname(slave), tmp)
os.replace(tmp, link)
written, at = 0, 0
while True:
    right = baud == 0 or termios.tcgetattr(master)[5] == speeds.get(baud)
    if right and data:
        chunk = data[at:at + 100]
        chunk += data[:100 - len(chunk)]
        at = (at + 100) % len(data)
    else:
        chunk = random.randbytes(100)
    try:
        os.write(master, chunk)
    except BlockingIOError:
        pass
    try:
        got = os.read(master, 4096)
        if got:
            written += len(got)
            open(link + ".written", "w").write(str(written))
    except (BlockingIOError, OSError):
        pass
    time.sleep(0.005)
