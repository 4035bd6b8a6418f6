#!/usr/bin/env bash
# The relay server under Wine: 100 clients and the status line listing them, the
# 101st accepted and closed at once, the real capture fed through the serial line
# arriving byte for byte at every client, connect.list with CR LF lines; then a
# client that stops reading is disconnected while the others keep every byte.
. "$(dirname "$0")/../lib.sh"
e2e_begin

CAPTURE=$E2E_DIR/../../../shared/data/beast-capture-60s.bin
[ -f "$CAPTURE" ] || CAPTURE=''

e2e_free_ports
e2e_serial_pair 5
e2e_settings init.ini COM5 115200
e2e_settings BinarComOn.ini 1 0 0 60
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

e2e_start_ready
PREFIX=$(printf 'Сервер: %5d ' "$E2E_SERVER_PORT")
e2e_check "status line 0 with no client" "$(e2e_wait_status 0 eq "$PREFIX")" "$PREFIX"

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
    receiver_sends "$CAPTURE"
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
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 4096 * 8)' >big.bin
receiver_sends big.bin &
SENDER=$!
e2e_check "the four readers get all 8 MB, the stalled one is dropped" "$(CLIENT_S=200 clients expect big.bin)" \
    "ok 4 clients identical (8388608 bytes)"
wait $SENDER
FOUR=$PREFIX
for _ in $(seq 4); do FOUR+="127.0.0.1 "; done
e2e_check "status line 0 lists the four" "$(e2e_wait_status 0 eq "$FOUR" 10000)" "$FOUR"

clients quit >/dev/null
drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
