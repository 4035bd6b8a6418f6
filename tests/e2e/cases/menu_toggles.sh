#!/usr/bin/env bash
# Commands 113 and 114 switch their flag, set their check mark from the new value
# and rewrite all four lines of BinarComOn.ini (CR LF), keeping the two carried
# values; a restart takes the marks from the file. Key '5' switches relative time
# without moving the mark of 118. Command 101 ends the program with exit code 0.
. "$(dirname "$0")/../lib.sh"
e2e_begin

flags() { e2e_show_file BinarComOn.ini | tr '\n' ' '; }
marks() { drv menu | awk -F'\t' '$1 == "item" && ($2 == 113 || $2 == 114 || $2 == 118) {printf "%s=%s ", $2, $3}'; }

e2e_free_ports
e2e_settings BinarComOn.ini 0 1 7 42
e2e_start_ready --dismiss COM1
e2e_check "marks at start (compression on in the file)" "$(marks)" "113=0 114=1 118=0 "

# A menu dump is answered after the commands posted before it, so the file is
# written by the time the marks come back.
drv command 113 >/dev/null
e2e_check "113 on: marks" "$(marks)" "113=1 114=1 118=0 "
e2e_check "113 on: file" "$(flags)" '1\r 1\r 7\r 42\r '

drv command 114 >/dev/null
e2e_check "114 off: marks" "$(marks)" "113=1 114=0 118=0 "
e2e_check "114 off: file" "$(flags)" '1\r 0\r 7\r 42\r '

drv command 114 >/dev/null
e2e_check "114 on: marks" "$(marks)" "113=1 114=1 118=0 "
e2e_check "114 on: file" "$(flags)" '1\r 1\r 7\r 42\r '

# '5' turns relative time on but leaves the mark; the next 118 then turns it off
# (mark stays off), and the one after turns it on (mark on). No file is written.
cp "$E2E_WORK/BinarComOn.ini" "$E2E_WORK/flags.before"
drv char 5 >/dev/null
e2e_check "key 5 leaves the mark of 118" "$(marks)" "113=1 114=1 118=0 "
drv command 118 >/dev/null
e2e_check "118 after key 5 switches relative time off" "$(marks)" "113=1 114=1 118=0 "
drv command 118 >/dev/null
e2e_check "118 again switches it on" "$(marks)" "113=1 114=1 118=1 "
e2e_check_file "key 5 and 118 write no file" "$E2E_WORK/BinarComOn.ini" "$E2E_WORK/flags.before"

drv command 113 >/dev/null
e2e_check "113 off: marks" "$(marks)" "113=0 114=1 118=1 "
e2e_check "113 off: file" "$(flags)" '0\r 1\r 7\r 42\r '

drv command 101 >/dev/null || e2e_fail "cannot post command 101"
e2e_wait_exit 30000
e2e_check "exit code after command 101" "$E2E_EXIT_CODE" "0"

# The marks of a new start follow the file the toggles wrote.
e2e_settings BinarComOn.ini 1 1 7 42
e2e_start_ready --dismiss COM1
e2e_check "marks after a restart with both flags on" "$(marks)" "113=1 114=1 118=0 "
drv close >/dev/null
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
