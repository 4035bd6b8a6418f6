#!/usr/bin/env bash
# A playback (command 202 through the real open dialog) reaches the feed server
# as raw bytes on the plain feed (no "#SET OUT DATE ORIGINAL" was sent): after
# the introduction the feed server gets exactly the played bytes, a record line
# and bytes that no record line holds (00, FF, 1A, a lone LF), and nothing else.
. "$(dirname "$0")/../lib.sh"
e2e_begin

OPEN="Открыть"
INTRO=$'#Rostov-on-Don\r\n#47.198200\r\n#39.628200\r\n#TEXT\r\n'

e2e_free_ports
e2e_settings BinarComOn.ini 0 0 0 60  # text receiver, plain feed
mkdir feed
python3 "$E2E_DIR/feed_peer.py" "$E2E_FEED_PORT" feed 2>feed_peer.err &
e2e_on_exit "kill $! 2>/dev/null"
deadline=$((SECONDS + 10))
until [ -f feed/listening ]; do
    [ $SECONDS -lt $deadline ] || e2e_fail "the feed peer did not start: $(cat feed_peer.err)"
    sleep 0.05
done
size() { stat -c %s "$1" 2>/dev/null || echo 0; }

# The log to play: a whole record line, then bytes of no line; every tick 0 but
# the last, so the playback needs no waiting.
printf '*8D4840D6202CC371C32CE0576098;\r\n\x00\xff\x1a\n' >played.bin
od -An -v -tx1 played.bin | tr 'a-f' 'A-F' | tr -s ' ' '\n' | sed '/^$/d' |
    awk 'BEGIN { ORS = "\r\n" } { print $1 " " (NR == n ? 2 : 0) }' n="$(size played.bin)" >play.txt
{ printf '%s' "$INTRO"; cat played.bin; } >expected.bin

e2e_start_ready --dismiss COM1
CONNECTED=$(printf 'Клиент: % 5d  Соединение 127.0.0.1' "$E2E_FEED_PORT")
e2e_wait_status 1 eq "$CONNECTED" 20000 >/dev/null || e2e_fail "the feed link did not connect"
deadline=$((SECONDS + 20))
until [ "$(size feed/conn.1)" -ge ${#INTRO} ]; do
    [ $SECONDS -lt $deadline ] || e2e_fail "no introduction"
    sleep 0.05
done

drv command 202 wait-box "$OPEN" 15000 dlg-set "$OPEN" 1148 play.txt dlg-press "$OPEN" 1 wait-no-box "$OPEN" 15000 \
    >/dev/null || e2e_fail "cannot choose play.txt in the open dialog"
want=$(size expected.bin)
deadline=$((SECONDS + 20))
until [ "$(size feed/conn.1)" -ge "$want" ]; do
    [ $SECONDS -lt $deadline ] || break
    sleep 0.05
done
# The playback ends by itself at the end of the log: the title says so.
deadline=$((SECONDS + 15))
until [ "$(e2e_title)" = "[]  : [] " ] || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
e2e_check "title after the playback ended" "$(e2e_title)" "[]  : [] "
e2e_check_file "the feed server got the introduction, then the played bytes raw" feed/conn.1 expected.bin
e2e_check "one feed connection" "$(ls feed | grep -c '^conn\.')" "1"

drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
