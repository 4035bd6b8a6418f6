#!/usr/bin/env bash
# The serial reader benchmark of the Windows build under Wine: compiles the core,
# the Win32 platform layer and the in-memory front end with the bench's own main,
# maps one end of a pty pair as COM8 (the reader's port) and the other as COM9 (the
# bench's writer thread plays the receiver there), and prints the figures.
#
#   bench/wine/run.sh [PREFIX_TO_COPY]
# PREFIX_TO_COPY defaults to the e2e prefix cache of a Windows build directory.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d /tmp/brevalink-winebench.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
    rm -rf "$out"
}
trap 'rc=$?; cleanup; exit $rc' EXIT
trap 'exit 130' INT TERM

sources=()
for d in app input net display record config; do
    for f in "$root"/src/$d/*.cpp; do
        case "$f" in *_win32.cpp) continue ;; esac
        sources+=("$f")
    done
done
sources+=("$root"/src/platform/win32/*.cpp "$root/bench/wine/serial_reader_bench_win.cpp")
echo "== building the bench with mingw-w64"
x86_64-w64-mingw32-g++ -O2 -std=c++20 -fno-exceptions -finput-charset=UTF-8 -fexec-charset=CP1251 \
    -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0601 -I"$root/src" "${sources[@]}" \
    -static -static-libgcc -static-libstdc++ -lwsock32 -lcomdlg32 -lshell32 -lgdi32 -luser32 -lkernel32 \
    -o "$out/bench.exe"

cache=${1:-}
if [ -z "$cache" ]; then
    for c in "$root"/build/*/e2e-cache/prefix; do [ -d "$c" ] && cache=$c && break; done
fi
[ -n "$cache" ] && [ -d "$cache" ] || { echo "!! no Wine prefix to copy (run the e2e tests once)"; exit 1; }
cp -a "$cache" "$out/prefix"
export WINEPREFIX=$out/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -p >/dev/null 2>&1
wine cmd /c exit >/dev/null 2>&1 || true   # the mount manager's own com links come first
socat pty,raw,echo=0,link="$out/ttyA" pty,raw,echo=0,link="$out/ttyB" </dev/null >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$out/ttyA" ] && [ -e "$out/ttyB" ] && break; sleep 0.05; done
ln -sfn "$out/ttyA" "$WINEPREFIX/dosdevices/com8"
ln -sfn "$out/ttyB" "$WINEPREFIX/dosdevices/com9"
capture=$root/../shared/data/beast-capture-60s.bin
[ -f "$capture" ] || { echo "!! no $capture"; exit 1; }
server=''
for p in /proc/[0-9]*; do
    case "$(cat "$p/comm" 2>/dev/null)" in wineserver*) ;; *) continue ;; esac
    tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && server=$p && break
done
winpath() { echo "Z:$1" | tr / '\\'; }
wine "$out/bench.exe" COM8 COM9 "$(winpath "$(realpath "$capture")")" ${server:+"$(winpath "$server/stat")"}
