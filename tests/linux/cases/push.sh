#!/usr/bin/env bash
# Push outputs against real peers: the relay's stream pushed to four targets at
# once while three relay clients read it: a normal one, one that never reads,
# one that refuses for 20 s and then listens, and dump1090-mutability's Beast
# input port. The normal one and the relay clients get the stream byte for byte;
# dump1090 counts the frames a dump1090 fed straight from the stream counts; the
# late one is connected within its back-off after it listens and gets a tail of
# the stream that starts at a frame; the stalled one is given up at its write
# deadline (shortened here) and its backlog drops whole frames, every byte
# accounted for; CPU and memory stay bounded. Then SIGHUP: initpush.ini's
# changed lines alone are applied.
. "$(dirname "$0")/../lib.sh"
lx_begin
DATA=$LX_SOURCE/../shared/data
PEER=$LX_SOURCE/tests/linux/push_peer.py
listening() { grep -qi ":$(printf %04X "$1") 00000000:0000 0A" /proc/net/tcp; }

cat >beast.py <<'PYEOF'
import sys
if sys.argv[1] == "made":  # long frames of one real message, timestamps with 0x1A in them
    msg = bytes.fromhex("8D4840D6202CC371C32CE0576098")
    for i in range(int(sys.argv[2])):
        body = (i * 12000 + 0x1A).to_bytes(6, "big") + b"\x80" + msg
        sys.stdout.buffer.write(b"\x1a\x33" + body.replace(b"\x1a", b"\x1a\x1a"))
elif sys.argv[1] == "frames":  # whole frames from the first byte on; the count (a cut last one aside)
    d, i, n = open(sys.argv[2], "rb").read(), 0, 0
    while i < len(d):
        if i + 1 == len(d) and d[i] == 0x1A:
            break  # a frame cut after its first byte
        assert d[i] == 0x1A and d[i + 1] in (0x31, 0x32, 0x33), "not a frame start at %d" % i
        size, f = {0x31: 9, 0x32: 14, 0x33: 21}[d[i + 1]], 0
        i += 2
        while f < size and i < len(d):
            i += 2 if d[i] == 0x1A else 1
            f += 1
        n += f == size
    print(n)
PYEOF
frames() { python3 beast.py frames "$1"; }
ONE=$DATA/beast-capture-60s.bin
if [ ! -f "$ONE" ]; then
    lx_log "no ../shared/data: a made-up Beast stream instead of the capture"
    ONE=$LX_WORK/made.bin
    python3 beast.py made 8000 >"$ONE"
fi
# More than a backlog (1 MiB), so that the stalled target must drop.
STREAM=$LX_WORK/stream.bin
for _ in 1 2 3 4 5 6; do cat "$ONE"; done >"$STREAM"
SIZE=$(stat -c %s "$STREAM")

lx_station 115200
lx_setting BinarComOn.ini 1 0 0 60
HTTP=$(lx_free_port)
NORMAL=$(lx_free_port) STALLED=$(lx_free_port) LATE=$(lx_free_port)
BI=$(lx_free_port) BO=$(lx_free_port) BI2=$(lx_free_port) BO2=$(lx_free_port)
python3 "$PEER" normal "$NORMAL" normal &
lx_on_exit "kill $!"
python3 "$PEER" stalled "$STALLED" stalled &
lx_on_exit "kill $!"
python3 "$PEER" late "$LATE" late 20 &
lx_on_exit "kill $!"
# Two dump1090s in network-only mode, the other ports off: ours pushes to the
# first; the second takes the stream straight from socat.
for pair in "$BI $BO" "$BI2 $BO2"; do
    set -- $pair
    dump1090-mutability --net-only --quiet --modeac --net-verbatim --net-heartbeat 0 --net-buffer 2 \
        --net-bind-address 127.0.0.1 --net-ri-port 0 --net-ro-port 0 --net-sbs-port 0 \
        --net-bi-port "$1" --net-bo-port "$2" >>dump1090.out 2>&1 &
    lx_on_exit "kill $!"
    lx_wait 5000 "dump1090 takes Beast on $1" listening "$1"
    lx_wait 5000 "dump1090 serves Beast on $2" listening "$2"
done
socat -u "TCP:127.0.0.1:$BO" CREATE:pushed.bin &
lx_on_exit "kill $!"
socat -u "TCP:127.0.0.1:$BO2" CREATE:direct.bin &
lx_on_exit "kill $!"
lx_wait 5000 "normal listens" listening "$NORMAL"
lx_wait 5000 "stalled listens" listening "$STALLED"

lx_setting initpush.ini "127.0.0.1:$NORMAL" "127.0.0.1:$STALLED" "127.0.0.1:$LATE" "127.0.0.1:$BI"
lx_clients_start "$RELAY"
BREVALINK_PUSH_STALL_MS=5000 lx_start_service --http "127.0.0.1:$HTTP"
T0=$(date +%s%3N)
lx_journal 10000 "^brevalink .* started in .*; push to 127.0.0.1:$NORMAL, 127.0.0.1:$STALLED, 127.0.0.1:$LATE, 127.0.0.1:$BI;"
for p in "$NORMAL" "$STALLED" "$BI"; do lx_journal 10000 "^push 127.0.0.1:$p connected \(127.0.0.1\)$"; done
lx_journal 10000 "^push 127.0.0.1:$LATE cannot connect: connection refused; trying again in [12] s$"
lx_check "three relay clients" "$(lx_clients connect 3)" "ok connected 3"
lx_journal 10000 "^relay: client 127.0.0.1 joined \(3 connected\)$"

# At a full 3 Mbaud line's pace (300 kB/s), as a receiver would send it.
python3 -c '
import sys, time
d = open(sys.argv[1], "rb").read()
for i in range(0, len(d), 30000):
    sys.stdout.buffer.write(d[i:i + 30000]); sys.stdout.flush(); time.sleep(0.1)' "$STREAM" >&7
lx_check "the relay clients get the stream byte for byte" "$(lx_clients expect "$STREAM")" \
    "ok 3 clients identical ($SIZE bytes)"
lx_wait 20000 "the normal target gets the stream" test "$(stat -c %s normal/conn.1 2>/dev/null)" = "$SIZE"
cmp -s normal/conn.1 "$STREAM" || lx_fail "the normal target's bytes differ from the stream"
lx_log "ok: the normal target's bytes are the stream's"

# dump1090 fed by us counts what a dump1090 fed straight from the stream counts.
cat "$STREAM" | socat -u - "TCP:127.0.0.1:$BI2"
same_count() { test "$(frames pushed.bin)" = "$(frames direct.bin)" && test "$(frames direct.bin)" -gt 0; }
lx_wait 30000 "dump1090 as a push target passes on as many frames as when fed directly" same_count
lx_log "dump1090 passed on $(frames pushed.bin) frames either way"

# The stalled target: given up at its deadline; its backlog dropped whole frames.
lx_journal 20000 "^push 127.0.0.1:$STALLED lost: took nothing for 5 s; trying again in [12] s$"
metric() { curl -s "http://127.0.0.1:$HTTP/metrics" | sed -n "s/^$1{target=\"127.0.0.1:$2\"} //p"; }
lx_wait 10000 "the status endpoint serves" curl -sf "http://127.0.0.1:$HTTP/metrics" -o /dev/null
dropped=$(metric brevalink_push_dropped_frames_total "$STALLED")
[ "${dropped:-0}" -gt 0 ] || lx_fail "the stalled target dropped no frames ($dropped)"
accounted() {
    local sent dropped_bytes backlog
    sent=$(metric brevalink_push_bytes_total "$STALLED")
    dropped_bytes=$(metric brevalink_push_dropped_bytes_total "$STALLED")
    backlog=$(metric brevalink_push_backlog_bytes "$STALLED")
    test $((sent + dropped_bytes + backlog)) -eq "$SIZE"
}
lx_wait 5000 "every byte for the stalled target is sent, dropped or waiting" accounted
lx_log "the stalled target dropped $dropped frames"
touch stalled/drain
lx_wait 10000 "the stalled target's connections read out" test -s stalled/conn.1
for c in stalled/conn.*; do frames "$c" >/dev/null || lx_fail "$c does not start at a frame or holds a broken one"; done
lx_log "ok: each of the stalled target's $(ls stalled/conn.* | wc -l) connections starts at a frame"

# The late target: connected within the back-off after it listens (attempts at
# about 0, 2, 6, 14 and 30 s, each up to a quarter sooner), with the stream's tail.
lx_journal 40000 "^push 127.0.0.1:$LATE connected \(127.0.0.1\)$"
at() { awk -v w="$1" '$2 == w { print int($1 * 1000); exit }' late/events; }
lx_wait 5000 "the late target logged its accept" grep -q accepted late/events
waited=$(($(at accepted) - $(at listening)))
lx_log "the late target was connected $waited ms after it began to listen"
[ "$waited" -le 17000 ] || lx_fail "connected $waited ms after listening: more than the 16 s back-off step"
lx_wait 10000 "the late target gets the stream's end" cmp -s <(tail -c 64 late/conn.1) <(tail -c 64 "$STREAM")
python3 -c 'import sys; a, b = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read(); sys.exit(not (b.endswith(a) and len(a) <= 1 << 20))' \
    late/conn.1 "$STREAM" || lx_fail "the late target's bytes are not the stream's tail within a backlog"
frames late/conn.1 >/dev/null || lx_fail "the late target's bytes do not start at a frame"
lx_log "ok: the late target got the last $(stat -c %s late/conn.1) bytes, from a frame start"

# Bounded: memory and CPU of the whole run.
rss=$(awk '/^VmHWM/ { print $2 }' /proc/$LX_PID/status)
ticks=$(awk '{ print $14 + $15 }' /proc/$LX_PID/stat)
lx_log "peak memory ${rss} kB, CPU $((ticks * 10)) ms for $SIZE bytes to 4 targets and 3 clients"
[ "$rss" -lt 80000 ] || lx_fail "peak memory $rss kB"
[ "$ticks" -lt 1500 ] || lx_fail "CPU $ticks ticks"

# SIGHUP: the stalled and late lines go, a new one comes; the others are untouched.
NEW=$(lx_free_port)
python3 "$PEER" normal "$NEW" new &
lx_on_exit "kill $!"
lx_wait 5000 "the new target listens" listening "$NEW"
lx_setting initpush.ini "127.0.0.1:$NORMAL" "127.0.0.1:$BI" "127.0.0.1:$NEW" "no-port-here"
kill -HUP "$LX_PID"
lx_journal 10000 "^initpush.ini: Значение \"no-port-here\" не принято \(цель передачи\)"
lx_journal 10000 "^SIGHUP: settings re-read, applied: initpush.ini$"
lx_journal 5000 "^push 127.0.0.1:$STALLED stopped$"
lx_journal 5000 "^push 127.0.0.1:$LATE stopped$"
lx_journal 10000 "^push 127.0.0.1:$NEW connected"
! grep -q "^push 127.0.0.1:$NORMAL stopped" service.out || lx_fail "an unchanged target was touched"
test "$(grep -c "^push 127.0.0.1:$NORMAL connected" service.out)" = 1 || lx_fail "the normal target was connected again"
lx_stop_service TERM
