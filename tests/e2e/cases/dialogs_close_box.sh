#!/usr/bin/env bash
# The caption's close box of a settings dialog (WM_CLOSE, and the system menu's
# SC_CLOSE that turns into it) is the same as Cancel: no settings file is written,
# no box comes up, the feed link is not dropped, and the values in memory stay as
# they were, which the introduction of the next feed connection shows. A name set
# with OK afterwards does reach that introduction, so the check can see a change.
. "$(dirname "$0")/../lib.sh"
e2e_begin

WM_CLOSE=0x10
WM_SYSCOMMAND=0x112
SC_CLOSE=0xF060
NAME="Настройки имени приемника"
COORD="Настройки координат приемника"
TCP="Настройки TCP"  # the server dialog and the feed-link dialog alike: one at a time
INTRO='#Rostov-on-Don\r #47.198200\r #39.628200\r #TEXT\r '

e2e_free_ports
mkdir feed
python3 "$E2E_DIR/feed_peer.py" "$E2E_FEED_PORT" feed 2>feed_peer.err &
e2e_on_exit "kill $! 2>/dev/null"
deadline=$((SECONDS + 10))
until [ -f feed/listening ]; do
    [ $SECONDS -lt $deadline ] || e2e_fail "the feed peer did not start: $(cat feed_peer.err)"
    sleep 0.05
done
# Waits until connection N has brought its four introduction lines.
wait_intro() {  # n
    local deadline=$((SECONDS + 20))
    until [ -f "feed/conn.$1" ] && [ "$(grep -c $'\r$' "feed/conn.$1")" -ge 4 ]; do
        [ $SECONDS -lt $deadline ] || e2e_fail "no introduction on feed connection $1"
        sleep 0.05
    done
}
# Connection N's bytes, CR shown as \r and each LF as a blank.
shown() { sed 's/\r/\\r/g' "feed/conn.$1" | tr '\n' ' '; }
connections() { ls feed | grep -c '^conn\.'; }
# Changes the fields (id text ...) of the dialog, then posts MSG WP to it and waits for it to go.
edit_and_close() {  # title msg wp id text [id text]
    local title=$1 msg=$2 wp=$3 sets=()
    shift 3
    while [ $# -gt 0 ]; do sets+=(dlg-set "$title" "$1" "$2"); shift 2; done
    drv wait-box "$title" 15000 "${sets[@]}" dlg-post "$title" "$msg" "$wp" 0 wait-no-box "$title" 15000 ||
        e2e_fail "\"$title\" did not close on message $msg $wp"
}

e2e_start_ready --dismiss COM1
CONNECTED=$(printf 'Клиент: % 5d  Соединение 127.0.0.1' "$E2E_FEED_PORT")
e2e_wait_status 1 eq "$CONNECTED" 20000 >/dev/null || e2e_fail "the feed link did not connect"
wait_intro 1
e2e_check "first introduction" "$(shown 1)" "$INTRO"
cp initmkp2.ini initmkp2.before
cp initsocket.ini initsocket.before

drv command 111 >/dev/null
edit_and_close "$NAME" $WM_CLOSE 0 1000 "Changed"
drv command 110 >/dev/null
edit_and_close "$COORD" $WM_SYSCOMMAND $SC_CLOSE 1000 10.5 1001 20.5
drv command 109 >/dev/null
edit_and_close "$TCP" $WM_CLOSE 0 1000 "$(e2e_free_port)" 1001 127.0.0.2
drv command 102 >/dev/null
edit_and_close "$TCP" $WM_SYSCOMMAND $SC_CLOSE 1000 "$(e2e_free_port)"
drv command 116 >/dev/null
edit_and_close "Нижний порог уровня приема" $WM_CLOSE 0 1000 7

e2e_check "no name.ini, point.ini or porog.ini" "$(ls name.ini point.ini porog.ini 2>/dev/null)" ""
e2e_check_file "initmkp2.ini unchanged" initmkp2.ini initmkp2.before
e2e_check_file "initsocket.ini unchanged" initsocket.ini initsocket.before
e2e_check "no restart box from the server dialog" "$(drv box-count "Внимание")" "0"
e2e_check "the feed link stays connected" "$(drv line 19)" "$CONNECTED"
drv command 111 wait-box "$NAME" 15000 >/dev/null
e2e_check "the name dialog opens with the old name" "$(drv dlg-get "$NAME" 1000)" "Rostov-on-Don"
drv dlg-post "$NAME" $WM_CLOSE 0 0 wait-no-box "$NAME" 15000 >/dev/null || e2e_fail "the name dialog stays"

# OK in the feed-link dialog with its values as shown: the link reconnects to the
# same feed server and introduces itself again with the values in memory.
drv command 109 wait-box "$TCP" 15000 dlg-press "$TCP" 1 wait-no-box "$TCP" 15000 >/dev/null ||
    e2e_fail "OK of the feed-link dialog"
wait_intro 2
e2e_check "introduction after the reconnect: name and position unchanged" "$(shown 2)" "$INTRO"
e2e_check "the close box dropped no link (two connections)" "$(connections)" "2"

# The same path sees a name changed with OK.
drv command 111 wait-box "$NAME" 15000 dlg-set "$NAME" 1000 "Changed" dlg-press "$NAME" 1 wait-no-box "$NAME" 15000 \
    command 109 wait-box "$TCP" 15000 dlg-press "$TCP" 1 wait-no-box "$TCP" 15000 >/dev/null ||
    e2e_fail "OK of the name dialog, then of the feed-link dialog"
wait_intro 3
e2e_check "introduction after OK of the name" "$(shown 3)" '#Changed\r #47.198200\r #39.628200\r #TEXT\r '

drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
