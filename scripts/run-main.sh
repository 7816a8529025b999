#!/usr/bin/env bash
# Installs what is needed, builds everything (Release) and runs the main job: one manual sync of a
# Wi-Fi profile through the sync controller and the Wi-Fi transport, against the phone app's sync
# server played by the phone peer on loopback with sample records, then a second sync that finds
# nothing to do.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build-release

work="$(mktemp -d)"
export HOME="$work" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
cp tools/hm-sync/sample-phone.json "$work/phone.json"
build-release/tools/peers/phone_peer --host 127.0.0.1 --port 0 --data "$work/phone.json" >"$work/peer.out" &
peer=$!
trap 'kill "$peer" 2>/dev/null || true; wait "$peer" 2>/dev/null || true; rm -rf "$work"' EXIT

port=""
for _ in $(seq 100); do
    port="$(sed -n 's/^phone_peer listening on [^:]*:\([0-9][0-9]*\)$/\1/p' "$work/peer.out")"
    [ -n "$port" ] && break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "run-main: the phone peer did not start" >&2
    exit 1
fi

sync=build-release/tools/hm-sync/hm_sync_once
"$sync" --create-profile --phone-address 127.0.0.1 --port "$port" --sample-records 3
"$sync" --port "$port"
