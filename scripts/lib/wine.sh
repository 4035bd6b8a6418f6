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

# boot_wine_prefix DIR: boots a new prefix into DIR (12-15 s) with our fonts,
# registry and no com1 link, on $DISPLAY. Fails when the registry did not take.
boot_wine_prefix() {
    local prefix=$1 reg
    reg=$(wine_registry_file)
    (
        wine_env
        export WINEPREFIX=$prefix
        wineboot --init >/dev/null 2>&1
        wineserver -w
        # Debian's Wine loads fonts only from C:\windows\Fonts, which wineboot leaves empty;
        # the Fixedsys replacement must be loadable from there too.
        cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
        cp /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null
        # wine reg/regedit misbehave under a UTF-8 locale.
        LC_ALL=C wine regedit /S "$(echo "Z:$reg" | tr / '\\')" >/dev/null 2>&1
        wineserver -k 2>/dev/null
        wineserver -w
        # wineboot maps com1 to /dev/ttyS0; receivers are mapped explicitly.
        rm -f "$prefix/dosdevices/com1"
        LC_ALL=C grep -q 'DejaVu Sans Mono' "$prefix/user.reg" && LC_ALL=C grep -q '"Default"="1024x768"' "$prefix/user.reg"
    )
}

# ensure_wine_prefix DIR: boots a prefix into DIR once and reuses it while the
# recipe, the Wine version and the registry file are unchanged. Needs DISPLAY.
ensure_wine_prefix() {
    local prefix=$1 stamp
    stamp=$({ echo "run-prefix 2"; wine --version 2>/dev/null; cat "$(wine_registry_file)"; } | md5sum | cut -d' ' -f1)
    if [ -f "$prefix/.brevalink-stamp" ] && [ "$(cat "$prefix/.brevalink-stamp")" = "$stamp" ]; then
        return 0
    fi
    echo "== making the Wine prefix $prefix (once)"
    rm -rf "$prefix"
    boot_wine_prefix "$prefix" || return 1
    echo "$stamp" >"$prefix/.brevalink-stamp"
}
