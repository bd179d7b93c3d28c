#!/usr/bin/env bash
# Regenerates docs/screenshots/*.png: the main window and every window Zavo
# Keyer opens, taken from the real program against the chip simulator in a
# private X server (no window manager, so no frames), by the end-to-end
# tests' driver. Usage: bash scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$build"
/usr/bin/python3 "$root/scripts/screenshots.py" \
    --app "$build/zavokeyer" --sim "$build/sim/zavokeyer-sim" --out "$root/docs/screenshots"
