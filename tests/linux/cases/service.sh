#!/usr/bin/env bash
# The Linux program as a service: the real capture through a pty pair reaches
# three relay clients byte for byte, the feed gets the decoder's lines (the same
# as the journal's --lines) and --record logs every byte; SIGHUP applies edited settings files (relay
# port, receiver name, text mode) at once; SIGTERM sends the text-mode stop
# command and ends with exit code 0.
. "$(dirname "$0")/../lib.sh"
lx_begin

CAPTURE=$LX_SOURCE/../shared/data/beast-capture-60s.bin
FRAMES=13954  # every frame of the capture makes one record line
if [ ! -f "$CAPTURE" ]; then
    lx_log "no ../shared/data: the frames of a made-up stream instead of the capture"
    python3 -c 'import sys; sys.stdout.buffer.write(b"\x1a\x33" + bytes(range(1, 8)) + bytes(14)) ' >frame.bin
    for _ in $(seq 500); do cat frame.bin; done >stream.bin
    CAPTURE=$LX_WORK/stream.bin
    FRAMES=500
fi
lx_station 115200
lx_setting BinarComOn.ini 1 0 0 60
lx_setting porog.ini 0  # every frame's line goes to the feed
lx_clients_start "$RELAY"

lx_start_service --lines --record exchange.log
lx_journal 10000 "^recording the receiver's bytes to $LX_WORK/exchange.log$"
lx_journal 10000 "^port $LX_WORK/portA opened at 115200 baud$"
lx_journal 10000 "^relay: listening on port $RELAY$"
lx_journal 15000 "^feed 127.0.0.1:$FEED connected \(127.0.0.1\)$"
lx_check "three relay clients" "$(lx_clients connect 3)" "ok connected 3"
lx_journal 10000 "^relay: client 127.0.0.1 joined \(3 connected\)$"

cat "$CAPTURE" >&7
lx_check "the receiver's bytes reach every client unchanged" "$(lx_clients expect "$CAPTURE")" \
    "ok 3 clients identical ($(stat -c %s "$CAPTURE") bytes)"
records() { grep -a -c $'^[@*].*\r$' feed/conn.1; }
journalled() { grep -a -c '^[@*]' service.out; }
every_frame() { test "$(records)" -eq $FRAMES -a "$(journalled)" -eq $FRAMES; }
lx_wait 20000 "the feed and the journal have a line for every frame" every_frame
lx_check "the feed's record lines are the journal's" \
    "$(tail -n +5 feed/conn.1 | tr -d '\r' | md5sum)" "$(grep -a '^[@*]' service.out | md5sum)"
every_byte_logged() { test "$(grep -c $'^[0-9A-F][0-9A-F] [0-9A-F]*\r$' exchange.log)" -eq "$(stat -c %s "$CAPTURE")"; }
lx_wait 10000 "one log line per byte, CR LF" every_byte_logged
lx_check "the introduction" "$(head -n 2 feed/conn.1 | tr -d '\r' | tr '\n' '|')" "#Rostov-on-Don|#47.198200|"

NEWRELAY=$(lx_free_port)
lx_setting initsocket.ini "$NEWRELAY"
lx_setting name.ini "Station-2"
lx_setting BinarComOn.ini 0 0 0 60
kill -HUP "$LX_PID"
lx_journal 10000 "^SIGHUP: settings re-read, applied: initsocket.ini BinarComOn.ini name.ini$"
lx_journal 10000 "^relay: listening on port $NEWRELAY$"
lx_journal 10000 "^receiver mode: text$"
lx_wait 15000 "a new feed link introduces the new name" grep -qa $'^#Station-2\r$' feed/conn.2
lx_check "the files keep CR LF" "$(od -An -c BinarComOn.ini | tr -d ' \n')" '0\r\n0\r\n0\r\n60\r\n'

lx_stop_service TERM
lx_check "the text-mode stop command reached the receiver" "$(grep -c '^#43-00$' commands.txt)" 1
lx_check "the journal's last line" "$(tail -n 1 service.out)" "ended"
