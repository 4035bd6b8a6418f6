#!/usr/bin/env bash
# The receiver over TCP instead of a serial port, against real peers: a network-only
# dump1090-mutability serving Beast (our relay client gets what its own client
# gets, the feed a line per frame it sent); a second program reading the first
# one's relay (the same bytes and the same feed lines at both); ser2net in front of
# a pty in text mode (the start and stop commands go out through it, AVR lines come
# back as feed lines); a far end that hangs up after a frame cut in two, then one
# that goes silent (the program says so and connects again, with its back-off);
# a listening station that pushers connect to, one at a time (a second one is
# closed at once and named, the next taken after the first leaves, a silent one
# closed); the relay port in the other format, both ways, on the capture.
# Each step ends the program with SIGTERM and code 0. Steps run alone when named:
# tcp_source.sh chain reconnect.
. "$(dirname "$0")/../lib.sh"
lx_begin
ROOT=$LX_WORK
DATA=$LX_SOURCE/../shared/data

# Each step has a folder of its own, so one station's files never meet another's.
in_step() {
    LX_WORK=$ROOT/$1
    mkdir -p "$LX_WORK" && cd "$LX_WORK" || exit 1
    lx_log "step $1"
}
listening() { grep -qi ":$(printf %04X "$1") 00000000:0000 0A" /proc/net/tcp; }
# The feed's record lines (CR LF) are exactly the lines of the file, in order.
records_are() { test "$(grep -a $'^[@*].*\r$' "$1" | tr -d '\r' | md5sum)" = "$(md5sum <"$2")"; }

cat >"$ROOT/beast.py" <<'EOF'
import sys
if sys.argv[1] == "made":  # long frames of one real message, timestamps with 0x1A in them
    msg = bytes.fromhex("8D4840D6202CC371C32CE0576098")
    for i in range(int(sys.argv[2])):
        body = (i * 12000 + 0x1A).to_bytes(6, "big") + b"\x80" + msg
        sys.stdout.buffer.write(b"\x1a\x33" + body.replace(b"\x1a", b"\x1a\x1a"))
elif sys.argv[1] == "unlevelled":  # the file's frames with signal level 0, as text lines bring them back
    d, i, out = open(sys.argv[2], "rb").read(), 0, bytearray()
    while i < len(d):
        n, f = {0x31: 9, 0x32: 14, 0x33: 21}[d[i + 1]], bytearray()
        t, i = d[i + 1], i + 2
        while len(f) < n:
            f.append(d[i])
            i += 2 if d[i] == 0x1A else 1
        f[6] = 0
        out += bytes([0x1A, t]) + bytes(f).replace(b"\x1a", b"\x1a\x1a")
    sys.stdout.buffer.write(out)
else:  # the record line of every frame in the file, as the decoder should make it
    d, i = open(sys.argv[2], "rb").read(), 0
    while i < len(d):
        assert d[i] == 0x1A, "not a frame start at %d" % i
        n, f = {0x31: 9, 0x32: 14, 0x33: 21}[d[i + 1]], bytearray()
        i += 2
        while len(f) < n:
            f.append(d[i])
            i += 2 if d[i] == 0x1A else 1
        print("@%s%s;" % (f[:6].hex().upper(), f[7:].hex().upper()))
EOF
beast_lines() { python3 "$ROOT/beast.py" lines "$1"; }
STREAM=$DATA/beast-capture-60s.bin
if [ ! -f "$STREAM" ]; then
    lx_log "no ../shared/data: a made-up Beast stream instead of the capture"
    STREAM=$ROOT/made.bin
    python3 "$ROOT/beast.py" made 3000 >"$STREAM"
fi
beast_lines "$STREAM" >"$ROOT/stream.lines"

binary_station() {
    lx_station 115200
    lx_setting BinarComOn.ini 1 0 0 60
    lx_setting porog.ini 0  # every frame's line goes to the feed
}
station_up() {
    lx_journal 10000 "^relay: listening on port $RELAY$"
    lx_journal 15000 "^feed 127.0.0.1:$FEED connected \(127.0.0.1\)$"
}

step_dump1090() {
    in_step dump1090
    binary_station
    BI=$(lx_free_port)
    BO=$(lx_free_port)
    # The other ports are off (0) so nothing clashes with a real installation's
    # defaults; --modeac and --net-verbatim keep Mode A/C and uncorrected frames.
    dump1090-mutability --net-only --quiet --modeac --net-verbatim --net-heartbeat 0 --net-buffer 2 \
        --net-bind-address 127.0.0.1 --net-ri-port 0 --net-ro-port 0 --net-sbs-port 0 \
        --net-bi-port "$BI" --net-bo-port "$BO" >dump1090.out 2>&1 &
    local d1090=$!
    lx_on_exit "kill $d1090"
    lx_wait 5000 "dump1090 takes Beast" listening "$BI"
    lx_wait 5000 "dump1090 serves Beast" listening "$BO"
    sockets() { find /proc/$d1090/fd -lname 'socket:*' | wc -l; }
    local listeners
    listeners=$(sockets)
    socat -u "TCP:127.0.0.1:$BO" CREATE:direct.bin &
    lx_on_exit "kill $!"
    lx_clients_start "$RELAY"
    lx_start_service --source "tcp:127.0.0.1:$BO"
    lx_journal 10000 "tcp source 127.0.0.1:$BO connected"
    station_up
    # dump1090 sends a frame only to the clients it has accepted by then.
    took_both() { test "$(sockets)" -ge $((listeners + 2)); }
    lx_wait 5000 "dump1090 took its own client and ours" took_both
    lx_check "our relay client" "$(lx_clients connect 1)" "ok connected 1"
    lx_journal 10000 "^relay: client 127.0.0.1 joined"

    # dump1090 passes frames on in order but not all of them: the last one, made
    # up, marks the end of what it sent.
    python3 -c 'import sys; sys.stdout.buffer.write(b"\x1a\x33SENTNL\xff" + bytes.fromhex("8D4840D6202CC371C32CE0576098"))' >last.bin
    cat "$STREAM" last.bin | socat -u - "TCP:127.0.0.1:$BI"
    ends_with_last() { tail -c 23 direct.bin | cmp -s - last.bin; }
    lx_wait 30000 "dump1090 sent the last frame" ends_with_last
    beast_lines direct.bin >direct.lines
    lx_log "dump1090 passed on $(wc -l <direct.lines) of $(($(wc -l <"$ROOT/stream.lines") + 1)) frames"
    lx_check "our relay client gets what dump1090's own client got" "$(lx_clients expect "$LX_WORK/direct.bin")" \
        "ok 1 clients identical ($(stat -c %s direct.bin) bytes)"
    lx_wait 20000 "the feed has a line for every frame dump1090 sent" records_are feed/conn.1 direct.lines
    ! grep -q "^port .* opened" service.out || lx_fail "--source tcp: still opened the serial port"
    lx_stop_service TERM
}

step_chain() {
    in_step chain
    binary_station
    lx_start_service
    station_up
    local relay1=$RELAY first=$LX_PID
    # The second program: its own folder, settings, feed server and journal.
    two() { LX_WORK=$ROOT/chain/two LX_SETTINGS=$ROOT/chain/two "$@"; }
    mkdir two
    RELAY=$(lx_free_port)
    FEED=$(lx_free_port)
    two lx_setting initsocket.ini "$RELAY"
    two lx_setting initmkp2.ini "$FEED" 127.0.0.1
    cp BinarComOn.ini porog.ini two/
    two lx_feed_peer "$FEED"
    two lx_start_service --source "tcp:127.0.0.1:$relay1"
    two lx_journal 10000 "tcp source 127.0.0.1:$relay1 connected"
    two station_up
    lx_journal 10000 "^relay: client 127.0.0.1 joined"
    lx_clients_start "$RELAY"
    lx_check "a relay client of the second program" "$(lx_clients connect 1)" "ok connected 1"
    two lx_journal 10000 "^relay: client 127.0.0.1 joined"

    cat "$STREAM" >&7
    lx_check "the second program relays the first one's stream byte for byte" "$(lx_clients expect "$STREAM")" \
        "ok 1 clients identical ($(stat -c %s "$STREAM") bytes)"
    lx_wait 20000 "the first feed has a line per frame" records_are feed/conn.1 "$ROOT/stream.lines"
    lx_wait 20000 "the second feed has the same lines" records_are two/feed/conn.1 "$ROOT/stream.lines"
    two lx_stop_service TERM
    LX_PID=$first lx_stop_service TERM
}

step_ser2net() {
    in_step ser2net
    lx_station 115200  # text mode
    local port
    port=$(lx_free_port)
    printf 'connection: &receiver\n    accepter: tcp,127.0.0.1,%s\n    enable: on\n    connector: serialdev,%s,115200n81,local\n' \
        "$port" "$LX_WORK/portA" >ser2net.yaml
    ser2net -n -u -c "$LX_WORK/ser2net.yaml" -P "$LX_WORK/ser2net.pid" >ser2net.out 2>&1 &
    lx_on_exit "kill $!"
    lx_wait 5000 "ser2net listens" listening "$port"
    lx_setting inittcp.ini "$port" 127.0.0.1 1
    lx_start_service
    lx_journal 10000 "tcp source 127.0.0.1:$port connected"
    station_up
    commands_are() { test "$(tr '\n' '|' <commands.txt)" = "$1"; }
    lx_wait 10000 "the start commands reach the receiver through ser2net" commands_are "#00|#43-12|"

    local avr=$DATA/avr-sample-18.txt
    if [ ! -f "$avr" ]; then
        avr=$LX_WORK/avr.txt
        printf '*%s;\n' 8D4840D6202CC371C32CE0576098 8D40621D58C382D690C8AC2863A7 8D485020994409940838175B284F >"$avr"
    fi
    cat "$avr" >&7
    lx_wait 10000 "the feed has the receiver's lines" records_are feed/conn.1 "$avr"
    ! grep -q "^port .* opened" service.out || lx_fail "inittcp.ini line 3 = 1 still opened the serial port"
    lx_stop_service TERM
    lx_wait 10000 "the stop command reaches the receiver through ser2net" commands_are "#00|#43-12|#43-00|"
}

step_reconnect() {
    in_step reconnect
    binary_station
    local port
    port=$(lx_free_port)
    BREVALINK_TCP_SILENT_MS=2000 lx_start_service --source "tcp:127.0.0.1:$port"
    station_up
    lx_journal 10000 "tcp source .*trying again in 2 s"
    # The far end: on the first connection sends a frame in two pieces, cut inside
    # an escaped 0x1A, and hangs up; stays silent on the second; logs the times.
    python3 - "$port" >far.log 2>&1 <<'EOF' &
import socket, sys, time
srv = socket.create_server(("127.0.0.1", int(sys.argv[1])))
log = lambda what: print("%d %s" % (time.monotonic() * 1000, what), flush=True)
c, _ = srv.accept()
log("accepted")
c.sendall(b"\x1a\x33\0\0\0\0\0\x1a")
time.sleep(0.3)
c.sendall(b"\x1a\x80" + bytes.fromhex("8D4840D6202CC371C32CE0576098"))
c.close()
log("hung-up")
c, _ = srv.accept()
log("accepted")
c.settimeout(60)
c.recv(1)
log("dropped")
srv.accept()
log("accepted")
time.sleep(120)
EOF
    lx_on_exit "kill $!"
    at() { awk -v w="$1" -v n="$2" '$2 == w && ++k == n { print $1 }' far.log; }
    accepted() { test -n "$(at accepted "$1")"; }
    lx_wait 12000 "connected once the far end listens" accepted 1
    lx_journal 5000 "tcp source 127.0.0.1:$port lost.*far end.*trying again in 2 s"
    lx_wait 5000 "the frame in two pieces reaches the feed" grep -q '^@00000000001A8D4840D6202CC371C32CE0576098;' feed/conn.1
    lx_wait 15000 "connected again after the hang-up and after the silence" accepted 3
    lx_journal 1000 "tcp source 127.0.0.1:$port .*silent"
    local again=$(($(at accepted 2) - $(at hung-up 1))) quiet=$(($(at dropped 1) - $(at accepted 2)))
    lx_log "reconnected $again ms after the hang-up; a silent connection dropped after $quiet ms"
    [ $again -ge 1500 ] && [ $again -le 4000 ] || lx_fail "reconnected $again ms after the hang-up, not after 2 s"
    [ $quiet -ge 1500 ] && [ $quiet -le 5000 ] || lx_fail "a silent connection dropped after $quiet ms, not 2 s"
    lx_stop_service TERM
}

step_listen() {
    in_step listen
    binary_station
    local port
    port=$(lx_free_port)
    BREVALINK_TCP_SILENT_MS=2000 lx_start_service --source "listen:127.0.0.1:$port"
    station_up
    lx_journal 10000 "^tcp source 127.0.0.1:$port listening: port $port$"
    lx_clients_start "$RELAY"
    lx_check "a relay client" "$(lx_clients connect 1)" "ok connected 1"
    lx_journal 10000 "^relay: client 127.0.0.1 joined"

    # The first pusher stays connected while the pipe it reads is open.
    mkfifo first.pipe
    socat -u PIPE:first.pipe "TCP:127.0.0.1:$port" &
    lx_on_exit "kill $!"
    exec 8>first.pipe
    lx_journal 10000 "^tcp source 127.0.0.1:$port connected \(127.0.0.1\)$"
    python3 "$ROOT/beast.py" made 50 >second.bin
    socat -u OPEN:second.bin "TCP:127.0.0.1:$port"
    lx_journal 10000 "^tcp source 127.0.0.1:$port refused: 127.0.0.1: 127.0.0.1 is connected$"
    cat "$STREAM" >&8
    lx_check "relay clients get the pusher's stream byte for byte, nothing of the refused one" \
        "$(lx_clients expect "$STREAM")" "ok 1 clients identical ($(stat -c %s "$STREAM") bytes)"
    lx_wait 20000 "the feed has a line per frame pushed" records_are feed/conn.1 "$ROOT/stream.lines"
    exec 8>&-
    lx_journal 10000 "^tcp source 127.0.0.1:$port lost: closed by the far end; waiting for the next$"

    # The next pusher is taken; silent after its frames, it is closed after the
    # (shortened) limit and the port waits again.
    python3 - "$port" second.bin >silent.log 2>&1 <<'PY' &
import socket, sys, time
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
c.sendall(open(sys.argv[2], "rb").read())
sent = time.monotonic()
c.settimeout(30)
while c.recv(100):
    pass
print("closed after %d ms" % ((time.monotonic() - sent) * 1000), flush=True)
PY
    lx_on_exit "kill $!"
    lx_check "the next pusher's stream" "$(lx_clients expect "$LX_WORK/second.bin")" \
        "ok 1 clients identical ($(stat -c %s second.bin) bytes)"
    lx_wait 10000 "the silent pusher is closed" grep -q "^closed after" silent.log
    lx_journal 1000 "^tcp source 127.0.0.1:$port lost: silent, replaced; waiting for the next$"
    local quiet
    quiet=$(awk '{print $3}' silent.log)
    lx_log "a silent pusher closed after $quiet ms"
    [ "$quiet" -ge 1500 ] && [ "$quiet" -le 5000 ] || lx_fail "a silent pusher closed after $quiet ms, not 2 s"
    lx_stop_service TERM
}

step_formats() {
    in_step formats
    binary_station
    local other
    other=$(lx_free_port)
    lx_setting initsocket.ini "$RELAY" "" "$other"
    lx_start_service
    station_up
    lx_journal 10000 "^relay: listening on port $other for the other format \(now '@' lines\)$"
    socat -u "TCP:127.0.0.1:$other" CREATE:lines.txt &
    lx_on_exit "kill $!"
    lx_journal 10000 "^relay: client 127.0.0.1 joined"
    cat "$STREAM" >&7
    feed_lines() { grep -a $'^@.*\r$' feed/conn.1; }
    same_as_feed() { records_are lines.txt "$ROOT/stream.lines" && cmp -s lines.txt <(feed_lines); }
    lx_wait 20000 "the binary stream through the other port: the feed's record lines, CR LF" same_as_feed
    lx_stop_service TERM

    # A text receiver's capture made from the binary one: back through the port
    # come the binary capture's frames, timestamps and all, with level 0.
    lx_setting BinarComOn.ini 0 0 0 60
    sed 's/$/\r/' "$ROOT/stream.lines" >capture.txt
    python3 "$ROOT/beast.py" unlevelled "$STREAM" >expected.bin
    lx_start_service
    station_up
    lx_journal 10000 "^relay: listening on port $other for the other format \(now Beast frames\)$"
    socat -u "TCP:127.0.0.1:$other" CREATE:frames.bin &
    lx_on_exit "kill $!"
    lx_journal 10000 "^relay: client 127.0.0.1 joined"
    cat capture.txt >&7
    got_all() { test "$(stat -c %s frames.bin)" -ge "$(stat -c %s expected.bin)"; }
    lx_wait 20000 "as many Beast bytes as the capture's frames make" got_all
    cmp frames.bin expected.bin || lx_fail "the text capture through the other port is not the binary capture's frames"
    lx_log "$(wc -l <capture.txt) lines in, $(stat -c %s frames.bin) bytes of Beast frames out, identical"
    lx_stop_service TERM
}

for step in ${*:-dump1090 chain ser2net reconnect listen formats}; do "step_$step"; done
LX_WORK=$ROOT
cd "$ROOT" || exit 1
