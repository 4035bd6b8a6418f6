#!/usr/bin/env bash
# A receiver sending binary escape frames on a virtual COM6 with binary mode on:
# no start or stop command, keys '0'..'3' still write theirs, and the decoded
# frames reach the bottom monitor line.
. "$(dirname "$0")/../lib.sh"
. "$(dirname "$0")/../sim/simreceiver.sh"
e2e_begin

sim_binary_station
e2e_check "bottom line is a decoded frame" \
    "$(drv line 17 | grep -Ec '^@[0-9A-F]{12}([0-9A-F]{14}|[0-9A-F]{28});')" "1"

drv char 0 char 1 char 2 char 3 >/dev/null
sim_wait "command: #43-14" 15000 || e2e_fail "keys '0'..'3' wrote nothing"

drv close >/dev/null
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
sim_stop
e2e_check "commands the receiver got" "$(sim_commands | tr '\n' ' ')" "#43-12 #43-12 #43-13 #43-14 "
