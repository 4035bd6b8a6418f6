#!/usr/bin/env bash
# The TCP source dialog on a running program: Cancel changes nothing; OK with the
# box checked closes the port and connects, the receiver's start commands go to
# the connection and its lines reach the monitor, status line 2 shows the source;
# OK with the box cleared closes the connection and reads the port again; the
# radio buttons' "wait for the source" (Cancel writes nothing, OK writes line 3 =
# 2) listens, a pusher's line is shown and the start commands go to it, and the
# dialog opens again with the choice the file holds.
. "$(dirname "$0")/../lib.sh"
e2e_begin

e2e_free_ports
e2e_serial_pair 5
e2e_settings init.ini COM5 115200
exec 7<>"$E2E_PEER_TTY"
cat <&7 >/dev/null &
e2e_on_exit "kill $! 2>/dev/null"

# The far end: each connection gets one line and what it sends is kept (the
# shell holds the connection open while cat keeps what comes).
TCP_PORT=$(e2e_free_port)
while [ "$TCP_PORT" = "$E2E_SERVER_PORT" ] || [ "$TCP_PORT" = "$E2E_FEED_PORT" ]; do TCP_PORT=$(e2e_free_port); done
printf '%s\n' "printf '*8D4840D6202CC371C32CE0576098;\\r\\n'" "cat >>'$E2E_WORK/from_us.txt'" >"$E2E_WORK/far.sh"
socat TCP-LISTEN:"$TCP_PORT",bind=127.0.0.1,reuseaddr,fork EXEC:"sh $E2E_WORK/far.sh" 2>/dev/null &
e2e_on_exit "kill $! 2>/dev/null"

TITLE="Настройки ТСР источника"
open_dialog() {
    drv command 119 wait-box "$TITLE" 15000 >/dev/null || e2e_fail "no dialog \"$TITLE\""
}
gone() { drv wait-no-box "$TITLE" 15000 >/dev/null || e2e_fail "\"$TITLE\" stays open"; }
# The receiver's start commands, as the far end of the source got them.
start_commands_reach() {  # file (in the work folder) description
    local deadline=$((SECONDS + 15))
    until [ "$(cat "$E2E_WORK/$1" 2>/dev/null)" = $'#00\n#43-12' ]; do
        [ $SECONDS -lt $deadline ] || e2e_fail "start commands $2: '$(cat "$E2E_WORK/$1")'"
        sleep 0.1
    done
}

e2e_start_ready
e2e_check "the menu item below the COM one and the search" "$(drv menu | awk -F'\t' '$2 == 105 {getline; getline; print $2 "|" $5}')" \
    "119|&Настройки ТСР источника"

open_dialog
e2e_check "the fields at first" "$(drv dlg-get "$TITLE" 1000 nl dlg-get "$TITLE" 1001 nl dlg-checked "$TITLE" 1002 | tr '\n' ' ')" \
    "30005 127.0.0.1 0 "
drv dlg-set "$TITLE" 1000 "$TCP_PORT" dlg-check "$TITLE" 1002 1 dlg-press "$TITLE" 2 >/dev/null
gone
[ -e "$E2E_WORK/inittcp.ini" ] && e2e_fail "Cancel wrote inittcp.ini"
e2e_wait_status 2 empty '' 2000 >/dev/null || e2e_fail "status line 2 not empty after Cancel"

open_dialog
drv dlg-set "$TITLE" 1000 "$TCP_PORT" dlg-check "$TITLE" 1002 1 >/dev/null
[ -n "${E2E_SHOTS:-}" ] && e2e_screenshot "$E2E_SHOTS/tcp_source.png"
drv dlg-press "$TITLE" 1 >/dev/null
gone
e2e_check "inittcp.ini as typed" "$(e2e_show_file inittcp.ini | tr '\n' ' ')" "$TCP_PORT\\r 127.0.0.1\\r 1\\r "
e2e_wait_status 2 eq "Источник: ТСР 127.0.0.1:$TCP_PORT  Соединение" >/dev/null ||
    e2e_fail "status line 2 does not show the connection"
e2e_wait_monitor 17 contains "8D4840D6202CC371C32CE0576098" >/dev/null || e2e_fail "the connection's line is not shown"
[ -n "${E2E_SHOTS:-}" ] && e2e_screenshot "$E2E_SHOTS/tcp_connected.png"
start_commands_reach from_us.txt "over TCP"

# Back to the port: the connection ends, the port's lines are read again.
open_dialog
drv dlg-check "$TITLE" 1002 0 dlg-press "$TITLE" 1 >/dev/null
gone
e2e_check "inittcp.ini: the port chosen" "$(e2e_show_file inittcp.ini | tr '\n' ' ')" "$TCP_PORT\\r 127.0.0.1\\r 0\\r "
e2e_wait_status 2 empty '' 5000 >/dev/null || e2e_fail "status line 2 not emptied"
printf '*8D40621D58C382D690C8AC2863A7;\n' >&7
e2e_wait_monitor 17 contains "8D40621D58C382D690C8AC2863A7" >/dev/null || e2e_fail "the port is not read again"

# Waiting for the source to connect.
LISTEN_PORT=$(e2e_free_port)
while [ "$LISTEN_PORT" = "$E2E_SERVER_PORT" ] || [ "$LISTEN_PORT" = "$E2E_FEED_PORT" ] || [ "$LISTEN_PORT" = "$TCP_PORT" ]; do
    LISTEN_PORT=$(e2e_free_port)
done
choose_listening() {
    drv dlg-set "$TITLE" 1000 "$LISTEN_PORT" dlg-set "$TITLE" 1001 "" dlg-check "$TITLE" 1002 1 \
        dlg-check "$TITLE" 1004 0 dlg-check "$TITLE" 1005 1 >/dev/null
}
radios() { drv dlg-checked "$TITLE" 1004 dlg-checked "$TITLE" 1005 | tr '\n' ' '; }
open_dialog
e2e_check "the choice as the file has it: connecting" "$(radios)" "1 0 "
choose_listening
drv dlg-press "$TITLE" 2 >/dev/null
gone
e2e_check "Cancel leaves inittcp.ini" "$(e2e_show_file inittcp.ini | tr '\n' ' ')" "$TCP_PORT\\r 127.0.0.1\\r 0\\r "
open_dialog
choose_listening
drv dlg-press "$TITLE" 1 >/dev/null
gone
e2e_check "inittcp.ini: waiting on every interface" "$(e2e_show_file inittcp.ini | tr '\n' ' ')" "$LISTEN_PORT\\r \\r 2\\r "
e2e_wait_status 2 eq "Источник: ТСР, ждем на порту $LISTEN_PORT" >/dev/null ||
    e2e_fail "status line 2 does not show the port waited on"
# The pusher holds its connection open for a while after its line (a half-close
# would end it), keeping what we send.
{ printf '*8D485020994409940838175B284F;\r\n'; sleep 60; } | socat - "TCP:127.0.0.1:$LISTEN_PORT" >"$E2E_WORK/to_pusher.txt" &
e2e_on_exit "kill $! 2>/dev/null"
e2e_wait_status 2 eq "Источник: ТСР, подключен 127.0.0.1" >/dev/null || e2e_fail "status line 2 does not show the pusher"
e2e_wait_monitor 17 contains "8D485020994409940838175B284F" >/dev/null || e2e_fail "the pusher's line is not shown"
start_commands_reach to_pusher.txt "to the pusher"
open_dialog
e2e_check "the dialog again: the file's choice" "$(drv dlg-get "$TITLE" 1000 nl dlg-checked "$TITLE" 1002 | tr '\n' ' ')$(radios)" \
    "$LISTEN_PORT 1 0 1 "
drv dlg-press "$TITLE" 2 >/dev/null
gone

drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
