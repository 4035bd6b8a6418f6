#!/usr/bin/env bash
# What the status endpoint costs: the Linux program as a service, fed the real
# capture frame by frame at its own pace with 10 relay clients, runs twice in one
# run, once with the endpoint off and once scraped every second (/metrics, as
# Prometheus would, and the page and status.json every 10 s). Prints the CPU of
# each run and their ratio. Never fails a build.
#
#   bench/status_cost.sh [SECONDS]     default 30 s per run
set -u
# Numbers are printed and parsed with a decimal point, whatever the user's locale.
export LC_ALL=C.UTF-8
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_EACH=${1:-30}
EXE=$(realpath "${BREVALINK:-$ROOT/build/native/brevalink}")
CAPTURE=$ROOT/../shared/data/beast-capture-60s.bin
[ -x "$EXE" ] || { echo "no $EXE: cmake --build --preset native" >&2; exit 1; }
[ -f "$CAPTURE" ] || { echo "no $CAPTURE" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$WORK"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# CPU seconds (user + system) of a process.
cpu() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$1/stat"; }

run() {  # http-port (0: off) -> prints CPU seconds over SECONDS_EACH
    local http=$1 dir=$WORK/run.$1
    mkdir -p "$dir"
    socat pty,raw,echo=0,link="$dir/portA" pty,raw,echo=0,link="$dir/portB" 2>/dev/null &
    local socat=$!
    until [ -e "$dir/portB" ]; do sleep 0.05; done
    local relay; relay=$(free_port)
    printf '%s\r\n' "$dir/portA" 115200 >"$dir/init.ini"
    printf '%s\r\n' "$relay" >"$dir/initsocket.ini"
    printf '%s\r\n' 1 0 0 60 >"$dir/BinarComOn.ini"
    printf '%s\r\n' "$http" 127.0.0.1 >"$dir/inithttp.ini"
    "$EXE" --dir "$dir" >"$dir/service.out" 2>&1 &
    local pid=$!
    until grep -q "relay: listening" "$dir/service.out" 2>/dev/null; do sleep 0.05; done
    # Ten relay clients that read everything; the receiver's frames at their pace.
    python3 - "$relay" "$CAPTURE" "$dir/portB" "$SECONDS_EACH" <<'EOF' &
import socket, sys, time, threading
port, capture, tty, seconds = int(sys.argv[1]), sys.argv[2], sys.argv[3], float(sys.argv[4]) + 2
clients = [socket.create_connection(("127.0.0.1", port)) for _ in range(10)]
def drain(s):
    while s.recv(65536): pass
for c in clients: threading.Thread(target=drain, args=(c,), daemon=True).start()
data = open(capture, "rb").read()
rate = len(data) / 60.0
out = open(tty, "wb", buffering=0)
start = time.monotonic()
i = 0
while time.monotonic() - start < seconds:
    chunk = data[i % len(data):i % len(data) + 64]
    out.write(chunk)
    i += len(chunk)
    time.sleep(max(0, start + i / rate - time.monotonic()))
EOF
    local feeder=$!
    sleep 1
    local before; before=$(cpu $pid)
    local t=0
    while [ $t -lt "$SECONDS_EACH" ]; do
        if [ "$http" != 0 ]; then
            curl -sf "http://127.0.0.1:$http/metrics" >/dev/null
            [ $((t % 10)) -eq 0 ] && curl -sf "http://127.0.0.1:$http/" "http://127.0.0.1:$http/status.json" >/dev/null
        fi
        sleep 1
        t=$((t + 1))
    done
    local after; after=$(cpu $pid)
    kill $feeder $pid 2>/dev/null; wait $pid 2>/dev/null
    kill $socat 2>/dev/null
    awk -v a="$after" -v b="$before" 'BEGIN { printf "%.3f", a - b }'
}

off=$(run 0)
on=$(run "$(free_port)")
printf '%-34s %10s %12s\n' "over ${SECONDS_EACH} s, 10 clients" "cpu s" "share of core"
printf '%-34s %10.3f %12.4f\n' "endpoint off" "$off" "$(awk -v c="$off" -v s="$SECONDS_EACH" 'BEGIN { print c / s }')"
printf '%-34s %10.3f %12.4f\n' "scraped every second" "$on" "$(awk -v c="$on" -v s="$SECONDS_EACH" 'BEGIN { print c / s }')"
awk -v a="$on" -v b="$off" 'BEGIN { printf "ratio scraped / off: %.2f\n", (b > 0 ? a / b : 0) }'
