#!/usr/bin/env bash
# Relay figures of the Linux program beside ser2net's, under the same load in the
# same run: build/native/brevalink as a service and ser2net each read their own
# socat pty pair, and the program once more with its TCP source ("tcp": the pty
# reaches it through socat's TCP port), and serve 1, 10 and 100 clients at rising
# rates (relay_load.py:
# loss, drops, CPU per kB and as a share of one core, latency at the last
# client), the stream written in 2 ms blocks; then, per client count, a busy site:
# the capture's frames written one by one at their own pacing, 68 kB/s (about
# 4,300 frames a second). brevalink.exe under Wine joins the table when it is
# built. Each figure is also shown as a ratio to ser2net's at the same clients,
# rate and load. Prints figures; never fails a build.
#
# Two more servers under the same load, to show how far from the limit each is:
# the floor (relay_floor, built beside the program: one read of its pty and one
# send per client per relay window, nothing else, so its CPU per kB is what the
# kernel must do for any relay at that window), and dump1090-mutability in
# network-only mode, fed over TCP by socat from its pty, which relays the frames
# it parsed and keeps rather than the bytes: its clients' frames are lined up with
# the stream's (relay_load.py --reframed) and a note under the table says what
# it dropped or changed. Under Wine, the floor is relay_floor_win ("wfloor", built
# here with mingw-w64): the same window's sends through Wine's Winsock, in the
# program's Wine session, so that what Wine's sends cost is told from the program's.
#
#   bench/relay_linux.sh [SECONDS]          default 3 s per measurement
#   RATES="25 50" CLIENTS="1 10" bench/relay_linux.sh
#   BUSY=0           leave out the busy-site rows (BUSY=120: that rate instead)
#   BREVALINK=path   another Linux program (default build/native/brevalink)
#   BEFORE=path      one more build of it, as the row "before" (a change measured)
#   FLOOR=path       the floor relay (default: bench/relay_floor beside the program)
#   DUMP1090=0       leave out dump1090-mutability
#   URING=0          leave out the floor's io_uring trial (floor-ur)
#   WINE=0           leave out brevalink.exe (default: in when build/windows has it)
#   WFLOOR=0         leave out the floor under Wine
set -u
# Numbers are printed and parsed with a decimal point, whatever the user's locale.
export LC_ALL=C.UTF-8
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_EACH=${1:-3}
LINUX_EXE=$(realpath "${BREVALINK:-$ROOT/build/native/brevalink}")
FLOOR_EXE=${FLOOR:-$(dirname "$LINUX_EXE")/bench/relay_floor}
WINDOWS=$ROOT/build/windows
CAPTURE=$ROOT/../shared/data/beast-capture-60s.bin
log() { echo "[$(date +%T)] $*" >&2; }

[ -x "$LINUX_EXE" ] || { echo "no $LINUX_EXE: cmake --build --preset native" >&2; exit 1; }
command -v ser2net >/dev/null || { echo "no ser2net (apt-get install ser2net)" >&2; exit 1; }
[ -f "$CAPTURE" ] || log "no $CAPTURE: a made-up stream instead"

WORK=$(mktemp -d /tmp/relay-linux-bench.XXXXXX)
CLEANUPS=("rm -rf $WORK")
on_exit() { CLEANUPS+=("$*"); }
cleanup() {
    local i
    for ((i = ${#CLEANUPS[@]} - 1; i >= 0; i--)); do eval "${CLEANUPS[$i]}" >/dev/null 2>&1; done
    CLEANUPS=()
}
trap cleanup EXIT
trap 'exit 1' INT TERM

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_for() {  # seconds description command...
    local deadline=$((SECONDS + $1)) what=$2; shift 2
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || { log "$what: not within the deadline"; exit 1; }
        sleep 0.05
    done
}
# A pty pair: the server opens $WORK/NAME-server, the load writes $WORK/NAME-peer.
serial_pair() {  # name
    socat pty,raw,echo=0,link="$WORK/$1-server" pty,raw,echo=0,link="$WORK/$1-peer" </dev/null >/dev/null 2>&1 &
    on_exit "kill $!"
    wait_for 10 "the $1 pty pair" test -e "$WORK/$1-peer"
}
settings() {  # dir file line...
    local d=$1 f=$2; shift 2
    printf '%s\r\n' "$@" >"$d/$f"
}

SERVERS=()
declare -A PORT TTY PIDS OPTS

# ser2net: the same options as relay_bench's baseline.
serial_pair ser2net
PORT[ser2net]=$(free_port)
TTY[ser2net]=$WORK/ser2net-peer
cat >"$WORK/ser2net.yaml" <<EOF
connection: &bench
    accepter: tcp,127.0.0.1,${PORT[ser2net]}
    enable: on
    options:
      max-connections: 100
      kickolduser: false
    connector: serialdev,$WORK/ser2net-server,115200n81,local
EOF
ser2net -n -u -c "$WORK/ser2net.yaml" -P "$WORK/ser2net.pid" >"$WORK/ser2net.out" 2>&1 &
PIDS[ser2net]=$!
on_exit "kill ${PIDS[ser2net]}"
wait_for 10 "ser2net listening" python3 -c "import socket; socket.create_connection(('127.0.0.1', ${PORT[ser2net]})).close()"
SERVERS+=(ser2net)

# The Linux program as a service in a folder of its own, binary mode, the feed
# pointed at a port nobody listens on (as the Wine run has it).
linux_service() {  # name program
    serial_pair "$1"
    mkdir "$WORK/$1"
    PORT[$1]=$(free_port)
    TTY[$1]=$WORK/$1-peer
    settings "$WORK/$1" init.ini "$WORK/$1-server" 115200
    settings "$WORK/$1" BinarComOn.ini 1 0 0 60
    settings "$WORK/$1" initsocket.ini "${PORT[$1]}"
    settings "$WORK/$1" initmkp2.ini "$(free_port)" 127.0.0.1
    "$2" --dir "$WORK/$1" >"$WORK/$1/service.out" 2>&1 </dev/null &
    PIDS[$1]=$!
    on_exit "kill ${PIDS[$1]}; wait ${PIDS[$1]}"
    wait_for 10 "$2 listening" grep -q "^relay: listening on port ${PORT[$1]}$" "$WORK/$1/service.out"
    SERVERS+=("$1")
}
linux_service linux "$LINUX_EXE"
# Another build of the program beside it ("before"), so that a change's effect is
# measured in one run under the same load.
[ -z "${BEFORE:-}" ] || linux_service before "$(realpath "$BEFORE")"

# The same program with its TCP source: socat turns the load's pty into the TCP
# port the program connects to, as ser2net or a decoder's Beast port would be.
# nodelay: with Nagle's delay socat's small writes wait for ACKs, and the 2 ms
# blocks reached the program in bunches, some 15 ms late at the median and 44 ms
# at the 99th percentile, and cost it fewer sends than the stream as written.
mkdir "$WORK/tcp"
PORT[tcp]=$(free_port)
TTY[tcp]=$WORK/tcp-peer
tcp_source=$(free_port)
socat pty,raw,echo=0,link="$WORK/tcp-peer" TCP-LISTEN:"$tcp_source",bind=127.0.0.1,reuseaddr,nodelay </dev/null >/dev/null 2>&1 &
on_exit "kill $!"
wait_for 10 "the TCP source's pty" test -e "$WORK/tcp-peer"
settings "$WORK/tcp" BinarComOn.ini 1 0 0 60
settings "$WORK/tcp" initsocket.ini "${PORT[tcp]}"
settings "$WORK/tcp" initmkp2.ini "$(free_port)" 127.0.0.1
"$LINUX_EXE" --dir "$WORK/tcp" --source "tcp:127.0.0.1:$tcp_source" >"$WORK/tcp/service.out" 2>&1 </dev/null &
PIDS[tcp]=$!
on_exit "kill ${PIDS[tcp]}; wait ${PIDS[tcp]}"
wait_for 10 "the TCP source connected" grep -Eq "^tcp source .* connected( |$)" "$WORK/tcp/service.out"
SERVERS+=(tcp)

# The floor, on a pty pair of its own as ser2net and the program have; and its
# io_uring trial ("floor-ur": each window's sends one submission), where built.
floor_server() {  # name option...
    local name=$1; shift
    serial_pair "$name"
    PORT[$name]=$(free_port)
    TTY[$name]=$WORK/$name-peer
    "$FLOOR_EXE" "$WORK/$name-server" "${PORT[$name]}" "$@" >"$WORK/$name.out" 2>&1 </dev/null &
    PIDS[$name]=$!
    on_exit "kill ${PIDS[$name]}"
    local deadline=$((SECONDS + 10))
    until grep -q "^relay_floor: listening" "$WORK/$name.out"; do
        if ! kill -0 "${PIDS[$name]}" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            log "$name left out: $(head -1 "$WORK/$name.out")"
            return
        fi
        sleep 0.05
    done
    SERVERS+=("$name")
}
if [ -x "$FLOOR_EXE" ]; then
    floor_server floor
    [ "${URING:-1}" = 0 ] || floor_server floor-ur --uring
else
    log "no $FLOOR_EXE (cmake --build DIR --target relay_floor): the floor left out"
fi

# dump1090-mutability takes the stream on its Beast input port, here from socat
# turning the load's pty into a TCP connection, and serves it on its Beast output
# port (nodelay, as for the TCP source); every other port of its is closed.
# --modeac and --net-verbatim, so that it passes Mode A/C frames and leaves the
# frames it passes as they came.
if [ "${DUMP1090:-1}" != 0 ] && command -v dump1090-mutability >/dev/null; then
    d_in=$(free_port)
    PORT[dump1090]=$(free_port)
    dump1090-mutability --net-only --net-bind-address 127.0.0.1 --net-bi-port "$d_in" \
        --net-bo-port "${PORT[dump1090]}" --net-ri-port 0 --net-ro-port 0 --net-sbs-port 0 \
        --modeac --net-verbatim --quiet >"$WORK/dump1090.out" 2>&1 </dev/null &
    PIDS[dump1090]=$!
    on_exit "kill ${PIDS[dump1090]}"
    wait_for 10 "dump1090 listening" python3 -c "import socket; socket.create_connection(('127.0.0.1', $d_in)).close()"
    TTY[dump1090]=$WORK/dump1090-peer
    socat pty,raw,echo=0,link="$WORK/dump1090-peer" TCP:127.0.0.1:"$d_in",nodelay </dev/null >/dev/null 2>&1 &
    on_exit "kill $!"
    wait_for 10 "dump1090's feed pty" test -e "$WORK/dump1090-peer"
    OPTS[dump1090]=--reframed
    SERVERS+=(dump1090)
else
    log "dump1090-mutability left out (DUMP1090=0, or not installed)"
fi

# brevalink.exe under Wine, set up as relay_wine.sh does; its program and
# wineserver count for its CPU.
if [ "${WINE:-1}" != 0 ] && [ -f "$WINDOWS/brevalink.exe" ] && [ -f "$WINDOWS/tests/e2e/e2e_driver.exe" ]; then
    export E2E_EXE=$WINDOWS/brevalink.exe E2E_TOOLS=$WINDOWS/tests/e2e E2E_CACHE=$WINDOWS/e2e-cache
    export E2E_CASE=relay_linux_bench
    . "$ROOT/tests/e2e/lib.sh"
    e2e_begin  # its exit trap ends the Wine session and then runs ours
    e2e_on_exit cleanup
    e2e_free_ports
    e2e_serial_pair 5
    e2e_settings init.ini COM5 115200
    e2e_settings BinarComOn.ini 1 0 0 60
    e2e_start_ready --timeout 3600000
    PORT[wine]=$E2E_SERVER_PORT
    TTY[wine]=$E2E_PEER_TTY
    # The Linux pids of this session's processes whose command line matches, and its
    # wineserver's (the e2e launcher's own wine process is not the program).
    wine_pids() {  # pattern
        local p
        for p in $(pgrep -f "$1|wineserver"); do
            tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
            grep -q 'e2e_launch' "/proc/$p/cmdline" 2>/dev/null && continue
            echo "$p"
        done
    }
    PIDS[wine]=" $(wine_pids brevalink.exe | tr '\n' ' ')"
    SERVERS+=(wine)
    # Its floor in the same session ("wfloor", bench/wine/relay_floor_win.cpp): the
    # same window's sends through Wine's Winsock and nothing else, on COM6.
    if [ "${WFLOOR:-1}" != 0 ] && command -v x86_64-w64-mingw32-g++ >/dev/null; then
        x86_64-w64-mingw32-g++ -O2 -std=c++20 -fno-exceptions -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0601 \
            -I"$ROOT/src" "$ROOT/bench/wine/relay_floor_win.cpp" -static -static-libgcc -static-libstdc++ -lws2_32 \
            -lwinmm -o "$WORK/relay_floor_win.exe"
        e2e_serial_pair 6
        PORT[wfloor]=$(free_port)
        TTY[wfloor]=$E2E_PEER_TTY
        wine "$WORK/relay_floor_win.exe" COM6 "${PORT[wfloor]}" >"$WORK/wfloor.out" 2>&1 </dev/null &
        on_exit "kill $!"
        deadline=$((SECONDS + 30))
        until grep -q "^relay_floor: listening" "$WORK/wfloor.out" || [ $SECONDS -ge $deadline ]; do sleep 0.05; done
        if grep -q "^relay_floor: listening" "$WORK/wfloor.out"; then
            PIDS[wfloor]=" $(wine_pids relay_floor_win.exe | tr '\n' ' ')"
            SERVERS+=(wfloor)
        else
            log "the Wine floor left out: $(head -1 "$WORK/wfloor.out")"
        fi
    fi
else
    log "brevalink.exe under Wine left out (WINE=0, or no build/windows)"
fi
log "servers: ${SERVERS[*]}; CPU of ser2net ${PIDS[ser2net]}, linux ${PIDS[linux]}${PIDS[wine]:+, wine${PIDS[wine]}}${PIDS[floor]:+, floor ${PIDS[floor]}}${PIDS[dump1090]:+, dump1090 ${PIDS[dump1090]}}"

# Each client count and rate: every server in turn, so that a drift of the machine
# during the run touches them alike.
RESULTS=$WORK/results
: >"$RESULTS"
BUSY=${BUSY:-68}
for n in ${CLIENTS:-1 10 100}; do
    loads=()
    for r in ${RATES:-25 50 100 200 300}; do loads+=("$r:blocks"); done
    [ "$BUSY" = 0 ] || [ ! -f "$CAPTURE" ] || loads+=("$BUSY:frames")
    for load in "${loads[@]}"; do
        r=${load%%:*}
        mode=()
        [ "${load#*:}" = frames ] && mode=(--frames)
        for s in "${SERVERS[@]}"; do
            # shellcheck disable=SC2086
            line=$(python3 "$ROOT/bench/relay_load.py" --label "$s" "${mode[@]}" ${OPTS[$s]:-} "${PORT[$s]}" "${TTY[$s]}" "$n" \
                "$r" "$SECONDS_EACH" "$CAPTURE" ${PIDS[$s]})
            echo "$line" >&2
            echo "$line" >>"$RESULTS"
        done
    done
done

# The table: per clients, rate and load, each server's figures and their ratio to
# ser2net's (x) and to the floor's (xfl); what a server relaying frames changed;
# then the highest rate each held without loss. The C locale, as
# the Wine session sets a Russian one, whose decimal comma awk would read and write.
LC_ALL=C awk -v servers="${SERVERS[*]}" '
    function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
    {
        rate = $3; sub(/\/s$/, "", rate); rate += 0
        ach = $4; sub(/\/s$/, "", ach); ach += 0
        r = $2 SUBSEP rate SUBSEP $11
        k = r SUBSEP $1
        A[k] = ach; L[k] = $5; D[k] = $6; C[k] = $7; P50[k] = $8; P99[k] = $9; CORE[k] = $10; seen[k] = 1
        if (NF >= 15) { FR[k] = $12; MISS[k] = $13; CHG[k] = $14; FOR[k] = $15; reframed[k] = 1 }
        if (!(r in order)) { order[r] = ++rows; row[rows] = r }
        # Held: nothing lost, nobody dropped, the source not slowed (as relay_bench).
        if ($11 == "blocks" && L[k] == 0 && D[k] == 0 && ach >= 0.95 * rate && rate > best[$2 SUBSEP $1])
            best[$2 SUBSEP $1] = rate
        if (!($2 in cseen)) { cseen[$2] = 1; counts[++ncounts] = $2 }
    }
    END {
        ns = split(servers, S, " ")
        printf "\n%7s %5s %-6s  %-8s %9s %6s %6s %10s %6s %6s %6s %6s %8s %6s %6s %8s %6s %6s\n", "clients", "kB/s",
            "load", "server", "achieved", "lost", "drops", "cpu ms/kB", "x", "xfl", "core", "x", "p50 ms", "x", "xfl",
            "p99 ms", "x", "xfl"
        for (i = 1; i <= rows; i++) {
            split(row[i], nr, SUBSEP)
            b = row[i] SUBSEP "ser2net"
            for (j = 1; j <= ns; j++) {
                k = row[i] SUBSEP S[j]
                if (!(k in seen)) continue
                # Under Wine the floor is the one that runs there too.
                f = row[i] SUBSEP (S[j] == "wine" || S[j] == "wfloor" ? "wfloor" : "floor")
                printf "%7d %5d %-6s  %-8s %9.1f %6d %6d %10.4f %6s %6s %6.3f %6s %8.2f %6s %6s %8.2f %6s %6s\n",
                    nr[1], nr[2], nr[3], S[j], A[k], L[k], D[k], C[k], ratio(C[k], C[b]), ratio(C[k], C[f]),
                    CORE[k], ratio(CORE[k], CORE[b]), P50[k], ratio(P50[k], P50[b]), ratio(P50[k], P50[f]),
                    P99[k], ratio(P99[k], P99[b]), ratio(P99[k], P99[f])
            }
        }
        printf "\nx: to ser2net at the same clients, rate and load; xfl: to the floor (relay_floor; under Wine relay_floor_win, wfloor)\n"
        for (i = 1; i <= rows; i++) {
            split(row[i], nr, SUBSEP)
            for (j = 1; j <= ns; j++) {
                k = row[i] SUBSEP S[j]
                if (!(k in reframed)) continue
                if (!noted++) printf "servers relaying frames, not bytes (lost: bytes of the stream'"'"'s frames missing, over all clients):\n"
                printf "%7d clients, %3d kB/s %-6s %s: %d frames per client, missing %d (%.3f%%), signal byte changed %d, not in the stream %d\n",
                    nr[1], nr[2], nr[3], S[j], FR[k], MISS[k], (FR[k] > 0 ? 100 * MISS[k] / (FR[k] * nr[1]) : 0),
                    CHG[k], FOR[k]
            }
        }
        printf "\nhighest rate held with zero loss (blocks), kB/s\n"
        for (c = 1; c <= ncounts; c++) {
            printf "%7d clients:", counts[c]
            for (j = 1; j <= ns; j++) printf "%s %s %d", (j > 1 ? "," : ""), S[j], best[counts[c] SUBSEP S[j]] + 0
            printf "\n"
        }
    }' "$RESULTS"

if [ -n "${PIDS[wine]:-}" ]; then
    drv close >/dev/null
    e2e_wait_exit 30000
fi
