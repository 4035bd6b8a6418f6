#!/usr/bin/env bash
# Helpers for the Linux program's end-to-end cases in cases/*.sh. A case sources
# this file, calls lx_begin, drives build/native/brevalink with real peers (socat
# pty pairs as the receiver's port, TCP clients, a feed server) and exits through
# lx_end. Every wait has a deadline; nothing sleeps to let the program catch up.
#
# Environment (set by CTest): LX_EXE the program, LX_TOOLS the native tools dir
# (simreceiver/, feedserver/), LX_SOURCE the source tree.
set -u
# The tools a case reads (dpkg, systemd-analyze, curl, the program's own strerror
# texts) translate their messages: a case must read the same words on every
# machine, so everything here runs in the C locale (UTF-8 for the terminal).
export LC_ALL=C.UTF-8
unset LANGUAGE
LX_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
LX_SOURCE=${LX_SOURCE:-$(cd "$LX_DIR/../.." && pwd)}
LX_EXE=${LX_EXE:-$LX_SOURCE/build/native/brevalink}
LX_TOOLS=${LX_TOOLS:-$(dirname "$LX_EXE")/tools}
LX_FAILED=0
LX_CLEANUPS=()

lx_log() { echo "[$(date +%T.%N | cut -c1-12)] $*" >&2; }

# A fresh working folder $LX_WORK (also the cwd), removed at the end unless the
# case failed.
lx_begin() {
    LX_CASE=$(basename "$0" .sh)
    LX_WORK=$(mktemp -d "/tmp/brevalink-linux-$LX_CASE.XXXXXX")
    cd "$LX_WORK" || exit 1
    # A first start searches the machine's serial ports: the cases' stations
    # search an empty tree instead (a case that wants ports builds its own).
    export BREVALINK_DEVICE_ROOT=$LX_WORK/no-devices
    trap lx_end EXIT
    trap 'lx_log "interrupted"; exit 1' INT TERM
    lx_log "case $LX_CASE in $LX_WORK"
}

lx_on_exit() { LX_CLEANUPS+=("$*"); }

lx_end() {
    local rc=$?
    trap - EXIT
    [ $rc -ne 0 ] && LX_FAILED=1
    local i
    for ((i = ${#LX_CLEANUPS[@]} - 1; i >= 0; i--)); do eval "${LX_CLEANUPS[$i]}" >/dev/null 2>&1; done
    if [ $LX_FAILED -ne 0 ]; then
        lx_log "FAILED; the program's output:"
        for f in "$LX_WORK"/*.out "$LX_WORK"/*.err; do [ -f "$f" ] && { echo "--- $f"; tail -n 30 "$f"; } >&2; done
        exit 1
    fi
    rm -rf "$LX_WORK"
    lx_log "passed"
    exit 0
}

lx_fail() { lx_log "FAIL: $*"; LX_FAILED=1; exit 1; }
lx_check() {  # description, actual, expected
    if [ "$2" == "$3" ]; then lx_log "ok: $1"; else lx_fail "$1: got '$2', expected '$3'"; fi
}

# Waits until the command succeeds: lx_wait MS DESCRIPTION COMMAND... The command
# runs anew each look, so a check of changing output must be a function.
lx_wait() {
    local ms=$1 what=$2; shift 2
    local deadline=$(($(date +%s%3N) + ms))
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s%3N)" -lt $deadline ] || lx_fail "$what: not within $ms ms"
        sleep 0.05
    done
    lx_log "ok: $what"
}

# A TCP port nobody listens on.
lx_free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# A pty pair: the program opens $LX_WORK/portA, the receiver's side is portB.
# Extra socat options apply to portA (its group and mode, say).
lx_serial_pair() {
    local a=pty,raw,echo=0,link="$LX_WORK/portA"
    [ $# -gt 0 ] && a+=",$*"
    socat "$a" pty,raw,echo=0,link="$LX_WORK/portB" 2>/dev/null &
    LX_SOCAT_PID=$!
    lx_on_exit "kill $LX_SOCAT_PID"
    lx_wait 5000 "the pty pair" test -e "$LX_WORK/portB"
}

# Settings files with CR LF line ends, as the Windows program writes them, in
# $LX_SETTINGS (default $LX_WORK).
lx_setting() {  # file line...
    local f=$1; shift
    printf '%s\r\n' "$@" >"${LX_SETTINGS:-$LX_WORK}/$f"
}

# Starts the program as a service (stdout not a terminal) in $LX_WORK; its
# journal goes to service.out. Extra arguments go to the program.
lx_start_service() {
    "$LX_EXE" --dir "$LX_WORK" "$@" >"$LX_WORK/service.out" 2>"$LX_WORK/service.err" &
    LX_PID=$!
    lx_on_exit "kill -KILL $LX_PID"
    lx_wait 10000 "the program's start line" grep -q '^brevalink .* started in' "$LX_WORK/service.out"
}

# The journal has a line matching the pattern (grep -E), within ms.
lx_journal() {  # ms pattern
    lx_wait "$1" "journal: $2" grep -qE "$2" "$LX_WORK/service.out"
}

# Ends the program with a signal and checks that it ends by itself with code 0.
lx_stop_service() {  # [signal]
    kill "-${1:-TERM}" "$LX_PID"
    local deadline=$((SECONDS + 15))
    while kill -0 "$LX_PID" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || lx_fail "the program did not end within 15 s of SIG${1:-TERM}"
        sleep 0.05
    done
    wait "$LX_PID"
    lx_check "exit code after SIG${1:-TERM}" "$?" 0
}

# Relay clients (tests/e2e/relay_clients.py) driven step by step: lx_clients_start
# PORT, then $(lx_clients COMMAND...) prints the step's result line ("ok ...").
lx_clients_start() {
    python3 "$LX_SOURCE/tests/e2e/relay_clients.py" "$1" "$LX_WORK" >"$LX_WORK/clients.log" 2>&1 &
    LX_CLIENTS=$!
    lx_on_exit "kill $LX_CLIENTS"
    echo 0 >"$LX_WORK/.step"
}
lx_clients() {
    local step=$(($(cat "$LX_WORK/.step") + 1))
    echo $step >"$LX_WORK/.step"
    echo "$*" >"$LX_WORK/step.$step.tmp" && mv "$LX_WORK/step.$step.tmp" "$LX_WORK/step.$step"
    local deadline=$((SECONDS + 60))
    until [ -f "$LX_WORK/done.$step" ]; do
        kill -0 "$LX_CLIENTS" 2>/dev/null || { echo "FAIL relay_clients.py ended"; return; }
        [ $SECONDS -lt $deadline ] || { echo "FAIL no answer to '$*'"; return; }
        sleep 0.05
    done
    cat "$LX_WORK/done.$step"
}

# A feed server (tests/e2e/feed_peer.py) on PORT writing connection N to
# $LX_WORK/feed/conn.N.
lx_feed_peer() {
    mkdir -p "$LX_WORK/feed"
    python3 "$LX_SOURCE/tests/e2e/feed_peer.py" "$1" "$LX_WORK/feed" 2>/dev/null &
    lx_on_exit "kill $!"
    lx_wait 5000 "the feed server listens" test -f "$LX_WORK/feed/listening"
}

# The receiver's end of the pair on descriptor 7; what the program sends to the
# receiver is collected in $LX_WORK/commands.txt.
lx_receiver_open() {
    exec 7<>"$LX_WORK/portB"
    cat <&7 >"$LX_WORK/commands.txt" &
    lx_on_exit "kill $!"
}

# The terminal monitor in a tmux session of its own (100 x 26, UTF-8); the exit
# code goes to $LX_WORK/exit.code. lx_screen prints what the terminal shows.
lx_start_terminal() {
    LX_TMUX="tmux -L brevalink-$$"
    # Closing the terminal ends the program (SIGHUP); one that would not is killed.
    lx_on_exit "pkill -KILL -f -- '--dir $LX_WORK'"
    lx_on_exit "$LX_TMUX kill-server"
    $LX_TMUX -f /dev/null new-session -d -x 100 -y 26 \
        "env LANG=C.UTF-8 LC_ALL=C.UTF-8 TERM=screen '$LX_EXE' --dir '$LX_WORK' $*; echo \$? >'$LX_WORK/exit.code'; sleep 600" ||
        lx_fail "tmux cannot start"
}
lx_screen() { $LX_TMUX capture-pane -p; }
lx_screen_has() { lx_screen | grep -qE "$1"; }
lx_keys() { $LX_TMUX send-keys "$@"; }

# A station: the receiver on a pty pair (its end on descriptor 7), the relay on
# free port $RELAY, the feed server on free port $FEED, settings to match.
lx_station() {  # baud
    lx_serial_pair
    RELAY=$(lx_free_port)
    FEED=$(lx_free_port)
    lx_setting init.ini "$LX_WORK/portA" "$1"
    lx_setting initsocket.ini "$RELAY"
    lx_setting initmkp2.ini "$FEED" 127.0.0.1
    lx_feed_peer "$FEED"
    lx_receiver_open
}
