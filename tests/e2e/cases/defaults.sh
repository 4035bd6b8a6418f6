#!/usr/bin/env bash
# A first start in an empty directory: the default window, the port failure box
# for the default port COM1 (unmapped in the test prefix), the status lines with
# the default ports, no check marks, nothing written; closing the window ends the
# program with exit code 0.
. "$(dirname "$0")/../lib.sh"
e2e_begin

e2e_start
e2e_wait_window
e2e_check "port failure box text" "$(e2e_box_text COM1)" "Не удалось открыть СОМ ПОРТ"
e2e_check "port failure box is owned by the main window" "$(drv box-owner COM1)" "main"
e2e_box_press COM1 1
drv wait-line 18 nonempty '' 15000 >/dev/null || e2e_fail "status line 0 stays empty"

e2e_check "title" "$(e2e_title)" "Связывающая программа (ORMELA)"
geometry=$(drv geometry)
read -r _ width height style <<<"$(echo "$geometry" | head -n1)"
e2e_check "outer window size" "$width x $height" "585 x 388"
# The system adds WS_CLIPSIBLINGS to every top-level window.
e2e_check "window style" "$(printf '0x%08X' $((style & ~0x04000000)))" "0x10CA0080"
expected=$(for i in $(seq 0 20); do echo "line 0 $((16 * i)) 676 16"; done)
e2e_check "21 lines of 676 x 16 stacked from the top" "$(echo "$geometry" | tail -n +2)" "$expected"
e2e_read_lines
e2e_check "18 empty monitor lines" "$(printf '%s|' "${E2E_LINES[@]:0:18}")" "$(printf '|%.0s' $(seq 18))"
e2e_check "status line 0" "${E2E_LINES[18]}" "Сервер:  7777 "
# The feed link's status text changes while the reconnect thread works.
e2e_check "status line 1 (port)" "${E2E_LINES[19]:0:15}" "Клиент:  8888  "
e2e_check "status line 2 stays empty" "${E2E_LINES[20]}" ""

menu=$(drv menu)
e2e_check "no menu item is checked" "$(echo "$menu" | awk -F'\t' '$1 == "item" && $3 == "1"' | wc -l)" "0"
e2e_check "menu items" "$(echo "$menu" | awk -F'\t' '$1 == "item" {printf "%s ", $2}')" \
    "105 120 119 113 114 115 116 117 118 102 109 121 110 111 201 202 203 301 302 "

e2e_screenshot "$E2E_WORK/window.png"

drv close || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code after closing the window" "$E2E_EXIT_CODE" "0"
e2e_check "no settings file written, no probe file left" \
    "$(cd "$E2E_WORK" && ls *.ini testNaWriteFile.txt 2>/dev/null)" ""
