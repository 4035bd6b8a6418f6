#!/usr/bin/env bash
# A broken or hostile world against the service: a second program on the same pty
# is refused; a flooding relay client is cut off and 300 connect/close cycles
# leave the other client byte-exact, connect.list bounded and the journal short; a
# text line with a NUL never reaches the feed; a SIGHUP over emptied and cut
# files changes nothing; playback into a pty nobody reads still ends within 3 s
# of SIGTERM; --record and --play that cannot use their file end with 1.
. "$(dirname "$0")/../lib.sh"
lx_begin

lx_station 115200  # text mode
head -c $((1024 * 1024 - 40)) /dev/zero | tr '\0' 'x' >connect.list
lx_clients_start "$RELAY"
lx_start_service --lines
lx_journal 15000 "^feed 127.0.0.1:$FEED connected \(127.0.0.1\)$"
lx_check "the client that stays" "$(lx_clients connect 1)" "ok connected 1"

mkdir other
cp init.ini other/
"$LX_EXE" --dir "$LX_WORK/other" >other/service.out 2>&1 &
OTHER=$!
lx_on_exit "kill -KILL $OTHER"
lx_wait 10000 "a second program is refused the port" \
    grep -q "^port $LX_WORK/portA is busy (занят): another program holds it" other/service.out
kill -TERM $OTHER

python3 - "$RELAY" <<'EOF'
import socket, sys, time
port = int(sys.argv[1])
flooder = socket.create_connection(("127.0.0.1", port))
try:
    flooder.sendall(b"x" * (1 << 20))
except OSError:
    pass
for _ in range(300):
    socket.create_connection(("127.0.0.1", port)).close()
    time.sleep(0.01)  # the listen backlog is 1: a faster churn waits for SYN retries
EOF
lx_journal 10000 "^Клиент сервера 127.0.0.1 отключен: прислал больше 64 КБ$"

GOOD='*8D4840D6202CC371C32CE0576098;'
printf '%s\r\n*8D4840\0D6202CC371C32CE0576098;\r\n%s\r\n' "$GOOD" "$GOOD" >stream.txt
cat stream.txt >&7
lx_check "the staying client gets every byte" "$(lx_clients expect "$LX_WORK/stream.txt")" \
    "ok 1 clients identical ($(stat -c %s stream.txt) bytes)"
two_good() { test "$(grep -ac '^\*8D4840' feed/conn.1)" -eq 2; }
lx_wait 10000 "the feed gets the two whole lines" two_good
lx_check "and not the stub before the NUL" "$(grep -ac '^\*8D4840'$'\r' feed/conn.1)" 0

: >name.ini
: >point.ini
: >porog.ini
printf '%s' "$RELAY" >initsocket.ini  # cut before its line end
printf '%s\r\n' "$FEED" >initmkp2.ini  # cut after line 1
kill -HUP "$LX_PID"
lx_journal 10000 "^SIGHUP: settings re-read, nothing changed$"
lx_check "the emptied files stay empty" "$(cat name.ini point.ini porog.ini | wc -c)" 0
lx_check "no new feed link" "$(ls feed | tr '\n' ' ')" "conn.1 listening "

lx_stop_service TERM
churn=$(grep -cE '^relay: client .* (joined|left)' service.out)
[ "$churn" -le 10 ] || lx_fail "$churn join and leave lines in a minute"
lx_journal 1000 "^relay: [0-9]+ more joins and leaves in the last minute$"
[ "$(stat -c %s connect.list.old)" -ge $((1024 * 1024)) ] || lx_fail "connect.list was not put aside"
[ "$(stat -c %s connect.list)" -lt 65536 ] || lx_fail "connect.list grows on"

# Playback into a port that takes nothing: its far end is never opened or read.
mkdir play && cd play || exit 1
socat pty,raw,echo=0,link="$LX_WORK/play/portC" pty,raw,echo=0,link="$LX_WORK/play/portD" 2>/dev/null &
lx_on_exit "kill $!"
lx_wait 5000 "the unread pty pair" test -e portD
export LX_SETTINGS=$LX_WORK/play
lx_setting init.ini "$LX_WORK/play/portC" 115200
lx_setting initsocket.ini "$(lx_free_port)"
lx_setting initmkp2.ini "$(lx_free_port)" 127.0.0.1
lx_setting BinarComOn.ini 1 0 0 60
python3 -c 'import sys; sys.stdout.write("41 0\r\n" * 200000)' >big.log
"$LX_EXE" --dir "$LX_WORK/play" --play big.log >service.out 2>&1 &
PLAYER=$!
lx_on_exit "kill -KILL $PLAYER"
lx_wait 10000 "the stuck port is said" grep -q "^Порт приемника не принимает данные" service.out
start=$(date +%s%3N)
kill -TERM $PLAYER
wait $PLAYER
lx_check "exit code after SIGTERM during the stuck playback" "$?" 0
took=$(($(date +%s%3N) - start))
lx_log "ended $took ms after SIGTERM"
[ $took -le 3000 ] || lx_fail "playback into an unread port held SIGTERM for $took ms"
cd "$LX_WORK" || exit 1

"$LX_EXE" --dir "$LX_WORK" --record /nonexistent/rec.log 2>record.err
lx_check "--record into a missing folder" "$?:$(cat record.err)" \
    "1:brevalink: cannot record to /nonexistent/rec.log: No such file or directory"
"$LX_EXE" --dir "$LX_WORK" --play missing.log 2>play.err
lx_check "--play of a missing file" "$?:$(cat play.err)" \
    "1:brevalink: cannot play $LX_WORK/missing.log: No such file or directory"
