#!/usr/bin/env bash
# Installs what building, running and testing Zavo Keyer needs on Debian 12,
# and only what is missing (so a second run costs no network).
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev
    libgl-dev libxcb1-dev fonts-liberation
    xvfb xauth xdotool x11-utils
    dbus at-spi2-core python3-pyatspi imagemagick
    desktop-file-utils appstream lintian dpkg-dev file libxml2-utils man-db
    clang libclang-rt-14-dev
    locales
    tlf    # the logger the network keying test keys through
    libcw7 # what cwdaemon needs: the side-by-side test unpacks cwdaemon itself, since
           # its package would start a daemon on port 6789
    ser2net socat    # the remote station test: the chip served over TCP, a local pty for it
)
packages+=("$@")

missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A decimal-comma locale, for the test that numbers are read the same whatever
# the operator's locale is. Listed in locale.gen so a later locale-gen keeps it.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
    echo "Generating the de_DE.UTF-8 locale"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    if ! grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen; then
        if grep -qx '# *de_DE.UTF-8 UTF-8' /etc/locale.gen; then
            "${sudo_cmd[@]}" sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
        else
            echo 'de_DE.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
        fi
    fi
    "${sudo_cmd[@]}" locale-gen
fi
