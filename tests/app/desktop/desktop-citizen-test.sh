#!/usr/bin/env bash
# Harrowmere as a person meets it on a Linux desktop: the program itself on a virtual X display with
# a window manager and a system tray, driven by the keyboard and the mouse.
#  - Escape leaves the main window open; F10 and Alt+letter open the menus;
#  - hiding (from the status menu or the application menu, or by closing the window) keeps the
#    status item on screen, its menu offers what undoes it, and a click on the item shows the window;
#  - a second start brings the first's window back and exits 0, leaving one process and one item;
#  - Enter in the reset question keeps the profiles;
#  - on a first start the settings are asked for and the phone listener is open afterwards, and a
#    phone's announcement after the Settings button starts a sync that completes;
#  - nothing is written on standard error: the console lines go to a private file in the log folder.
# Usage: desktop-citizen-test.sh <build folder>. Exits 77 (skipped) when Xvfb is missing.
set -euo pipefail
build="$(cd "${1:?usage: $0 <build folder>}" && pwd)"
source "$(dirname "$0")/../../../scripts/script-support.sh"
own_network_namespace "$@"
require_programs Xvfb openbox xdotool xwininfo xprop
source "$(dirname "$0")/xvfb-session.sh"

profile_count() {
    find "$data" -maxdepth 1 -name "*.${settings_extension}" | wc -l
}

# Opens the status item's menu and picks its n-th item (separators are skipped by the keys).
pick_status_menu_item() {
    xdotool mousemove --window "$tray_icon" 12 12 click 3
    await "the status menu" 100 has_other_window "$main" "$tray_icon"
    local keys=()
    for _ in $(seq "$1"); do keys+=(Down); done
    xdotool key "${keys[@]}" Return
}

check_keyboard() {
    xdotool windowactivate --sync "$main"
    xdotool key Escape
    sleep 0.5
    is_viewable "$main" || fail "Escape closed the main window"
    xdotool key F10
    await "F10 to open the first menu" 100 has_other_window "$main" "$tray_icon"
    xdotool key Escape
    await "the menu to close" 100 has_no_other_window "$main" "$tray_icon"
    xdotool key alt+f
    await "Alt+F to open the File menu" 100 has_other_window "$main" "$tray_icon"
    xdotool key Escape
    await "the File menu to close" 100 has_no_other_window "$main" "$tray_icon"
    echo "ok: Escape keeps the window; F10 and Alt+F open menus"
}

check_hiding() {
    pick_status_menu_item 2  # Hide Settings
    await "Hide Settings to hide the window" 100 sh -c "! xwininfo -id $main | grep -q IsViewable"
    is_viewable "$tray_icon" || fail "hiding the application hid its status item"
    xdotool mousemove --window "$tray_icon" 12 12 click 1
    await "a click on the status item to show the window" 100 is_viewable "$main"
    echo "ok: Hide Settings keeps the status item, whose click shows the window"

    xdotool windowactivate --sync "$main" key ctrl+w
    await "Ctrl+W to close the window" 100 sh -c "! xwininfo -id $main | grep -q IsViewable"
    kill -0 "$app" || fail "closing the main window ended the application"
    is_viewable "$tray_icon" || fail "closing the main window hid the status item"
    pick_status_menu_item 2  # now Show Settings
    # A closed window is made anew on the display when it shows again.
    await "Show Settings to show the closed window" 100 is_shown Harrowmere
    main="$(window_named Harrowmere)"
    echo "ok: a closed window leaves the application in its status item, whose menu shows it again"
}

check_second_start() {
    xdotool windowactivate --sync "$main" key alt+a h
    await "Hide Harrowmere to hide the window" 100 sh -c "! xwininfo -id $main | grep -q IsViewable"
    is_viewable "$tray_icon" || fail "Hide Harrowmere hid the status item"
    local docked
    docked="$(grep -c "tray_peer docked" "$work/tray.out")"
    timeout 20 "$build/src/app/main/harrowmere" 2>>"$work/harrowmere.err" || fail "the second start exited $?"
    await "the second start to show the first's window" 100 is_viewable "$main"
    kill -0 "$app" || fail "the first instance ended"
    [ "$(pgrep -c -f "^$build/src/app/main/harrowmere")" = 1 ] || fail "more than one harrowmere runs"
    sleep 0.5
    [ "$(grep -c "tray_peer docked" "$work/tray.out")" = "$docked" ] || fail "the second start docked a second item"
    "$build/src/app/main/harrowmere" --version | grep -q "^harrowmere " || fail "--version printed nothing"
    "$build/src/app/main/harrowmere" --help | grep -q "^Usage: harrowmere" || fail "--help printed no usage"
    echo "ok: a second start raised the first and exited 0; --help and --version answer alone"
}

check_reset_question() {
    local before
    before="$(profile_count)"
    [ "$before" -ge 1 ] || fail "no profile to keep"
    xdotool windowactivate --sync "$main" key alt+a r
    await "the reset question" 100 has_other_window "$main" "$tray_icon"
    xdotool key Return
    await "Enter to answer the reset question" 100 has_no_other_window "$main" "$tray_icon"
    sleep 0.5
    [ "$(profile_count)" = "$before" ] || fail "Enter in the reset question deleted the profiles"
    is_viewable "$main" || fail "the main window went with the reset question"
    echo "ok: Enter in the reset question keeps the $before profile(s)"
}

settings_extension="settings"
start_display
new_home first
start_app
await "the main window" 100 is_shown Harrowmere
main="$(window_named Harrowmere)"
# The unconfigured first profile opens the settings a quarter second after the window loads; the
# phone listener stays closed while they are open and opens again when Escape ends them.
sleep 1
! listens_on_8092 || fail "the phone listener stayed open under the first start's settings"
xdotool key Escape
await "the phone listener after the first start's settings" 100 listens_on_8092
echo "ok: the first start's settings keep the phone listener closed until they end"
check_keyboard
check_hiding
check_second_start
check_reset_question
kill "$app"
wait "$app" 2>/dev/null || true

# The phone: a Wi-Fi profile paired with the phone peer; Settings first, then the announcement.
new_home phone
"$build/tools/hm-sync/hm_sync_once" --create-profile --no-sync --phone-address 127.0.0.1 --phone-id QP-PEER-0001 \
    >/dev/null
start_app
await "the main window" 100 is_shown Harrowmere
main="$(window_named Harrowmere)"
# Tab order: the profile list, then Settings.
xdotool windowactivate --sync "$main" key Tab space
sleep 0.5
# Settings opened the main settings sheet; Escape ends it and the listener opens again.
xdotool key Escape
await "the phone listener after Settings" 100 listens_on_8092
start_phone --device-id QP-PEER-0001
await "the sync started by the phone after Settings to complete" 300 is_shown "Sync Complete"
echo "ok: the phone's announcement after Settings started a sync that completed"
# The steps of the start and the sync are kept for support in the log folder, for its user alone.
console="$XDG_STATE_HOME/Harrowmere/Logs/console.log"
await "the console file to hold the sync's end" 50 grep -q "Sync Complete" "$console"
[ "$(stat -c %a "$console")" = 600 ] || fail "the console file is readable by others"
echo "ok: the console lines went to the log folder"

if [ -s "$work/harrowmere.err" ]; then
    cat "$work/harrowmere.err" >&2
    fail "Harrowmere wrote on standard error"
fi
echo "PASS"
