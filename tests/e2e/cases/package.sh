#!/usr/bin/env bash
# The Windows release as a user gets it, packed from the build under test: the zip
# unpacked into a folder whose path has a space and Cyrillic letters runs from there
# and keeps its settings there; the silent installer installs per user without the
# autostart, the Start-menu shortcut starts the program in the install folder, an
# update with /AUTOSTART adds it, and the silent uninstaller takes the program and
# its shortcuts away but leaves the settings.
. "$(dirname "$0")/../lib.sh"
e2e_begin

root=$(cd "$E2E_DIR/../.." && pwd)
top=brevalink-$(head -n 1 "$root/VERSION")
# scripts/test packs the release once (scripts/package) and names its folder in
# BREVALINK_DIST: these are the files that ship, so they are the ones tested.
# Run alone, the case packs the build under test itself.
if [ -n "${BREVALINK_DIST:-}" ]; then
    dist=$BREVALINK_DIST
else
    dist=$E2E_WORK/dist
    BREVALINK_PREBUILT=$(dirname "$E2E_EXE") bash "$root/packaging/windows/build.sh" "${top#brevalink-}" "$dist" >&2 ||
        e2e_fail "packaging/windows/build.sh failed"
fi
zip=$dist/$top-win64.zip
[ -f "$zip" ] && [ -f "$dist/$top-setup.exe" ] || e2e_fail "no $top-win64.zip and $top-setup.exe in $dist"
e2e_check "the zip carries the program under test" \
    "$(unzip -p "$zip" "$top/brevalink.exe" | cmp - "$E2E_EXE" >/dev/null && echo same)" same
e2e_check "zip holds one folder with the program, its DLL, readme and licences" \
    "$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ')" \
    "$top/ $top/LICENSE.txt $top/README.txt $top/brevalink.exe $top/zlib-LICENSE.txt $top/zlib1.dll "
e2e_check "readme lines end in CR LF" "$(unzip -p "$zip" "$top/README.txt" | grep -vc $'\r$')" "0"

e2e_free_ports
# The program in folder $1 reads the free ports from there: the status line shows
# that it runs in that folder. The name dialog's OK then writes name.ini there.
seed_ports() { cp "$E2E_WORK/initsocket.ini" "$E2E_WORK/initmkp2.ini" "$1/"; }
check_runs_in() {  # folder name
    drv wait-line 18 prefix "Сервер: $E2E_SERVER_PORT" 15000 >/dev/null ||
        e2e_check "settings read from $1" "$(drv line 18)" "Сервер: $E2E_SERVER_PORT "
    local t="Настройки имени приемника"
    drv command 111 wait-box "$t" 15000 dlg-set "$t" 1000 "$2" dlg-press "$t" 1 wait-no-box "$t" 15000 >/dev/null ||
        e2e_fail "the name dialog did not take $2"
    e2e_check "name.ini written in $1" "$(head -n 1 "$1/name.ini" 2>&1)" "$2"$'\r'
}

unpacked="$E2E_WORK/Мои программы"
mkdir -p "$unpacked" && unzip -q "$zip" -d "$unpacked" || e2e_fail "cannot unzip"
app=$unpacked/$top
seed_ports "$app"
cd "$app" || exit 1  # as Explorer starts it: in its own folder
e2e_start_ready --exe "$app/brevalink.exe" --dismiss COM1
check_runs_in "$app" unzipped
drv close >/dev/null
e2e_wait_exit 30000
e2e_check "exit code of the unzipped program" "$E2E_EXIT_CODE" "0"
cd "$E2E_WORK" || exit 1

# No menu entries on the Linux desktop for the shortcuts the installer makes.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
home="$WINEPREFIX/drive_c/users/$(id -un)"
inst=$home/AppData/Local/brevalink
menu="$home/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\brevalink'
e2e_on_exit "rm -rf '$inst' '$menu/brevalink.lnk' '$menu/StartUp/brevalink.lnk'"
e2e_wine "$dist/$top-setup.exe" /S || e2e_fail "the installer failed"
e2e_check "installed files" "$(ls "$inst" | LC_ALL=C sort | tr '\n' ' ')" \
    "LICENSE.txt README.txt brevalink.exe uninstall.exe zlib-LICENSE.txt zlib1.dll "
e2e_check "autostart is off unless asked for" "$(ls "$menu/StartUp/brevalink.lnk" 2>/dev/null)" ""

seed_ports "$inst"
e2e_on_exit 'pid=$(drv pid 2>/dev/null) && drv kill "$pid"'
(cd / && e2e_wine start /unix "$menu/brevalink.lnk") || e2e_fail "cannot open the Start-menu shortcut"
drv wait-window 30000 wait-box COM1 15000 dlg-press COM1 1 wait-no-box COM1 10000 >/dev/null ||
    e2e_fail "the shortcut did not bring up the program"
e2e_screenshot "$E2E_WORK/installed.png"
check_runs_in "$inst" installed
drv close wait-gone 30000 >/dev/null || e2e_fail "the installed program did not end"

e2e_wine "$dist/$top-setup.exe" /S /AUTOSTART || e2e_fail "the update failed"
e2e_check "the update adds the autostart" "$(ls "$menu/StartUp/brevalink.lnk" 2>&1)" "$menu/StartUp/brevalink.lnk"

# The uninstaller goes on from a copy of itself; removing its registry entry is
# the last thing it does with anything but the folder.
e2e_wine "$(e2e_winpath "$inst/uninstall.exe")" /S || e2e_fail "the uninstaller failed"
deadline=$((SECONDS + 30))
while LC_ALL=C e2e_wine reg query "$key" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || e2e_fail "the uninstall entry is still there after 30 s"
    sleep 0.2
done
e2e_check "left after uninstalling: the settings" "$(ls --ignore=connect.list "$inst" | LC_ALL=C sort | tr '\n' ' ')" \
    "initmkp2.ini initsocket.ini name.ini "
e2e_check "shortcuts removed" "$(ls "$menu/brevalink.lnk" "$menu/StartUp/brevalink.lnk" 2>/dev/null)" ""
