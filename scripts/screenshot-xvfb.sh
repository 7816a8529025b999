#!/usr/bin/env bash
# Starts Harrowmere on a virtual X display (Xvfb) with a system tray, in a fresh private home, and
# saves a screenshot of the whole screen once its main window and its status item are up.
# Usage: scripts/screenshot-xvfb.sh [build folder]   (default: build)
# The screenshot is <build folder>/screenshots/app/xvfb-desktop.png.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
out="$build/screenshots/app"
mkdir -p "$out"

work="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
export XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb
mkdir -m 0700 "$work/runtime"

# Waits up to 20 s for a command to succeed.
await() {
    local what="$1"; shift
    for _ in $(seq 200); do
        if "$@" 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "screenshot-xvfb: timed out waiting for $what" >&2
    return 1
}

Xvfb -displayfd 3 -screen 0 1024x640x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
await "the X display" test -s "$work/display"
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"

"$build/tools/peers/tray/tray_peer" >"$work/tray.out" &
pids+=($!)
await "the system tray" grep -q "tray_peer ready" "$work/tray.out"

"$build/src/app/main/harrowmere" 2>"$work/harrowmere.err" &
pids+=($!)
await "the start-up trace" grep -q "<string>returning</string>" "$work/data/com.harrowmere.Harrowmere/startuplog.plist"
await "the status item" grep -q "tray_peer docked" "$work/tray.out"
await "the main window" sh -c "xwininfo -root -tree | grep -q '\"Harrowmere\"'"
# Give both a moment to paint after they were mapped.
sleep 0.5

import -window root "$out/xvfb-desktop.png"
echo "screenshot-xvfb: saved $out/xvfb-desktop.png"
