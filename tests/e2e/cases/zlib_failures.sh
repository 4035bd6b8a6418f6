#!/usr/bin/env bash
# The three refusals to start: a zlib1.dll without compress (exit 417), one without
# uncompress (exit 418), both before any window; and no zlib1.dll at all (the box
# "Не удалось подключить zlib1.dll\n" / "Ошибка", then exit 0).
#
# Under Wine the program only loads the zlib1.dll beside it with zlib1=n,b (Wine's
# own copy is already loaded in every process), and it always finds that own copy
# by the real name: the missing-library start runs a copy of the program whose
# library name is patched to one that exists nowhere.
. "$(dirname "$0")/../lib.sh"
e2e_begin

for variant in compress:417 uncompress:418; do
    omit=${variant%%:*}
    code=${variant##*:}
    prog="$E2E_WORK/no-$omit"
    mkdir -p "$prog"
    cp "$E2E_EXE" "$prog/brevalink.exe"
    cp "$E2E_TOOLS/zlib-no-$omit/zlib1.dll" "$prog/zlib1.dll"
    e2e_start --exe "$prog/brevalink.exe" --native-zlib
    e2e_wait_exit 60000
    e2e_check "exit code without $omit" "$E2E_EXIT_CODE" "$code"
done
e2e_check "nothing written in the working directory" "$(ls "$E2E_WORK")" "$(printf 'no-compress\nno-uncompress')"

prog="$E2E_WORK/no-zlib"
mkdir -p "$prog"
perl -0777 -pe '$n += s/zlib1\.dll\0/zlib0.dll\0/g; END { exit($n == 1 ? 0 : 1) }' "$E2E_EXE" >"$prog/brevalink.exe" ||
    e2e_fail "the library name \"zlib1.dll\" is not in the program exactly once"
e2e_start --exe "$prog/brevalink.exe"
text=$(drv wait-box "Ошибка" 30000 box-text "Ошибка"; echo .)
e2e_check "missing library box text" "${text%.}" $'Не удалось подключить zlib1.dll\n'
e2e_check "missing library box has no owner" "$(drv box-owner "Ошибка")" "none"
e2e_check "no main window while the box is up" "$(drv windows | awk -F'\t' '$3 == "brevalinkWnd"' | wc -l)" "0"
e2e_box_press "Ошибка" 1
e2e_wait_exit 30000
e2e_check "exit code without the library" "$E2E_EXIT_CODE" "0"
