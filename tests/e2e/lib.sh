#!/usr/bin/env bash
# Helpers for the end-to-end tests in cases/*.sh (see README.md). A case sources
# this file, calls e2e_begin, drives the program with the helpers below and ends
# with e2e_end. Every helper that waits takes a deadline; none sleeps to let the
# program catch up.
#
# Environment (set by CTest; for a standalone run see README.md):
#   E2E_EXE    brevalink.exe          E2E_TOOLS  dir with e2e_driver.exe, e2e_launch.exe,
#   E2E_STATE  session dir                       e2e_hook.dll and zlib-no-*/zlib1.dll
#   E2E_CACHE  prefix cache dir
set -u
E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

E2E_FAILED=0
E2E_CLEANUPS=()
E2E_LAUNCH_PID=''
E2E_PROGRAM_PID=''
E2E_OWN_SESSION=0

e2e_log() { echo "[$(date +%T.%N | cut -c1-12)] $*" >&2; }

# --- session and test lifecycle ------------------------------------------------

# Joins the session of this ctest run, or makes a private one (standalone run),
# and gives the case a fresh, empty working directory $E2E_WORK (also the cwd).
e2e_begin() {
    E2E_CASE=${E2E_CASE:-$(basename "$0" .sh)}
    : "${E2E_EXE:?E2E_EXE must name brevalink.exe}" "${E2E_TOOLS:?E2E_TOOLS must name the e2e tools dir}"
    if [ -z "${E2E_STATE:-}" ] || [ ! -f "$E2E_STATE/env" ]; then
        # Standalone: a session of our own, ended by our exit trap.
        E2E_OWN_SESSION=1
        export E2E_STATE=${E2E_STATE:-$(mktemp -d /tmp/brevalink-e2e.XXXXXX)}
        export E2E_CACHE=${E2E_CACHE:-$(dirname "$E2E_EXE")/e2e-cache}
        E2E_STARTER_PID=$$ bash "$E2E_DIR/session.sh" start || { echo "cannot start an e2e session" >&2; exit 1; }
    fi
    # shellcheck disable=SC1091
    . "$E2E_STATE/env"
    export WINEARCH=win64 WINEDEBUG=-all LC_ALL=ru_RU.UTF-8
    export WINEDLLOVERRIDES="mscoree,mshtml="
    E2E_WORK="$E2E_STATE/work/$E2E_CASE"
    rm -rf "$E2E_WORK"
    mkdir -p "$E2E_WORK"
    cd "$E2E_WORK" || exit 1
    trap e2e_end EXIT
    trap 'e2e_log "interrupted"; exit 1' INT TERM
    e2e_log "case $E2E_CASE in $E2E_WORK"
}

# Runs a command when the case ends, however it ends (last registered runs first).
e2e_on_exit() { E2E_CLEANUPS+=("$*"); }

# Ends the case: stops the program if it still runs, runs the cleanups, ends a
# private session, and exits 1 if any check failed.
e2e_end() {
    local rc=$?
    trap - EXIT
    [ $rc -ne 0 ] && E2E_FAILED=1
    if [ $E2E_FAILED -ne 0 ]; then
        e2e_log "FAILED; windows on the desktop:"
        drv windows >&2 2>&1
        e2e_screenshot "$E2E_WORK/failure.png" && e2e_log "screenshot: $E2E_WORK/failure.png"
    fi
    e2e_stop_program
    e2e_unlock_default_ports
    local i
    for ((i = ${#E2E_CLEANUPS[@]} - 1; i >= 0; i--)); do eval "${E2E_CLEANUPS[$i]}"; done
    if [ $E2E_OWN_SESSION -eq 1 ]; then
        bash "$E2E_DIR/session.sh" stop
        # A private session keeps its working directory only when the case failed.
        if [ $E2E_FAILED -eq 0 ]; then
            cd / && rm -rf "$E2E_STATE"
        else
            e2e_log "working directory kept: $E2E_WORK"
        fi
    fi
    if [ $E2E_FAILED -ne 0 ]; then
        e2e_log "case $E2E_CASE FAILED"
        exit 1
    fi
    e2e_log "case $E2E_CASE passed"
    exit 0
}

# --- checks -------------------------------------------------------------------

# A failed check is reported and the case goes on, so one run shows every fault.
e2e_check() {  # description, actual, expected
    if [ "$2" == "$3" ]; then
        e2e_log "ok: $1"
    else
        E2E_FAILED=1
        e2e_log "FAIL: $1"
        e2e_log "   expected: [$3]"
        e2e_log "   actual:   [$2]"
    fi
}

e2e_check_file() {  # description, file, expected file (byte for byte)
    if cmp -s "$2" "$3"; then
        e2e_log "ok: $1"
    else
        E2E_FAILED=1
        e2e_log "FAIL: $1 ($2 differs from $3)"
        diff <(od -c "$3") <(od -c "$2") | head -n 20 >&2
    fi
}

# A failure after which the case cannot go on.
e2e_fail() {
    E2E_FAILED=1
    e2e_log "FAIL: $*"
    exit 1
}

# --- Wine, the driver and the program -----------------------------------------

# Windows path (drive Z: is the Linux root) of a Linux path.
e2e_winpath() {
    local p
    p=$(realpath -m "$1")
    echo "Z:${p//\//\\}"
}

# Runs a Windows program in the session's prefix, in the current directory.
# Without address randomisation (setarch -R, inherited by the processes it starts):
# Debian's Wine loader sits at a fixed address just below the page Wine must map
# at 0x7ffe0000, and the kernel places the loader's heap at random anywhere in the
# 1 GB above it. About one start in a few thousand the heap covers that page and
# the process ends with exit code 1 before it runs ("failed to map the shared user
# data", hidden by WINEDEBUG=-all): a driver call or the program itself would fail
# at random. Wine's preloader, which reserves the page first, is not installed.
e2e_wine() { setarch -R wine "$@"; }

# The driver (commands in driver/driver.cpp or README.md). Output is UTF-8.
drv() { e2e_wine "$E2E_TOOLS/e2e_driver.exe" "$@"; }

# Starts brevalink.exe through the launcher, in $E2E_WORK. Options:
#   --exe PATH        another program file (a copy beside a test zlib1.dll, say)
#   --native-zlib     load zlib1.dll from the program's folder (WINEDLLOVERRIDES
#                     zlib1=n,b; Wine's own zlib1 is otherwise already loaded)
#   --timeout MS      the launcher terminates the program after MS (default 240000)
# Sets E2E_PROGRAM_PID (Windows pid) and E2E_LAUNCH_PID (Linux pid of the launcher).
e2e_start() {
    local exe=$E2E_EXE overrides=$WINEDLLOVERRIDES timeout=240000
    while [ $# -gt 0 ]; do
        case $1 in
            --exe) exe=$2; shift 2 ;;
            --native-zlib) overrides="$overrides;zlib1=n,b"; shift ;;
            --timeout) timeout=$2; shift 2 ;;
            *) e2e_fail "e2e_start: unknown option $1" ;;
        esac
    done
    [ -z "$E2E_LAUNCH_PID" ] || e2e_fail "e2e_start: the program is already running"
    [ -f "$E2E_WORK/initsocket.ini" ] || e2e_lock_default_ports
    rm -f "$E2E_WORK/.launch.out"
    # setarch as in e2e_wine, called directly so that $! is the launcher itself.
    WINEDLLOVERRIDES=$overrides setarch -R wine "$E2E_TOOLS/e2e_launch.exe" "$timeout" "$(e2e_winpath "$exe")" \
        >"$E2E_WORK/.launch.out" 2>"$E2E_WORK/.launch.err" </dev/null &
    E2E_LAUNCH_PID=$!
    local deadline=$((SECONDS + 60))
    until grep -q '^pid ' "$E2E_WORK/.launch.out" 2>/dev/null; do
        if grep -q '^error ' "$E2E_WORK/.launch.out" 2>/dev/null || ! kill -0 "$E2E_LAUNCH_PID" 2>/dev/null; then
            # A program that ends at once (a refusal to start) takes the launcher
            # with it, maybe just after the look for its pid above.
            grep -q '^pid ' "$E2E_WORK/.launch.out" && break
            e2e_fail "the launcher could not start $exe: $(cat "$E2E_WORK/.launch.out" "$E2E_WORK/.launch.err")"
        fi
        [ $SECONDS -lt $deadline ] || e2e_fail "the launcher did not start $exe within 60 s"
        sleep 0.05
    done
    E2E_PROGRAM_PID=$(sed -n 's/^pid //p' "$E2E_WORK/.launch.out")
    e2e_log "started $(basename "$exe") (Windows pid $E2E_PROGRAM_PID)"
}

# Waits for the main window with its 21 lines.
# A program that ended instead is said with its exit code.
e2e_wait_window() {
    drv wait-window "${1:-30000}" && return 0
    e2e_fail "no main window within ${1:-30000} ms (launcher: $(tr '\n' ' ' <"$E2E_WORK/.launch.out" 2>/dev/null))"
}

# Starts the program and waits until it is ready for driving: the window and its
# lines exist and start-up has passed the status refresh (status line 0 has text).
# Options as e2e_start, plus --dismiss TITLE: press OK (id 1) in a box titled
# TITLE if one comes up during start-up (e.g. the port failure box "COM1").
e2e_start_ready() {
    local dismiss=() args=()
    while [ $# -gt 0 ]; do
        case $1 in
            --dismiss) dismiss+=("$2"); shift 2 ;;
            --timeout|--exe) args+=("$1" "$2"); shift 2 ;;
            *) args+=("$1"); shift ;;
        esac
    done
    e2e_start "${args[@]}"
    e2e_wait_window 30000
    local t deadline=$((SECONDS + 30))
    for t in "${dismiss[@]}"; do
        drv wait-box "$t" 15000 dlg-press "$t" 1 wait-no-box "$t" 10000 || e2e_fail "no start-up box \"$t\""
    done
    drv wait-line 18 nonempty '' 30000 >/dev/null || e2e_fail "status line 0 stays empty"
}

# Waits for the program to end and sets E2E_EXIT_CODE to its full 32-bit exit
# code. Call it directly, not in $(...): it also forgets the ended program.
e2e_wait_exit() {  # [ms]
    local ms=${1:-30000}
    local deadline=$((SECONDS + (ms + 999) / 1000))
    until grep -qE '^(exit|timeout)' "$E2E_WORK/.launch.out" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || e2e_fail "the program did not end within $ms ms"
        sleep 0.05
    done
    grep -q '^timeout' "$E2E_WORK/.launch.out" && e2e_fail "the launcher had to terminate the program"
    wait "$E2E_LAUNCH_PID" 2>/dev/null
    E2E_LAUNCH_PID=''
    E2E_PROGRAM_PID=''
    E2E_EXIT_CODE=$(sed -n 's/^exit //p' "$E2E_WORK/.launch.out")
    e2e_unlock_default_ports
}

# The relay server's default port 7777 is one per machine, and other runs (other
# build directories, other people) start the program at the same time: a second
# program cannot listen and its status lines stay empty. A program started with no
# initsocket.ini therefore runs under a machine-wide lock. Cases that are not
# about the defaults give the program free ports instead (e2e_free_ports).
E2E_PORTS_LOCK=/tmp/brevalink-e2e-default-ports.lock
E2E_PORTS_HOLDER=''
e2e_lock_default_ports() {
    [ -z "$E2E_PORTS_HOLDER" ] || return 0
    local got="$E2E_WORK/.ports-locked"
    rm -f "$got"
    # The holder is a process of its own, so no Wine process inherits the lock; it
    # ends by itself when this shell does.
    (
        exec 9>>"$E2E_PORTS_LOCK"
        chmod 666 "$E2E_PORTS_LOCK" 2>/dev/null  # shared by every user's runs
        flock -w 240 9 || exit 1
        : >"$got"
        exec tail --pid=$$ -f /dev/null
    ) </dev/null >/dev/null 2>&1 &
    E2E_PORTS_HOLDER=$!
    until [ -f "$got" ]; do
        kill -0 "$E2E_PORTS_HOLDER" 2>/dev/null || e2e_fail "another run held port 7777 for 240 s ($E2E_PORTS_LOCK)"
        sleep 0.05
    done
}
e2e_unlock_default_ports() {
    [ -n "$E2E_PORTS_HOLDER" ] || return 0
    kill "$E2E_PORTS_HOLDER" 2>/dev/null
    wait "$E2E_PORTS_HOLDER" 2>/dev/null
    E2E_PORTS_HOLDER=''
}

# Gives the program free relay-server and feed ports (initsocket.ini and
# initmkp2.ini in the working directory); nothing listens on the feed port.
e2e_free_ports() {
    E2E_SERVER_PORT=$(e2e_free_port)
    E2E_FEED_PORT=$(e2e_free_port)
    while [ "$E2E_FEED_PORT" = "$E2E_SERVER_PORT" ]; do E2E_FEED_PORT=$(e2e_free_port); done
    e2e_settings initsocket.ini "$E2E_SERVER_PORT"
    e2e_settings initmkp2.ini "$E2E_FEED_PORT" 127.0.0.1
}

# Ends a program still running at the end of a case (a failed case, usually):
# terminate it by pid, then wait for the launcher and the window to go.
e2e_stop_program() {
    [ -n "$E2E_LAUNCH_PID" ] || return 0
    if kill -0 "$E2E_LAUNCH_PID" 2>/dev/null; then
        [ -n "$E2E_PROGRAM_PID" ] && drv kill "$E2E_PROGRAM_PID" 2>/dev/null
        local n=0
        while kill -0 "$E2E_LAUNCH_PID" 2>/dev/null && [ $n -lt 200 ]; do sleep 0.05; n=$((n + 1)); done
        kill "$E2E_LAUNCH_PID" 2>/dev/null
    fi
    wait "$E2E_LAUNCH_PID" 2>/dev/null
    E2E_LAUNCH_PID=''
    E2E_PROGRAM_PID=''
    drv wait-gone 10000 2>/dev/null || e2e_log "warning: a main window is still there"
    e2e_unlock_default_ports
}

# --- reading the window -------------------------------------------------------

# Fills E2E_LINES with the 21 STATIC lines (0-17 monitor, 18-20 status), escaped
# as the driver prints them (\n, \r, \t, \\).
e2e_read_lines() {
    mapfile -t E2E_LINES < <(drv lines)
    [ ${#E2E_LINES[@]} -eq 21 ] || e2e_fail "expected 21 lines, read ${#E2E_LINES[@]}"
}

# Waits until status line 0..2 (STATIC 18..20) matches; prints its text.
#   e2e_wait_status N eq|prefix|contains|nonempty|empty TEXT [ms]
e2e_wait_status() { drv wait-line $((18 + $1)) "$2" "$3" "${4:-15000}"; }

# Waits until monitor line N (0 top .. 17 bottom) matches, like e2e_wait_status.
e2e_wait_monitor() { drv wait-line "$1" "$2" "$3" "${4:-15000}"; }

e2e_title() { drv title; }

# 1 when main-menu item ID is checked, else 0 (read inside the program by the hook DLL).
e2e_menu_checked() { drv menu-checked "$1"; }

# Waits for a message box or dialog titled TITLE and prints its text (static 65535).
e2e_box_text() {  # title [ms]
    drv wait-box "$1" "${2:-15000}" box-text "$1" || e2e_fail "no box titled \"$1\""
}

# Presses a button by id (OK = 1, Cancel = 2) in the box TITLE and waits for it to go.
e2e_box_press() {  # title [id]
    drv dlg-press "$1" "${2:-1}" wait-no-box "$1" 15000 || e2e_fail "cannot close the box \"$1\""
}

e2e_screenshot() {  # file
    import -display "$DISPLAY" -window root "$1" 2>/dev/null
}

# --- typing on the keyboard ---------------------------------------------------

# Types keys (xdotool names: 1, Tab) as a person would. They go through the X
# server to whatever has the keyboard focus when Wine takes them: wait for the
# focus first (drv wait-focus TITLE ID MS).
e2e_type() { xdotool key --clearmodifiers "$@" || e2e_fail "xdotool cannot type $*"; }

# A driver call that reads a window can be answered before keys typed just before
# it are handled, so a check of what typing did waits until COMMAND prints
# EXPECTED (10 s at most), then prints what COMMAND printed last.
e2e_settled() {  # command expected
    local got deadline=$((SECONDS + 10))
    while got=$($1) && [ "$got" != "$2" ] && [ $SECONDS -lt $deadline ]; do sleep 0.05; done
    echo "$got"
}

# --- files --------------------------------------------------------------------

# Writes a settings file in the working directory, one value per line, CR LF.
#   e2e_settings init.ini COM5 115200
e2e_settings() {
    local f=$1
    shift
    : >"$E2E_WORK/$f"
    local v
    for v in "$@"; do printf '%s\r\n' "$v" >>"$E2E_WORK/$f"; done
}

# Prints a text file of the working directory with CR shown as \r.
e2e_show_file() { sed 's/\r/\\r/g' "$E2E_WORK/$1"; }

# --- peers for later cases ----------------------------------------------------

# A TCP port that nothing listens on now (for a peer that binds it next).
e2e_free_port() {
    local port hex
    while :; do
        port=$((20000 + RANDOM % 40000))
        hex=$(printf ':%04X ' "$port")
        grep -q "$hex" /proc/net/tcp /proc/net/tcp6 2>/dev/null || { echo "$port"; return; }
    done
}

# A virtual null-modem pair: the program's end becomes COM<n> in the prefix; the
# test's end is left in E2E_PEER_TTY (a pty path: open it raw before writing).
# Call it directly, not in $(...), so its cleanup is registered in this shell.
#   e2e_serial_pair 5; e2e_settings init.ini COM5 115200
# E2E_SERIAL_PID is the pair's socat: killing it tears the line down (a receiver
# unplugged); a second e2e_serial_pair N brings it back under the same COM name.
e2e_serial_pair() {
    local n=$1 a="$E2E_WORK/ttyCOM$1" b="$E2E_WORK/ttyPeer$1"
    rm -f "$a" "$b"  # the links of a pair torn down before
    socat "pty,raw,echo=0,link=$a" "pty,raw,echo=0,link=$b" </dev/null >/dev/null 2>&1 &
    local pid=$!
    E2E_SERIAL_PID=$pid
    e2e_on_exit "kill $pid 2>/dev/null; rm -f '$WINEPREFIX/dosdevices/com$n'"
    local deadline=$((SECONDS + 10))
    until [ -e "$a" ] && [ -e "$b" ]; do
        [ $SECONDS -lt $deadline ] || e2e_fail "socat made no pty pair"
        sleep 0.05
    done
    ln -sfn "$a" "$WINEPREFIX/dosdevices/com$n"
    E2E_PEER_TTY=$b
}
