#!/usr/bin/env bash
# The simulated receiver for the serial cases. The Windows build has no native
# tools, so the (dependency-free) tool is compiled here with the host compiler into
# the prefix cache, once per change of its sources.
#
#   sim_start ARGS...     start it on $E2E_PEER_TTY, output in $E2E_WORK/sim.out
#   sim_wait TEXT [MS]    wait until its output contains TEXT
#   sim_stop              Ctrl-C it and wait for its summary line
#   sim_commands          the commands it received, one per line
SIM_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../../tools/simreceiver" && pwd)

sim_build() {
    SIM_BIN=$("$SIM_SRC/build.sh" "$E2E_CACHE/tools") || e2e_fail "cannot build simreceiver"
}

sim_start() {
    sim_build
    "$SIM_BIN" "$E2E_PEER_TTY" "$@" >"$E2E_WORK/sim.out" 2>&1 &
    SIM_PID=$!
    e2e_on_exit "kill -INT $SIM_PID 2>/dev/null; wait $SIM_PID 2>/dev/null"
    sim_wait "receiver on" 10000
}

sim_wait() {  # text [ms]
    local deadline=$((SECONDS + (${2:-15000} + 999) / 1000))
    until grep -qF -- "$1" "$E2E_WORK/sim.out" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || { e2e_log "simreceiver output:"; cat "$E2E_WORK/sim.out" >&2; return 1; }
        sleep 0.05
    done
}

sim_stop() {
    kill -INT "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
}

sim_commands() { awk '$2 == "command:" {print $3}' "$E2E_WORK/sim.out"; }
# Seconds (since the tool started) at which the first command $1 arrived.
sim_command_time() { awk -v c="$1" '$2 == "command:" && $3 == c {print $1; exit}' "$E2E_WORK/sim.out"; }

# The program reading a simulated receiver in binary mode on COM6, started and
# ready, with its decoded frames reaching the bottom monitor line.
sim_binary_station() {
    e2e_serial_pair 6
    e2e_settings init.ini COM6 115200
    e2e_settings BinarComOn.ini 1 0 0 60
    sim_start --format binary --rate 50 --quiet
    e2e_free_ports
    e2e_start_ready
    e2e_wait_monitor 17 prefix "@" 15000 >/dev/null || e2e_fail "no decoded frame at the bottom of the monitor"
}
