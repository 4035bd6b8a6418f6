#!/usr/bin/env bash
# The receiver finder on a machine of two USB adapters and a console port, in a
# fake /sys and /dev (BREVALINK_DEVICE_ROOT): the receiver behind ttyUSB0 sends
# the real capture at 921,600 baud only, ttyUSB1 is noise; the console port is
# never listed. --find-receiver prints each port's verdict and exits 0, --apply
# writes init.ini and BinarComOn.ini, a service started without init.ini finds
# the receiver by itself and reads it, and no receiver at all exits 3. Nothing is
# ever written to either device. With the adapters numbered anew, the
# remembered name opens on the noise adapter: the receiver's adapter is found by
# its identity under the other name.
. "$(dirname "$0")/../lib.sh"
lx_begin

CAPTURE=$LX_SOURCE/../shared/data/beast-capture-60s.bin
if [ ! -f "$CAPTURE" ]; then
    lx_log "no ../shared/data: well-known frames instead of the capture"
    python3 -c 'import sys
f = bytes.fromhex("8D4840D6202CC371C32CE0576098")
sys.stdout.buffer.write((b"\x1a\x33" + bytes(6) + b"\x80" + f) * 200)' >stream.bin
    CAPTURE=$LX_WORK/stream.bin
fi
ROOT=$LX_WORK/root
export BREVALINK_DEVICE_ROOT=$ROOT
mkdir -p "$ROOT/dev/serial/by-id" "$ROOT/sys/class/tty"
adapter() {  # tty bus vendor product serial
    local dev=$ROOT/sys/devices/pci0000:00/usb1/$2
    mkdir -p "$dev/$2:1.0/$1" "$ROOT/sys/class/tty/$1"
    echo "$3" >"$dev/idVendor"; echo "$4" >"$dev/idProduct"; echo "$5" >"$dev/serial"
    ln -s "$dev/$2:1.0/$1" "$ROOT/sys/class/tty/$1/device"
}
adapter ttyUSB0 1-1 0403 6001 A5XK3RJT
adapter ttyUSB1 1-2 067b 2303 ""
ln -s ../../ttyUSB0 "$ROOT/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0"
mkdir -p "$ROOT/sys/devices/pnp0/00:01" "$ROOT/sys/class/tty/ttyS0"
ln -s "$ROOT/sys/devices/pnp0/00:01" "$ROOT/sys/class/tty/ttyS0/device"
echo 4 >"$ROOT/sys/class/tty/ttyS0/type"
mkdir -p "$ROOT/sys/class/tty/console"
echo "tty0 ttyS0" >"$ROOT/sys/class/tty/console/active"

sims() {
    python3 "$LX_SOURCE/tests/linux/sim_receiver.py" "$ROOT/dev/ttyUSB0" 921600 binary "$CAPTURE" &
    SIM0=$!
    python3 "$LX_SOURCE/tests/linux/sim_receiver.py" "$ROOT/dev/ttyUSB1" 0 random &
    SIM1=$!
    lx_on_exit "kill $SIM0 $SIM1"
    lx_wait 5000 "the simulated devices" test -e "$ROOT/dev/ttyUSB0" -a -e "$ROOT/dev/ttyUSB1"
}
sims

start=$(date +%s%3N)
"$LX_EXE" --dir "$LX_WORK" --find-receiver >find.out 2>find.err
lx_check "--find-receiver finds one" "$?" 0
took=$(($(date +%s%3N) - start))
lx_log "the search of 2 ports took $took ms"
grep -q "^$ROOT/dev/ttyUSB0 ($ROOT/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0): 921 600 бод, двоичный поток, [0-9 ]* кадров/с, CRC верны [0-9,]* %$" find.out ||
    lx_fail "the receiver's line: $(cat find.out)"
lx_check "the noise port" "$(grep -c "^$ROOT/dev/ttyUSB1: ничего похожего на приемник$" find.out)" 1
lx_check "the console port is not searched" "$(grep -c ttyS0 find.out)" 0
lx_check "the choice" "$(tail -n 1 find.out)" "Приемник: $ROOT/dev/ttyUSB0, 921600 бод, двоичный поток"
[ -e init.ini ] && lx_fail "init.ini written without --apply"

lx_setting BinarComOn.ini 0 1 0 60
"$LX_EXE" --dir "$LX_WORK" --find-receiver --apply >apply.out 2>&1
lx_check "--apply finds it" "$?" 0
lx_check "init.ini" "$(od -An -c init.ini | tr -d ' \n')" "$(printf '%s\\r\\n921600\\r\\n' "$ROOT/dev/ttyUSB0" | tr -d ' ')"
lx_check "BinarComOn.ini: binary, the rest kept" "$(od -An -c BinarComOn.ini | tr -d ' \n')" '1\r\n1\r\n0\r\n60\r\n'

# A first start of the service: no init.ini, the search, then the port read.
rm init.ini
RELAY=$(lx_free_port)
lx_setting initsocket.ini "$RELAY"
lx_setting initmkp2.ini "$(lx_free_port)" 127.0.0.1
lx_start_service
lx_journal 2000 "^Приемник найден на $ROOT/dev/ttyUSB0: 921600 бод, двоичный поток; записаны init.ini и BinarComOn.ini$"
lx_journal 5000 "^port $ROOT/dev/ttyUSB0 opened at 921600 baud$"
lx_clients_start "$RELAY"
lx_check "a relay client" "$(lx_clients connect 1)" "ok connected 1"
got_bytes() { test "$(socat -u -T 1 "TCP:127.0.0.1:$RELAY" - 2>/dev/null | head -c 2000 | wc -c)" -ge 2000; }
lx_wait 10000 "the relay carries the receiver's stream" got_bytes
lx_check "the adapter is remembered" "$(tr -d '\r' <initid.ini | tr '\n' '|')" \
    "$ROOT/dev/ttyUSB0|usb 0403:6001 A5XK3RJT|$ROOT/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0|"

# The adapter unplugged and plugged into another socket: ttyUSB3 now.
socat -u "TCP:127.0.0.1:$RELAY" CREATE:relay.bin &
lx_on_exit "kill $!"
lx_wait 5000 "a relay client reads" test -s relay.bin
kill $SIM0
rm -rf "$ROOT/sys/class/tty/ttyUSB0" "$ROOT/dev/ttyUSB0" "$ROOT/dev/serial/by-id/"*
lx_journal 5000 "^port $ROOT/dev/ttyUSB0 lost; trying again every 2 s$"
adapter ttyUSB3 1-1 0403 6001 A5XK3RJT
ln -s ../../ttyUSB3 "$ROOT/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0"
python3 "$LX_SOURCE/tests/linux/sim_receiver.py" "$ROOT/dev/ttyUSB3" 921600 binary "$CAPTURE" &
SIM3=$!
lx_on_exit "kill $SIM3"
lx_journal 10000 "^Приемник найден на $ROOT/dev/ttyUSB3 \(был $ROOT/dev/ttyUSB0\)$"
lx_journal 5000 "^port $ROOT/dev/ttyUSB3 reopened at 921600 baud$"
lx_check "init.ini names the new tty" "$(head -n 1 init.ini | tr -d '\r')" "$ROOT/dev/ttyUSB3"
lx_check "initid.ini too" "$(head -n 1 initid.ini | tr -d '\r')" "$ROOT/dev/ttyUSB3"
before=$(stat -c %s relay.bin)
more() { test "$(stat -c %s relay.bin)" -gt $((before + 5000)); }
lx_wait 10000 "the relay client still gets the stream" more

# A second adapter of the same identity: neither is taken by it.
kill $SIM3
rm -rf "$ROOT/sys/class/tty/ttyUSB3" "$ROOT/dev/ttyUSB3"
adapter ttyUSB5 1-3 0403 6001 A5XK3RJT
adapter ttyUSB6 1-4 0403 6001 A5XK3RJT
rm -f "$ROOT/dev/serial/by-id/"*
lx_journal 10000 '^Адаптеров "usb 0403:6001 A5XK3RJT" несколько: приемник по нему не выбран$'
lx_check "init.ini unchanged" "$(head -n 1 init.ini | tr -d '\r')" "$ROOT/dev/ttyUSB3"
lx_stop_service TERM

# The adapters numbered anew (a restart): the remembered name is the noise
# adapter's now and the receiver's adapter is ttyUSB0 again. The port opens but
# holds no receiver, and the adapter is taken where it is.
rm -rf "$ROOT/sys/class/tty/ttyUSB5" "$ROOT/sys/class/tty/ttyUSB6"
adapter ttyUSB0 1-1 0403 6001 A5XK3RJT
BYID=$ROOT/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0
ln -s ../../ttyUSB0 "$BYID"
python3 "$LX_SOURCE/tests/linux/sim_receiver.py" "$ROOT/dev/ttyUSB0" 921600 binary "$CAPTURE" &
SIM0=$!
lx_on_exit "kill $SIM0"
lx_wait 5000 "the receiver back on ttyUSB0" test -e "$ROOT/dev/ttyUSB0"
printf '%s\r\n921600\r\n' "$ROOT/dev/ttyUSB1" >init.ini
printf '%s\r\nusb 0403:6001 A5XK3RJT\r\n%s\r\n' "$ROOT/dev/ttyUSB1" "$BYID" >initid.ini
lx_start_service
lx_journal 5000 "^port $ROOT/dev/ttyUSB1 opened at 921600 baud$"
lx_journal 20000 "^Приемник найден на $ROOT/dev/ttyUSB0 \(был $ROOT/dev/ttyUSB1\)$"
lx_journal 5000 "^port $ROOT/dev/ttyUSB0 reopened at 921600 baud$"
lx_check "init.ini names the receiver's tty" "$(head -n 1 init.ini | tr -d '\r')" "$ROOT/dev/ttyUSB0"
lx_wait 10000 "the relay carries the receiver's stream again" got_bytes
lx_stop_service TERM

for f in "$ROOT"/dev/ttyUSB*.written; do [ -e "$f" ] && lx_fail "written to a device: $f $(cat "$f")"; done
kill $SIM0 $SIM1
"$LX_EXE" --dir "$LX_WORK" --find-receiver >none.out 2>&1
lx_check "no receiver: exit code 3" "$?" 3
lx_check "said so" "$(tail -n 1 none.out)" "Приемник не найден"
