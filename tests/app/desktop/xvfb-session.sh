# Shared by the desktop tests: a virtual X display with a window manager (openbox) and a system tray
# (the tray peer), a private home and session for Harrowmere, and helpers to wait, look and type.
# Source it after scripts/script-support.sh and after setting build (the build folder); it sets work,
# DISPLAY and the start_* functions.
# Everything started is stopped when the sourcing script exits.

work="$(mktemp -d)"
pids=()
stop_session() {
    stop_session_display
    rm -rf "$work"
}
trap stop_session EXIT


# A fresh private home and session; the profile settings and data live there.
new_home() {
    local home="$work/home-$1"
    export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state"
    export XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime"
    mkdir -p -m 0700 "$home" "$XDG_RUNTIME_DIR"
    data="$XDG_DATA_HOME/com.harrowmere.Harrowmere"
}

# Starts the display (of the given size), the window manager and the tray (its panel in the given
# colour, RRGGBB). A display that a window manager cannot open (a display number a server of some
# other session just left) is given up for a fresh one, twice at most.
start_display() {
    local attempt
    for attempt in 1 2 3; do
        start_x_server "${1:-1024x640x24}"
        openbox --sm-disable >"$work/openbox.out" 2>&1 &
        pids+=($!)
        if (await "the window manager" 100 sh -c "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'"); then
            break
        fi
        cat "$work/openbox.out" "$work/xvfb.err" >&2
        [ "$attempt" != 3 ] || fail "the window manager did not start on $DISPLAY"
        stop_session_display
    done
    "$build/tools/peers/tray/tray_peer" ${2:+--panel "$2"} >"$work/tray.out" &
    pids+=($!)
    await "the system tray" 100 grep -q "tray_peer ready" "$work/tray.out"
}

start_x_server() {
    Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
    pids+=($!)
    await "the X display" 100 test -s "$work/display"
    export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
    export QT_QPA_PLATFORM=xcb TZ=UTC LANG=C.UTF-8
    await "the X display to answer" 50 sh -c "xprop -root >/dev/null"
}

# Stops everything started so far (the display last), for a next start_display.
stop_session_display() {
    local index
    for ((index = ${#pids[@]} - 1; index >= 0; index--)); do
        kill "${pids[index]}" 2>/dev/null || true
        wait "${pids[index]}" 2>/dev/null || true
    done
    pids=()
    rm -f "$work/display"
}

# Starts Harrowmere with the arguments; app is its process id. Waits until it finished starting and
# its status item docked in the tray.
start_app() {
    local docked
    docked="$(grep -c "tray_peer docked" "$work/tray.out" || true)"
    "$build/src/app/main/harrowmere" "$@" 2>>"$work/harrowmere.err" &
    app=$!
    pids+=($app)
    # A start with the sanitizers on a loaded machine took more than 20 s to dock: the waits end as
    # soon as the step is done, and allow two minutes.
    await "the start-up trace" 1200 grep -q "<string>returning</string>" "$data/startuplog.plist"
    await "the status item" 1200 has_docked_more_than "$docked"
    tray_icon="$(grep "tray_peer docked" "$work/tray.out" | tail -n 1 | awk '{print $3}')"
}

# Whether the tray docked more icons than the given count since it started.
has_docked_more_than() {
    [ "$(grep -c "tray_peer docked" "$work/tray.out")" -gt "$1" ]
}

# The id of the mapped top-level window with exactly this title, or nothing.
window_named() {
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1
}

is_viewable() {
    xwininfo -id "$1" 2>/dev/null | grep -q "Map State: IsViewable"
}

is_shown() {
    [ -n "$(window_named "$1")" ]
}

is_gone() {
    [ -z "$(window_named "$1")" ]
}

# The mapped windows of Harrowmere other than the given ones: its menus, sheets and alerts.
other_app_windows() {
    local id skip
    for id in $(xdotool search --onlyvisible --class harrowmere 2>/dev/null); do
        skip=""
        for known in "$@"; do [ "$id" = "$known" ] && skip=1; done
        [ -n "$skip" ] || ! is_viewable "$id" || echo "$id"
    done
}

# Whether a menu (or any other window of the application but the given ones) is on screen.
has_other_window() {
    [ -n "$(other_app_windows "$@")" ]
}

has_no_other_window() {
    [ -z "$(other_app_windows "$@")" ]
}

# Whether the process (Harrowmere by default) has a UDP socket bound to port 8092, the phone's port.
listens_on_8092() {
    local pid="${1:-$app}" inode
    for inode in $(awk 'toupper($2) ~ /:1F9C$/ {print $10}' /proc/net/udp /proc/net/udp6); do
        if ls -l "/proc/$pid/fd" 2>/dev/null | grep -q "socket:\[$inode\]"; then return 0; fi
    done
    return 1
}

# Whether no process listens on TCP port 8090 (0x1F9A), where Harrowmere finds the phone's sync
# server; another test's peer may hold it for a while.
is_port_8090_free() {
    ! awk '$4 == "0A" && toupper($2) ~ /:1F9A$/ {found = 1} END {exit !found}' /proc/net/tcp /proc/net/tcp6
}

samples="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../../tools/hm-sync" && pwd)/sample-phone.json"

# Starts the phone peer (with the extra arguments) on a copy of the sample records once the phone's
# port is free, and waits until it announced itself; peer is its process id.
start_phone() {
    await "TCP port 8090 to be free" 600 is_port_8090_free
    # The peer writes the records it holds back to its file: it gets a copy of the samples.
    cp "$samples" "$work/phone.json"
    "$build/tools/peers/phone_peer" --host 127.0.0.1 --port 8090 --data "$work/phone.json" \
        --announce-to 127.0.0.1:8092 "$@" >"$work/peer.out" 2>&1 &
    peer=$!
    pids+=($peer)
    await "the phone's announcement (see $work/peer.out)" 100 grep -q "announced itself" "$work/peer.out"
}

shot() {
    sleep 0.3
    import -window root "$shots/$1.png"
    echo "saved $shots/$1.png"
}
