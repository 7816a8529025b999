#!/usr/bin/env bash
# Installs every Debian package Harrowmere needs to build, run and test. Safe to run again.
set -euo pipefail

packages=(
    build-essential g++ cmake ninja-build pkg-config git python3 adb
    qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools libqt6network6 libgl-dev
    libicu-dev libplist-dev libssl-dev libsqlite3-dev zlib1g-dev libjpeg-dev libpng-dev libxml2-dev libidn-dev
    libgtest-dev libgmock-dev libcpp-httplib-dev libcurl4-openssl-dev curl attr openssl python3-dateutil sqlite3 unzip zip
    p7zip-full libxcb1-dev xvfb xauth x11-utils imagemagick libical-dev khal todoman python3-vobject
    khard openbox xdotool desktop-file-utils appstream qt6-gtk-platformtheme adwaita-icon-theme
    libc-ares-dev dnsmasq-base iproute2 util-linux nftables prosody python3-slixmpp
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if [ "${#missing[@]}" -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    # Packages with a system service (prosody) must not leave it running: the tests start their own
    # servers on free ports. A policy that forbids service starts stands while they install, unless
    # the system already has one.
    policy=/usr/sbin/policy-rc.d
    made_policy=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' > "$policy"
        chmod 755 "$policy"
        made_policy=1
    fi
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
    if [ "$made_policy" = 1 ]; then
        rm -f "$policy"
    fi
    if command -v systemctl > /dev/null 2>&1 && systemctl is-active --quiet prosody 2>/dev/null; then
        systemctl disable --now prosody || true
    fi
fi
