#!/usr/bin/env bash
# Screenshots of Harrowmere on a virtual X display with a window manager and a tray, as a person sees
# it: the main window, the status menu, the reset question and a start-refusal alert, and the progress
# sheet during a sync, after a complete one and after a failed one; each in a light and a dark theme,
# at the default font, at 1.25 times the font and at scale factor 2. The panel is dark under the light
# theme and light under the dark one, so the status item must follow the panel, not the theme.
# Usage: desktop-screenshots.sh <build folder>; the images go to <build folder>/screenshots/desktop.
# Exits 77 (skipped) when Xvfb is missing.
set -euo pipefail
build="$(cd "${1:?usage: $0 <build folder>}" && pwd)"
source "$(dirname "$0")/../../../scripts/script-support.sh"
own_network_namespace "$@"
require_programs Xvfb openbox xdotool xwininfo import
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/xvfb-session.sh"
shots="$build/screenshots/desktop"
rm -rf "$shots"
mkdir -p "$shots"
phone_id="QP-PEER-0001"

# Stops the running Harrowmere and its phone peer.
stop_app() {
    kill "$app" 2>/dev/null || true
    wait "$app" 2>/dev/null || true
    if [ -n "${peer:-}" ]; then kill "$peer" 2>/dev/null || true; wait "$peer" 2>/dev/null || true; fi
    peer=""
}

shots_of_first_start() {
    local name="$1"
    new_home "$name-first"
    start_app
    await "the main window" 100 is_shown Harrowmere
    main="$(window_named Harrowmere)"
    sleep 0.8
    # The first start opens the main settings over the window; a pick there, then Escape ends them
    # and leaves nothing of the pick (the reopened sheet below shows the prompt again).
    shot "$name-main-settings"
    xdotool key Down
    shot "$name-main-settings-picked"
    xdotool key Escape
    await "the main settings to close" 100 has_no_other_window "$main" "$tray_icon"
    shot "$name-main-window"
    xdotool mousemove --window "$tray_icon" 6 6 click 3
    await "the status menu" 100 has_other_window "$main" "$tray_icon"
    shot "$name-status-menu"
    xdotool key Escape
    await "the status menu to close" 100 has_no_other_window "$main" "$tray_icon"
    xdotool windowactivate --sync "$main" key alt+a r
    await "the reset question" 100 has_other_window "$main" "$tray_icon"
    shot "$name-alert-reset-settings"
    xdotool key Escape
    await "the reset question to close" 100 has_no_other_window "$main" "$tray_icon"
    # Synchronize on the unconfigured profile: the start is refused with an alert.
    xdotool windowactivate --sync "$main" key Tab Tab Tab space
    await "the refusal alert" 100 has_other_window "$main" "$tray_icon"
    shot "$name-alert-start-refused"
    xdotool key Return
    await "the refusal alert to close" 100 has_no_other_window "$main" "$tray_icon"
    # Settings again, two steps back from Synchronize: the sheet kept from the first start shows the
    # profile anew.
    xdotool windowactivate --sync "$main" key shift+Tab shift+Tab space
    await "the main settings again" 100 has_other_window "$main" "$tray_icon"
    shot "$name-main-settings-reopened"
    xdotool key Escape
    await "the main settings to close again" 100 has_no_other_window "$main" "$tray_icon"
    stop_app
}

# Sends the phone's announcement, then tells whether a window of the given title is shown.
announce_until_shown() {
    python3 -c "import socket, sys; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(
        b'Quillpad Sync\\nDeviceId=' + sys.argv[1].encode() + b'\\n', ('127.0.0.1', 8092))" "$phone_id"
    is_shown "$1"
}

shots_of_syncs() {
    local name="$1"
    new_home "$name-phone"
    "$build/tools/hm-sync/hm_sync_once" --create-profile --no-sync --phone-address 127.0.0.1 \
        --phone-id "$phone_id" >/dev/null
    start_app
    await "the main window" 100 is_shown Harrowmere
    # The phone announces once: the application must be listening by then.
    await "the phone listener" 100 listens_on_8092
    start_phone --device-id "$phone_id" --delay-ms 3000 --delay-path /hmx_list --times 1
    await "the progress sheet" 100 is_shown Synchronizing
    shot "$name-progress-during-sync"
    await "the end of the sync" 900 is_shown "Sync Complete"
    shot "$name-progress-complete"
    xdotool key Return
    await "the sheet to close" 100 is_gone "Sync Complete"
    kill "$peer"; wait "$peer" 2>/dev/null || true; peer=""
    # The phone announces itself but its sync server is gone: the sync fails. A fresh start of the
    # application, since it takes no second phone-started sync within a minute of the last.
    stop_app
    start_app
    await "the main window" 100 is_shown Harrowmere
    await "TCP port 8090 to be free" 600 is_port_8090_free
    # Announced until the sync fails: an announcement landing while the listener reopens is lost, as
    # on a network, and a phone announces again; the application takes one sync a minute.
    await "the failed sync" 900 announce_until_shown "Sync did not finish"
    shot "$name-progress-failed"
    stop_app
}

# One run: the theme, the panel's colour and the scaling given as environment settings.
run_variant() {
    local name="$1" theme="$2" panel="$3"
    shift 3
    # A variant runs in a subshell: what it started stops with it, even when it fails.
    trap stop_session_display EXIT
    start_display "$([ "${QT_SCALE_FACTOR:-1}" = 2 ] && echo 2048x1280x24 || echo 1024x640x24)" "$panel"
    export QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME="$theme"
    shots_of_first_start "$name"
    shots_of_syncs "$name"
    stop_session_display
}

for theme in light dark; do
    gtk_theme="Adwaita"; panel="303438"
    if [ "$theme" = dark ]; then gtk_theme="Adwaita:dark"; panel="e8e8e8"; fi
    (unset QT_FONT_DPI QT_SCALE_FACTOR; run_variant "$theme-default" "$gtk_theme" "$panel")
    (export QT_FONT_DPI=120; run_variant "$theme-font125" "$gtk_theme" "$panel")
    (export QT_SCALE_FACTOR=2; run_variant "$theme-scale2" "$gtk_theme" "$panel")
done
if [ -s "$work/harrowmere.err" ]; then
    cat "$work/harrowmere.err" >&2
    fail "Harrowmere wrote on standard error"
fi
ls "$shots"
