#!/usr/bin/env bash
# OK in each settings dialog writes its file as typed, with CR LF, and takes
# effect: the coordinates and the name reach the feed server in the introduction
# after the feed dialog's OK has moved the link to a new address; the server
# dialog tells the user to restart; the serial dialog's OK twice on the same port
# reopens it without an error, and the reopened port is read.
. "$(dirname "$0")/../lib.sh"
e2e_begin

FEEDSERVER=$(bash "$E2E_DIR/../../tools/feedserver/build.sh" "$E2E_STATE/tools") || e2e_fail "cannot build feedserver"

e2e_free_ports
e2e_serial_pair 5
e2e_settings init.ini COM5 115200
e2e_settings point.ini 40 30
exec 7<>"$E2E_PEER_TTY"
cat <&7 >/dev/null &
e2e_on_exit "kill $! 2>/dev/null"

feedserver_start() {  # port log
    "$FEEDSERVER" --port "$1" </dev/null >"$2" 2>&1 &
    e2e_on_exit "kill $! 2>/dev/null"
    local deadline=$((SECONDS + 10))
    until grep -q '^listening' "$2" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || e2e_fail "feedserver did not start"
        sleep 0.05
    done
}
wait_log() {  # log pattern [s]
    local deadline=$((SECONDS + ${3:-20}))
    until grep -qE "$2" "$1"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}
# Fills the dialog's fields and presses OK.
dialog_ok() {  # id title first [second]
    drv command "$1" wait-box "$2" 15000 dlg-set "$2" 1000 "$3" >/dev/null || e2e_fail "no dialog \"$2\""
    if [ $# -ge 4 ]; then drv dlg-set "$2" 1001 "$4" >/dev/null; fi
    drv dlg-press "$2" 1 >/dev/null
}
gone() { drv wait-no-box "$1" 15000 >/dev/null || e2e_fail "\"$1\" stays open after OK"; }

feedserver_start "$E2E_FEED_PORT" fs1.log
e2e_start_ready
wait_log fs1.log '^intro 4' || e2e_fail "no first introduction"
e2e_check "first introduction" "$(grep '^intro [12]' fs1.log | tr '\n' ' ')" \
    "intro 1: #Rostov-on-Don intro 2: #40.000000 "

# A latitude that cannot work is refused with a box; nothing is written and the
# dialog stays open for the user to mend it.
POINT="Настройки координат приемника"
dialog_ok 110 "$POINT" 1e300 39.6282
e2e_check "the refusal" "$(drv wait-box "Внимание" 15000 box-text "Внимание" | tr '\n' ' ')" \
    'Значение "1e300" не принято (широта): нужно от -90 до 90 градусов. Оставлено прежнее значение.'
[ -n "${E2E_SHOTS:-}" ] && e2e_screenshot "$E2E_SHOTS/refused.png"
e2e_box_press "Внимание" >/dev/null
e2e_check "point.ini untouched by the refusal" "$(e2e_show_file point.ini | tr '\n' ' ')" '40\r 30\r '

# Coordinates and name: files as typed; the link is not dropped for them.
drv dlg-set "$POINT" 1000 47.1982 dlg-press "$POINT" 1 >/dev/null
gone "$POINT"
e2e_check "point.ini as typed" "$(e2e_show_file point.ini | tr '\n' ' ')" '47.1982\r 39.6282\r '
dialog_ok 111 "Настройки имени приемника" "Site-7"
gone "Настройки имени приемника"
e2e_check "name.ini as typed" "$(e2e_show_file name.ini)" 'Site-7\r'
e2e_check "the link stays up" "$(grep -c '^closed' fs1.log)" "0"

dialog_ok 115 "Дискретность сжатия в долях секунды" 25
gone "Дискретность сжатия в долях секунды"
e2e_check "time.ini as typed" "$(e2e_show_file time.ini)" '25\r'
dialog_ok 116 "Нижний порог уровня приема" 300
gone "Нижний порог уровня приема"
e2e_check "porog.ini as typed (no range check on OK)" "$(e2e_show_file porog.ini)" '300\r'
dialog_ok 117 "Частота таймера" 16000000
gone "Частота таймера"
e2e_check "frequency.ini as typed" "$(e2e_show_file frequency.ini)" '16000000\r'

# The server port takes effect at the next start, which a box says.
NEW_SERVER_PORT=$(e2e_free_port)
dialog_ok 102 "Настройки TCP" "$NEW_SERVER_PORT"
e2e_check "server dialog's notice" "$(e2e_box_text "Внимание")" "Необходимо перезапустить программу"
e2e_check "the notice is owned by the main window" "$(drv box-owner "Внимание")" "main"
e2e_box_press "Внимание" 1
gone "Настройки TCP"
e2e_check "initsocket.ini: the port and an empty line" "$(e2e_show_file initsocket.ini | tr '\n' ' ')" \
    "$NEW_SERVER_PORT\\r \\r "

# The feed dialog while connected: the link drops and comes up at the new address
# with a new introduction carrying the new position and name.
NEW_FEED_PORT=$(e2e_free_port)
while [ "$NEW_FEED_PORT" = "$NEW_SERVER_PORT" ]; do NEW_FEED_PORT=$(e2e_free_port); done
feedserver_start "$NEW_FEED_PORT" fs2.log
dialog_ok 109 "Настройки TCP" "$NEW_FEED_PORT" 127.0.0.1
gone "Настройки TCP"
e2e_check "initmkp2.ini as typed" "$(e2e_show_file initmkp2.ini | tr '\n' ' ')" "$NEW_FEED_PORT\\r 127.0.0.1\\r "
wait_log fs1.log '^closed' || e2e_log "the old feed server saw no close"
e2e_check "the old link was closed" "$(grep -c '^closed' fs1.log)" "1"
wait_log fs2.log '^intro 4' || e2e_fail "no introduction at the new address"
e2e_check "introduction at the new address" "$(grep '^intro' fs2.log | tr '\n' ' ')" \
    "intro 1: #Site-7 intro 2: #47.198200 intro 3: #39.628200 intro 4: #TEXT "

# The serial dialog twice on the same port: no failure box, and the reopened port
# delivers what the receiver sends.
for n in 1 2; do
    dialog_ok 105 "Настройки" COM5 115200
    gone "Настройки"
    e2e_check "serial OK $n: no failure box" "$(drv box-count COM5)" "0"
done
e2e_check "init.ini as typed" "$(e2e_show_file init.ini | tr '\n' ' ')" 'COM5\r 115200\r '
printf '*8D4840D6202CC371C32CE0576098;\n' >&7
wait_log fs2.log '^line: \*8D4840D6202CC371C32CE0576098;' ||
    e2e_fail "a record line sent after the reopen did not reach the feed server"
e2e_check "no malformed feed data" "$(grep -c MALFORMED fs1.log fs2.log | awk -F: '{s += $2} END {print s}')" "0"

drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
