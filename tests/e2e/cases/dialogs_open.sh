#!/usr/bin/env bash
# The eight settings dialogs with no settings files: titles, fields, labels and
# built-in texts; each command opens another instance; Cancel writes nothing. The threshold dialog over a porog.ini of 300 shows "50" and leaves
# the file alone. TAB, typed as real keys, moves the focus around the coordinates
# dialog (field, field, OK, Cancel, field).
. "$(dirname "$0")/../lib.sh"
e2e_begin

items() { drv dlg-items "$1" | tr '\t' ' '; }
close_dialog() {  # title [id]
    drv dlg-press "$1" "${2:-2}" wait-no-box "$1" 15000 >/dev/null || e2e_fail "cannot close \"$1\""
}
check_dialog() {  # id title expected-items
    drv command "$1" wait-box "$2" 15000 >/dev/null || e2e_fail "command $1 opened no \"$2\""
    e2e_check "dialog $1 \"$2\"" "$(items "$2")" "$3"
    close_dialog "$2"
}
buttons=$'1 Button OK\n2 Button Cancel'

e2e_start_ready --dismiss COM1

check_dialog 105 "Настройки" $'1000 Edit COM1\n65535 Static COM порт\n1001 Edit 115200\n65535 Static Скорость\n'"$buttons"
check_dialog 102 "Настройки TCP" $'1000 Edit 7777\n65535 Static Порт\n'"$buttons"
check_dialog 109 "Настройки TCP" $'1000 Edit 8888\n65535 Static Порт\n1001 Edit 127.0.0.1\n65535 Static IP адрес\n'"$buttons"
check_dialog 110 "Настройки координат приемника" \
    $'1000 Edit 47.198200\n65535 Static Широта\n1001 Edit 39.628200\n65535 Static Долгота\n'"$buttons"
check_dialog 111 "Настройки имени приемника" $'1000 Edit Rostov-on-Don\n65535 Static Имя\n'"$buttons"
check_dialog 115 "Дискретность сжатия в долях секунды" $'1000 Edit 50\n65535 Static Десятичные доли секунды\n'"$buttons"
check_dialog 116 "Нижний порог уровня приема" $'1000 Edit 50\n65535 Static Нижний порог\n'"$buttons"
check_dialog 117 "Частота таймера" $'1000 Edit 12000000\n65535 Static Частота таймера\n1003 Static \n'"$buttons"

# Each command opens another window.
drv command 111 command 111 wait-box "Настройки имени приемника" 15000 >/dev/null
deadline=$((SECONDS + 15))
until [ "$(drv box-count "Настройки имени приемника")" = 2 ] || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
e2e_check "two instances of the name dialog" "$(drv box-count "Настройки имени приемника")" "2"
drv dlg-set "Настройки имени приемника" 1000 "Changed" >/dev/null
drv dlg-press "Настройки имени приемника" 2 >/dev/null
deadline=$((SECONDS + 15))
until [ "$(drv box-count "Настройки имени приемника")" = 1 ] || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
e2e_check "one left after Cancel" "$(drv box-count "Настройки имени приемника")" "1"
close_dialog "Настройки имени приемника"
e2e_check "Cancel writes no settings file" "$(ls ./*.ini 2>/dev/null)" ""

# porog.ini of 300, out of range: the dialog resets it to 50 in memory and shows
# "50"; Cancel leaves the file as it was.
e2e_settings porog.ini 300
drv command 116 wait-box "Нижний порог уровня приема" 15000 >/dev/null
e2e_check "threshold dialog over 300 shows 50" "$(drv dlg-get "Нижний порог уровня приема" 1000)" "50"
close_dialog "Нижний порог уровня приема"
e2e_check "porog.ini keeps 300 after Cancel" "$(e2e_show_file porog.ini)" '300\r'

# TAB in the coordinates dialog, as real key presses: the focus goes field, field,
# OK, Cancel, field, and a digit typed lands in the field that has the focus, and
# nowhere while a button has it.
COORD="Настройки координат приемника"
fields() { echo "$(drv dlg-get "$COORD" 1000)|$(drv dlg-get "$COORD" 1001)"; }
# Keys are handled in the order typed: once a TAB has moved the focus, the keys
# typed before it have been handled too.
tab_to() {  # control id
    e2e_type Tab
    drv wait-focus "$COORD" "$1" 15000 || e2e_fail "TAB did not move the focus to control $1"
}
drv command 110 wait-box "$COORD" 15000 wait-focus "$COORD" 1000 15000 >/dev/null ||
    e2e_fail "no coordinates dialog with the focus in its latitude field"
e2e_type 1
e2e_check "focus starts in the latitude field" "$(e2e_settled fields "147.198200|39.628200")" "147.198200|39.628200"
tab_to 1001
e2e_type 2
e2e_check "TAB: longitude field" "$(e2e_settled fields "147.198200|239.628200")" "147.198200|239.628200"
tab_to 1
e2e_type 3
tab_to 2
e2e_check "TAB: OK (typing changes no field)" "$(fields)" "147.198200|239.628200"
e2e_type 4
tab_to 1000
e2e_check "TAB: Cancel (typing changes no field)" "$(fields)" "147.198200|239.628200"
e2e_type 5
e2e_check "TAB: back to the latitude field" "$(e2e_settled fields "1547.198200|239.628200")" "1547.198200|239.628200"
close_dialog "$COORD"
e2e_check "Cancel of the coordinates dialog writes nothing" "$(ls point.ini 2>/dev/null)" ""

drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
