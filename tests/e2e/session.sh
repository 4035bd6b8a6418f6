#!/usr/bin/env bash
# One e2e session: a Wine prefix, an Xvfb display and a persistent wineserver that
# the tests of one ctest run share (CTest fixture e2e.setup / e2e.cleanup).
#
#   session.sh start   make the session in $E2E_STATE and write $E2E_STATE/env
#   session.sh stop    end it: only what start started (its Xvfb, the wineserver of
#                      its prefix, its watchdog), then delete the prefix copy
#   session.sh restart end Wine's processes and start them again (the desktop
#                      held again), so that its services read the registry anew:
#                      the COM ports of HKLM\Software\Wine\Ports are listed only
#                      by a mount manager started after they were set
#
# The prefix is booted once per build directory into $E2E_CACHE/prefix (fonts,
# registry, virtual desktop, no com1) and copied for every session, so a session
# starts in a few seconds; a fresh checkout builds the cache on its first run.
# The session holds the virtual desktop up from its start to its end.
# A watchdog ends the session when the process that started it (ctest) is gone,
# so an interrupted run leaves nothing behind.
set -u
E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# wine_env and boot_wine_prefix are shared with scripts/run.
BREVALINK_ROOT=${BREVALINK_ROOT:-$(cd "$E2E_DIR/../.." && pwd)}
. "$BREVALINK_ROOT/scripts/lib/wine.sh"
: "${E2E_STATE:?E2E_STATE must name the session directory}"
: "${E2E_CACHE:?E2E_CACHE must name the prefix cache directory}"

# Bump when the way the prefix is made changes; the cache is then rebuilt.
PREFIX_RECIPE=4

log() { echo "e2e session: $*" >&2; }

prefix_stamp() {
    { echo "recipe $PREFIX_RECIPE"; wine --version 2>/dev/null; cat "$E2E_DIR/prefix.reg"; } | md5sum | cut -d' ' -f1
}

ensure_template() {
    mkdir -p "$E2E_CACHE"
    local want
    want=$(prefix_stamp)
    (
        # One builder at a time per cache; the others wait and then use its result.
        flock 9
        if [ -f "$E2E_CACHE/prefix/.e2e-stamp" ] && [ "$(cat "$E2E_CACHE/prefix/.e2e-stamp")" = "$want" ]; then
            exit 0
        fi
        log "booting the template prefix in $E2E_CACHE/prefix (once per build directory)"
        local tmp="$E2E_CACHE/prefix.new.$$"
        rm -rf "$tmp" "$E2E_CACHE/prefix"
        if ! boot_wine_prefix "$tmp"; then
            log "wineboot or the registry import failed"
            WINEPREFIX=$tmp wineserver -k 2>/dev/null
            rm -rf "$tmp"
            exit 1
        fi
        echo "$want" >"$tmp/.e2e-stamp"
        mv "$tmp" "$E2E_CACHE/prefix"
    ) 9>"$E2E_CACHE/lock"
}

# Is pid $1 alive and running the program named $2?
is_ours() {
    [ -n "${1:-}" ] && [ -r "/proc/$1/cmdline" ] && tr '\0' ' ' <"/proc/$1/cmdline" | grep -q -- "$2"
}

stop_session() {
    [ -f "$E2E_STATE/env" ] || return 0
    local XVFB_PID='' WATCHDOG_PID='' DESKTOP_PID='' WINEPREFIX=''
    # shellcheck disable=SC1091
    . "$E2E_STATE/env"
    if [ -n "$WATCHDOG_PID" ] && [ "$WATCHDOG_PID" != "${E2E_IS_WATCHDOG:-}" ] && is_ours "$WATCHDOG_PID" watchdog.sh; then
        kill "$WATCHDOG_PID" 2>/dev/null
    fi
    if is_ours "$DESKTOP_PID" hold-desktop; then kill "$DESKTOP_PID" 2>/dev/null; fi
    if [ -d "$WINEPREFIX" ]; then
        WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null
        WINEPREFIX=$WINEPREFIX timeout 30 wineserver -w 2>/dev/null
    fi
    if is_ours "$XVFB_PID" Xvfb; then
        kill "$XVFB_PID" 2>/dev/null
        for _ in $(seq 50); do is_ours "$XVFB_PID" Xvfb || break; sleep 0.1; done
    fi
    rm -rf "$WINEPREFIX"
    rm -f "$E2E_STATE/env"
}

# Runs "$@" in a mount namespace of its own whose /dev has no serial port. Wine's
# mount manager maps every /dev/ttyS* it finds as a COM port and lists it in the
# SERIALCOMM device map; on these machines /dev/ttyS0 is the console, which no
# receiver search may open. The services Wine starts inherit the namespace, so
# SERIALCOMM lists only the ports a case sets in HKLM\Software\Wine\Ports.
without_serial_ports() {
    local dev=$E2E_STATE/dev
    mkdir -p "$dev/pts" "$dev/shm"
    unshare -m --propagation private bash -c '
        d=$1; shift
        for n in null zero full random urandom tty ptmx; do
            : >"$d/$n" && mount --bind "/dev/$n" "$d/$n" || exit 1
        done
        mount --bind /dev/pts "$d/pts" && mount --bind /dev/shm "$d/shm" && mount --rbind "$d" /dev || exit 1
        exec "$@"' without-serial-ports "$dev" "$@"
}

# The persistent wineserver and Wine's first start (desktop, services), without
# the machine's serial ports.
start_wine() {
    without_serial_ports bash -c '
        wineserver -p </dev/null >/dev/null 2>&1
        timeout 120 setarch -R wine "$1" windows' start-wine "$E2E_TOOLS/e2e_driver.exe" >"$E2E_STATE/warmup.log" 2>&1
}

# Starts the driver's hold-desktop in the background and waits until it holds the
# desktop; a start that got no desktop is tried again, three times in all.
hold_desktop() {
    local try out=$E2E_STATE/desktop.out
    for try in 1 2 3; do
        rm -f "$out"
        setsid setarch -R wine "$E2E_TOOLS/e2e_driver.exe" hold-desktop </dev/null >"$out" 2>&1 &
        local pid=$! deadline=$((SECONDS + 120))
        until grep -q '^desktop' "$out" 2>/dev/null; do
            if ! kill -0 $pid 2>/dev/null || [ $SECONDS -ge $deadline ]; then
                log "try $try: the virtual desktop is not held: $(tail -n 3 "$out" 2>/dev/null)"
                kill $pid 2>/dev/null
                pid=''
                break
            fi
            sleep 0.1
        done
        if [ -n "$pid" ]; then
            echo "DESKTOP_PID=$pid" >>"$E2E_STATE/env"
            return 0
        fi
    done
    return 1
}

start_session() {
    if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
        log "the ru_RU.UTF-8 locale is missing (localedef -i ru_RU -f UTF-8 ru_RU.UTF-8): without it Wine's ANSI code page is not 1251"
        return 1
    fi
    stop_session  # a stale session of an interrupted run in the same build directory
    mkdir -p "$E2E_STATE"
    rm -rf "${E2E_STATE:?}/work" "$E2E_STATE/prefix"
    mkdir -p "$E2E_STATE/work"

    # Xvfb picks a free display number itself and tells us which (-displayfd).
    # No auto-repeat (-r): a key typed by xdotool is held only between its press and
    # release, and on a busy machine that can outlast the repeat delay, which would
    # type the key more than once.
    local dfile="$E2E_STATE/display"
    rm -f "$dfile"
    setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -r 3>"$dfile" \
        </dev/null >"$E2E_STATE/xvfb.log" 2>&1 &
    local xvfb=$!
    local n=0
    until [ -s "$dfile" ] && grep -q '^[0-9]' "$dfile"; do
        n=$((n + 1))
        if [ $n -gt 300 ] || ! kill -0 $xvfb 2>/dev/null; then
            log "Xvfb did not start: $(cat "$E2E_STATE/xvfb.log")"
            kill $xvfb 2>/dev/null
            return 1
        fi
        sleep 0.1
    done
    export DISPLAY=":$(head -n1 "$dfile" | tr -dc 0-9)"

    # The watchdog holds the session's lifetime to that of its starter (ctest, or
    # the test script in a standalone run).
    local starter=${E2E_STARTER_PID:-$PPID}
    {
        echo "export DISPLAY=$DISPLAY"
        echo "export WINEPREFIX=$E2E_STATE/prefix"
        echo "XVFB_PID=$xvfb"
        echo "WATCHDOG_PID="
    } >"$E2E_STATE/env"
    setsid bash "$E2E_DIR/watchdog.sh" "$starter" "$E2E_STATE" "$E2E_CACHE" </dev/null >/dev/null 2>&1 &
    local watchdog=$!
    sed -i "s/^WATCHDOG_PID=.*/WATCHDOG_PID=$watchdog/" "$E2E_STATE/env"

    if ! ensure_template; then
        stop_session
        return 1
    fi
    cp -a "$E2E_CACHE/prefix" "$E2E_STATE/prefix"

    wine_env
    export WINEPREFIX="$E2E_STATE/prefix"
    # A persistent server: each later wine start then takes a fraction of a second.
    # The first start brings up the virtual desktop and services; do it now, not in a test.
    # No address randomisation for Wine processes: see e2e_wine in lib.sh.
    if ! start_wine; then
        log "the first Wine start failed: $(tail -n 5 "$E2E_STATE/warmup.log")"
        stop_session
        return 1
    fi
    # Wine ends the virtual desktop a moment after the last process on it ends, and
    # the next program to need it starts it again, waiting at most 10 s for it: on
    # a busy machine that runs out between two cases and the program finds no
    # desktop to open its window on (an all-black screen, "no main window"). A
    # process of the session's own holds the desktop up until the session ends.
    if ! hold_desktop; then
        stop_session
        return 1
    fi
    # Wine's mount manager maps com1 to /dev/ttyS0 again when it starts where it
    # sees the machine's ports: unmap it, so that "COM1" fails to open as on a
    # machine without that port.
    rm -f "$WINEPREFIX/dosdevices/com1"
    log "ready: DISPLAY=$DISPLAY WINEPREFIX=$WINEPREFIX"
}

restart_wine() {
    [ -f "$E2E_STATE/env" ] || { log "no session to restart"; return 1; }
    local DESKTOP_PID=''
    # shellcheck disable=SC1091
    . "$E2E_STATE/env"
    wine_env
    if is_ours "$DESKTOP_PID" hold-desktop; then kill "$DESKTOP_PID" 2>/dev/null; fi
    sed -i '/^DESKTOP_PID=/d' "$E2E_STATE/env"
    wineserver -k 2>/dev/null
    timeout 30 wineserver -w 2>/dev/null
    if ! start_wine; then
        log "Wine did not start again: $(tail -n 5 "$E2E_STATE/warmup.log")"
        return 1
    fi
    hold_desktop || return 1
    rm -f "$WINEPREFIX/dosdevices/com1"
}

case "${1:-}" in
    start) start_session ;;
    stop) stop_session ;;
    restart) restart_wine ;;
    *) echo "usage: session.sh start|stop|restart" >&2; exit 2 ;;
esac
