#!/usr/bin/env bash
# The help box (301) byte for byte, the author box (302), both without owner; then
# the end through the tray icon: a right-button press opens the tray menu, and its
# "&Exit" (command 101) ends the program with exit code 0.
. "$(dirname "$0")/../lib.sh"
e2e_begin

e2e_free_ports
e2e_start_ready --dismiss COM1

drv command 301 wait-box "Меню" 15000 box-text "Меню" >"$E2E_WORK/help.txt" || e2e_fail "no help box"
e2e_check_file "help box text" "$E2E_WORK/help.txt" "$E2E_DIR/expected/help.txt"
e2e_check "help box has no owner" "$(drv box-owner "Меню")" "none"
e2e_box_press "Меню" 1

author=$(drv command 302 wait-box "Автор" 15000 box-text "Автор") || e2e_fail "no author box"
e2e_check "author box: three lines" "$(printf '%s\n' "$author" | wc -l)" "3"
e2e_check "author box names the developers" "$(printf '%s' "$author" | grep -c 'brevalink developers')" "1"
e2e_check "author box has no owner" "$(drv box-owner "Автор")" "none"
e2e_box_press "Автор" 1

# Tray icon 1006, notification message 1055, lParam WM_RBUTTONDOWN (516).
drv post 1055 1006 516 wait-class "#32768" 15000 || e2e_fail "no tray menu"
drv key 0x28 key 0x0D || e2e_fail "cannot choose in the tray menu"
drv wait-gone 15000 || e2e_fail "the window stays after Exit"
e2e_wait_exit 30000
e2e_check "exit code after the tray menu's Exit" "$E2E_EXIT_CODE" "0"
