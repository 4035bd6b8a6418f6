#!/usr/bin/env bash
# The receiver search over three COM ports of Wine's own port table (set in
# HKLM\Software\Wine\Ports, Wine's services started again so that SERIALCOMM
# lists them): COM7 a receiver that sends the real capture at 921,600 baud only
# (random bytes at any other speed), COM8 noise, COM9 a GPS's NMEA lines. A first
# start without init.ini opens the search window by itself and shows what each
# port holds; its OK writes init.ini and BinarComOn.ini line 1 and reads the
# receiver. "Найти приемник" then leaves the port being read alone and its Cancel
# changes nothing; a first start whose search is cancelled writes nothing and
# opens the settings' COM1 as a start always did. Nothing is written to a port
# before it is chosen.
. "$(dirname "$0")/../lib.sh"
e2e_begin

CAPTURE=$E2E_DIR/../../../shared/data/beast-capture-60s.bin
if [ ! -f "$CAPTURE" ]; then
    e2e_log "no ../shared/data: well-known frames instead of the capture"
    python3 -c 'import sys
f = bytes.fromhex("8D4840D6202CC371C32CE0576098")
sys.stdout.buffer.write((b"\x1a\x33" + bytes(6) + b"\x80" + f) * 200)' >stream.bin
    CAPTURE=$E2E_WORK/stream.bin
fi
SIM=$E2E_DIR/../linux/sim_receiver.py
python3 "$SIM" "$E2E_WORK/com7" 921600 binary "$CAPTURE" &
e2e_on_exit "kill $!"
python3 "$SIM" "$E2E_WORK/com8" 0 random &
e2e_on_exit "kill $!"
python3 "$SIM" "$E2E_WORK/com9" 0 nmea &
e2e_on_exit "kill $!"
deadline=$((SECONDS + 10))
until [ -e com7 ] && [ -e com8 ] && [ -e com9 ]; do
    [ $SECONDS -lt $deadline ] || e2e_fail "the simulated devices did not start"
    sleep 0.05
done

# Wine's port table, read by its mount manager when it starts; put back as it
# was (no ports) for the cases after this one.
ports_key='HKLM\Software\Wine\Ports'
forget_ports() {
    local n
    for n in 7 8 9; do LC_ALL=C e2e_wine reg delete "$ports_key" /v "COM$n" /f >/dev/null 2>&1; done
    bash "$E2E_DIR/session.sh" restart
    # The mount manager makes the links of the table's ports but never removes them.
    for n in 7 8 9; do rm -f "$WINEPREFIX/dosdevices/com$n"; done
}
e2e_on_exit forget_ports
for n in 7 8 9; do
    LC_ALL=C e2e_wine reg add "$ports_key" /v "COM$n" /t REG_SZ /d "$E2E_WORK/com$n" /f >/dev/null ||
        e2e_fail "cannot set COM$n in Wine's port table"
done
bash "$E2E_DIR/session.sh" restart || e2e_fail "Wine did not start again"

# Every row of the search window, without the control lines.
rows() { drv class-items brevalinkFind | awk -F'\t' '$2 == "row" {print $4}'; }
ok_enabled() { drv class-items brevalinkFind | awk -F'\t' '$1 == "1" {print $3}'; }
searched_all() { drv class-wait brevalinkFind 100 prefix "$1" 30000 >/dev/null; }

# A first start: the search at once, then its OK.
e2e_free_ports
start=$(date +%s%3N)
e2e_start
e2e_wait_window 30000
drv wait-class brevalinkFind 15000 >/dev/null || e2e_fail "a first start opened no search window"
searched_all "Приемник найден на COM7" || e2e_fail "the search did not find COM7"
e2e_log "the search of 3 ports took $(($(date +%s%3N) - start)) ms from the start"
rows >rows.txt
grep -q '^COM7: 921 600 бод, двоичный поток, [0-9 ]* кадров/с, CRC верны [0-9,]* %$' rows.txt ||
    e2e_fail "the receiver's row: $(cat rows.txt)"
e2e_check "the noise port's row" "$(grep '^COM8' rows.txt)" "COM8: ничего похожего на приемник"
e2e_check "the GPS's row" "$(grep '^COM9' rows.txt)" "COM9: строки NMEA (GPS), не приемник"
e2e_check "OK enabled" "$(ok_enabled)" "1"
e2e_screenshot "$E2E_WORK/find-first-start.png"
e2e_check "nothing written before OK" "$(ls init.ini BinarComOn.ini 2>/dev/null)" ""
drv class-press brevalinkFind 1 >/dev/null
e2e_wait_monitor 17 prefix "@" 15000 >/dev/null || e2e_fail "OK: the receiver's frames are not decoded"
e2e_check "init.ini" "$(e2e_show_file init.ini | tr '\n' ' ')" 'COM7\r 921600\r '
e2e_check "BinarComOn.ini line 1: binary" "$(e2e_show_file BinarComOn.ini | head -n 1)" '1\r'
e2e_check "the binary mode's mark" "$(drv menu-checked 113)" "1"
# Wine lists no device behind its COM ports: no adapter to remember.
e2e_check "no identity under Wine" "$(ls initid.ini 2>/dev/null)" ""

# The menu's search: the port read now is left alone; Cancel writes nothing.
cp init.ini init.before
drv command 120 >/dev/null
drv wait-class brevalinkFind 15000 >/dev/null || e2e_fail "command 120 opened no window"
searched_all "Приемник не найден" || e2e_fail "the second search did not end"
e2e_check "the port read now" "$(rows | grep '^COM7')" "COM7: уже читается этой программой"
e2e_check "OK disabled" "$(ok_enabled)" "0"
drv class-press brevalinkFind 2 >/dev/null
deadline=$((SECONDS + 10))
while drv class-items brevalinkFind >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || e2e_fail "Cancel left the window open"
    sleep 0.2
done
e2e_check_file "Cancel: init.ini unchanged" init.ini init.before
for n in 7 8 9; do [ -e "com$n.written" ] && e2e_fail "written to COM$n: $(cat "com$n.written") bytes"; done
drv close >/dev/null
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"

# A first start whose search is cancelled: nothing written, COM1 as before.
rm init.ini BinarComOn.ini
e2e_start
e2e_wait_window 30000
drv wait-class brevalinkFind 15000 class-press brevalinkFind 2 >/dev/null || e2e_fail "no search window to cancel"
drv wait-box COM1 15000 dlg-press COM1 1 wait-no-box COM1 10000 || e2e_fail "Cancel: no box for COM1"
e2e_check "Cancel: no init.ini" "$(ls init.ini BinarComOn.ini 2>/dev/null)" ""
drv close >/dev/null
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
