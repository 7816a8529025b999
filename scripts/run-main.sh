#!/usr/bin/env bash
# Installs what is needed, builds (Release) and runs the main job: Harrowmere itself, in a fresh
# private home, with a Wi-Fi profile paired to the phone app's sync server, which the phone peer plays
# on loopback with sample records. The peer announces itself as a phone does when its user presses
# Sync; Harrowmere syncs the profile into the desktop stores (the vCard folder of the address book,
# the iCalendar folders of the calendars and reminder lists) under its progress sheet. The script then
# prints what khard and khal list from those stores and stops Harrowmere.
# With --outlook the desktop side is an Outlook 2016 profile against the simulated Outlook, seeded with
# a few contacts, events and notes: Harrowmere finds and checks that Outlook, syncs it with the phone,
# and the script prints what Outlook then holds.
# With a display the windows are seen there; without one they run on a virtual display (Xvfb) and
# screenshots of the main window and of the progress sheet are saved under build-release/screenshots.
# Exit status: 0 when the sync ends in "Sync Complete".
set -euo pipefail
cd "$(dirname "$0")/.."

outlook=""
on_virtual_display=""
for argument in "$@"; do
    case "$argument" in
    --outlook) outlook=1 ;;
    --on-virtual-display) on_virtual_display=1 ;;
    *)
        echo "usage: $0 [--outlook]" >&2
        exit 2
        ;;
    esac
done

# Without a display the script runs itself again on a virtual one.
if [ -z "$on_virtual_display" ]; then
    ./scripts/install-deps.sh
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-release --target harrowmere phone_peer hm_sync_once ${outlook:+outlook_peer}
    if [ -z "${DISPLAY:-}" ]; then
        echo "run-main: no display; running on a virtual display"
        exec xvfb-run --auto-servernum --server-args="-screen 0 1024x640x24 -nolisten tcp" "$0" --on-virtual-display "$@"
    fi
fi
virtual_display=""
[ -z "$on_virtual_display" ] || virtual_display="$DISPLAY"

build="$PWD/build-release"
shots="$build/screenshots/run-main"
work="$(mktemp -d)"
app=""
peer=""
outlook_peer=""
stop_all() {
    local pid
    for pid in "$peer" "$app" "$outlook_peer"; do
        [ -n "$pid" ] || continue
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap stop_all EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config"
export XDG_STATE_HOME="$work/home/state" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb TZ=UTC LANG=C.UTF-8
mkdir -p -m 0700 "$HOME" "$XDG_RUNTIME_DIR"
data="$XDG_DATA_HOME/com.harrowmere.Harrowmere"
phone_id="QP-PEER-0001"

fail_prefix="run-main:"
source scripts/script-support.sh

is_window_shown() {
    xwininfo -root -tree | grep -q "\"$1\""
}

screenshot() {
    [ -n "$virtual_display" ] || return 0
    import -window root "$shots/$1.png"
    echo "run-main: saved $shots/$1.png"
}

# The profile: Wi-Fi to the phone with the peer's id, contacts, calendar and tasks both ways, with the
# calendar and the reminder list it syncs made in the desktop store; with --outlook, an Outlook 2016
# profile of the simulated Outlook, which answers on sockets under $XDG_RUNTIME_DIR and keeps its files
# under $HOME as Outlook does.
if [ -n "$outlook" ]; then
    "$build/tools/peers/outlook_peer" --home "$HOME" --runtime-dir "$XDG_RUNTIME_DIR" --version-text 16.20 \
        --seed tools/hm-sync/sample-outlook.json >"$work/outlook.out" 2>&1 &
    outlook_peer=$!
    await "the simulated Outlook (see $work/outlook.out)" 100 grep -q "^READY" "$work/outlook.out"
    "$build/tools/hm-sync/hm_sync_once" --create-profile --no-sync --phone-address 127.0.0.1 --phone-id "$phone_id" \
        --contacts-store outlook --outlook-version 15 --calendar-store outlook
else
    "$build/tools/hm-sync/hm_sync_once" --create-profile --no-sync --phone-address 127.0.0.1 --phone-id "$phone_id"
fi

if [ -n "$virtual_display" ]; then
    rm -rf "$shots"
    mkdir -p "$shots"
fi

"$build/src/app/main/harrowmere" 2>"$work/harrowmere.err" &
app=$!
await "Harrowmere to start" 200 grep -q "<string>returning</string>" "$data/startuplog.plist"
await "the main window" 200 is_window_shown Harrowmere
sleep 0.5  # let the window paint once it is mapped
screenshot main-window

# The phone: its sync server on the phone's port, answering its first listing late enough for the
# progress sheet to be seen at work; once listening it announces itself to Harrowmere's port 8092.
cp tools/hm-sync/sample-phone.json "$work/phone.json"
"$build/tools/peers/phone_peer" --host 127.0.0.1 --port 8090 --device-id "$phone_id" --data "$work/phone.json" \
    --delay-ms 1500 --delay-path /hmx_list --times 1 --announce-to 127.0.0.1:8092 >"$work/peer.out" 2>&1 &
peer=$!
await "the phone peer's announcement (see $work/peer.out)" 100 grep -q "announced itself" "$work/peer.out"
await "the progress sheet" 100 is_window_shown Synchronizing
sleep 0.5
screenshot progress-sheet-during-sync

# Harrowmere's console lines go to the console file in its log folder.
console="$XDG_STATE_HOME/Harrowmere/Logs/console.log"
await "the end of the sync" 900 grep -q "Sync Complete\|Sync did not finish" "$console"
sleep 0.5
screenshot progress-sheet-complete
result="$(grep -o "Sync Complete\|Sync did not finish.*" "$console" | head -n 1)"
echo "run-main: the progress sheet reads: $result"

# What the desktop stores now hold, as khard, khal and todoman list it.
list_desktop_stores() {
    local contacts="$data/Contacts"
    mkdir -p "$XDG_CONFIG_HOME/khard" "$XDG_CONFIG_HOME/khal"
    printf '[addressbooks]\n[[harrowmere]]\npath = %s\n[general]\ndefault_action = list\n' "$contacts" \
        >"$XDG_CONFIG_HOME/khard/khard.conf"
    printf '[calendars]\n[[harrowmere]]\npath = %s/*\ntype = discover\n[locale]\ntimeformat = %%H:%%M\n%s\n' \
        "$data/Calendars" "dateformat = %Y-%m-%d
longdateformat = %Y-%m-%d
datetimeformat = %Y-%m-%d %H:%M
longdatetimeformat = %Y-%m-%d %H:%M" >"$XDG_CONFIG_HOME/khal/config"
    echo
    echo "Contacts in $contacts (khard list):"
    khard list || true
    echo
    echo "Events under $data/Calendars (khal list):"
    khal list 2000-01-01 2100-01-01 || true
    echo
    if command -v todoman >/dev/null; then
        mkdir -p "$XDG_CONFIG_HOME/todoman"
        printf 'path = "%s/*"\ndate_format = "%%Y-%%m-%%d"\ntime_format = "%%H:%%M"\n' "$data/Calendars" \
            >"$XDG_CONFIG_HOME/todoman/config.py"
        echo "Tasks under $data/Calendars (todoman list):"
        todoman list --status ANY || true
        echo
    fi
}

# What the simulated Outlook now holds, from its own dump of its state.
list_outlook() {
    echo
    echo "Outlook's records (the simulated Outlook's store under $HOME/Library):"
    "$build/tools/peers/outlook_peer" --runtime-dir "$XDG_RUNTIME_DIR" --send '{"op":"dump"}' | python3 -c '
import json, sys
state = json.load(sys.stdin).get("state", {})
def show(title, records, *keys):
    print("%s (%d):" % (title, len(records)))
    for record in records:
        print("  " + "  ".join(str(record.get(key, "")) for key in keys))
show("Contacts", state.get("contacts", []), "firstName", "lastName")
show("Events", state.get("events", []), "start", "subject")
show("Tasks", state.get("tasks", []), "name")
show("Notes", state.get("notes", []), "name")
' || true
    echo
}

if [ -n "$outlook" ]; then
    list_outlook
else
    list_desktop_stores
fi

if [ -z "$virtual_display" ]; then
    sleep 5  # leave the finished sheet on the screen for a moment
fi
[ "$result" = "Sync Complete" ] || fail "the sync did not end in Sync Complete"
if [ -n "$outlook" ]; then
    echo "run-main: Harrowmere synchronised the phone's records with Outlook"
else
    echo "run-main: Harrowmere synchronised the phone's records into the desktop stores"
fi
