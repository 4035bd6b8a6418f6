#!/usr/bin/env bash
# The Linux program on a terminal (tmux): the receiver gets the text-mode start
# commands; the monitor shows a record line and the status lines of the relay
# server and the feed link; key a shows the aircraft table from that frame's
# address in place of the monitor lines and brings them back; key 2 sends its receiver command; q ends the program
# as Exit does (stop command, exit code 0).
. "$(dirname "$0")/../lib.sh"
lx_begin

lx_station 9600

lx_start_terminal
commands() { tr '\n' '|' <commands.txt; }
commands_are() { test "$(commands)" = "$1"; }
lx_wait 10000 "the start commands" commands_are "#00|#43-12|"
lx_wait 10000 "the monitor's title row" lx_screen_has "^brevalink $(cat "$LX_SOURCE/VERSION") .*порт $LX_WORK/portA 9600: открыт"
printf '@0123456789AB8D4840D6202CC371C32CE0576098;\r\n' >&7
lx_wait 10000 "a record line on the monitor" lx_screen_has '^@0123456789AB8D4840D6202CC371C32CE0576098;$'
lx_wait 10000 "the relay server's status line" lx_screen_has "^Сервер: +$RELAY *$"
lx_wait 10000 "the feed link's status line" lx_screen_has "^Клиент: +$FEED +Соединение 127.0.0.1$"
lx_screen >screen.txt

lx_wait 10000 "the keys row names a" lx_screen_has "a самолеты"
lx_keys a
lx_wait 10000 "the aircraft table's summary" lx_screen_has '^Самолетов сейчас: [0-9]+, с координатами [0-9]+, дальше всех '
lx_wait 10000 "the frame's aircraft in the table" lx_screen_has '^4840D6  KLM1023 +.* [0-9]+$'
lx_check "the record line gone under the table" "$(lx_screen | grep -c '^@0123456789AB')" 0
lx_screen >aircraft.txt
lx_keys a
lx_wait 10000 "a brings the record lines back" lx_screen_has '^@0123456789AB8D4840D6202CC371C32CE0576098;$'

lx_keys 2
lx_wait 10000 "key 2 sends its receiver command" commands_are "#00|#43-12|#43-13|"
lx_keys q
lx_wait 10000 "q ends the program" test -s exit.code
lx_check "exit code after q" "$(cat exit.code)" 0
lx_check "the stop command after q" "$(commands)" "#00|#43-12|#43-13|#43-00|"
