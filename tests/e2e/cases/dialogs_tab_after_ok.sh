#!/usr/bin/env bash
# TAB, typed as real keys into the name dialog's field. While the coordinates
# dialog is open the key moves the focus in that dialog (to its longitude field),
# wherever it was typed. Once the coordinates dialog has been closed with OK, or
# with the caption's close box, the key is dispatched as any other: the name
# dialog has no dialog keyboard handling, so its field keeps the focus and the
# next typed digit lands there, next to the one typed before the TAB.
. "$(dirname "$0")/../lib.sh"
e2e_begin

COORD="Настройки координат приемника"
NAME="Настройки имени приемника"
coords() { echo "$(drv dlg-get "$COORD" 1000)|$(drv dlg-get "$COORD" 1001)"; }
name_field() { drv dlg-get "$NAME" 1000; }
# A new name dialog: it comes up in front, its field focused with the text
# selected; keys typed before that would go elsewhere.
open_name() {
    drv command 111 wait-box "$NAME" 15000 >/dev/null || e2e_fail "no name dialog"
    local n deadline=$((SECONDS + 10))
    until n=$(drv box-count "$NAME") && [ "$n" = 1 ]; do
        [ $SECONDS -lt $deadline ] || e2e_fail "expected one name dialog, found [$n]"
        sleep 0.05
    done
    drv wait-focus "$NAME" 1000 15000 || e2e_fail "the name dialog's field has no keyboard focus"
}
close_name() { drv dlg-press "$NAME" 2 wait-no-box "$NAME" 15000 >/dev/null || e2e_fail "cannot cancel the name dialog"; }

e2e_free_ports
e2e_start_ready --dismiss COM1

# --- the coordinates dialog open: TAB in the name dialog moves its focus ------
drv command 110 wait-box "$COORD" 15000 >/dev/null || e2e_fail "no coordinates dialog"
open_name
e2e_type 1
e2e_check "the name field has the focus" "$(e2e_settled name_field 1)" "1"
e2e_type Tab 2
e2e_check "TAB in the name field: the coordinates dialog's longitude field" "$(e2e_settled coords "47.198200|239.628200")" \
    "47.198200|239.628200"
e2e_check "the name field got nothing more" "$(drv dlg-get "$NAME" 1000)" "1"
close_name

# --- after OK of the coordinates dialog ----------------------------------------
drv dlg-set "$COORD" 1001 39.5 dlg-press "$COORD" 1 wait-no-box "$COORD" 15000 >/dev/null ||
    e2e_fail "OK of the coordinates dialog"
e2e_check "point.ini written by OK" "$(e2e_show_file point.ini | tr '\n' ' ')" '47.198200\r 39.5\r '
open_name
e2e_type 3 Tab 4
e2e_check "after OK: TAB leaves the focus in the name field" "$(e2e_settled name_field 34)" "34"
e2e_check "after OK: no coordinates dialog" "$(drv box-count "$COORD")" "0"
close_name

# --- after the close box of the coordinates dialog -----------------------------
drv command 110 wait-box "$COORD" 15000 dlg-post "$COORD" 0x10 0 0 wait-no-box "$COORD" 15000 >/dev/null ||
    e2e_fail "the close box of the coordinates dialog"
open_name
e2e_type 5 Tab 6
e2e_check "after the close box: TAB leaves the focus in the name field" "$(e2e_settled name_field 56)" "56"
close_name
e2e_check "no name.ini" "$(ls name.ini 2>/dev/null)" ""

drv close >/dev/null || e2e_fail "cannot post WM_CLOSE"
e2e_wait_exit 30000
e2e_check "exit code" "$E2E_EXIT_CODE" "0"
