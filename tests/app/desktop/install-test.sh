#!/usr/bin/env bash
# What `cmake --install` puts on a desktop: the program, its desktop entry and AppStream metainfo
# (both valid without a warning), and its icons at every theme size, scalable and symbolic.
# Usage: install-test.sh <build folder>. Exits 77 (skipped) when the validators are missing.
set -euo pipefail
build="$(cd "${1:?usage: $0 <build folder>}" && pwd)"
source "$(dirname "$0")/../../../scripts/script-support.sh"
require_programs desktop-file-validate appstreamcli identify
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null
id="com.harrowmere.Harrowmere"
share="$prefix/share"
test -x "$prefix/bin/harrowmere" || fail "no program in bin"

entry="$share/applications/$id.desktop"
report="$(desktop-file-validate "$entry" 2>&1)" || fail "desktop-file-validate: $report"
[ -z "$report" ] || fail "desktop-file-validate warns: $report"
[ "$(grep -c '^Categories=Office;' "$entry")" = 1 ] || fail "the main category is not Office alone"
grep -q '^Keywords=.' "$entry" || fail "no Keywords"
grep -q '^StartupWMClass=Harrowmere$' "$entry" || fail "no StartupWMClass"

metainfo="$share/metainfo/$id.metainfo.xml"
report="$(appstreamcli validate --no-net "$metainfo" 2>&1)" || fail "appstreamcli: $report"
if echo "$report" | grep -q "^[WE]:"; then fail "appstreamcli warns: $report"; fi
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "metainfo names no launchable"

for size in 16 22 24 32 48 64 128 256; do
    icon="$share/icons/hicolor/${size}x${size}/apps/$id.png"
    test -f "$icon" || fail "no ${size}px icon"
    [ "$(identify -format '%wx%h' "$icon")" = "${size}x${size}" ] || fail "the ${size}px icon has another size"
done
grep -q "<svg" "$share/icons/hicolor/scalable/apps/$id.svg" || fail "no scalable icon"
grep -q "<svg" "$share/icons/hicolor/symbolic/apps/$id-symbolic.svg" || fail "no symbolic icon"
echo "PASS"
