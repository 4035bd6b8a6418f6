# Wine helpers for scripts/run (sourced). The facts behind each step are in the
# project's Wine notes: fonts copied into C:\windows\Fonts, Tahoma and Marlett
# registered, Fixedsys mapped to a Cyrillic monospace font, Wine's virtual desktop
# so windows get frames, and the ru_RU locale for the Windows-1251 code page.

wine_env() {
    export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export LC_ALL=ru_RU.UTF-8
}

# The registry settings every prefix of ours gets (shared with the e2e tests).
wine_registry_file() { echo "$BREVALINK_ROOT/tests/e2e/prefix.reg"; }

# ensure_wine_prefix DIR: boots a prefix into DIR once (12-15 s) and reuses it while
# the recipe, the Wine version and the registry file are unchanged. Needs DISPLAY.
ensure_wine_prefix() {
    local prefix=$1 reg stamp
    reg=$(wine_registry_file)
    stamp=$({ echo "run-prefix 1"; wine --version 2>/dev/null; cat "$reg"; } | md5sum | cut -d' ' -f1)
    if [ -f "$prefix/.brevalink-stamp" ] && [ "$(cat "$prefix/.brevalink-stamp")" = "$stamp" ]; then
        return 0
    fi
    echo "== making the Wine prefix $prefix (once)"
    rm -rf "$prefix"
    (
        wine_env
        export WINEPREFIX=$prefix
        wineboot --init >/dev/null 2>&1
        wineserver -w
        cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
        cp /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null
        LC_ALL=C wine regedit /S "$(echo "Z:$reg" | tr / '\\')" >/dev/null 2>&1
        wineserver -k 2>/dev/null
        wineserver -w
        # wineboot maps com1 to /dev/ttyS0; a receiver is mapped explicitly.
        rm -f "$prefix/dosdevices/com1"
    ) || return 1
    echo "$stamp" >"$prefix/.brevalink-stamp"
}
