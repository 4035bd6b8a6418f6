#!/usr/bin/env bash
# A receiver in text mode on a virtual COM5: start-up sends "#00" and, a second
# later, "#43-12"; '@' lines from the receiver reach the bottom monitor line; key
# '5' puts the receiver and computer times in front of them; key '4' hides them;
# closing sends "#43-00".
. "$(dirname "$0")/../lib.sh"
. "$(dirname "$0")/../sim/simreceiver.sh"
e2e_begin

e2e_serial_pair 5
e2e_settings init.ini COM5 115200
sim_start --rate 20 --quiet
e2e_free_ports
e2e_start_ready

sim_wait "command: #43-12" 15000 || e2e_fail "no start commands"
t0=$(sim_command_time "#00")
t1=$(sim_command_time "#43-12")
e2e_check "the mode command follows #00 after the 1 s pause" \
    "$(awk -v a="$t0" -v b="$t1" 'BEGIN {print (b - a >= 0.9) ? "yes" : "no: " b - a}')" "yes"

e2e_wait_monitor 17 prefix "@" 15000 >/dev/null || e2e_fail "no '@' line at the bottom of the monitor"
line=$(drv line 17)
e2e_check "bottom line is a whole '@' record line" \
    "$(echo "$line" | grep -Ec '^@[0-9A-F]{12}([0-9A-F]{14}|[0-9A-F]{28});')" "1"

drv char 5 >/dev/null
e2e_wait_monitor 17 prefix "прм = " 15000 >/dev/null || e2e_fail "no relative-time prefix after key '5'"
e2e_check "relative-time line" \
    "$(drv line 17 | grep -Ec '^прм = [0-9]+  комп = [0-9]+     @[0-9A-F]+;')" "1"

drv close >/dev/null
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
sim_wait "command: #43-00" 5000 || e2e_check "stop command at exit" "missing" "#43-00"
sim_stop
e2e_check "commands the receiver got" "$(sim_commands | tr '\n' ' ')" "#00 #43-12 #43-00 "
