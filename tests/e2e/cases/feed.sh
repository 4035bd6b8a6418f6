#!/usr/bin/env bash
# The feed link under Wine, against tools/feedserver: the introduction with the
# default position, record lines from the serial line in order, the switch to raw
# bytes and back, compression on (reconnect with ":COMPRESS", blocks that decode
# to exactly the lines sent), and the feed server going away and coming back (a
# new connection with a new introduction).
. "$(dirname "$0")/../lib.sh"
e2e_begin

FEEDSERVER=$(bash "$E2E_DIR/../../tools/feedserver/build.sh" "$E2E_STATE/tools") || e2e_fail "cannot build feedserver"
SAMPLE=$E2E_DIR/../../../shared/data/avr-sample-18.txt
if [ ! -f "$SAMPLE" ]; then
    SAMPLE=$E2E_WORK/sample.txt
    for f in 8D4840D6202CC371C32CE0576098 8D40621D58C382D690C8AC2863A7 8D40621D58C386435CC412692AD6; do
        echo "*$f;"
    done >"$SAMPLE"
fi

e2e_free_ports
e2e_serial_pair 5
e2e_settings init.ini COM5 115200
e2e_settings time.ini 3
exec 7<>"$E2E_PEER_TTY"
cat <&7 >/dev/null &
e2e_on_exit "kill $! 2>/dev/null"

FS_PID=''
# Starts feedserver on the feed port, its output in $1.
feedserver_start() {  # log
    "$FEEDSERVER" --port "$E2E_FEED_PORT" </dev/null >"$1" 2>&1 &
    FS_PID=$!
    e2e_on_exit "kill $FS_PID 2>/dev/null"
    local deadline=$((SECONDS + 10))
    until grep -q '^listening' "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || e2e_fail "feedserver did not start"
        sleep 0.05
    done
}
# Waits until the log holds at least N lines matching the pattern.
wait_log() {  # log pattern count [s]
    local deadline=$((SECONDS + ${4:-20}))
    until [ "$(grep -cE "$2" "$1")" -ge "$3" ]; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}
# What the receiver sends: the sample's lines.
receiver_sends() { cat "$@" >&7; }

feedserver_start fs1.log
e2e_start_ready
CONNECTED=$(printf 'Клиент: % 5d  Соединение 127.0.0.1' "$E2E_FEED_PORT")
e2e_check "client status line shows the link" "$(e2e_wait_status 1 eq "$CONNECTED" 20000)" "$CONNECTED"
wait_log fs1.log '^intro 4' 1 || e2e_fail "no introduction"
e2e_check "introduction" "$(grep '^intro' fs1.log)" "intro 1: #Rostov-on-Don
intro 2: #47.198200
intro 3: #39.628200
intro 4: #TEXT"

# Record lines, plain.
receiver_sends "$SAMPLE"
N=$(grep -c . "$SAMPLE")
wait_log fs1.log '^line: ' "$N" || e2e_log "only $(grep -c '^line: ' fs1.log) lines arrived"
e2e_check "record lines arrive in order" "$(sed -n 's/^line: //p' fs1.log)" "$(tr -d '\r' <"$SAMPLE")"

# The feed server asks for raw bytes: a marker sent until it arrives as hex.
kill -USR1 "$FS_PID"
wait_log fs1.log '^sent: #SET OUT DATE ORIGINAL' 1 || e2e_fail "feedserver did not send the command"
deadline=$((SECONDS + 20))
until grep -q '^raw: 2a 52 41 57' fs1.log; do  # "*RAW"
    [ $SECONDS -lt $deadline ] || break
    printf '*RAW;\n' >&7
    sleep 0.2
done
e2e_check "raw bytes after #SET OUT DATE ORIGINAL" "$(grep -c '^raw: 2a 52 41 57' fs1.log | sed 's/^[1-9][0-9]*$/some/')" "some"
lines_before=$(grep -c '^line: ' fs1.log)
kill -USR2 "$FS_PID"
wait_log fs1.log '^sent: #SET OUT DATE TEXT' 1 || e2e_fail "feedserver did not send the command"
deadline=$((SECONDS + 20))
until grep -q '^line: \*BACK;' fs1.log; do
    [ $SECONDS -lt $deadline ] || break
    printf '*BACK;\n' >&7
    sleep 0.2
done
e2e_check "record lines again after #SET OUT DATE TEXT" "$(grep -c '^line: \*BACK;' fs1.log | sed 's/^[1-9][0-9]*$/some/')" "some"
e2e_check "no malformed data" "$(grep -c MALFORMED fs1.log)" "0"

# Compression on: the link is dropped and comes back announcing it.
drv command 114 >/dev/null
wait_log fs1.log '^intro 4: #TEXT:COMPRESS' 1 || e2e_fail "no reconnect with #TEXT:COMPRESS"
e2e_check "the first link was closed by the program" "$(grep -c '^closed:' fs1.log)" "1"
e2e_wait_status 1 eq "$CONNECTED" 20000 >/dev/null || e2e_fail "link not connected again"
receiver_sends "$SAMPLE"
# Lines are staged; the first line after the interval (3 ticks) flushes them with
# itself. The clock ran during the reconnect, so the first sample line may go
# out in a block of its own: wait for a block that carries a flush line.
deadline=$((SECONDS + 20))
until grep -q '^  line: \*FLUSH;' fs1.log; do
    [ $SECONDS -lt $deadline ] || break
    sleep 0.5
    printf '*FLUSH;\n' >&7
done
wait_log fs1.log '^  line: \*FLUSH;' 1 || e2e_fail "no compressed block"
e2e_check "the blocks decode to the lines sent, in order" \
    "$(sed -n '/^block /,$p' fs1.log | sed -n 's/^  line: //p' | grep -v '^\*FLUSH;$')" "$(tr -d '\r' <"$SAMPLE")"
e2e_check "every block well formed" "$(grep -c MALFORMED fs1.log)" "0"

# The feed server goes away and comes back: a new link with a new introduction.
kill "$FS_PID"
wait "$FS_PID" 2>/dev/null
ERR=$(printf 'Клиент: % 5d  Ошибка connect' "$E2E_FEED_PORT")
e2e_check "reconnect attempts fail while it is away" "$(e2e_wait_status 1 eq "$ERR" 20000)" "$ERR"
feedserver_start fs2.log
e2e_check "connected again" "$(e2e_wait_status 1 eq "$CONNECTED" 20000)" "$CONNECTED"
wait_log fs2.log '^intro 4' 1 || e2e_fail "no new introduction"
e2e_check "new introduction" "$(grep '^intro' fs2.log | tr '\n' ' ')" \
    "intro 1: #Rostov-on-Don intro 2: #47.198200 intro 3: #39.628200 intro 4: #TEXT:COMPRESS "

drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
