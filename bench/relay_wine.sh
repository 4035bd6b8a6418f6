#!/usr/bin/env bash
# Relay figures of brevalink.exe under Wine: 1, 10 and 100 clients at rising
# rates through a pty mapped to COM5, the same measurement as relay_bench does
# natively (loss, CPU per kB of the program and its wineserver, latency at the
# last client). Prints figures; never fails a build.
#
#   bench/relay_wine.sh [BUILD_DIR] [SECONDS]     default build/windows, 3 s
#   RATES="25 50" CLIENTS="1 10" bench/relay_wine.sh ...
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
B=$(realpath "${1:-$ROOT/build/windows}")
SECONDS_EACH=${2:-3}
export E2E_EXE=$B/brevalink.exe E2E_TOOLS=$B/tests/e2e E2E_CACHE=$B/e2e-cache E2E_CASE=relay_wine_bench
. "$ROOT/tests/e2e/lib.sh"
e2e_begin

e2e_free_ports
e2e_serial_pair 5
e2e_settings init.ini COM5 115200
e2e_settings BinarComOn.ini 1 0 0 60
e2e_start_ready --timeout 3600000

# The Linux pids of this prefix's program and wineserver, for their CPU time.
pids=()
for p in $(pgrep -f 'brevalink.exe|wineserver'); do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
    grep -q 'e2e_launch' "/proc/$p/cmdline" 2>/dev/null && continue
    pids+=("$p")
done
e2e_log "measuring CPU of pids ${pids[*]}"

printf '%-9s %7s %8s %9s %10s %6s %10s %8s %8s\n' server clients rate achieved lost drops "cpu ms/kB" "p50 ms" "p99 ms"
for n in ${CLIENTS:-1 10 100}; do
    for r in ${RATES:-25 50 100 200 300}; do
        python3 "$ROOT/bench/relay_load.py" "$E2E_SERVER_PORT" "$E2E_PEER_TTY" "$n" "$r" "$SECONDS_EACH" \
            "$ROOT/../shared/data/beast-capture-60s.bin" "${pids[@]}"
    done
done

drv close >/dev/null
e2e_wait_exit 30000
