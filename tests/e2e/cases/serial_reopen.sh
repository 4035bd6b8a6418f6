#!/usr/bin/env bash
# Reopening from the serial dialog: a port that cannot be opened after a good open
# gives the two-line box captioned with the port name; OK on the working port
# again brings the receiver's traffic back, with no receiver commands sent. A
# start without any good open gives the one-line box on a failed reopen. A port
# that goes away while running (its pty pair torn down) and comes back under the
# same name is reopened by the program itself, without a box, with the receiver's
# start commands sent again.
. "$(dirname "$0")/../lib.sh"
. "$(dirname "$0")/../sim/simreceiver.sh"
e2e_begin

serial_ok() {  # port speed
    drv command 105 wait-box "Настройки" 15000 dlg-set "Настройки" 1000 "$1" dlg-set "Настройки" 1001 "$2" \
        dlg-press "Настройки" 1 >/dev/null || e2e_fail "no serial dialog"
}

e2e_serial_pair 5
e2e_settings init.ini COM5 115200
sim_start --rate 20 --quiet
e2e_free_ports
e2e_start_ready
sim_wait "command: #43-12" 15000 || e2e_fail "no start commands"
e2e_wait_monitor 17 prefix "@" 15000 >/dev/null || e2e_fail "no traffic before the reopen"

# Unplugged and plugged in again: a new pair under the same COM link.
sim_stop
kill "$E2E_SERIAL_PID"
wait "$E2E_SERIAL_PID" 2>/dev/null
lost=$(drv line 17)
e2e_serial_pair 5
sim_start --rate 20 --quiet
sim_wait "command: #43-12" 15000 || e2e_fail "no start commands after the port came back"
e2e_check "start commands after the port came back" "$(sim_commands | tr '\n' ' ')" "#00 #43-12 "
e2e_check "no box for a port lost while running" "$(drv box-count COM5)" "0"
deadline=$((SECONDS + 15))
until [ "$(drv line 17)" != "$lost" ]; do
    [ $SECONDS -lt $deadline ] || e2e_fail "no traffic after the port came back"
    sleep 0.2
done

serial_ok COM7 115200
e2e_check "failed reopen after a good open" "$(e2e_box_text COM7)" \
    "Не удалось открыть СОМ ПОРТ
Попробуйте перезапустить эту программу"
e2e_box_press COM7 1

# Back to the working port: traffic again (the bottom line changes), no commands.
serial_ok COM5 115200
drv wait-no-box "Настройки" 15000 >/dev/null
e2e_check "no box for the working port" "$(drv box-count COM5)" "0"
before=$(drv line 17)
deadline=$((SECONDS + 15))
until [ "$(drv line 17)" != "$before" ]; do
    [ $SECONDS -lt $deadline ] || e2e_fail "no traffic after reopening COM5"
    sleep 0.2
done

drv close >/dev/null
e2e_wait_exit 30000
sim_wait "command: #43-00" 5000 || true
sim_stop
e2e_check "commands: none for the reopens" "$(sim_commands | tr '\n' ' ')" "#00 #43-12 #43-00 "

# A fresh start on a missing port, then a failed reopen: the one-line wording.
rm -f init.ini
e2e_settings init.ini COM8 115200
e2e_start_ready --dismiss COM8
serial_ok COM9 9600
e2e_check "failed reopen without any good open" "$(e2e_box_text COM9)" "Не удалось открыть СОМ ПОРТ"
e2e_box_press COM9 1
drv close >/dev/null
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
