#!/usr/bin/env bash
# Soak of brevalink.exe under Wine: a busy receiver for MINUTES, to see whether
# memory, descriptors and threads stay flat and the relay stays exact while the
# feed server comes and goes, hangs once, and the receiver's port is unplugged and
# returned once. Prints figures; never fails a build. Debian 12, as root once
# (installs missing packages like scripts/test).
#
#   bench/soak.sh [MINUTES [BUILD_DIR]]      default 60, build/windows
#   BREVALINK_EXE=/path/brevalink.exe bench/soak.sh 3    (tools from its folder's tests/e2e)
#
# What runs (a private e2e session, see tests/e2e/README.md):
#   - tools/simreceiver in binary mode (BinarComOn.ini line 1 = 1) at SOAK_RATE
#     frames/s (4300, from ../shared/data/beast-capture-60s.bin when present) on a
#     socat pty pair whose program end is COM5, at SOAK_BAUD (921600);
#   - SOAK_CLIENTS (100) relay clients in one process, bench/soak_clients.py;
#   - the compressed feed (line 2 = 1) to tools/feedserver --quiet --close-after
#     SOAK_CLOSE_EVERY; at SOAK_STALL_AT it is replaced by one that stalls its first
#     link SOAK_STALL_AFTER s after the connect, for SOAK_STALL_FOR s;
#   - at SOAK_UNPLUG_AT the pair is ended (the port is gone) and after
#     SOAK_UNPLUG_FOR s a new pair is linked as COM5 again with a new simreceiver;
#     the program is to reopen the port by itself.
# Times are seconds from the start of the traffic; a *_AT of 0 skips that event.
# Defaults scale with the run: close every T/4 (20..180 s), stall at 2T/5 for
# min(60, T/6) s, unplug at 3T/5 for 5 s.
#
# The relay check: every socat pair records the bytes it carried toward the
# program (socat -r, line.K.bin). A client is exact when its stream is line 1's
# bytes in order, then line 2's, with bytes missing only at the end of line 1
# (unread when the port went) and at the start of line 2 (sent before the reopen):
# a gap anywhere else or a changed byte makes it inexact. At the end, after the
# receiver stops, every exact client must hold all of the last line. "lost" is
# what the port carried minus what client 0 received.
#
# Every SOAK_REPORT_EVERY (60) s and at the end, one line:
#   min  rss_kB  fds  ws_fds  threads  taken  port  exact  feeds  malformed
# rss_kB, fds, threads: /proc of the program's Linux process; ws_fds: descriptors
# of the prefix's wineserver (it holds the program's Windows handles); taken: bytes
# client 0 received; port: bytes that went into the port; exact: clients exact so
# far (one that merely stopped receiving counts only on the end line);
# feeds: introductions the feed servers saw; malformed: their MALFORMED lines.
# Then a summary: flat or not (first vs last line), bytes, losses, stall, exit code.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
MINUTES=${1:-60}
if [ -n "${BREVALINK_EXE:-}" ]; then
    EXE=$(realpath "$BREVALINK_EXE")
    B=$(realpath "${2:-$(dirname "$EXE")}")
else
    B=$(realpath "${2:-$ROOT/build/windows}")
    EXE=$B/brevalink.exe
fi
. "$ROOT/scripts/lib/deps.sh"
ensure_packages >&2 || exit 1

T=$((MINUTES * 60))
quarter=$((T / 4 < 20 ? 20 : T / 4))
CLOSE_EVERY=${SOAK_CLOSE_EVERY:-$((quarter > 180 ? 180 : quarter))}
STALL_AT=${SOAK_STALL_AT:-$((T * 2 / 5))}
STALL_AFTER=${SOAK_STALL_AFTER:-5}
STALL_FOR=${SOAK_STALL_FOR:-$((T / 6 > 60 ? 60 : T / 6))}
UNPLUG_AT=${SOAK_UNPLUG_AT:-$((T * 3 / 5))}
UNPLUG_FOR=${SOAK_UNPLUG_FOR:-5}
REPORT_EVERY=${SOAK_REPORT_EVERY:-60}
RATE=${SOAK_RATE:-4300}
BAUD=${SOAK_BAUD:-921600}
CLIENTS=${SOAK_CLIENTS:-100}
CAPTURE=$ROOT/../shared/data/beast-capture-60s.bin

export E2E_EXE=$EXE E2E_TOOLS=$B/tests/e2e E2E_CACHE=$B/e2e-cache E2E_CASE=soak
. "$ROOT/tests/e2e/lib.sh"
e2e_begin
SIM=$(bash "$ROOT/tools/simreceiver/build.sh" "$E2E_CACHE/tools") || e2e_fail "cannot build simreceiver"
FEEDSERVER=$(bash "$ROOT/tools/feedserver/build.sh" "$E2E_CACHE/tools") || e2e_fail "cannot build feedserver"
SIM_INPUT=()
[ -f "$CAPTURE" ] && SIM_INPUT=(-i "$CAPTURE")

# --- the receiver's port: a socat pair recording what it carries, and the receiver
LINE_N=0
SOCAT_PID=''
SIM_PID=''
plug() {
    LINE_N=$((LINE_N + 1))
    local a=$E2E_WORK/ttyCOM5 b=$E2E_WORK/ttyPeer5
    rm -f "$a" "$b"
    socat -r "$E2E_WORK/line.$LINE_N.bin" "pty,raw,echo=0,link=$b" "pty,raw,echo=0,link=$a" \
        </dev/null >/dev/null 2>"$E2E_WORK/socat.$LINE_N.err" &
    SOCAT_PID=$!
    local deadline=$((SECONDS + 10))
    until [ -e "$a" ] && [ -e "$b" ]; do
        [ $SECONDS -lt $deadline ] || e2e_fail "socat made no pty pair"
        sleep 0.05
    done
    ln -sfn "$a" "$WINEPREFIX/dosdevices/com5"
}
sim_start() {
    "$SIM" "$E2E_WORK/ttyPeer5" -f binary -r "$RATE" -q "${SIM_INPUT[@]}" >"$E2E_WORK/sim.$LINE_N.out" 2>&1 &
    SIM_PID=$!
}
sim_stop() {
    [ -n "$SIM_PID" ] || return 0
    kill -TERM "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
    SIM_PID=''
}
unplug() {
    [ -n "$SOCAT_PID" ] || return 0
    kill "$SOCAT_PID" 2>/dev/null
    wait "$SOCAT_PID" 2>/dev/null
    SOCAT_PID=''
    : >"$E2E_WORK/line.$LINE_N.done"
    rm -f "$E2E_WORK/ttyCOM5" "$E2E_WORK/ttyPeer5"
}
e2e_on_exit "sim_stop; unplug; rm -f '$WINEPREFIX/dosdevices/com5'"

# --- the feed server
FS_PID=''
FS_N=0
feed_start() {  # options...
    FS_N=$((FS_N + 1))
    "$FEEDSERVER" --port "$E2E_FEED_PORT" --quiet "$@" </dev/null >"$E2E_WORK/feed.$FS_N.out" 2>&1 &
    FS_PID=$!
    local deadline=$((SECONDS + 10))
    until grep -q '^listening' "$E2E_WORK/feed.$FS_N.out" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || e2e_fail "feedserver did not start: $(cat "$E2E_WORK/feed.$FS_N.out")"
        sleep 0.05
    done
}
feed_stop() {
    [ -n "$FS_PID" ] || return 0
    kill "$FS_PID" 2>/dev/null
    wait "$FS_PID" 2>/dev/null
    FS_PID=''
}
e2e_on_exit "feed_stop"
feed_count() { cat "$E2E_WORK"/feed.*.out 2>/dev/null | grep -c -- "$1"; }

# --- start
e2e_free_ports
plug
e2e_settings init.ini COM5 "$BAUD"
e2e_settings BinarComOn.ini 1 1 0 60
feed_start --close-after "$CLOSE_EVERY"
e2e_start_ready --timeout $(((T + 1200) * 1000))

# The Linux processes of this prefix's program and wineserver.
PROG=''
WS=''
for p in $(pgrep -f 'brevalink.exe|wineserver'); do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
    grep -q 'e2e_launch' "/proc/$p/cmdline" 2>/dev/null && continue
    if grep -q wineserver "/proc/$p/cmdline" 2>/dev/null; then WS=$p; else PROG=$p; fi
done
[ -n "$PROG" ] || e2e_fail "cannot find the program's Linux process"
e2e_log "program pid $PROG ($(tr '\0' ' ' <"/proc/$PROG/cmdline")), wineserver pid ${WS:-?}"

python3 "$ROOT/bench/soak_clients.py" "$E2E_SERVER_PORT" "$E2E_WORK" "$CLIENTS" \
    >"$E2E_WORK/clients.out" 2>&1 &
CLIENTS_PID=$!
e2e_on_exit "kill $CLIENTS_PID 2>/dev/null; wait $CLIENTS_PID 2>/dev/null"
deadline=$((SECONDS + 120))
until [ -f "$E2E_WORK/connected" ]; do
    kill -0 "$CLIENTS_PID" 2>/dev/null || e2e_fail "the relay clients ended: $(cat "$E2E_WORK/clients.out")"
    [ $SECONDS -lt $deadline ] || e2e_fail "the relay clients did not connect within 120 s"
    sleep 0.1
done
sim_start

# --- one line per period
FIRST=()
LAST=()
# The program's figures, taken while the clients are connected.
sample() {
    local rss threads fds wsfds
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$PROG/status" 2>/dev/null)
    threads=$(awk '/^Threads/ {print $2}' "/proc/$PROG/status" 2>/dev/null)
    fds=$(ls "/proc/$PROG/fd" 2>/dev/null | wc -l)
    wsfds=$([ -n "$WS" ] && ls "/proc/$WS/fd" 2>/dev/null | wc -l)
    LAST=("${rss:-0}" "$fds" "${wsfds:-0}" "${threads:-0}")
}
report() {  # label, status file (of soak_clients.py)
    local _ conn exact bytes port lost fault
    read -r _ conn _ exact _ bytes _ port _ lost _ fault <"$2" 2>/dev/null
    printf '%5s %8s %5s %6s %7s %12s %12s %7s %5s %9s\n' "$1" "${LAST[@]}" \
        "${bytes:--}" "${port:--}" "${exact:--}/$CLIENTS" "$(feed_count '^intro 1:')" "$(feed_count MALFORMED)"
    [ ${#FIRST[@]} -gt 0 ] || FIRST=("${LAST[@]}")
    LOST=${lost:-?} TAKEN=${bytes:-0} PORT=${port:-0} EXACT=${exact:-0} FAULT=${fault:--}
}
e2e_log "soak of $MINUTES min: close every ${CLOSE_EVERY}s, stall at ${STALL_AT}s for ${STALL_FOR}s," \
    "unplug at ${UNPLUG_AT}s for ${UNPLUG_FOR}s"
printf '%5s %8s %5s %6s %7s %12s %12s %7s %5s %9s\n' min rss_kB fds ws_fds threads taken port exact feeds malformed

t0=$SECONDS
next_report=$REPORT_EVERY
replug_at=-1
stalled=0
unplugged=0
while elapsed=$((SECONDS - t0)); [ $elapsed -lt $T ]; do
    if [ "$STALL_AT" -gt 0 ] && [ $stalled -eq 0 ] && [ $elapsed -ge "$STALL_AT" ]; then
        stalled=1
        close2=$((STALL_AFTER + STALL_FOR + 10))
        [ $close2 -ge "$CLOSE_EVERY" ] || close2=$CLOSE_EVERY
        e2e_log "feed server replaced by one that stalls its first link"
        feed_stop
        feed_start --close-after "$close2" --stall-after "$STALL_AFTER" --stall-for "$STALL_FOR" --stall-once
    fi
    if [ "$UNPLUG_AT" -gt 0 ] && [ $unplugged -eq 0 ] && [ $elapsed -ge "$UNPLUG_AT" ]; then
        unplugged=1
        e2e_log "port unplugged"
        unplug
        sim_stop
        replug_at=$((elapsed + UNPLUG_FOR))
    fi
    if [ $replug_at -ge 0 ] && [ $elapsed -ge $replug_at ]; then
        replug_at=-1
        plug
        sim_start
        e2e_log "port back"
    fi
    if [ $elapsed -ge $next_report ]; then
        sample
        report $((elapsed / 60)) "$E2E_WORK/status"
        next_report=$((next_report + REPORT_EVERY))
    fi
    sleep 1
done

# --- the end: the receiver stops, the clients get the rest, the program closes
sample
sim_stop
size=-1
deadline=$((SECONDS + 10))
while [ "$size" != "$(stat -c %s "$E2E_WORK/line.$LINE_N.bin" 2>/dev/null)" ] && [ $SECONDS -lt $deadline ]; do
    size=$(stat -c %s "$E2E_WORK/line.$LINE_N.bin" 2>/dev/null)
    sleep 0.5
done
: >"$E2E_WORK/finish"
deadline=$((SECONDS + 60))
until [ -f "$E2E_WORK/final" ] || [ $SECONDS -ge $deadline ]; do sleep 0.2; done
wait "$CLIENTS_PID" 2>/dev/null
report end "$E2E_WORK/final"

drv close >/dev/null
e2e_wait_exit 60000
feed_stop

flat() {  # first last slack
    if [ "$2" -le $(($1 + $3)) ]; then echo "flat ($1 -> $2)"; else echo "GREW ($1 -> $2)"; fi
}
echo "summary:"
echo "  memory kB:        $(flat "${FIRST[0]}" "${LAST[0]}" $((FIRST[0] / 20 > 2048 ? FIRST[0] / 20 : 2048)))"
echo "  descriptors:      $(flat "${FIRST[1]}" "${LAST[1]}" 10), wineserver $(flat "${FIRST[2]}" "${LAST[2]}" 20)"
echo "  threads:          $(flat "${FIRST[3]}" "${LAST[3]}" 2)"
echo "  bytes:            $PORT into the port, $TAKEN to each client, $LOST lost ($LINE_N plug-ins)"
[ "$FAULT" = - ] && FAULT='' || FAULT="; first fault: $FAULT"
echo "  relay clients:    $EXACT/$CLIENTS exact$FAULT"
echo "  feed:             $(feed_count '^intro 1:') connections, $(feed_count '^closed') closed," \
    "$(feed_count MALFORMED) malformed; stall: $(feed_count '^stalled') started," \
    "$(feed_count '^resumed') resumed, $(feed_count '(stalled)$') ended while stalled"
echo "  exit code:        $E2E_EXIT_CODE"
