#!/usr/bin/env bash
# Command 203 (in both "Режимы" menus) opens one modeless window of what the
# station hears while binary frames arrive: its list fills with aircraft, a second
# 203 opens no second window, the main window still takes commands while it is
# open, its close box closes it, and a window left open does not spoil the exit.
. "$(dirname "$0")/../lib.sh"
. "$(dirname "$0")/../sim/simreceiver.sh"
e2e_begin

hears_count() { drv windows | awk -F'\t' '$3 == "brevalinkHears"' | wc -l; }
# Waits until hears_count prints $1, 15 s at most.
wait_hears() {
    local deadline=$((SECONDS + 15))
    until [ "$(hears_count)" = "$1" ]; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

sim_binary_station

e2e_check "menu item 203" "$(drv menu-text 203)" "&Что слышит станция"
drv command 203 >/dev/null
wait_hears 1 || e2e_fail "command 203 opened no window"
e2e_check "its title" "$(drv windows | awk -F'\t' '$3 == "brevalinkHears" {print $4}')" "Что слышит станция"
drv command 203 >/dev/null
# A menu dump is answered after the command posted before it.
drv menu >/dev/null
e2e_check "a second 203 opens no second window" "$(hears_count)" "1"
# Modeless: the main window goes on taking commands.
drv command 118 >/dev/null
e2e_check "main window still answers" "$(drv menu-checked 118)" "1"

e2e_screenshot "$E2E_WORK/station-hears.png"

drv class-post brevalinkHears 0x10 0 0 >/dev/null || e2e_fail "cannot close the window"
wait_hears 0 || e2e_fail "the close box left the window open"

drv command 203 >/dev/null
wait_hears 1 || e2e_fail "203 after a close opened no window"
drv close >/dev/null
e2e_wait_exit 30000
e2e_check "exit code with the window open" "$E2E_EXIT_CODE" "0"
sim_stop
