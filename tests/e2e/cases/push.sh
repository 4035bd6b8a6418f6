#!/usr/bin/env bash
# Push outputs under Wine: a target from initpush.ini gets the real capture fed
# through the serial line byte for byte; the dialog "Передача в другие сети"
# opens with the file's targets and their state, writes nothing on Cancel, and
# on OK writes the file (CR LF) and starts the new target, which connects.
. "$(dirname "$0")/../lib.sh"
e2e_begin

CAPTURE=$E2E_DIR/../../../shared/data/beast-capture-60s.bin
if [ ! -f "$CAPTURE" ]; then
    CAPTURE=$E2E_WORK/made.bin
    python3 -c 'import sys; sys.stdout.buffer.write(b"".join(b"\x1a\x33" + (i * 977).to_bytes(6, "big") + b"\x80" + bytes.fromhex("8D4840D6202CC371C32CE0576098") for i in range(3000)).replace(b"\x1a\x1a", b"\x1a"))' >"$CAPTURE"
fi

e2e_free_ports
e2e_serial_pair 5
e2e_settings init.ini COM5 115200
e2e_settings BinarComOn.ini 1 0 0 60
exec 7<>"$E2E_PEER_TTY"
cat <&7 >/dev/null &
e2e_on_exit "kill $! 2>/dev/null"

# Targets: they write connection N's bytes to DIR/conn.N.
sink() {  # port dir
    mkdir -p "$2"
    python3 -c 'import socket, sys, os
srv = socket.create_server(("127.0.0.1", int(sys.argv[1])))
open(os.path.join(sys.argv[2], "listening"), "w").close()
n = 0
while True:
    c, _ = srv.accept(); n += 1
    with open(os.path.join(sys.argv[2], "conn.%d" % n), "wb") as f:
        while True:
            d = c.recv(65536)
            if not d: break
            f.write(d); f.flush()' "$1" "$2" &
    e2e_on_exit "kill $! 2>/dev/null"
    local deadline=$((SECONDS + 10))
    until [ -f "$2/listening" ]; do [ $SECONDS -lt $deadline ] || e2e_fail "no target on $1"; sleep 0.05; done
}
ONE=$(e2e_free_port)
TWO=$(e2e_free_port)
sink "$ONE" one
sink "$TWO" two
e2e_settings initpush.ini "127.0.0.1:$ONE"

e2e_start_ready
deadline=$((SECONDS + 20))
until [ -f one/conn.1 ]; do [ $SECONDS -lt $deadline ] || e2e_fail "the target was not connected"; sleep 0.1; done
cat "$CAPTURE" >&7
size=$(stat -c %s "$CAPTURE")
deadline=$((SECONDS + 30))
until [ "$(stat -c %s one/conn.1)" -ge "$size" ]; do [ $SECONDS -lt $deadline ] || break; sleep 0.1; done
e2e_check_file "the push target gets the capture byte for byte" one/conn.1 "$CAPTURE"

PUSH="Передача в другие сети"
drv command 121 wait-box "$PUSH" 15000 >/dev/null || e2e_fail "no dialog \"$PUSH\""
e2e_check "the dialog shows the file" "$(drv dlg-get "$PUSH" 1000)" "127.0.0.1:$ONE"
state() { drv dlg-get "$PUSH" 1003 | grep -q "^127.0.0.1:$ONE: связь есть, передано $size байт, отброшено кадров 0, переподключений 0"; }
deadline=$((SECONDS + 10))
until state; do [ $SECONDS -lt $deadline ] || e2e_fail "the dialog's state: $(drv dlg-get "$PUSH" 1003)"; sleep 0.2; done
e2e_log "ok: the dialog shows the target's state"
drv dlg-set "$PUSH" 1000 "127.0.0.1:$TWO" >/dev/null
drv dlg-press "$PUSH" 2 >/dev/null
drv wait-no-box "$PUSH" 15000 >/dev/null || e2e_fail "Cancel leaves the dialog open"
e2e_check "Cancel writes nothing" "$(e2e_show_file initpush.ini | tr '\n' ' ')" "127.0.0.1:$ONE\\r "

drv command 121 wait-box "$PUSH" 15000 >/dev/null || e2e_fail "no dialog \"$PUSH\" the second time"
drv dlg-set "$PUSH" 1000 "127.0.0.1:$ONE"$'\r\n'"127.0.0.1:$TWO" >/dev/null
drv dlg-press "$PUSH" 1 >/dev/null
drv wait-no-box "$PUSH" 15000 >/dev/null || e2e_fail "OK leaves the dialog open"
e2e_check "OK writes the file" "$(e2e_show_file initpush.ini | tr '\n' ' ')" "127.0.0.1:$ONE\\r 127.0.0.1:$TWO\\r "
deadline=$((SECONDS + 20))
until [ -f two/conn.1 ]; do [ $SECONDS -lt $deadline ] || e2e_fail "the new target was not connected"; sleep 0.1; done
[ ! -f one/conn.2 ] || e2e_fail "the unchanged target was connected again"
e2e_log "ok: the new target connected, the old one kept its connection"

drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
