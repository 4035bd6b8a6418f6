#!/usr/bin/env bash
# Recording and playback through the real save and open dialogs (the name typed
# into the file-name box, then the Save/Open button): the overwrite question with
# No keeping the old file, a recording of bytes sent on the serial line, the two
# refusal boxes, a playback reaching a relay client and the serial line at the
# recorded pace, stopping a playback, and closing the program during one.
. "$(dirname "$0")/../lib.sh"
e2e_begin

e2e_free_ports
e2e_serial_pair 5
e2e_settings init.ini COM5 115200
exec 7<>"$E2E_PEER_TTY"
# What the program writes to the receiver: its start commands, then played bytes.
cat <&7 >serial_out.bin &
e2e_on_exit "kill $! 2>/dev/null"

SAVE="Сохранить как"
OPEN="Открыть"
# Types a file name into the dialog's file-name box and presses Save/Open.
file_dialog() {  # title name
    drv wait-box "$1" 15000 dlg-set "$1" 1148 "$2" dlg-press "$1" 1 wait-no-box "$1" 15000 ||
        e2e_fail "cannot choose $2 in the dialog \"$1\""
}
menu_state() {  # id: "checked text"
    echo "$(drv menu-checked "$1") $(drv menu-text "$1")"
}
# The relay client: one line per received byte, "<seconds> <hex>".
cat >client.py <<'EOF'
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
with open(sys.argv[2], "w") as out:
    while True:
        data = s.recv(4096)
        if not data:
            break
        now = time.time()
        for b in data:
            out.write("%.6f %02X\n" % (now, b))
        out.flush()
EOF
received() { awk '{printf "%s ", $2}' relay.log; }
wait_received() {  # count
    local deadline=$((SECONDS + 20))
    until [ "$(wc -l <relay.log)" -ge "$1" ]; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

e2e_start_ready
: >relay.log
python3 client.py "$E2E_SERVER_PORT" relay.log 2>client.err &
e2e_on_exit "kill $! 2>/dev/null"
e2e_wait_status 0 contains "127.0.0.1" >/dev/null || e2e_fail "the relay client is not listed"

# --- an existing file: the question, and No keeps it --------------------------
printf 'keep\r\n' >old.txt
drv command 201 >/dev/null
file_dialog "$SAVE" old.txt
e2e_check "overwrite question" "$(e2e_box_text "Вимание")" $'Такой файл уже существует.\nПереписать?'
e2e_check "overwrite question is owned by the main window" "$(drv box-owner "Вимание")" "main"
e2e_box_press "Вимание" 7  # No
e2e_check "No keeps the old file" "$(e2e_show_file old.txt)" 'keep\r'
e2e_check "No starts no recording" "$(menu_state 201)" "0 &Записать в файл"

# --- recording ---------------------------------------------------------------
drv command 201 >/dev/null
file_dialog "$SAVE" rec.txt
e2e_check "title while recording" "$(e2e_title)" "[]  : Протоколирование обмена"
e2e_check "menu while recording" "$(menu_state 201)" "1 &Прекратить запись"
printf '\x1a\x31\x0d' >&7
sleep 0.3  # lets a tick or more pass between the two bursts
printf 'AB\xff' >&7
wait_received 6 || e2e_fail "the relay client got $(received)"
deadline=$((SECONDS + 15))
until [ "$(wc -l <rec.txt)" -ge 6 ] || [ $SECONDS -ge $deadline ]; do sleep 0.05; done

e2e_check "playback refused while recording" "$(drv command 202 >/dev/null; e2e_box_text "Внимание")" \
    "Вначале необходимо прекратить запись в файла"
e2e_box_press "Внимание" 1
e2e_check "no open dialog after the refusal" "$(drv box-count "$OPEN")" "0"

drv command 201 >/dev/null
e2e_check "title after the recording" "$(e2e_title)" "[]  : [] "
e2e_check "menu after the recording" "$(menu_state 201)" "0 &Записать в файл"
e2e_check "recorded bytes, one CR LF line each" "$(sed 's/ .*\r$//' rec.txt | tr '\n' ' ')" "1A 31 0D 41 42 FF "
e2e_check "every line is byte, blank, hex tick, CR LF" "$(grep -cvE $'^[0-9A-F]{2} [0-9A-F]+\r$' rec.txt)" "0"
ticks_back() {
    local last=0 byte tick
    while read -r byte tick; do
        tick=$((16#${tick%$'\r'}))
        [ "$tick" -lt "$last" ] && echo "back at $byte"
        last=$tick
    done <rec.txt
}
e2e_check "ticks never go back" "$(ticks_back)" ""

# --- playback at the recorded pace --------------------------------------------
printf '41 3\r\n42 7\r\n43 9\r\n' >pace.txt
drv command 202 >/dev/null
file_dialog "$OPEN" pace.txt
wait_received 9 || e2e_fail "the playback did not reach the relay client: $(received)"
e2e_check "played bytes at the relay client" "$(received)" "1A 31 0D 41 42 FF 41 42 43 "
gaps=$(tail -n 3 relay.log | LC_ALL=C awk 'NR > 1 {printf "%.3f ", $1 - t} {t = $1}')
e2e_log "gaps between the played bytes: $gaps (ticks 3, 7, 9: about 0.4 s and 0.2 s)"
# A tick is 100 ms of the program's timer: 4 ticks take 0.3 to 0.4 s, 2 ticks 0.1
# to 0.2 s; the upper bounds only catch a playback that ignores its pace.
e2e_check "pace of ticks 3, 7, 9" "$(echo "$gaps" | LC_ALL=C awk '{print ($1 >= 0.25 && $1 < 3 && $2 >= 0.08 && $2 < 3) ? "ok" : "off"}')" "ok"
deadline=$((SECONDS + 15))
until [ "$(e2e_title)" = "[]  : [] " ] || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
e2e_check "title after the playback ended" "$(e2e_title)" "[]  : [] "
e2e_check "menu after the playback ended" "$(menu_state 202)" "0 &Считать из файла"
deadline=$((SECONDS + 15))
until [ "$(tail -c 3 serial_out.bin)" = "ABC" ] || [ $SECONDS -ge $deadline ]; do sleep 0.05; done
e2e_check "played bytes on the serial line" "$(tail -c 3 serial_out.bin)" "ABC"

# --- a long playback: refusal, stop ------------------------------------------
printf '44 1\r\n45 99999\r\n' >long.txt
drv command 202 >/dev/null
file_dialog "$OPEN" long.txt
wait_received 10 || e2e_fail "the long playback did not start"
e2e_check "title while playing" "$(e2e_title)" "[]  : Чтение из файла"
e2e_check "menu while playing" "$(menu_state 202)" "1 &Прекратить чтение"
e2e_check "recording refused while playing" "$(drv command 201 >/dev/null; e2e_box_text "Внимание")" \
    "Вначале необходимо прекратить чтение из файла"
e2e_box_press "Внимание" 1
e2e_check "no save dialog after the refusal" "$(drv box-count "$SAVE")" "0"
drv command 202 >/dev/null
# The byte whose tick was awaited still goes out when the stop comes.
wait_received 11 || e2e_fail "the awaited byte was not played at the stop"
e2e_check "stop plays the awaited byte" "$(tail -n 1 relay.log | cut -d' ' -f2)" "45"
deadline=$((SECONDS + 15))
until [ "$(e2e_title)" = "[]  : [] " ] || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
e2e_check "title after the stop" "$(e2e_title)" "[]  : [] "
e2e_check "menu after the stop" "$(menu_state 202)" "0 &Считать из файла"

# --- closing the program during a playback ------------------------------------
drv command 202 >/dev/null
file_dialog "$OPEN" long.txt
wait_received 12 || e2e_fail "the last playback did not start"
drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code after closing during a playback" "$E2E_EXIT_CODE" "0"
