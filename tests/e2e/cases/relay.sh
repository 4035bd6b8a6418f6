#!/usr/bin/env bash
# The relay server under Wine: 100 clients and the status line listing them, the
# 101st accepted and closed at once, the real capture fed through the serial line
# arriving byte for byte at every client, connect.list with CR LF lines; then a
# client that stops reading is disconnected while the others keep every byte. A
# client's send buffer is bounded, so the streams go at most at three times a full
# 3 Mbaud line: a source faster than any line would outrun any reader.
. "$(dirname "$0")/../lib.sh"
e2e_begin

CAPTURE=$E2E_DIR/../../../shared/data/beast-capture-60s.bin
[ -f "$CAPTURE" ] || CAPTURE=''

e2e_free_ports
e2e_serial_pair 5
e2e_settings init.ini COM5 115200
e2e_settings BinarComOn.ini 1 0 0 60
e2e_settings porog.ini 0  # every frame's line goes to the feed
exec 7<>"$E2E_PEER_TTY"
# The program's commands to the receiver are read and thrown away.
cat <&7 >/dev/null &
e2e_on_exit "kill $! 2>/dev/null"

python3 "$E2E_DIR/relay_clients.py" "$E2E_SERVER_PORT" "$E2E_WORK" >clients.log 2>&1 &
CLIENTS=$!
e2e_on_exit "kill $CLIENTS 2>/dev/null; wait $CLIENTS 2>/dev/null"
echo 0 >.step
# Runs one step of relay_clients.py and prints its result line (called in $(...),
# so the step number lives in a file). CLIENT_S: seconds to wait for the answer.
clients() {  # command...
    local STEP=$(($(cat .step) + 1))
    echo $STEP >.step
    echo "$*" >"step.$STEP.tmp" && mv "step.$STEP.tmp" "step.$STEP"
    local deadline=$((SECONDS + ${CLIENT_S:-60}))
    until [ -f "done.$STEP" ]; do
        kill -0 $CLIENTS 2>/dev/null || { echo "FAIL relay_clients.py ended: $(tail -n 3 clients.log)"; return; }
        [ $SECONDS -lt $deadline ] || { echo "FAIL no answer to '$*'"; return; }
        sleep 0.05
    done
    cat "done.$STEP"
}
# Writes a file onto the receiver's end of the serial line.
receiver_sends() { cat "$1" >&7; }
# The same at a line's pace in bytes a second; prints the seconds it took.
paced_write() {  # file rate
    python3 -c 'import sys, time
data, out, rate, start = open(sys.argv[1], "rb").read(), open(sys.argv[2], "wb", buffering=0), int(sys.argv[3]), time.monotonic()
for i in range(0, len(data), 5000):
    time.sleep(max(0, start + i / rate - time.monotonic())); out.write(data[i:i + 5000])
print(round(time.monotonic() - start))' "$1" "$E2E_PEER_TTY" "$2"
}

# Another program holds the relay port when ours starts.
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("0.0.0.0", int(sys.argv[1]))); s.listen()
open("holder.ready", "w").close(); time.sleep(600)' "$E2E_SERVER_PORT" &
HOLDER=$!
e2e_on_exit "kill $HOLDER 2>/dev/null"
deadline=$((SECONDS + 10))
until [ -f holder.ready ]; do [ $SECONDS -lt $deadline ] || e2e_fail "no port holder"; sleep 0.05; done

e2e_start_ready
BUSY=$(printf 'Сервер: %5d занят' "$E2E_SERVER_PORT")
e2e_check "status line 0 while the port is taken" "$(e2e_wait_status 0 eq "$BUSY")" "$BUSY"
kill $HOLDER
PREFIX=$(printf 'Сервер: %5d ' "$E2E_SERVER_PORT")
e2e_check "status line 0 with no client once the port is free" "$(e2e_wait_status 0 eq "$PREFIX" 15000)" "$PREFIX"

e2e_check "100 clients connect" "$(clients connect 100)" "ok connected 100"
ALL=$PREFIX
for _ in $(seq 100); do ALL+="127.0.0.1 "; done
e2e_check "status line 0 lists 100 clients" "$(e2e_wait_status 0 eq "$ALL" 20000)" "$ALL"
e2e_check "the 101st client is accepted and closed" "$(clients refused)" "ok refused"

# A stream with every byte value, then the real capture, both through the serial
# line; every client must get them unchanged.
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 64)' >bytes.bin
receiver_sends bytes.bin
e2e_check "every byte value reaches all 100 clients" "$(clients expect bytes.bin)" "ok 100 clients identical (16384 bytes)"
if [ -n "$CAPTURE" ]; then
    paced_write "$CAPTURE" 1000000 >/dev/null
    e2e_check "the real capture reaches all 100 clients byte for byte" "$(CLIENT_S=200 clients expect "$CAPTURE")" \
        "ok 100 clients identical ($(stat -c %s "$CAPTURE") bytes)"
else
    e2e_log "no ../shared/data: the capture step is skipped"
fi
e2e_check "still 100 clients" "$(e2e_wait_status 0 eq "$ALL" 5000)" "$ALL"

# connect.list: one line per refresh, CR LF, the newest with 100 addresses.
BARS="|"
for _ in $(seq 100); do BARS+="127.0.0.1|"; done
last=$(tail -n 1 connect.list)
e2e_check "connect.list lines end in CR LF" "$(grep -c $'\r$' connect.list)" "$(wc -l <connect.list)"
e2e_check "newest connect.list line lists the clients" "${last:20}" "$BARS"$'\r'
e2e_check "connect.list time stamp" "$(echo "${last:0:20}" | grep -cE '^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} $')" "1"
e2e_check "first connect.list line has no client" "$(head -n 1 connect.list | tr -d '\r' | cut -c20-)" " "

# A client that stops reading is dropped; the others keep every byte.
e2e_check "clients close" "$(clients close)" "ok closed"
e2e_check "status line 0 empties" "$(e2e_wait_status 0 eq "$PREFIX" 20000)" "$PREFIX"
e2e_check "five clients, the last one stalls" "$(clients connect 5 stall)" "ok connected 5"
FIVE=$PREFIX
for _ in $(seq 5); do FIVE+="127.0.0.1 "; done
e2e_wait_status 0 eq "$FIVE" 20000 >/dev/null || e2e_fail "five clients not listed"
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 4096 * 4)' >big.bin
paced_write big.bin 1000000 >/dev/null &
SENDER=$!
e2e_check "the four readers get all 4 MB, the stalled one is dropped" "$(CLIENT_S=200 clients expect big.bin)" \
    "ok 4 clients identical (4194304 bytes)"
wait $SENDER
FOUR=$PREFIX
for _ in $(seq 4); do FOUR+="127.0.0.1 "; done
e2e_check "status line 0 lists the four" "$(e2e_wait_status 0 eq "$FOUR" 10000)" "$FOUR"

# The feed server takes the introduction, then nothing more, while the receiver
# sends 4 MB at 100 kB/s: every byte still reaches the four clients at that pace,
# and the stalled link is given up and made anew.
FEEDSERVER=$(bash "$E2E_DIR/../../tools/feedserver/build.sh" "$E2E_STATE/tools") || e2e_fail "cannot build feedserver"
"$FEEDSERVER" --port "$E2E_FEED_PORT" --quiet --stall-after 1 --stall-once </dev/null >fs.log 2>&1 &
e2e_on_exit "kill $! 2>/dev/null"
deadline=$((SECONDS + 30))
until grep -q '^stalled' fs.log; do [ $SECONDS -lt $deadline ] || e2e_fail "the feed link did not come up"; sleep 0.1; done
# Without the capture, one long frame over and over: the feed needs record lines
# to stall on.
python3 -c 'import sys; c = open(sys.argv[1], "rb").read() if sys.argv[1] else b"\x1a\x33" + bytes(range(1, 8)) + bytes(14)
sys.stdout.buffer.write((c * (4000000 // len(c) + 1))[:4000000])' "$CAPTURE" >stream.bin
paced_write stream.bin 100000 >writer.out &
WRITER=$!
e2e_check "the four clients get every byte" "$(CLIENT_S=200 clients expect stream.bin)" "ok 4 clients identical (4000000 bytes)"
wait $WRITER
e2e_check "the receiver's 40 s of bytes were taken at their pace" "$(($(cat writer.out) <= 45))" "1"
deadline=$((SECONDS + 60))
until [ "$(grep -c '^intro 4' fs.log)" -ge 2 ]; do
    [ $SECONDS -lt $deadline ] || e2e_fail "the stalled feed link was not replaced: $(tail -n 3 fs.log)"
    sleep 0.2
done
e2e_check "the stalled link ended" "$(grep -c '^closed.*(stalled)' fs.log)" "1"

clients quit >/dev/null
drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
